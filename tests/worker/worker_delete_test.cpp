// "-delete": a file or folder and each empty folder above it, what decides
// between file and folder, the path taken as written (a bare name, a
// Windows path, a linked folder in it), and the inputs refused (none, an
// over-long path), with the worker's own deletion at its end.

#include "common/ResultCode.h"
#include "common/Tool.h"
#include "platform/folders/Folders.h"
#include "tests/worker/WorkerProgram.h"

#include <gtest/gtest.h>

namespace {

using namespace worker_test;
using message_test::contains;
using message_test::inOrder;

constexpr int kBadArgumentStatus = kResultBadArgument & 0xFF;
constexpr std::size_t kPathMax = 511;

// Paths below the test's folder are written with "@/", those of the drive
// C: with "@C:/"; "@LONG@" is a file path of exactly 511 characters, and
// "@LONGER@" that path continued.
struct DeleteRow {
    const char* name;
    std::vector<std::string> make; // files, or folders when they end with "/"
    std::optional<std::string> argument;
    std::string folder = {}; // where the worker runs; the sandbox root when empty
    std::vector<std::pair<std::string, std::string>> links = {}; // link, folder it points at
    int status = 0;
    std::vector<std::string> gone = {};
    std::vector<std::string> kept = {};
    std::vector<std::string> lines = {};
    std::vector<std::string> absent = {};
    bool workerDeleted = true;
};

void PrintTo(const DeleteRow& row, std::ostream* out) {
    *out << row.name;
}

const DeleteRow kRows[] = {
    {.name = "FileAndTheEmptyFoldersAboveIt",
     .make = {"@/a/keep.txt", "@/a/b/c/file.txt"},
     .argument = "@/a/b/c/file.txt",
     .gone = {"@/a/b/c/file.txt", "@/a/b/c", "@/a/b"},
     .kept = {"@/a/keep.txt"},
     .lines = {"File mode", "Delete @/a/b/c/file.txt success", "Folder mode",
               "Delete @/a/b/c success", "Delete @/a/b success",
               "Delete @/a retry too many times"}},
    {.name = "ProgramFileWithoutExtension",
     .make = {"@/a/keep.txt", "@/a/bin/tool"},
     .argument = "@/a/bin/tool",
     .gone = {"@/a/bin/tool", "@/a/bin"},
     .kept = {"@/a/keep.txt"},
     .lines = {"File mode", "Delete @/a/bin/tool success", "Folder mode",
               "Delete @/a/bin success"}},
    {.name = "FolderWithADotInItsName",
     .make = {"@/a/keep.txt", "@/a/conf.d/"},
     .argument = "@/a/conf.d",
     .gone = {"@/a/conf.d"},
     .kept = {"@/a/keep.txt"},
     .lines = {"Folder mode", "Delete @/a/conf.d success"},
     .absent = {"File mode"}},
    {.name = "PathWithBlanks",
     .make = {"@/a/keep.txt", "@/a/my dir/my file.txt"},
     .argument = "@/a/my dir/my file.txt",
     .gone = {"@/a/my dir/my file.txt", "@/a/my dir"},
     .kept = {"@/a/keep.txt"},
     .lines = {"CmdLine: @/a/my dir/my file.txt", "Delete @/a/my dir success"}},
    {.name = "MissingFileTakenByItsLook",
     .make = {"@/a/keep.txt"},
     .argument = "@/a/missing.txt",
     .status = 1,
     .kept = {"@/a/keep.txt"},
     .lines = {"File mode", "Try too many times"},
     .absent = {"Folder mode"}},
    {.name = "NameWithoutASeparatorEndsTheWalk",
     .make = {"@/a/b/c/victim.txt"},
     .argument = "victim.txt",
     .folder = "@/a/b/c",
     .gone = {"@/a/b/c/victim.txt"},
     .kept = {"@/a/b/c"},
     .lines = {"File mode", "Delete victim.txt success", "Folder mode"},
     .absent = {"retry too many times"}},
    {.name = "WindowsPathThroughTheDriveMapping",
     .make = {"@C:/x/y.txt", "@/w/e/"},
     .argument = "C:\\x\\y.txt",
     .folder = "@/w/e",
     .gone = {"@C:/x/y.txt", "@C:/x"},
     .kept = {"@C:", "@/w/e"},
     .lines = {"File mode", "Delete @C:/x/y.txt success", "Folder mode", "Delete @C:/x success"},
     .absent = {"retry too many times"}},
    {.name = "FileBehindALinkedFolderIsLeft",
     .make = {"@/a/keep.txt", "@/elsewhere/deep/file.txt"},
     .argument = "@/a/link/file.txt",
     .links = {{"@/a/link", "@/elsewhere/deep"}},
     .status = 1,
     .kept = {"@/elsewhere/deep/file.txt", "@/a/link"},
     .lines = {"Try too many times"},
     .absent = {"success"}},
    {.name = "FolderBehindALinkedFolderIsLeft",
     .make = {"@/a/keep.txt", "@/elsewhere/deep/sub/"},
     .argument = "@/a/link/sub",
     .links = {{"@/a/link", "@/elsewhere/deep"}},
     .kept = {"@/elsewhere/deep/sub", "@/a/link"},
     .lines = {"Folder mode", "Delete @/a/link/sub retry too many times"},
     .absent = {"success"}},
    {.name = "NoPath",
     .make = {},
     .argument = std::nullopt,
     .status = kBadArgumentStatus,
     .lines = {"Input is empty"},
     .absent = {"CmdLine"},
     .workerDeleted = false},
    {.name = "OverLongPathIsRefusedNotCut",
     .make = {"@LONG@", "@LONGER@"},
     .argument = "@LONGER@",
     .status = kBadArgumentStatus,
     .kept = {"@LONG@", "@LONGER@"},
     .lines = {"[Error] Input is too long: 515"},
     .absent = {"File mode", "Folder mode"},
     .workerDeleted = false},
};

// A file path of exactly 511 characters below the folder.
std::string longPath(const fs::path& folder) {
    std::string path = folder.string();
    while (kPathMax - path.size() > 201) {
        path += "/" + std::string(150, 'x');
    }
    const std::size_t room = kPathMax - path.size() - 1;
    return path + "/" + std::string(room - 4, 'y') + ".txt";
}

class WorkerDelete : public ::testing::TestWithParam<DeleteRow> {
protected:
    std::string fill(const std::string& text) const {
        const fs::path base = sandbox.box.root() / "d";
        std::string out = replaceString(text, "@LONGER@", longPath(base) + "_old");
        out = replaceString(out, "@LONG@", longPath(base));
        out = replaceString(out, "@C:", platform::driveFolder('C').string());
        return replaceString(out, "@/", base.string() + "/");
    }

    WorkerSandbox sandbox;
};

TEST_P(WorkerDelete, RemovesWhatItShouldAndEndsWithItsStatus) {
    const auto& row = GetParam();
    ASSERT_EQ(longPath(sandbox.box.root() / "d").size(), kPathMax);
    for (const auto& entry : row.make) {
        const fs::path path = fill(entry);
        if (entry.ends_with("/")) {
            fs::create_directories(path);
        } else {
            fs::create_directories(path.parent_path());
            std::ofstream(path) << "x";
        }
    }
    for (const auto& [link, target] : row.links) {
        fs::create_directory_symlink(fill(target), fill(link));
    }
    std::vector<std::string> arguments{"-delete"};
    if (row.argument) {
        arguments.push_back(fill(*row.argument));
    }
    const fs::path folder = row.folder.empty() ? fs::path() : fs::path(fill(row.folder));
    const WorkerRun run = sandbox.run(arguments, folder);
    EXPECT_EQ(run.status, row.status);
    for (const auto& path : row.gone) {
        EXPECT_FALSE(fs::exists(fill(path))) << path;
    }
    for (const auto& path : row.kept) {
        EXPECT_TRUE(fs::exists(fill(path))) << path;
    }
    const auto lines = sandbox.allLines();
    std::vector<std::string> expected;
    for (const auto& line : row.lines) {
        expected.push_back(fill(line));
    }
    EXPECT_TRUE(inOrder(lines, expected)) << sandbox.logText();
    for (const auto& text : row.absent) {
        EXPECT_FALSE(contains(lines, text)) << text;
    }
    if (row.workerDeleted) {
        EXPECT_TRUE(waitFor([&] { return !fs::exists(sandbox.worker); }, 5s));
    } else {
        std::this_thread::sleep_for(3s); // past the self-delete delay
        EXPECT_TRUE(fs::exists(sandbox.worker));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, WorkerDelete, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
