// The worker's kill sequence: the same steps as the monitor's, for any
// program name, with the worker's tag.

#include "common/ToolLog.h"
#include "tests/monitor/KeeperTestSupport.h"
#include "worker/WorkerTool.h"

#include <gtest/gtest.h>

namespace {

using namespace keeper_test;

class WorkerKill : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(setLog("CorvantixWorker-Test")); }
    ProgramSandbox sandbox;
};

TEST_F(WorkerKill, EndsAProgramByItsNameWithTheWorkersTag) {
    sandbox.setServiceMode("deaf");
    const pid_t pid = sandbox.start({sandbox.install(FAKE_SERVICE, "Helper").string()});
    ASSERT_TRUE(sandbox.waitForRuns(1, 5s));
    EXPECT_TRUE(killProcess("Helper.exe"));
    const auto status = waitStatus(pid, 2s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status));
    EXPECT_TRUE(message_test::inOrder(
        sandbox.allLines(), {"[CorvantixWorker] CorvantixWorker kill Helper.exe success",
                             "[CorvantixWorker] kill Helper.exe shutdown state: Success"}));
}

TEST_F(WorkerKill, NoNameIsRefused) {
    EXPECT_FALSE(killProcess(std::nullopt));
    EXPECT_TRUE(message_test::contains(sandbox.allLines(), "Parameter inputTo is null at"));
}

} // namespace
