#include "platform/event/NamedEvent.h"
#include "platform/folders/Folders.h"
#include "platform/mutex/NamedMutex.h"
#include "platform/window/MessageWindow.h"
#include "platform/windowlist/WindowList.h"
#include "tests/platform/FileMode.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using platform::Folder;
using testing_support::Sandbox;

using platform_test::kOtherUid;
using platform_test::modeOf;
using platform_test::ownerOf;

std::uint32_t answerZero(const platform::WindowMessage&) {
    return 0;
}

// What the user's processes make in the run folder: a lock, a window, an
// entry of the window list and an event. True for each that could be made.
struct Made {
    bool lock, window, listed, event;
};

Made makeEverything() {
    Made made{};
    made.lock = platform::NamedMutex::open("Probe") != nullptr;
    made.window = platform::MessageWindow::create("ProbeClass", answerZero) != nullptr;
    const auto handle = platform::createTopLevelWindow("Probe");
    made.listed = handle != 0;
    if (handle != 0) {
        platform::destroyTopLevelWindow(handle);
    }
    made.event = platform::NamedEvent::create("ProbeEvent") != nullptr;
    return made;
}

struct RefusedCase {
    const char* name;
    // Puts a run folder that must be refused where the sandbox's belongs.
    std::function<void(const fs::path& run, const fs::path& root)> plant;
    bool needsRoot;
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.name;
}

class RefusedRunFolder : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedRunFolder, NothingIsMadeInIt) {
    const auto& c = GetParam();
    if (c.needsRoot && geteuid() != 0) {
        GTEST_SKIP() << "needs root to play another account";
    }
    Sandbox box;
    const auto run = box.root() / "run";
    c.plant(run, box.root());
    const auto modeBefore = modeOf(run);
    const auto ownerBefore = ownerOf(run);

    EXPECT_NE(platform::folderPath(Folder::Run), run);
    EXPECT_NE(platform::folderPath(Folder::GlobalRun), run / "Global");
    const Made made = makeEverything();
    EXPECT_FALSE(made.lock);
    EXPECT_FALSE(made.window);
    EXPECT_FALSE(made.listed);
    EXPECT_FALSE(made.event);
    EXPECT_EQ(platform::NamedMutex::open("Global\\QxLog"), nullptr);

    // Left as it was found, and empty.
    EXPECT_EQ(modeOf(run), modeBefore);
    EXPECT_EQ(ownerOf(run), ownerBefore);
    EXPECT_TRUE(fs::is_empty(run));
    const auto target = box.root() / "target";
    if (fs::exists(target)) {
        EXPECT_TRUE(fs::is_empty(target));
    }
}

void makeFolder(const fs::path& path, mode_t mode) {
    fs::create_directories(path);
    chmod(path.c_str(), mode);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedRunFolder,
    ::testing::Values(
        RefusedCase{"OwnedByAnotherUser",
                    [](const fs::path& run, const fs::path&) {
                        makeFolder(run, 0700);
                        ASSERT_EQ(chown(run.c_str(), kOtherUid, kOtherUid), 0);
                    },
                    true},
        RefusedCase{"WorldWritable",
                    [](const fs::path& run, const fs::path&) { makeFolder(run, 0777); }, false},
        RefusedCase{"GroupWritable",
                    [](const fs::path& run, const fs::path&) { makeFolder(run, 0770); }, false},
        RefusedCase{"StickyAndWorldWritable",
                    [](const fs::path& run, const fs::path&) { makeFolder(run, 01777); }, false},
        RefusedCase{"ALinkToTheUsersOwnFolder",
                    [](const fs::path& run, const fs::path& root) {
                        makeFolder(root / "target", 0700);
                        fs::create_directory_symlink(root / "target", run);
                    },
                    false},
        RefusedCase{"AFile",
                    [](const fs::path& run, const fs::path&) {
                        std::ofstream(run) << "";
                        chmod(run.c_str(), 0600);
                    },
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunFolder, TheUsersOwnFolderWorks) {
    Sandbox box;
    const auto run = box.root() / "run";
    makeFolder(run, 0700);
    EXPECT_EQ(platform::folderPath(Folder::Run), run);
    const Made made = makeEverything();
    EXPECT_TRUE(made.lock);
    EXPECT_TRUE(made.window);
    EXPECT_TRUE(made.listed);
    EXPECT_TRUE(made.event);
    EXPECT_EQ(modeOf(run), 0700u);
}

TEST(RunFolder, AMissingFolderIsMadePrivate) {
    Sandbox box;
    const auto old = umask(0);
    const auto run = platform::folderPath(Folder::Run);
    umask(old);
    EXPECT_EQ(run, box.root() / "run");
    EXPECT_EQ(modeOf(run), 0700u);
    EXPECT_EQ(ownerOf(run), geteuid());
}

TEST(RunFolder, TheUsersFolderOthersCanOnlyReadIsMadePrivate) {
    // Nobody else could have put anything in it, so it is repaired.
    Sandbox box;
    const auto run = box.root() / "run";
    makeFolder(run, 0755);
    EXPECT_EQ(platform::folderPath(Folder::Run), run);
    EXPECT_EQ(modeOf(run), 0700u);
    EXPECT_TRUE(makeEverything().lock);
}

} // namespace
