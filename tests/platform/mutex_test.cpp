#include "platform/folders/Folders.h"
#include "platform/mutex/NamedMutex.h"
#include "tests/platform/FileMode.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using platform::Folder;
using platform::NamedMutex;
using testing_support::Sandbox;

using platform_test::kOtherUid;
using platform_test::modeOf;
using platform_test::ownerOf;

// The machine-wide folder of the sandbox as another account would make it.
fs::path makeGlobalFolder(const Sandbox& box, mode_t mode, uid_t owner) {
    const fs::path global = box.root() / "run" / "Global";
    fs::create_directories(global);
    chmod((box.root() / "run").c_str(), 0700);
    chmod(global.c_str(), mode);
    if (owner != geteuid() && chown(global.c_str(), owner, owner) != 0) {
        return {};
    }
    return global;
}

// A file of the user under attack that nobody else may read or change.
fs::path makeVictim(const Sandbox& box) {
    const auto victim = box.write("Home/victim.txt", "private");
    chmod(victim.c_str(), 0600);
    return victim;
}

class GlobalLocks : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to play another account";
        }
    }
    Sandbox box;
};

TEST_P(GlobalLocks, ALinkPlantedAsTheLockFileIsNeverFollowed) {
    const std::string name = GetParam();
    const fs::path global = makeGlobalFolder(box, 01777, kOtherUid);
    ASSERT_FALSE(global.empty());
    const auto victim = makeVictim(box);
    const auto planted = NamedMutex::lockFilePath(name);
    ASSERT_EQ(planted.parent_path(), global);
    fs::create_symlink(victim, planted);
    ASSERT_EQ(lchown(planted.c_str(), kOtherUid, kOtherUid), 0);

    // The folder is sticky, so it is used, but the link is not.
    EXPECT_EQ(NamedMutex::open(name), nullptr);
    EXPECT_EQ(modeOf(victim), 0600u);
    EXPECT_EQ(Sandbox::read(victim), "private");
    EXPECT_TRUE(fs::is_symlink(planted));

    // Once the link is gone the name works again, in the same folder.
    fs::remove(planted);
    auto mutex = NamedMutex::open(name);
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(mutex->lock(0));
    EXPECT_TRUE(fs::is_regular_file(planted));
    EXPECT_EQ(modeOf(planted), 0644u); // every account may open it to lock
    EXPECT_EQ(modeOf(victim), 0600u);
}

TEST_P(GlobalLocks, OnlyARegularFileIsALockFile) {
    const std::string name = GetParam();
    ASSERT_FALSE(makeGlobalFolder(box, 01777, kOtherUid).empty());
    const auto path = NamedMutex::lockFilePath(name);
    // A pipe would block a reader's open; it is refused at once instead.
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    EXPECT_EQ(NamedMutex::open(name), nullptr);
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_EQ(NamedMutex::open(name), nullptr);
}

TEST_P(GlobalLocks, AFileFoundThereKeepsItsMode) {
    const std::string name = GetParam();
    ASSERT_FALSE(makeGlobalFolder(box, 01777, kOtherUid).empty());
    const auto path = NamedMutex::lockFilePath(name);
    box.write(fs::relative(path, box.root()), "");
    chmod(path.c_str(), 0600);
    ASSERT_EQ(chown(path.c_str(), kOtherUid, kOtherUid), 0);
    auto mutex = NamedMutex::open(name);
    ASSERT_NE(mutex, nullptr); // root may open it; no mode is changed for that
    EXPECT_TRUE(mutex->lock(0));
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(ownerOf(path), kOtherUid);
}

TEST_P(GlobalLocks, AGlobalFolderThatIsALinkIsRefused) {
    const std::string name = GetParam();
    const auto elsewhere = box.root() / "elsewhere";
    fs::create_directories(elsewhere);
    chmod(elsewhere.c_str(), 01777);
    fs::create_directories(box.root() / "run");
    chmod((box.root() / "run").c_str(), 0700);
    fs::create_directory_symlink(elsewhere, box.root() / "run" / "Global");

    EXPECT_EQ(NamedMutex::open(name), nullptr);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_NE(platform::folderPath(Folder::GlobalRun), box.root() / "run" / "Global");
    EXPECT_FALSE(fs::exists(NamedMutex::lockFilePath(name)));
    // The user's own names are not affected.
    EXPECT_NE(NamedMutex::open("Own"), nullptr);
}

TEST_P(GlobalLocks, AGlobalFolderWithoutTheStickyBitIsRefused) {
    const std::string name = GetParam();
    // Another account's, or this one's that others could already write in.
    for (const uid_t owner : {kOtherUid, geteuid()}) {
        SCOPED_TRACE(owner);
        const fs::path global = makeGlobalFolder(box, 0777, owner);
        ASSERT_FALSE(global.empty());
        EXPECT_EQ(NamedMutex::open(name), nullptr);
        EXPECT_TRUE(fs::is_empty(global));
        EXPECT_EQ(modeOf(global), 0777u);
        EXPECT_EQ(ownerOf(global), owner);
        fs::remove_all(global);
    }
}

TEST_P(GlobalLocks, ThisUsersClosedGlobalFolderIsOpenedToAll) {
    // As an earlier version left it in a sandbox: private, so nothing of
    // others can be in it.
    const std::string name = GetParam();
    const fs::path global = makeGlobalFolder(box, 0700, geteuid());
    auto mutex = NamedMutex::open(name);
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(mutex->lock(0));
    EXPECT_EQ(modeOf(global), 01777u);
}

TEST_P(GlobalLocks, AMissingGlobalFolderIsMadeSticky) {
    const std::string name = GetParam();
    auto mutex = NamedMutex::open(name);
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(mutex->lock(0));
    const auto global = platform::folderPath(Folder::GlobalRun);
    EXPECT_EQ(global, box.root() / "run" / "Global");
    EXPECT_EQ(modeOf(global), 01777u);
    EXPECT_EQ(modeOf(NamedMutex::lockFilePath(name)), 0644u);
}

INSTANTIATE_TEST_SUITE_P(Names, GlobalLocks, ::testing::Values("Global\\QxLog", "Global\\Other"),
                         [](const auto& info) { return std::string(info.param).substr(7); });

} // namespace
