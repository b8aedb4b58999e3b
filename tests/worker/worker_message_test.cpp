// The worker's general sender: its refusals, the message it builds, and the
// delivery by both ways at once to receivers of this process.

#include "common/ToolLog.h"
#include "tests/message/MessageTestSupport.h"
#include "worker/WorkerMessage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using message_test::contains;

constexpr char kChannel[] = "WorkerSenderTest";

class WorkerSender : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(setLog("CorvantixWorker-Test"));
        starts = 0;
        registerStartFunction([] { ++starts; });
    }
    void TearDown() override {
        stopIpc();
        registerStartFunction({});
    }

    std::size_t countLines(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& line : sandbox.allLines()) {
            n += line.find(text) != std::string::npos;
        }
        return n;
    }

    message_test::LoggedSandbox sandbox;
    static inline std::atomic<int> starts{0};
};

TEST_F(WorkerSender, MessageIsSignedFromTheGivenSenderWithAnEmptyText) {
    const auto message =
        createIPCMsg(kWorkerSenderName, "VondelCorvantixMonitor.exe", kInstructionStart);
    ASSERT_TRUE(message);
    EXPECT_TRUE(verifyCorvantixMessage(*message));
    const auto json = corvantixMessageToJson(*message);
    ASSERT_TRUE(json);
    EXPECT_TRUE(
        json->starts_with(R"({"From":"CorvantixWorker", "To":"VondelCorvantixMonitor.exe", )"
                          R"("Instruction":"CorvantixInstruction_Start", "Message":"", )"))
        << *json;
    EXPECT_EQ(parseCorvantixMessage(*json).hashValue, message->hashValue);
}

TEST_F(WorkerSender, MessageNeedsASenderAndAReceiver) {
    EXPECT_FALSE(createIPCMsg(std::nullopt, "To", kInstructionStart));
    EXPECT_FALSE(createIPCMsg("From", std::nullopt, kInstructionStart));
    const auto bare = createIPCMsg("From", "To", std::nullopt);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->instruction, "");
}

struct Refusal {
    const char* name;
    std::optional<std::string_view> to;
    std::optional<std::string_view> instruction;
    const char* line;
};

void PrintTo(const Refusal& row, std::ostream* out) {
    *out << row.name;
}

class WorkerSenderRefusal : public WorkerSender, public ::testing::WithParamInterface<Refusal> {};

TEST_P(WorkerSenderRefusal, SendsNothingAndAnswersFalse) {
    ASSERT_TRUE(startIpc(kChannel));
    const auto& row = GetParam();
    EXPECT_FALSE(sendIPCMsg(row.to, row.instruction));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(starts, 0);
    const auto lines = sandbox.allLines();
    EXPECT_TRUE(contains(lines, row.line));
    EXPECT_TRUE(message_test::hasLineEnding(lines, "[Error] Send message final result: Fail"));
    EXPECT_FALSE(contains(lines, "sendIPCMsgWin: "));
}

INSTANTIATE_TEST_SUITE_P(Rows, WorkerSenderRefusal,
                         ::testing::Values(Refusal{"NoReceiver", std::nullopt, kInstructionStart,
                                                   "Parameter kcstrInputTo is null at"},
                                           Refusal{"NoInstruction", kChannel, std::nullopt,
                                                   "[Warning] Instruction is empty"},
                                           Refusal{"EmptyInstruction", kChannel, "",
                                                   "[Warning] Instruction is empty"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WorkerSender, MissingArgumentOfTheWindowSenderIsLoggedAndNothingSent) {
    ASSERT_TRUE(startIpc(kChannel));
    EXPECT_TRUE(sendIPCMsgWin(std::nullopt, kChannel, kInstructionStart));
    EXPECT_TRUE(sendIPCMsgWin(kWorkerSenderName, std::nullopt, kInstructionStart));
    EXPECT_TRUE(sendIPCMsgWin(kWorkerSenderName, kChannel, std::nullopt));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(starts, 0);
    const auto lines = sandbox.allLines();
    EXPECT_TRUE(message_test::inOrder(lines, {"Parameter kcstrInputFrom is null at",
                                              "Parameter kcstrInputTo is null at",
                                              "Parameter kcstrInputInstruction is null at"}));
}

TEST_F(WorkerSender, ReachesTheWindowAndTheLockModeReceiverOnceEach) {
    ASSERT_TRUE(startIpc(kChannel));
    EXPECT_TRUE(sendIPCMsg(kChannel, kInstructionStart));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(countLines("Receive COPYDATA message: CorvantixInstruction_Start"), 1u);
    EXPECT_EQ(countLines("IPC Message Lock Mode: Recivie start message"), 1u);
    const auto lines = sandbox.allLines();
    EXPECT_TRUE(message_test::inOrder(
        lines, {"Send message mode: Windows api mode", "sendIPCMsgWin: Windows API Mode",
                "sendIPCMsgWin: Lock Mode", "Send message final result: Success"}));
}

TEST_F(WorkerSender, WithoutAWindowTheLockModeStillCarriesIt) {
    ASSERT_TRUE(startCrossPlatformReceiver(kChannel));
    EXPECT_TRUE(sendIPCMsg(kChannel, kInstructionStart));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(
        contains(sandbox.allLines(), std::string("sendIPCMsgWin can't find window ") + kChannel));
    EXPECT_EQ(countLines("IPC Message Lock Mode: Recivie start message"), 1u);
}

} // namespace
