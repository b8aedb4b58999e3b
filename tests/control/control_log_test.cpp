#include "control/ControlLog.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// Stamp, milliseconds since start, level word, process and thread ids; the
// message is the last group.
const std::regex kLine(R"(^(\d{4})-(\d\d)-(\d\d) \d\d:\d\d:\d\d \((\d+)\) )"
                       R"((FATAL |ERROR |WARN  |INFO  |DEBUG |NONE  )\[(\d+)-(\d+)\] (.*)$)");

class ControlLog : public ::testing::Test {
protected:
    void SetUp() override { Log_ResetForTest(); }
    void TearDown() override { Log_ResetForTest(); }

    // "Tavelo.ini" in the Windows folder, where the log looks first.
    void writeIni(const std::string& body, const std::string& folder = "Windows") {
        box.write(folder + "/Tavelo.ini", "[Tavelo]\n" + body);
    }
    // The file the log writes for a "Log File" value below drive C.
    fs::path logFile(const std::string& stem, const std::string& ending) const {
        return box.root() / "C" / "logs" / (stem + "_" + today() + ending);
    }
    void initWithLevel(int level) {
        fs::create_directories(box.root() / "C" / "logs");
        writeIni("Log File=C:\\logs\\card.txt\nLog Level=" + std::to_string(level) + "\n");
        ASSERT_EQ(Log_Init("Tavelo", "Tavelo.ini"), 0);
    }

    Sandbox box;
};

TEST(ControlLogName, DateGoesBeforeTheEndingOfTheLastElementOnly) {
    const struct {
        const char* name;
        const char* expected;
    } cases[] = {
        {"D:\\x\\card.txt", "D:\\x\\card_20240302.txt"},
        {"D:\\x\\card", "D:\\x\\card_20240302"},
        {"card.log.txt", "card.log_20240302.txt"},
        // A dot in a folder's name is no ending.
        {"D:\\logs.d\\card", "D:\\logs.d\\card_20240302"},
        {"/var/log.d/card", "/var/log.d/card_20240302"},
        {"C:\\a.b\\c.d/card.txt", "C:\\a.b\\c.d/card_20240302.txt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Log_DatedName(c.name, "20240302"), c.expected) << c.name;
    }
}

TEST(ControlLogName, ALongNameKeepsItsDate) {
    const std::string stem = "C:\\" + std::string(300, 'n');
    EXPECT_EQ(Log_DatedName(stem + ".txt", "20240302"), stem + "_20240302.txt");
}

TEST_F(ControlLog, IniIsLookedForInTheWindowsFolderThenInTheHomeFolder) {
    const struct {
        const char* label;
        const char* windows; // body of the Windows folder's ini, null: none
        const char* home;    // body of the home folder's ini, null: none
        int result;
        const char* file; // the configured name before the date
        int level;
    } cases[] = {
        {"windows only", "Log File=C:\\w.txt\nLog Level=3\n", nullptr, 0, "C:\\w.txt", 3},
        {"home only", nullptr, "Log File=C:\\h.txt\nLog Level=4\n", 0, "C:\\h.txt", 4},
        {"windows first", "Log File=C:\\w.txt\nLog Level=3\n", "Log File=C:\\h.txt\nLog Level=4\n",
         0, "C:\\w.txt", 3},
        // Without "Log File" the Windows folder's ini is passed over entirely.
        {"windows without file", "Log Level=3\n", "Log File=C:\\h.txt\nLog Level=4\n", 0,
         "C:\\h.txt", 4},
        {"no level", "Log File=C:\\w.txt\n", nullptr, 103, "C:\\w.txt", 0},
        {"no ini", nullptr, nullptr, 101, "C:\\QxLog.log", 0},
        {"level only", nullptr, "Log Level=5\n", 0, "C:\\QxLog.log", 5},
        {"quoted level", "Log File=\"C:\\q.txt\"\nlog level= 2\n", nullptr, 0, "C:\\q.txt", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Log_ResetForTest();
        fs::remove(box.root() / "Windows" / "Tavelo.ini");
        fs::remove(box.root() / "Home" / "Tavelo.ini");
        if (c.windows != nullptr) {
            writeIni(c.windows, "Windows");
        }
        if (c.home != nullptr) {
            writeIni(c.home, "Home");
        }
        EXPECT_EQ(Log_Init("Tavelo", "Tavelo.ini"), c.result);
        EXPECT_EQ(Log_FileName(), Log_DatedName(c.file, today()));
        EXPECT_EQ(Log_Level(), c.level);
    }
}

TEST_F(ControlLog, AnIniNameWithASeparatorIsUsedAsItStands) {
    const auto linux = box.write("conf/Tavelo.ini", "[Tavelo]\nLog File=C:\\a.txt\nLog Level=1\n");
    box.write("C/conf/Tavelo.ini", "[Tavelo]\nLog File=C:\\b.txt\nLog Level=2\n");
    writeIni("Log File=C:\\w.txt\nLog Level=3\n");

    EXPECT_EQ(Log_Init("Tavelo", linux.c_str()), 0);
    EXPECT_EQ(Log_FileName(), "C:\\a_" + today() + ".txt");
    Log_ResetForTest();
    EXPECT_EQ(Log_Init("Tavelo", "C:\\conf\\Tavelo.ini"), 0);
    EXPECT_EQ(Log_FileName(), "C:\\b_" + today() + ".txt");
    EXPECT_EQ(Log_Level(), 2);
}

TEST_F(ControlLog, ASecondInitialisationChangesNothing) {
    writeIni("Log File=C:\\first.txt\nLog Level=3\n");
    ASSERT_EQ(Log_Init("Tavelo", "Tavelo.ini"), 0);
    writeIni("Log File=C:\\second.txt\nLog Level=5\n");
    EXPECT_EQ(Log_Init("Tavelo", "Tavelo.ini"), -1);
    EXPECT_EQ(Log_FileName(), "C:\\first_" + today() + ".txt");
    EXPECT_EQ(Log_Level(), 3);
}

TEST_F(ControlLog, ConcurrentFirstCallsInitialiseOnce) {
    writeIni("Log File=C:\\c.txt\nLog Level=4\n");
    constexpr int kThreads = 8;
    std::atomic<bool> go{false};
    std::vector<int> results(kThreads, 99);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            while (!go) {
                std::this_thread::yield();
            }
            results[i] = Log_Init("Tavelo", "Tavelo.ini");
        });
    }
    go = true;
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(std::count(results.begin(), results.end(), 0), 1);
    EXPECT_EQ(std::count(results.begin(), results.end(), -1), kThreads - 1);
    EXPECT_EQ(Log_Level(), 4);
}

TEST_F(ControlLog, ALineCarriesStampTicksLevelWordAndIds) {
    initWithLevel(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Log_Write(kLogDebug, "skipped %d", 1), -2);
    EXPECT_EQ(Log_Write(kLogError, "%s %d %s", "QxTest.cpp", 42, "hello"), 0);

    const auto written = lines(logFile("card", ".txt"));
    ASSERT_EQ(written.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(written[0], m, kLine)) << written[0];
    EXPECT_EQ(m[1].str() + m[2].str() + m[3].str(), today());
    EXPECT_GE(std::stoul(m[4].str()), 30u);
    EXPECT_EQ(m[5].str(), "ERROR ");
    EXPECT_EQ(std::stol(m[6].str()), getpid());
    EXPECT_EQ(std::stol(m[7].str()), gettid());
    EXPECT_EQ(m[8].str(), "QxTest.cpp 42 hello");
}

// What a caller logs stays data: control characters are escaped, so no
// value begins a line; and the file is the user's alone, never reached
// through a link.
TEST_F(ControlLog, ValuesAreEscapedAndTheFileIsPrivateAndNeverALink) {
    initWithLevel(5);
    const auto old = umask(0);
    EXPECT_EQ(Log_Write(kLogInfo, "reader %s", "\nid > /tmp/pwned; #\n"), 0);
    // Every text argument, however it is cut.
    EXPECT_EQ(Log_Write(kLogInfo, "%.*s|%c|%d", 3, "a\nbc", '\r', 7), 0);
    umask(old);
    const auto file = logFile("card", ".txt");
    const auto got = lines(file);
    ASSERT_EQ(got.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, kLine)) << got[0];
    EXPECT_EQ(m[8], "reader \\nid > /tmp/pwned; #\\n");
    ASSERT_TRUE(std::regex_match(got[1], m, kLine)) << got[1];
    EXPECT_EQ(m[8], "a\\n|\\r|7");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const auto victim = box.write("Home/.bashrc", "alias ls='ls -F'\n");
    fs::remove(file);
    fs::create_symlink(victim, file);
    EXPECT_EQ(Log_Write(kLogInfo, "through the link"), -3);
    EXPECT_EQ(Sandbox::read(victim), "alias ls='ls -F'\n");
}

TEST_F(ControlLog, EachLevelHasItsWord) {
    initWithLevel(9);
    const char* words[] = {"FATAL ", "ERROR ", "WARN  ", "INFO  ", "DEBUG ", "NONE  ", "NONE  "};
    for (int level = 1; level <= 7; ++level) {
        ASSERT_EQ(Log_Write(level, "level %d", level), 0);
    }
    const auto written = lines(logFile("card", ".txt"));
    ASSERT_EQ(written.size(), 7u);
    for (int level = 1; level <= 7; ++level) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(written[level - 1], m, kLine));
        EXPECT_EQ(m[5].str(), words[level - 1]);
        EXPECT_EQ(m[8].str(), "level " + std::to_string(level));
    }
}

TEST_F(ControlLog, NothingBelowLevelOneIsEverWritten) {
    const struct {
        int configured;
        int level;
    } cases[] = {{0, 0}, {0, 1}, {0, -1}, {5, 0}, {5, -3}, {-2, -2}, {-2, -5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.configured) + " " + std::to_string(c.level));
        Log_ResetForTest();
        initWithLevel(c.configured);
        EXPECT_EQ(Log_Write(c.level, "never"), -2);
        EXPECT_EQ(Log_HexDump(c.level, "never", nullptr, 0), 0);
        EXPECT_FALSE(fs::exists(logFile("card", ".txt")));
    }
}

TEST_F(ControlLog, NothingIsWrittenBeforeInitialisation) {
    EXPECT_EQ(Log_Write(kLogFatal, "early"), -2);
    EXPECT_EQ(Log_FileName(), "");
}

TEST_F(ControlLog, AFileThatCannotBeOpenedDropsTheLine) {
    writeIni("Log File=C:\\missing\\folder\\card.txt\nLog Level=5\n");
    ASSERT_EQ(Log_Init("Tavelo", "Tavelo.ini"), 0);
    EXPECT_EQ(Log_Write(kLogDebug, "lost"), -3);
}

TEST_F(ControlLog, WithoutLogFileTheDefaultFileOnDriveCIsUsed) {
    // The home folder's ini: one in the Windows folder without "Log File" is
    // passed over.
    writeIni("Log Level=5\n", "Home");
    ASSERT_EQ(Log_Init("Tavelo", "Tavelo.ini"), 0);
    ASSERT_EQ(Log_Write(kLogInfo, "to the default"), 0);
    const auto written = lines(box.root() / "C" / ("QxLog_" + today() + ".log"));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_TRUE(written[0].ends_with("INFO  [" + std::to_string(getpid()) + "-" +
                                     std::to_string(gettid()) + "] to the default"));
}

TEST_F(ControlLog, HexDumpWritesLabelLengthAndUpperCaseHex) {
    initWithLevel(5);
    const std::uint8_t select[] = {0x00, 0xA4};
    const std::uint8_t all[] = {0x0F, 0xF0, 0xAB, 0x5c};
    EXPECT_EQ(Log_HexDump(kLogDebug, "SEND", select, sizeof select), 0);
    EXPECT_EQ(Log_HexDump(kLogDebug, "ALL", all, sizeof all), 0);
    EXPECT_EQ(Log_HexDump(kLogDebug, "EMPTY", select, 0), 0);
    EXPECT_EQ(Log_HexDump(kLogDebug, "NONE", nullptr, 3), 0);

    const auto written = lines(logFile("card", ".txt"));
    ASSERT_EQ(written.size(), 4u);
    const char* messages[] = {"SEND 2 00A4", "ALL 4 0FF0AB5C", "EMPTY 0 ", "NONE 3 "};
    for (std::size_t i = 0; i < 4; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(written[i], m, kLine));
        EXPECT_EQ(m[8].str(), messages[i]);
    }
}

TEST_F(ControlLog, LinesOfManyThreadsNeverMix) {
    initWithLevel(5);
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int n = 0; n < kLines; ++n) {
                // Lengths across and well beyond a stdio buffer.
                const std::string body(static_cast<std::size_t>(1 + (n * 37) % 9000),
                                       static_cast<char>('a' + t));
                Log_Write(kLogDebug, "T%d N%d %s", t, n, body.c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    const auto written = lines(logFile("card", ".txt"));
    ASSERT_EQ(written.size(), static_cast<std::size_t>(kThreads * kLines));
    const std::regex message(R"(^T(\d) N(\d+) ([a-z]+)$)");
    std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kLines, false));
    for (const auto& line : written) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line.substr(0, 80);
        const std::string text = m[8].str();
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(text, parts, message)) << text.substr(0, 80);
        const int t = std::stoi(parts[1].str());
        const int n = std::stoi(parts[2].str());
        ASSERT_LT(t, kThreads);
        ASSERT_LT(n, kLines);
        EXPECT_EQ(parts[3].str(), std::string(static_cast<std::size_t>(1 + (n * 37) % 9000),
                                              static_cast<char>('a' + t)));
        seen[t][n] = true;
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(std::count(seen[t].begin(), seen[t].end(), true), kLines) << t;
    }
}

TEST_F(ControlLog, FilePrintfHandsTheWholeTextToOneWrite) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    EXPECT_EQ(Log_FilePrintf(pipeEnds[1], "%s-%05d-%c", "abc", 42, 'z'), 11);
    char buffer[64] = {};
    EXPECT_EQ(read(pipeEnds[0], buffer, sizeof buffer), 11);
    EXPECT_STREQ(buffer, "abc-00042-z");
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    EXPECT_EQ(Log_FilePrintf(-1, "x"), -1);
}

TEST_F(ControlLog, DateTextAndTimeStampFollowTheLocalClock) {
    EXPECT_EQ(Log_DateText(), today());
    initWithLevel(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string stamp = Log_TimeStamp();
    const std::regex form(R"(^(\d{4})(?:-\d\d){2} \d\d:\d\d:\d\d \((\d+)\)$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(stamp, m, form)) << stamp;
    EXPECT_GE(std::stoul(m[2].str()), 20u);
    EXPECT_LT(std::stoul(m[2].str()), 60000u);
}

} // namespace
