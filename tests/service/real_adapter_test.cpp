#include "service/CorvantixQueue.h"
#include "service/CorvantixSession.h"
#include "tests/adapter/FakeTavelo.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

namespace fs = std::filesystem;
using testing_support::Sandbox;

const std::string kPage = "https://www.corvantix-bank.test";

std::string valueOf(const JsonMapPtr& map, std::string_view key) {
    return map ? BinarySearchCorvantixJsonMap(map.get(), 0, map->count - 1, key).value_or("")
               : "<no map>";
}

// The service's sessions with the real adapter library and the fake control.
class RealAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        const auto target = box.root() / "Program" / "Vondel" / "VondelTaveloZynAdapter.so";
        fs::create_directories(target.parent_path());
        fs::copy_file(ADAPTER_LIBRARY, target);
        setSessionProgramFolder(box.root() / "Program");
        initSessionArea();
    }
    void TearDown() override { releaseAllAdapters(); }

    JsonMapPtr request(const std::string& json) {
        const JsonMapPtr map = parseJsonMap(json);
        return dispatchSession(map.get(), kPage);
    }
    JsonMapPtr echo(const std::string& id) {
        return request(R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","SessionId":")" + id +
                       R"(","PathID":")" + std::string(kCorvantixPathId) + "\"}");
    }
    fs::path copyOf(int index) const {
        return sessionDataFolder() / "Tempfile" / ("Session_" + std::to_string(index)) /
               "VondelTaveloZynAdapter.so";
    }

    Sandbox box;
};

TEST_F(RealAdapter, WithoutTheControlASessionDoesNotOpen) {
    const auto reply = echo("A_SID");
    EXPECT_EQ(valueOf(reply, "result"), "61905");
    EXPECT_EQ(getOldestSessionIndex(), -1);
    EXPECT_FALSE(fs::exists(copyOf(0)));
}

TEST_F(RealAdapter, CallsReachTheControlAndAnswerAsText) {
    ASSERT_EQ(fake_tavelo::registerControl(), S_OK);
    fake_tavelo::setScript("answer GetSN 0012345678\n");
    ASSERT_EQ(valueOf(echo("A_SID"), "result"), "0");
    EXPECT_EQ(valueOf(echo("A_SID"), "LibVersion"), "1,0,18,719");
    const auto reply = request(R"({"FunctionName":"GetSN","SessionId":"A_SID"})");
    EXPECT_EQ(valueOf(reply, "result"), "0012345678");
    const auto calls = fake_tavelo::methodCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().method, "GetSN");
}

TEST_F(RealAdapter, TheThirtyThirdSessionEvictsTheFirstOpened) {
    ASSERT_EQ(fake_tavelo::registerControl(), S_OK);
    for (int i = 0; i < kSessionSlotCount; ++i) {
        ASSERT_EQ(valueOf(echo("S" + std::to_string(i) + "_SID"), "result"), "0") << i;
    }
    // The first session is the one used last; it goes all the same.
    request(R"({"FunctionName":"GetSN","SessionId":"S0_SID"})");
    ASSERT_EQ(valueOf(echo("NEW_SID"), "result"), "0");
    EXPECT_EQ(findSessionIndex("S0_SID"), -1);
    EXPECT_EQ(findSessionIndex("NEW_SID"), 0);
    EXPECT_EQ(findSessionIndex("S1_SID"), 1);
    for (int i = 0; i < kSessionSlotCount; ++i) {
        EXPECT_TRUE(fs::exists(copyOf(i))) << i;
    }
}

// Loading an instrumented library is slow under the sanitizers; the plain
// build runs the full count.
#if defined(CORVANTIX_SANITIZED)
constexpr int kRounds = 1000;
#else
constexpr int kRounds = 10000;
#endif

int openDescriptors() {
    return static_cast<int>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

bool copiesMapped() {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("Tempfile") != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST_F(RealAdapter, TenThousandSessionsLeaveNothingBehind) {
    ASSERT_EQ(fake_tavelo::registerControl(), S_OK);
    // One round first, so what is opened once per process is counted.
    ASSERT_EQ(valueOf(echo("W_SID"), "result"), "0");
    request(R"({"FunctionName":"CorvantixForceRelease","SessionId":"W_SID"})");
    const int before = openDescriptors();
    for (int i = 0; i < kRounds; ++i) {
        const std::string id = "S" + std::to_string(i) + "_SID";
        ASSERT_EQ(valueOf(echo(id), "result"), "0") << i;
        request(R"({"FunctionName":"CorvantixForceRelease","SessionId":")" + id + "\"}");
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_FALSE(copiesMapped());
    EXPECT_EQ(getOldestSessionIndex(), -1);
    for (int i = 0; i < kSessionSlotCount; ++i) {
        EXPECT_TRUE(fs::is_empty(copyOf(i).parent_path())) << i;
    }
}

} // namespace
