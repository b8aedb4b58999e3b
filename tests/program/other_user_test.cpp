#include "tests/program/ServiceProgram.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testing_support::today;

namespace fs = std::filesystem;
using namespace service_program;
using testing_support::Sandbox;

// What a page's request carries to put a command into a shell's start file.
const std::string kInjected = "\nid > /tmp/pwned; #\n";

std::string echoWithNote() {
    return R"({"FunctionName":"Echo","minServerVersion":"1.0.0.0","PathID":")" + kPathId +
           R"(","Note":")" + kInjected + "\"}";
}

class AnotherUser : public ServiceProgram {};

// Another account plants a log INI where the lookup searches (the drive's
// tmp folder, shared as /tmp is) naming a log in a folder of its own, where
// a link points at the user's shell start file. The service reads none of
// it: the user's file stays as it was and nothing is logged for the other.
TEST_F(AnotherUser, APlantedIniAndLinkWriteNothingOfTheUsers) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to play another account (setpriv)";
    }
    const auto bashrc = box.write("Home/.bashrc", "alias ls='ls -F'\n");
    const auto tmp = box.root() / "C" / "tmp";
    fs::create_directories(tmp);
    ASSERT_EQ(chmod(box.root().c_str(), 0711), 0);
    ASSERT_EQ(chmod((box.root() / "C").c_str(), 0711), 0);
    ASSERT_EQ(chmod(tmp.c_str(), 01777), 0);
    const auto theirs = tmp / "theirs";
    ASSERT_EQ(testing_support::runAsStranger(
                  "mkdir -m 0777 '" + theirs.string() + "' && ln -s '" + bashrc.string() + "' '" +
                  (theirs / ("VondelCorvantix_" + today() + ".txt")).string() +
                  "' && printf '[VondelCorvantix]\\nLog File=%s\\nLog Level=5\\n' '" +
                  (theirs / "VondelCorvantix.txt").string() + "' > '" +
                  (tmp / "VondelCorvantix.ini").string() + "'"),
              0);

    start();
    ASSERT_TRUE(ready());
    EXPECT_TRUE(post(kPorts[0], false, echoWithNote()));

    EXPECT_EQ(Sandbox::read(bashrc), "alias ls='ls -F'\n");
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(theirs)) {
        EXPECT_TRUE(entry.is_symlink()) << entry.path();
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

// The user's own log: the request's value reaches it escaped, on the line
// that logs it, and the file is the user's alone (as root: another account
// cannot read it).
TEST_F(AnotherUser, ARequestValueReachesTheLogEscapedAndTheLogIsPrivate) {
    enableLog();
    start();
    ASSERT_TRUE(ready());
    EXPECT_TRUE(post(kPorts[0], false, echoWithNote()));

    const std::string written = log();
    EXPECT_NE(written.find("Note: \\nid > /tmp/pwned; #\\n\n"), std::string::npos) << written;
    EXPECT_EQ(written.find("\nid > "), std::string::npos);
    const auto file = box.root() / ("service_" + today() + ".log");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (geteuid() == 0) {
        // Another account that may enter the folder still reads nothing.
        ASSERT_EQ(chmod(box.root().c_str(), 0711), 0);
        EXPECT_NE(testing_support::runAsStranger("cat '" + file.string() + "' > /dev/null"), 0);
    }
}

} // namespace
