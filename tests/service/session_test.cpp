#include "service/CorvantixQueue.h"
#include "service/CorvantixSession.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <map>
#include <optional>
#include <sstream>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testing_support::Sandbox;

std::string resultOf(const JsonMapPtr& map) {
    return map ? BinarySearchCorvantixJsonMap(map.get(), 0, map->count - 1, "result").value_or("")
               : "<no map>";
}

class Sessions : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("FAKE_ADAPTER_VERSION");
        unsetenv("FAKE_ADAPTER_UNLOCK");
        install("both");
        setSessionProgramFolder(box.root() / "Program");
        initSessionArea();
    }
    void TearDown() override {
        releaseAllAdapters();
        unsetenv("FAKE_ADAPTER_VERSION");
        unsetenv("FAKE_ADAPTER_UNLOCK");
    }
    // Puts one of the stand-in adapters where the path table points.
    void install(const std::string& variant) {
        const auto target = box.root() / "Program" / "Vondel" / "VondelTaveloZynAdapter.so";
        fs::create_directories(target.parent_path());
        fs::copy_file(fs::path(FAKE_ADAPTER_DIR) / ("fake_adapter_" + variant + ".so"), target,
                      fs::copy_options::overwrite_existing);
    }
    bool open(int index, const std::string& id, JsonMapPtr& reply,
              SessionIdSource source = SessionIdSource::Service) {
        return openSession(index, id, source, "Vondel", "VondelTaveloZynAdapter",
                           "https://www.corvantix-bank.test", reply);
    }
    fs::path copyOf(int index) const {
        return sessionDataFolder() / "Tempfile" / ("Session_" + std::to_string(index)) /
               "VondelTaveloZynAdapter.so";
    }
    // The calls the stand-in adapters recorded: function -> count.
    std::map<std::string, int> calls() const {
        std::ifstream in(box.root() / "fake_adapter.log");
        std::map<std::string, int> out;
        std::string copy, function, url;
        while (in >> copy >> function) {
            std::getline(in, url);
            ++out[function];
        }
        return out;
    }

    Sandbox box;
};

TEST_F(Sessions, StartPreparesTheArea) {
    const auto data = box.root() / "ProgramData" / "VondelCorvantix";
    EXPECT_EQ(sessionDataFolder(), data);
    EXPECT_EQ(Sandbox::read(data / "VondelCorvantixMainVersion"), "Corvantix version=1.0.22.0804");
    for (int i = 0; i < kSessionSlotCount; ++i) {
        EXPECT_TRUE(fs::is_directory(data / "Tempfile" / ("Session_" + std::to_string(i))));
        EXPECT_EQ(sessionStamp(i), kStampFree);
    }
    // A second start removes whatever the first left behind.
    std::ofstream(data / "Tempfile" / "Session_5" / "left.so") << "x";
    fs::create_directories(data / "Tempfile" / "Session_40");
    initSessionArea();
    EXPECT_FALSE(fs::exists(data / "Tempfile" / "Session_5" / "left.so"));
    EXPECT_FALSE(fs::exists(data / "Tempfile" / "Session_40"));
    EXPECT_TRUE(fs::is_directory(data / "Tempfile" / "Session_31"));
}

// Where the file system takes the hint (ext4), the session folders are
// spread over it, so that each session's copy is created apart from the
// copies deleted in the other folders.
TEST_F(Sessions, SessionFoldersAreSpreadWhereTheFileSystemCan) {
    const auto flagsOf = [](const fs::path& folder) -> std::optional<int> {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        const bool read = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (fd >= 0) {
            close(fd);
        }
        return read ? std::optional<int>(flags) : std::nullopt;
    };
    const auto temp = sessionDataFolder() / "Tempfile";
    const auto flags = flagsOf(temp);
    if (!flags) {
        GTEST_SKIP() << "no folder flags on this file system";
    }
    EXPECT_NE(*flags & FS_TOPDIR_FL, 0);
    // Not the folders themselves: the copies go into them.
    EXPECT_EQ(flagsOf(temp / "Session_0").value_or(0) & FS_TOPDIR_FL, 0);
}

TEST_F(Sessions, OpenUnlockVersionCallAndRelease) {
    JsonMapPtr reply = newJsonMap();
    ASSERT_TRUE(open(3, "ABC_SID", reply));
    EXPECT_EQ(reply->count, 0);
    const auto& slot = sessionSlot(3);
    EXPECT_EQ(slot.sessionId, "ABC_SID");
    EXPECT_EQ(slot.adapterVersion, "1,0,18,719");
    EXPECT_EQ(slot.adapterName, "VondelTaveloZynAdapter");
    EXPECT_EQ(slot.adapter.file(), copyOf(3));
    EXPECT_TRUE(fs::exists(copyOf(3)));
    EXPECT_NE(sessionStamp(3), kStampFree);

    JsonMapPtr request = parseJsonMap(R"({"FunctionName":"Echo2","arg":"x"})");
    EXPECT_EQ(callSession(3, request.get(), "Echo2"), "Echo2:x");

    releaseSession(3);
    markStampFree(3);
    EXPECT_TRUE(sessionSlot(3).sessionId.empty());
    EXPECT_FALSE(fs::exists(copyOf(3)));
    const auto seen = calls();
    EXPECT_EQ(seen.at("Corvantix_Unlock"), 1);
    EXPECT_EQ(seen.at("Corvantix_GetVersion"), 1);
    EXPECT_EQ(seen.at("Corvantix_Release"), 1);
    // The unlock carried the page origin.
    EXPECT_NE(
        Sandbox::read(box.root() / "fake_adapter.log").find("https://www.corvantix-bank.test"),
        std::string::npos);
}

TEST_F(Sessions, EveryCopyKeepsItsOwnState) {
    JsonMapPtr reply = newJsonMap();
    ASSERT_TRUE(open(0, "A_SID", reply));
    ASSERT_TRUE(open(1, "B_SID", reply));
    JsonMapPtr request = newJsonMap();
    // Unlock and version were calls 1 and 2 of each copy.
    EXPECT_EQ(callSession(0, request.get(), "Count"), "3");
    EXPECT_EQ(callSession(0, request.get(), "Count"), "4");
    EXPECT_EQ(callSession(1, request.get(), "Count"), "3");
}

TEST_F(Sessions, OldestIsTheFirstOpenedNotTheLastUsed) {
    JsonMapPtr reply = newJsonMap();
    for (int i = 0; i < kSessionSlotCount; ++i) {
        ASSERT_TRUE(open(i, "S" + std::to_string(i) + "_SID", reply)) << i;
    }
    EXPECT_EQ(findFreeSessionIndex(), -1);
    JsonMapPtr request = newJsonMap();
    callSession(0, request.get(), "Count");
    EXPECT_EQ(getOldestSessionIndex(), 0);
    releaseSession(0);
    markStampFree(0);
    EXPECT_EQ(findFreeSessionIndex(), 0);
    EXPECT_EQ(getOldestSessionIndex(), 1);
    ASSERT_TRUE(open(0, "NEW_SID", reply));
    EXPECT_EQ(getOldestSessionIndex(), 1);
    EXPECT_EQ(findSessionIndex("S7_SID-extra"), 7);
    EXPECT_EQ(findSessionIndex("unknown"), -1);
    EXPECT_TRUE(sessionIdInUse("NEW_SID"));
    EXPECT_FALSE(sessionIdInUse("NEW"));
}

TEST_F(Sessions, OnlyServiceMadeIdsAreFoundWithinALongerId) {
    JsonMapPtr reply = newJsonMap();
    // A page that opened "_SID" or "S" first must not receive later sessions.
    ASSERT_TRUE(open(0, "_SID", reply, SessionIdSource::Page));
    ASSERT_TRUE(open(1, "S", reply, SessionIdSource::Page));
    ASSERT_TRUE(open(2, "K3XQ7MZP_SID", reply, SessionIdSource::Service));
    const std::pair<const char*, int> cases[] = {
        {"_SID", 0},          {"S", 1},   {"K3XQ7MZP_SID", 2}, {"K3XQ7MZP_SID-extra", 2},
        {"AB12CD34_SID", -1}, {"S2", -1}, {"x_SID", -1},
    };
    for (const auto& [id, index] : cases) {
        EXPECT_EQ(findSessionIndex(id), index) << id;
    }
}

struct FailCase {
    const char* name;
    const char* variant;
    const char* version;
    const char* unlock;
    std::string result; // empty: the reply keeps no result
};

void PrintTo(const FailCase& c, std::ostream* os) {
    *os << c.name;
}

class FailedOpen : public Sessions, public ::testing::WithParamInterface<FailCase> {};

TEST_P(FailedOpen, ReleasesTheSlotAndAnswers) {
    const auto& c = GetParam();
    if (std::string(c.variant) == "missing") {
        fs::remove(box.root() / "Program" / "Vondel" / "VondelTaveloZynAdapter.so");
    } else {
        install(c.variant);
    }
    if (c.version != nullptr) {
        setenv("FAKE_ADAPTER_VERSION", c.version, 1);
    }
    if (c.unlock != nullptr) {
        setenv("FAKE_ADAPTER_UNLOCK", c.unlock, 1);
    }
    JsonMapPtr reply = newJsonMap();
    addJsonMapValue(reply.get(), "SessionID", "X_SID");
    EXPECT_FALSE(open(4, "X_SID", reply));
    ASSERT_TRUE(reply);
    if (c.result.empty()) {
        EXPECT_EQ(reply->count, 1); // left as it was
    } else {
        EXPECT_EQ(reply->count, 1);
        EXPECT_EQ(resultOf(reply), c.result);
    }
    EXPECT_TRUE(sessionSlot(4).sessionId.empty());
    EXPECT_FALSE(sessionSlot(4).adapter.loaded());
    EXPECT_EQ(sessionStamp(4), kStampFree);
    EXPECT_FALSE(fs::exists(copyOf(4)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedOpen,
    ::testing::Values(FailCase{"noLibrary", "missing", nullptr, nullptr, "61902"},
                      FailCase{"noEntryPoint", "none", nullptr, nullptr, "61906"},
                      FailCase{"unlockRefused", "both", nullptr, "61908", "61908"},
                      FailCase{"versionIsAnError", "both", "61005", nullptr, "61005"},
                      FailCase{"emptyVersion", "both", "", nullptr, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Sessions, StringEntryOnlyIsUnlockedButNeverAskedToRelease) {
    install("string");
    JsonMapPtr reply = newJsonMap();
    ASSERT_TRUE(open(2, "STR_SID", reply));
    EXPECT_EQ(sessionSlot(2).mapEntry, nullptr);
    JsonMapPtr request = parseJsonMap(R"({"FunctionName":"Work","arg":"7"})");
    EXPECT_EQ(callSession(2, request.get(), "Work"), "Work:7");
    releaseSession(2);
    markStampFree(2);
    EXPECT_FALSE(fs::exists(copyOf(2)));
    const auto seen = calls();
    EXPECT_EQ(seen.at("Corvantix_Unlock"), 1);
    EXPECT_EQ(seen.count("Corvantix_Release"), 0u);
}

TEST_F(Sessions, ReleaseAllRemovesCopiesAndDataFolderLibraries) {
    JsonMapPtr reply = newJsonMap();
    ASSERT_TRUE(open(0, "A_SID", reply));
    ASSERT_TRUE(open(9, "B_SID", reply));
    std::ofstream(sessionDataFolder() / "leftover.so") << "x";
    std::ofstream(sessionDataFolder() / ".hidden.so") << "x";
    std::ofstream(sessionDataFolder() / "keep.txt") << "x";
    releaseAllAdapters();
    EXPECT_EQ(getOldestSessionIndex(), -1);
    EXPECT_FALSE(fs::exists(copyOf(0)));
    EXPECT_FALSE(fs::exists(copyOf(9)));
    EXPECT_FALSE(fs::exists(sessionDataFolder() / "leftover.so"));
    EXPECT_FALSE(fs::exists(sessionDataFolder() / ".hidden.so"));
    EXPECT_TRUE(fs::exists(sessionDataFolder() / "keep.txt"));
    EXPECT_EQ(calls().at("Corvantix_Release"), 2);
}

int openDescriptors() {
    return static_cast<int>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

bool copiesMapped() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("Tempfile") != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST_F(Sessions, TenThousandOpensLeaveNothingBehind) {
    JsonMapPtr reply = newJsonMap();
    // One round first, so lazily opened descriptors (the log mutex) are counted.
    ASSERT_TRUE(open(0, "W_SID", reply));
    releaseSession(0);
    markStampFree(0);
    const int before = openDescriptors();
    for (int i = 0; i < 10000; ++i) {
        const int index = i % kSessionSlotCount;
        ASSERT_TRUE(open(index, "S" + std::to_string(i) + "_SID", reply)) << i;
        releaseSession(index);
        markStampFree(index);
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_FALSE(copiesMapped());
    for (int i = 0; i < kSessionSlotCount; ++i) {
        EXPECT_TRUE(
            fs::is_empty(sessionDataFolder() / "Tempfile" / ("Session_" + std::to_string(i))));
    }
}

TEST(PathTable, LookupAndCheck) {
    std::string libDir = "x", comName = "y";
    EXPECT_EQ(lookupPathId("nope", libDir, comName), 1);
    EXPECT_EQ(libDir, "x");
    std::string lower(kCorvantixPathId);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(lookupPathId(lower, libDir, comName), 0);
    EXPECT_EQ(libDir, "Vondel");
    EXPECT_EQ(comName, "VondelTaveloZynAdapter");
    EXPECT_TRUE(checkPathTable("vondel", "VONDELTAVELOZYNADAPTER"));
    EXPECT_FALSE(checkPathTable("Vondel", "Other"));
    EXPECT_FALSE(checkPathTable("", ""));
}

TEST(PathTable, SanitizeName) {
    const std::pair<std::string, std::string> cases[] = {
        {"..\\x", "..x"},
        {"..", ""},
        {"...", "..."},
        {"../..", "...."},
        {"a\"$&*/:;<>?\\|b", "ab"},
        {"Vondel", "Vondel"},
        {"name.exe", "name.exe"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(sanitizeName(in, kPathNameSize), out) << in;
    }
    EXPECT_EQ(sanitizeName(std::string(100, 'a'), kPathNameSize), std::string(63, 'a'));
    EXPECT_EQ(sanitizeName(std::string(600, 'b'), kInstallerNameSize), std::string(511, 'b'));
}

} // namespace
