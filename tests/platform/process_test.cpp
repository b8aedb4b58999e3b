// Programs run for their output, and a file deleted later by a process that
// outlives its caller.

#include "platform/process/Process.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(RunCaptured, KeepsTheOutputAndTheExitCode) {
    const auto run = platform::runCaptured({"/bin/sh", "-c", "printf 'one\\ntwo'; exit 3"});
    ASSERT_TRUE(run);
    EXPECT_EQ(run->out, "one\ntwo");
    EXPECT_EQ(run->exitCode, 3);
    // Output larger than a pipe holds is read while the program runs.
    const auto large = platform::runCaptured({"/bin/sh", "-c", "head -c 200000 /dev/zero"});
    ASSERT_TRUE(large);
    EXPECT_EQ(large->out.size(), 200000u);
    EXPECT_EQ(large->exitCode, 0);
    EXPECT_FALSE(platform::runCaptured({"no-such-program-anywhere"}));
}

TEST(DeleteFileLater, DeletesAfterTheDelayHoldingNothingOfTheCaller) {
    testing_support::Sandbox box;
    const auto file = box.write("victim.bin", "x");
    // A lock the caller holds goes with the caller's descriptor, though the
    // deleting process was made while it was open.
    const auto lockFile = box.write("probe.lock", "");
    const int held = open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);

    // A delay long against the caller's own steps, so a loaded machine
    // cannot make the early checks late.
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(platform::deleteFileLater(file, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s); // the caller goes on
    close(held);
    const int other = open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);

    EXPECT_TRUE(fs::exists(file));
    for (int i = 0; i < 400 && fs::exists(file); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(fs::exists(file));
    EXPECT_GE(std::chrono::steady_clock::now() - began, 2s);
}

} // namespace
