#include "common/QxIni.h"
#include "common/QxLog.h"
#include "common/ToolLog.h"
#include "platform/mutex/NamedMutex.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testing_support::today;

namespace fs = std::filesystem;
using testing_support::Sandbox;

std::vector<std::string> lines(const fs::path& path) {
    std::istringstream in(Sandbox::read(path));
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

// The prefix every line carries: stamp, level tag, process and thread ids.
const std::regex
    kLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\[[A-Z ]{5}\])? ?\[\d{5}-\d{5}\] (.*)$)");

class LogFixture : public ::testing::Test {
protected:
    // An INI in the system folder, where setLog looks second.
    void writeIni(const std::string& body) {
        box.write("Windows/VondelCorvantix.ini", "[VondelCorvantix]\n" + body);
    }
    fs::path logDir() const { return box.root() / "logs"; }
    fs::path dated(const std::string& stem, const std::string& ending, int number = 0) const {
        return logDir() /
               (stem + "_" + today() + (number ? "_" + std::to_string(number) : "") + ending);
    }
    void SetUp() override { fs::create_directories(logDir()); }

    Sandbox box;
};

TEST_F(LogFixture, NoIniAnywhereLeavesLoggingOff) {
    EXPECT_FALSE(setLog("T"));
    EXPECT_EQ(logConfigure("VondelCorvantix", "VondelCorvantix.ini"), kIniNoFile);
    logNormal("never ", "written");
    EXPECT_EQ(logPrint(5, 0, "x"), -2);
    EXPECT_TRUE(fs::is_empty(logDir()));
}

TEST_F(LogFixture, ABareNameIsSearchedForAndTheLastFolderReadEvenWithoutALogFile) {
    struct Case {
        const char* where; // below the root
        const char* body;
        int result;
        std::string fileName;
        bool enabled;
    };
    const std::string file = (logDir() / "s.log").string();
    const Case cases[] = {
        {"Home", "Log File=%s\nLog Level=3\n", 0, file, true},
        {"C/tmp", "Log File=%s\nLog Level=4\n", 0, file, true},
        // The last folder is taken even when its file names no log file.
        {"C/tmp", "Log Level=2\n", 0, kLogDefaultFile, true},
        {"C/tmp", "Log MaxSize=9\n", kIniNoKey, kLogDefaultFile, false},
        {"Home", "Log Level=2\n", kIniNoFile, kLogDefaultFile, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.where) + ": " + c.body);
        logResetForTest();
        std::string body = c.body;
        if (const auto at = body.find("%s"); at != std::string::npos) {
            body.replace(at, 2, file);
        }
        const auto ini =
            box.write(fs::path(c.where) / "VondelCorvantix.ini", "[VondelCorvantix]\n" + body);
        EXPECT_EQ(logConfigure("VondelCorvantix", "VondelCorvantix.ini"), c.result);
        EXPECT_EQ(logSettings().fileName, c.fileName);
        EXPECT_EQ(logSettings().enabled, c.enabled);
        fs::remove(ini);
    }
    logResetForTest();
}

TEST_F(LogFixture, FileWithoutLevelStaysOff) {
    writeIni("Log File=" + (logDir() / "t.log").string() + "\n");
    EXPECT_EQ(logConfigure("VondelCorvantix", box.root() / "Windows/VondelCorvantix.ini"),
              kIniNoKey);
    EXPECT_FALSE(logSettings().enabled);
    EXPECT_FALSE(setLog("T"));
    EXPECT_TRUE(fs::is_empty(logDir()));
}

TEST_F(LogFixture, StartOfLoggingWritesItsThreeLines) {
    writeIni("log file=\"" + (logDir() / "t.log").string() + "\"\nLog Level=5\n");
    ASSERT_TRUE(setLog("Ident"));
    EXPECT_TRUE(setLog("Other")); // already on: nothing changes
    EXPECT_EQ(logIdentity(), "Ident");
    logNormal("Value: ", "abc");
    logNormalInt("Number: ", -7);
    logNormalW("Wide: ", u"\u4E2D");
    logWarning("careful ", "x");
    logErrorInt("code ", 61005);
    logExist("file ", false);
    logExist("file ", true);
    logChoice("mode ", true, "on", "off");
    logDebug("plain ", "debug");
    logNullParameter("inputX", "Mod.cpp", 12);

    const auto got = lines(dated("t", ".log"));
    std::vector<std::string> bodies;
    for (const auto& line : got) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
        EXPECT_EQ(m[1], "[DEBUG]");
        bodies.push_back(m[2]);
    }
    ASSERT_EQ(bodies.size(), 13u);
    EXPECT_EQ(bodies[0],
              "Log Enable '" + (box.root() / "Windows/VondelCorvantix.ini").string() + "'");
    EXPECT_TRUE(std::regex_match(
        bodies[1],
        std::regex(R"(\S+ \d+ setLog Compile Time : \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d)")))
        << bodies[1];
    const std::vector<std::string> expected = {
        "[Ident][Normal] Log state: Enable",
        "[Ident][Normal] Value: abc",
        "[Ident][Normal] Number: -7",
        "[Ident][Normal] Wide: \xE4\xB8\xAD",
        "[Ident][Warning] careful x",
        "[Ident][Error] code 61005",
        "[Ident][Error] file Not Exist",
        "[Ident][Normal] file Exist",
        "[Ident][Normal] mode on",
        "plain debug",
        "[Ident][Warning] Parameter inputX is null at Mod.cpp 12",
    };
    EXPECT_EQ(std::vector<std::string>(bodies.begin() + 2, bodies.end()), expected);
}

TEST_F(LogFixture, DisableStopsWritersAndSetLogStartsAgain) {
    writeIni("Log File=" + (logDir() / "t.log").string() + "\nLog Level=5\n");
    ASSERT_TRUE(setLog("Ident"));
    disableLog();
    logNormal("lost ", "line");
    logDebug("lost ", "too");
    EXPECT_FALSE(logWritersOn());
    auto got = lines(dated("t", ".log"));
    ASSERT_FALSE(got.empty());
    EXPECT_NE(got.back().find("[Ident][Normal] Log state: Disable"), std::string::npos);

    ASSERT_TRUE(setLog("Again"));
    logNormal("back", "");
    got = lines(dated("t", ".log"));
    EXPECT_NE(got.back().find("[Again][Normal] back"), std::string::npos);
}

// A value cannot begin a line of its own, whatever it holds: control
// characters reach the file escaped, in the file and in the memory target.
TEST_F(LogFixture, ControlCharactersOfAValueAreEscaped) {
    writeIni("Log File=" + (logDir() / "t.log").string() + "\nLog Level=5\n");
    ASSERT_TRUE(setLog("Ident"));
    const std::string planted = "\nid > /tmp/pwned; #\n";
    logNormal("Value: ", planted);
    logDebug("Raw: ", "a\rb\tc\x1b[2J\x7f");
    const auto got = lines(dated("t", ".log"));
    ASSERT_GE(got.size(), 2u);
    for (const auto& line : got) {
        EXPECT_TRUE(std::regex_match(line, kLine)) << line;
        EXPECT_FALSE(line.starts_with("id > ")) << line;
    }
    EXPECT_TRUE(got[got.size() - 2].ends_with("[Ident][Normal] Value: \\nid > /tmp/pwned; #\\n"))
        << got[got.size() - 2];
    EXPECT_TRUE(got.back().ends_with("Raw: a\\rb\\tc\\x1B[2J\\x7F")) << got.back();

    logSetMemoryTarget(true);
    logNormal("Value: ", planted);
    const auto kept = logMemoryLines();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(kept[0].ends_with("Value: \\nid > /tmp/pwned; #\\n")) << kept[0];
    logSetMemoryTarget(false);
}

// The log is the user's alone: made 0600 whatever the umask, an older
// readable one closed, and never written through a link or over a file that
// is another's.
TEST_F(LogFixture, TheFileIsPrivateAndNoLinkOrForeignFileIsWritten) {
    writeIni("Log File=" + (logDir() / "t.log").string() + "\nLog Level=5\n");
    const auto old = umask(0);
    ASSERT_TRUE(setLog("Ident"));
    umask(old);
    logNormal("first", "");
    const auto file = dated("t", ".log");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    chmod(file.c_str(), 0644);
    logNormal("second", "");
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(Sandbox::read(file).find("second"), std::string::npos);

    const auto victim = box.write("Home/.bashrc", "alias ls='ls -F'\n");
    fs::remove(file);
    fs::create_symlink(victim, file);
    logNormal("through the link", "");
    EXPECT_EQ(Sandbox::read(victim), "alias ls='ls -F'\n");
    EXPECT_TRUE(fs::is_symlink(file));

    if (geteuid() == 0) {
        fs::remove(file);
        std::ofstream(file) << "";
        chmod(file.c_str(), 0666);
        ASSERT_EQ(chown(file.c_str(), testing_support::kStrangerUid, testing_support::kStrangerUid),
                  0);
        logNormal("into another's file", "");
        EXPECT_EQ(Sandbox::read(file), "");
    }
}

// An INI file that another account put where the lookup searches (the
// shared tmp folder of the home drive) turns nothing on.
TEST_F(LogFixture, AnIniFileOfAnotherAccountIsNotRead) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the file to another account";
    }
    const auto ini = box.write("C/tmp/VondelCorvantix.ini",
                               "[VondelCorvantix]\nLog File=" + (logDir() / "t.log").string() +
                                   "\nLog Level=5\n");
    ASSERT_EQ(chown(ini.c_str(), testing_support::kStrangerUid, testing_support::kStrangerUid), 0);
    EXPECT_FALSE(logIniFound());
    EXPECT_FALSE(setLog("Ident"));
    logNormal("never ", "written");
    EXPECT_TRUE(fs::is_empty(logDir()));

    ASSERT_EQ(chown(ini.c_str(), 0, 0), 0);
    EXPECT_TRUE(setLog("Ident"));
}

struct LevelCase {
    int configured;
    int line;
    int result;
};

void PrintTo(const LevelCase& c, std::ostream* os) {
    *os << "level " << c.configured << ", line " << c.line;
}

class LogLevels : public LogFixture, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LogLevels, OnlyLinesAtOrBelowTheLevelAreWritten) {
    const auto [configured, line, result] = GetParam();
    writeIni("Log File=" + (logDir() / "t.log").string() +
             "\nLog Level=" + std::to_string(configured) + "\n");
    ASSERT_EQ(logConfigure("VondelCorvantix", box.root() / "Windows/VondelCorvantix.ini"), 0);
    EXPECT_TRUE(logSettings().enabled);
    EXPECT_EQ(logPrint(line, 0, "probe %d", line), result);

    const auto got = lines(dated("t", ".log"));
    ASSERT_FALSE(got.empty());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got.front(), m, kLine)) << got.front();
    EXPECT_EQ(m[1].str(), logLevelTag(configured)); // "Log Enable" carries the configured tag
    const bool written = got.back().ends_with("probe " + std::to_string(line));
    EXPECT_EQ(written, result == 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, LogLevels,
                         ::testing::Values(LevelCase{3, 5, -2}, LevelCase{3, 3, 0},
                                           LevelCase{3, 1, 0}, LevelCase{5, 5, 0},
                                           LevelCase{0, 5, -2}, LevelCase{0, 0, 0}),
                         [](const auto& info) {
                             return "level" + std::to_string(info.param.configured) + "line" +
                                    std::to_string(info.param.line);
                         });

TEST_F(LogFixture, RollOverNumbersFilesAndKeepsGoing) {
    writeIni("Log File=" + (logDir() / "roll.txt").string() + "\nLog Level=5\nLog MaxSize=300\n");
    ASSERT_TRUE(setLog("R"));
    for (int i = 0; i < 20; ++i) {
        logNormal("filler line number ", std::to_string(i));
    }
    ASSERT_TRUE(fs::exists(dated("roll", ".txt")));
    ASSERT_TRUE(fs::exists(dated("roll", ".txt", 1)));
    EXPECT_GE(logSettings().rollOver, 2);
    for (int n = 0; n < logSettings().rollOver; ++n) {
        // The size test comes before the write, so a file may pass the limit by one line.
        const auto path = dated("roll", ".txt", n);
        EXPECT_LE(fs::file_size(path), 300u + 120u) << path;
        EXPECT_GT(fs::file_size(path), 300u) << path;
    }
    EXPECT_FALSE(fs::exists(dated("roll", ".txt", logSettings().rollOver + 1)));
}

TEST_F(LogFixture, NameWithoutDotRollsOverToo) {
    fs::create_directories(logDir() / "dir.d");
    writeIni("Log File=" + (logDir() / "dir.d" / "plain").string() +
             "\nLog Level=5\nLog MaxSize=200\n");
    ASSERT_TRUE(setLog("R"));
    for (int i = 0; i < 10; ++i) {
        logNormal("filler line number ", std::to_string(i));
    }
    // The dot of the folder never splits the name.
    const auto base = logDir() / "dir.d" / ("plain_" + today());
    EXPECT_TRUE(fs::exists(base));
    EXPECT_TRUE(fs::exists(base.string() + "_1"));
    EXPECT_LE(fs::file_size(base), 200u + 120u);
}

TEST_F(LogFixture, NoMaximumMeansNoNumber) {
    for (const char* size : {"", "Log MaxSize=0\n", "Log MaxSize=-5\n", "Log MaxSize=abc\n"}) {
        SCOPED_TRACE(size);
        resetLogForTest();
        fs::remove_all(logDir());
        fs::create_directories(logDir());
        writeIni("Log File=" + (logDir() / "n.log").string() + "\nLog Level=5\n" + size);
        ASSERT_TRUE(setLog("N"));
        for (int i = 0; i < 30; ++i) {
            logNormal("filler line number ", std::to_string(i));
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(logDir()), fs::directory_iterator()), 1);
        EXPECT_EQ(logSettings().rollOver, 0);
    }
}

TEST_F(LogFixture, OverlongFileNameIsDroppedNotOverrun) {
    // 127 characters configured is accepted, but the date makes it longer.
    const std::string name = (logDir() / "").string();
    const std::string longName =
        name + std::string(kLogFileNameMax - name.size() - 4, 'x') + ".log";
    ASSERT_EQ(longName.size(), kLogFileNameMax);
    writeIni("Log File=" + longName + "\nLog Level=5\n");
    ASSERT_EQ(logConfigure("VondelCorvantix", box.root() / "Windows/VondelCorvantix.ini"), 0);
    EXPECT_EQ(logSettings().fileName, longName);
    EXPECT_FALSE(logMakeFileName().has_value());
    EXPECT_EQ(logPrint(5, 0, "dropped"), 0);
    EXPECT_TRUE(fs::is_empty(logDir()));
}

TEST_F(LogFixture, TooLongLogFileValueFallsBackToDefault) {
    writeIni("Log File=" + std::string(200, 'y') + "\nLog Level=5\n");
    ASSERT_EQ(logConfigure("VondelCorvantix", box.root() / "Windows/VondelCorvantix.ini"), 0);
    EXPECT_EQ(logSettings().fileName, kLogDefaultFile);
    // The default drive C lies inside the sandbox.
    logPrint(5, 0, "to the default");
    EXPECT_TRUE(fs::exists(box.root() / "C" / ("QxLog_" + today() + ".log")));
}

TEST_F(LogFixture, SetTargetRules) {
    const auto file = (logDir() / "s.log").string();
    logSetTarget(std::nullopt, 5); // a level without a name changes nothing
    EXPECT_FALSE(logSettings().enabled);
    logSetTarget(file, 5);
    EXPECT_TRUE(logSettings().enabled);
    EXPECT_EQ(logPrint(5, 0, "one"), 0);
    logSetTarget(std::nullopt, 0);
    EXPECT_FALSE(logSettings().enabled);
    EXPECT_EQ(logSettings().fileName, file);
    EXPECT_EQ(logPrint(5, 0, "two"), -2);
    EXPECT_EQ(lines(dated("s", ".log")).size(), 1u);
}

class MemoryLog : public LogFixture {
protected:
    void SetUp() override {
        LogFixture::SetUp();
        logSetMemoryTarget(true);
    }
    void TearDown() override { logSetMemoryTarget(false); }
};

TEST_F(MemoryLog, LinesAreComposedAsForTheFileButNoFileIsWritten) {
    writeIni("Log File=" + (logDir() / "m.log").string() + "\nLog Level=4\n");
    ASSERT_TRUE(setLog("Mem")); // the writers' own lines are level 5: none kept
    logError("bad ", "thing");
    EXPECT_EQ(logPrint(3, 0, "number %d of %s", 7, "lines"), 0);
    EXPECT_EQ(logPrint(5, 0, "above the level"), -2);

    const auto got = logMemoryLines();
    ASSERT_EQ(got.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, kLine)) << got[0];
    EXPECT_EQ(m[1], "[INFO ]");
    EXPECT_EQ(m[2], "Log Enable '" + (box.root() / "Windows/VondelCorvantix.ini").string() + "'");
    ASSERT_TRUE(std::regex_match(got[1], m, kLine)) << got[1];
    EXPECT_EQ(m[1], "[WARN ]");
    EXPECT_EQ(m[2], "number 7 of lines");
    EXPECT_EQ(logMemoryLineCount(), 2u);
    EXPECT_TRUE(fs::is_empty(logDir()));
}

TEST_F(MemoryLog, KeepsOnlyTheLastLinesAndCountsAll) {
    logSetTarget((logDir() / "m.log").string(), 5);
    const std::size_t written = kLogMemoryLines + 5;
    for (std::size_t i = 0; i < written; ++i) {
        logPrint(5, 0, "line %zu", i);
    }
    const auto got = logMemoryLines();
    ASSERT_EQ(got.size(), kLogMemoryLines);
    EXPECT_TRUE(got.front().ends_with(" line 5")) << got.front();
    EXPECT_TRUE(got.back().ends_with(" line " + std::to_string(written - 1))) << got.back();
    EXPECT_EQ(logMemoryLineCount(), written);

    // Off again: the file writer takes over, and the lines kept are gone.
    logSetMemoryTarget(false);
    EXPECT_EQ(logPrint(5, 0, "to the file"), 0);
    EXPECT_TRUE(logMemoryLines().empty());
    EXPECT_EQ(lines(dated("m", ".log")).size(), 1u);
}

TEST_F(MemoryLog, OverlongFileNameDropsTheLineAsTheFileWriterDoes) {
    const std::string name = (logDir() / "").string();
    logSetTarget(name + std::string(kLogFileNameMax - name.size(), 'x'), 5);
    EXPECT_EQ(logPrint(5, 0, "dropped"), 0);
    EXPECT_TRUE(logMemoryLines().empty());
}

TEST_F(MemoryLog, NeverWaitsForTheMachineWideLock) {
    logSetTarget((logDir() / "m.log").string(), 5);
    const auto other = platform::NamedMutex::open(kLogMutexName);
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(other->lock(0));
    auto line = std::async(std::launch::async, [] { return logPrint(5, 0, "while held"); });
    const bool done = line.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    other->unlock(); // lets a waiting writer finish either way
    ASSERT_TRUE(done);
    EXPECT_EQ(line.get(), 0);
    EXPECT_TRUE(logMemoryLines().back().ends_with(" while held"));
}

TEST_F(LogFixture, TwoProcessesNeverMixTheirLines) {
    writeIni("Log File=" + (logDir() / "shared.log").string() + "\nLog Level=5\n");
    constexpr int kLines = 1500;
    std::vector<pid_t> writers;
    for (const char* who : {"A", "B"}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const auto program = testing_support::helperProgram("log_writer");
            execl(program.c_str(), "log_writer", who, std::to_string(kLines).c_str(), nullptr);
            _exit(127);
        }
        writers.push_back(pid);
    }
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    const std::regex body(R"(\[([AB])\]\[Normal\] line \d+ ([AB]){400})");
    int counted[2] = {0, 0};
    for (const auto& line : lines(dated("shared", ".log"))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
        const std::string text = m[2];
        if (text.find(" line ") == std::string::npos) {
            continue; // start-up lines
        }
        std::smatch b;
        ASSERT_TRUE(std::regex_match(text, b, body)) << text.substr(0, 80);
        const std::string who = b[1];
        ASSERT_EQ(text.substr(text.size() - 400), std::string(400, who[0]));
        ++counted[who == "A" ? 0 : 1];
    }
    EXPECT_EQ(counted[0], kLines);
    EXPECT_EQ(counted[1], kLines);
}

// A process of another account that takes the machine-wide log lock and
// keeps it, for at most `seconds` so that a writer that waits for it without
// bound is seen late rather than hanging the test; the pid, or -1.
pid_t holdLogLock(unsigned seconds) {
    const auto path = platform::NamedMutex::lockFilePath(kLogMutexName);
    return testing_support::holdInChild([&] {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        alarm(seconds);
        return fd >= 0 && flock(fd, LOCK_EX) == 0;
    });
}

TEST_F(LogFixture, AHeldLogLockDelaysALineBoundedlyAndLosesNothing) {
    using Clock = std::chrono::steady_clock;
    using namespace std::chrono_literals;
    const auto file = (logDir() / "held.log").string();
    logSetTarget(file, 5);
    ASSERT_TRUE(logSettings().mutexOpen);
    const pid_t holder = holdLogLock(5);
    ASSERT_GT(holder, 0);

    auto start = Clock::now();
    EXPECT_EQ(logPrint(5, 0, "first while held"), 0);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 200ms); // it did wait for the lock a while
    EXPECT_LT(waited, 1500ms);

    // The holder is still there: later lines do not wait for it again.
    start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(logPrint(5, 0, "next while held %d", i), 0);
    }
    EXPECT_LT(Clock::now() - start, 200ms);

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(logPrint(5, 0, "after"), 0);

    const auto got = lines(dated("held", ".log"));
    ASSERT_EQ(got.size(), 7u);
    std::vector<std::string> bodies;
    for (const auto& line : got) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
        bodies.push_back(m[2]);
    }
    EXPECT_EQ(bodies.front(), "first while held");
    EXPECT_EQ(bodies[5], "next while held 4");
    EXPECT_EQ(bodies.back(), "after");
}

TEST_F(LogFixture, ALinkPlantedAsTheLogLockIsNotFollowed) {
    // Planted before any program logged: the lock file is a link to a file
    // of the user under attack.
    const auto victim = box.write("Home/victim.txt", "private");
    chmod(victim.c_str(), 0600);
    const auto global = box.root() / "run" / "Global";
    fs::create_directories(global);
    chmod((box.root() / "run").c_str(), 0700);
    chmod(global.c_str(), 01777);
    fs::create_symlink(victim, global / "QxLog.lock");

    const auto file = (logDir() / "l.log").string();
    logSetTarget(file, 5);
    EXPECT_FALSE(logSettings().mutexOpen);
    EXPECT_EQ(logPrint(5, 0, "written all the same"), 0);

    struct stat st {};
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(Sandbox::read(victim), "private");
    const auto got = lines(dated("l", ".log"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].ends_with("written all the same"));
}

} // namespace
