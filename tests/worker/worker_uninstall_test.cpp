// Uninstall detection: the listing it counts with, how it reads its
// arguments, and the real worker deciding with components present (the
// monitor is told to start, nothing is removed) and absent (the product is
// removed, the worker included), in an installed layout and in the build's.

#include "common/Message.h"
#include "common/ResultCode.h"
#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "tests/worker/WorkerProgram.h"
#include "worker/Uninstall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

using namespace worker_test;
using message_test::contains;
using message_test::inOrder;

class ListFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(setLog("CorvantixWorker-Test"));
        top = logs.box.root() / "t";
        for (const char* file : {"a.so", "b.txt", "sub/c.so", "sub/deeper/d.so", "lib.so/e.so"}) {
            logs.box.write(fs::path("t") / file, "x");
        }
        // A link back up would make the walk endless if it were followed.
        fs::create_directory_symlink(top, top / "sub" / "loop");
        fs::create_directory_symlink(top / "sub", top / "link.so");
    }

    std::vector<fs::path> list(std::string_view pattern) {
        std::vector<fs::path> found;
        EXPECT_TRUE(listFiles(top, pattern, found));
        return found;
    }

    static std::set<fs::path> asSet(const std::vector<fs::path>& paths) {
        return {paths.begin(), paths.end()};
    }

    message_test::LoggedSandbox logs;
    fs::path top;
};

TEST_F(ListFiles, WalksBreadthFirstAndListsLinksWithoutFollowingThem) {
    const auto found = list("*");
    EXPECT_EQ(asSet(found),
              (std::set<fs::path>{top / "a.so", top / "b.txt", top / "link.so", top / "sub/c.so",
                                  top / "sub/loop", top / "sub/deeper/d.so", top / "lib.so/e.so"}));
    EXPECT_EQ(found.size(), 7u); // each once
    const auto depth = [&](const fs::path& p) {
        const auto relative = p.lexically_relative(top);
        return std::distance(relative.begin(), relative.end());
    };
    EXPECT_TRUE(std::is_sorted(found.begin(), found.end(),
                               [&](const auto& a, const auto& b) { return depth(a) < depth(b); }));
}

TEST_F(ListFiles, SearchesOnlyTheFoldersThePatternMatches) {
    EXPECT_EQ(asSet(list("*.so")),
              (std::set<fs::path>{top / "a.so", top / "link.so", top / "lib.so/e.so"}));
    EXPECT_TRUE(list("*.dll").empty());
}

TEST_F(ListFiles, AFolderThatCannotBeSearchedFailsTheListing) {
    std::vector<fs::path> found;
    EXPECT_FALSE(listFiles(top / "missing", "*", found));
    EXPECT_TRUE(contains(logs.allLines(),
                         "[Error] INVALID_HANDLE_VALUE at " + (top / "missing" / "*").string()));
}

struct ArgumentRow {
    const char* name;
    std::string text; // "@" stands for a folder holding "Un_A" and "My Prog/Un_A"
    std::vector<std::string> arguments;
};

void PrintTo(const ArgumentRow& row, std::ostream* out) {
    *out << row.name;
}

class UninstallArguments : public ::testing::TestWithParam<ArgumentRow> {};

TEST_P(UninstallArguments, GroupProgramPathsWithBlanks) {
    testing_support::Sandbox box;
    box.write("Un_A", "");
    box.write("My Prog/Un_A", "");
    const auto fill = [&](const std::string& text) {
        return replaceString(text, "@", box.root().string());
    };
    std::vector<std::string> expected;
    for (const auto& argument : GetParam().arguments) {
        expected.push_back(fill(argument));
    }
    EXPECT_EQ(uninstallArguments(fill(GetParam().text)), expected);
}

std::string manyPrograms() {
    std::string text;
    for (int i = 0; i < 20; ++i) {
        text += "p" + std::to_string(i) + ".exe ";
    }
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UninstallArguments,
    ::testing::Values(
        ArgumentRow{"AnExistingProgramEndsItsArgument", "@/Un_A second", {"@/Un_A", "second"}},
        ArgumentRow{"WrittenWithExe",
                    "C:\\Prog Files\\Un_A.exe _?=C:\\Prog Files\\X",
                    {"C:\\Prog Files\\Un_A.exe", "_?=C:\\Prog Files\\X"}},
        ArgumentRow{
            "QuotedPathWithABlank", "\"@/My Prog/Un_A\" second", {"@/My Prog/Un_A", "second"}},
        ArgumentRow{
            "UnquotedPathWithABlank", "@/My Prog/Un_A second", {"@/My Prog/Un_A", "second"}},
        ArgumentRow{"QuotedMissingPath", "\"@/gone now\" x", {"@/gone now", "x"}},
        ArgumentRow{"OneWord", "onlyone", {"onlyone"}}, ArgumentRow{"Nothing", "", {}},
        ArgumentRow{"WordsWithoutAProgramAreOne", "a b", {"a b"}},
        ArgumentRow{"TheRestAfterAProgram", "x.exe a  b", {"x.exe", "a b"}},
        ArgumentRow{"AtMostSixteenPieces",
                    manyPrograms(),
                    {"p0.exe", "p1.exe", "p2.exe", "p3.exe", "p4.exe", "p5.exe", "p6.exe", "p7.exe",
                     "p8.exe", "p9.exe", "p10.exe", "p11.exe", "p12.exe", "p13.exe", "p14.exe",
                     "p15.exe"}}),
    [](const auto& info) { return std::string(info.param.name); });

class UninstallDetect : public ::testing::Test {
protected:
    UninstallDetect() {
        sandbox.box.write("Program/libmain.so", "library");
        for (const char* file :
             {"liba.so", ".hidden.so", "keep.txt", "Tempfile/Session_1/copy.so"}) {
            sandbox.box.write(data / file, "x");
        }
    }

    std::string uninstallerRuns() const {
        return testing_support::Sandbox::read(sandbox.box.root() / "program-runs.txt");
    }

    WorkerSandbox sandbox;
    const fs::path data = sandbox.box.root() / "ProgramData" / "VondelCorvantix";
};

TEST_F(UninstallDetect, OtherComponentsPresentKeepTheProductAndStartTheMonitor) {
    sandbox.box.write("Program/Component/libextra.so", "library");
    const auto uninstaller = sandbox.install(RECORD_RUN, "Un_A");
    const pid_t monitor = sandbox.startMonitor();

    const WorkerRun run = sandbox.run({"-uninstalldetect", uninstaller.string(), "second"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(sandbox.hasEvent(monitor, std::string(kInstructionMonitorStart)));
    EXPECT_TRUE(inOrder(sandbox.allLines(),
                        {"[Normal] SplitLength: 2", "[Normal] argv[0] = " + uninstaller.string(),
                         "[Normal] argv[1] = second",
                         "[Normal] Uninstall detect result: TotolSize = 2 MainSize = 1",
                         "[Normal] ->MonitorStart"}))
        << sandbox.logText();
    std::this_thread::sleep_for(3s); // past the self-delete delay
    EXPECT_TRUE(fs::exists(sandbox.worker));
    EXPECT_EQ(uninstallerRuns(), "");
    for (const char* file : {"liba.so", ".hidden.so", "keep.txt"}) {
        EXPECT_TRUE(fs::exists(data / file)) << file;
    }
}

struct AbsentRow {
    const char* name;
    const char* folder;    // below the program folder, where the uninstaller lies
    const char* writtenAs; // how the command line names it: "" its file name, or ".exe"
};

void PrintTo(const AbsentRow& row, std::ostream* out) {
    *out << row.name;
}

class UninstallDetectAbsent : public UninstallDetect,
                              public ::testing::WithParamInterface<AbsentRow> {};

TEST_P(UninstallDetectAbsent, RemoveTheProductAndThenTheWorker) {
    const auto& row = GetParam();
    fs::create_directories(sandbox.programFolder() / row.folder);
    const auto uninstaller = sandbox.install(RECORD_RUN, (fs::path(row.folder) / "Un_A").string());
    const pid_t monitor = sandbox.startMonitor();

    const WorkerRun run =
        sandbox.run({"-uninstalldetect", uninstaller.string() + row.writtenAs, "second"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(fs::exists(sandbox.worker)); // deleted only after the worker ended
    EXPECT_TRUE(waitFor([&] { return uninstallerRuns() == "Un_A /S\n"; }, 5s)) << uninstallerRuns();
    EXPECT_TRUE(
        inOrder(sandbox.allLines(), {"[Normal] Uninstall detect result: TotolSize = 1 MainSize = 1",
                                     "[Normal] ->Unstall"}))
        << sandbox.logText();
    EXPECT_FALSE(fs::exists(data / "liba.so"));
    EXPECT_FALSE(fs::exists(data / ".hidden.so"));
    EXPECT_TRUE(fs::exists(data / "keep.txt"));
    EXPECT_TRUE(fs::exists(data / "Tempfile/Session_1/copy.so"));
    EXPECT_TRUE(fs::exists(sandbox.programFolder() / "libmain.so"));
    EXPECT_TRUE(waitFor([&] { return !fs::exists(sandbox.worker); }, 5s));
    EXPECT_FALSE(sandbox.hasEvent(monitor, std::string(kInstructionMonitorStart)));
}

INSTANTIATE_TEST_SUITE_P(Rows, UninstallDetectAbsent,
                         ::testing::Values(AbsentRow{"PlainPath", "", ""},
                                           AbsentRow{"PathWithABlank", "Un A", ""},
                                           AbsentRow{"WrittenWithExe", "", ".exe"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct LayoutRow {
    const char* name;
    bool adapterInstalled;
    std::string result;
};

void PrintTo(const LayoutRow& row, std::ostream* out) {
    *out << row.name;
}

class UninstallDetectLayout : public UninstallDetect,
                              public ::testing::WithParamInterface<LayoutRow> {};

// As the build lays the programs out (and run.sh finds them): the worker in
// a folder of its own, the service in another one on the search path, its
// adapter in a folder below it.
TEST_P(UninstallDetectLayout, CountsTheAdaptersBesideTheService) {
    const fs::path build = sandbox.box.root() / "build";
    fs::create_directories(build / "worker");
    fs::create_directories(build / "service" / "Vondel");
    const fs::path worker = build / "worker" / "VondelCorvantixWorker";
    fs::copy_file(WORKER_PROGRAM, worker);
    fs::copy_file(FAKE_SERVICE, build / "service" / "VondelCorvantix");
    if (GetParam().adapterInstalled) {
        sandbox.box.write("build/service/Vondel/VondelTaveloZynAdapter.so", "library");
    }
    const auto uninstaller = sandbox.install(RECORD_RUN, "Un_A");
    const pid_t monitor = sandbox.startMonitor();

    keeper_test::SpawnOptions options;
    options.environment["PATH"] = (build / "service").string() + ":" + std::getenv("PATH");
    const pid_t run = sandbox.start(
        {worker.string(), "-uninstalldetect", uninstaller.string(), "second"}, options);
    EXPECT_EQ(WorkerSandbox::exitStatus(run), 0);
    EXPECT_TRUE(
        inOrder(sandbox.allLines(), {"[Normal] Component folder: " + (build / "service").string(),
                                     "[Normal] Uninstall detect result: " + GetParam().result}))
        << sandbox.logText();
    const bool kept = GetParam().adapterInstalled;
    EXPECT_EQ(sandbox.hasEvent(monitor, std::string(kInstructionMonitorStart)), kept);
    EXPECT_EQ(waitFor([&] { return uninstallerRuns() == "Un_A /S\n"; }, kept ? 1s : 5s), !kept);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UninstallDetectLayout,
    ::testing::Values(LayoutRow{"AdapterInstalled", true, "TotolSize = 1 MainSize = 0"},
                      LayoutRow{"NoAdapter", false, "TotolSize = 0 MainSize = 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UninstallDetect, WaitsWhileTheComponentUninstallerRuns) {
    const auto uninstaller = sandbox.install(RECORD_RUN, "Un_A");
    const auto copy = sandbox.install("/bin/sleep", "Au_");
    const pid_t running = sandbox.start({copy.string(), "2"});
    const WorkerRun run = sandbox.run({"-uninstalldetect", uninstaller.string(), "second"});
    EXPECT_EQ(run.status, 0);
    ASSERT_TRUE(keeper_test::waitStatus(running, 1s));
    // Two seconds for the copy to end, then the second the worker adds.
    EXPECT_GE(run.took, 2900ms);
    EXPECT_TRUE(waitFor([&] { return uninstallerRuns() == "Un_A /S\n"; }, 5s));
}

} // namespace
