#include "platform/event/NamedEvent.h"
#include "platform/folders/Folders.h"
#include "platform/mutex/NamedMutex.h"
#include "platform/window/MessageWindow.h"
#include "platform/windowlist/WindowList.h"
#include "tests/platform/FileMode.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
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

// The refused folder is left as it was found, and the user's processes meet
// in a private folder beside it instead.
TEST_P(RefusedRunFolder, APrivateOneBesideItIsUsedInstead) {
    const auto& c = GetParam();
    if (c.needsRoot && geteuid() != 0) {
        GTEST_SKIP() << "needs root to play another account";
    }
    Sandbox box;
    const auto run = box.root() / "run";
    c.plant(run, box.root());
    const auto modeBefore = modeOf(run);
    const auto ownerBefore = ownerOf(run);
    platform::takeFolderNotices(); // of earlier tests

    const auto used = platform::folderPath(Folder::Run);
    EXPECT_NE(used, run);
    EXPECT_EQ(used.parent_path(), box.root());
    EXPECT_TRUE(used.filename().string().starts_with("run."));
    EXPECT_EQ(modeOf(used), 0700u);
    EXPECT_EQ(ownerOf(used), geteuid());
    EXPECT_EQ(platform::folderPath(Folder::Run), used);
    EXPECT_EQ(platform::folderPath(Folder::GlobalRun), used / "Global");
    const Made made = makeEverything();
    EXPECT_TRUE(made.lock);
    EXPECT_TRUE(made.window);
    EXPECT_TRUE(made.listed);
    EXPECT_TRUE(made.event);
    EXPECT_NE(platform::NamedMutex::open("Global\\QxLog"), nullptr);
    const auto notices = platform::takeFolderNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], run.string() + " -> " + used.string());

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

// Sets (or, with nullptr, removes) an environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

struct TempCase {
    const char* name;
    bool runtime; // XDG_RUNTIME_DIR set
    const char* tmpdir;
    const char* expected; // below the case's folder: "runtime/...", "home/..."
};

void PrintTo(const TempCase& c, std::ostream* os) {
    *os << c.name;
}

class UserTemp : public ::testing::TestWithParam<TempCase> {};

// Outside a sandbox the user's temporary folder is the user's own, never the
// shared /tmp itself, unless TMPDIR names another folder.
TEST_P(UserTemp, IsAPrivateFolderOfTheUsersOwn) {
    const auto& c = GetParam();
    Sandbox box;
    const auto runtime = box.root() / "runtime";
    const auto home = box.root() / "home";
    const auto named = box.root() / "named";
    makeFolder(runtime, 0700);
    makeFolder(home, 0755);
    std::string tmpdir = c.tmpdir != nullptr ? c.tmpdir : "";
    if (tmpdir == "named") {
        tmpdir = named.string();
    }
    ScopedEnv noRoot("CORVANTIX_ROOT", nullptr);
    ScopedEnv setRuntime("XDG_RUNTIME_DIR", c.runtime ? runtime.c_str() : nullptr);
    ScopedEnv setHome("HOME", home.c_str());
    ScopedEnv setTmp("TMPDIR", c.tmpdir != nullptr ? tmpdir.c_str() : nullptr);

    const auto temp = platform::folderPath(Folder::UserTemp);
    EXPECT_EQ(temp, box.root() / c.expected);
    EXPECT_EQ(modeOf(temp), 0700u);
    EXPECT_EQ(ownerOf(temp), geteuid());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UserTemp,
    ::testing::Values(TempCase{"BelowTheRuntimeFolder", true, nullptr, "runtime/corvantix-temp"},
                      TempCase{"BelowTheHome", false, nullptr, "home/.cache/corvantix-temp"},
                      TempCase{"TmpdirNamingTmpIsNoChoice", true, "/tmp", "runtime/corvantix-temp"},
                      TempCase{"TmpdirNamingTmpWithASlash", false, "/tmp/",
                               "home/.cache/corvantix-temp"},
                      TempCase{"TmpdirNamingAnotherFolder", true, "named", "named"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UserTempFolder, OneFoundForeignIsLeftAndAPrivateOneUsed) {
    Sandbox box;
    const auto temp = box.root() / "Temp";
    makeFolder(temp, 0777);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(temp.c_str(), kOtherUid, kOtherUid), 0);
    }
    const auto used = platform::folderPath(Folder::UserTemp);
    EXPECT_NE(used, temp);
    EXPECT_EQ(used.parent_path(), box.root());
    EXPECT_EQ(modeOf(used), 0700u);
    EXPECT_EQ(ownerOf(used), geteuid());
    EXPECT_EQ(platform::folderPath(Folder::UserTemp), used);
    EXPECT_EQ(modeOf(temp), 0777u);
    EXPECT_TRUE(fs::is_empty(temp));
}

struct OwnFileCase {
    const char* name;
    // Puts something where the file goes; `victim` is a file of the user's
    // elsewhere that must stay as it is.
    std::function<void(const fs::path& file, const fs::path& victim)> plant;
    bool opens;
    bool needsRoot;
};

void PrintTo(const OwnFileCase& c, std::ostream* os) {
    *os << c.name;
}

class OwnFile : public ::testing::TestWithParam<OwnFileCase> {};

TEST_P(OwnFile, OpensOnlyTheUsersOwnFileInTheUsersFolder) {
    const auto& c = GetParam();
    if (c.needsRoot && geteuid() != 0) {
        GTEST_SKIP() << "needs root to play another account";
    }
    Sandbox box;
    const auto folder = box.root() / "logs";
    makeFolder(folder, 0755);
    const auto file = folder / "a.log";
    const auto victim = box.write("victim.txt", "mine\n");
    c.plant(file, victim);

    const auto old = umask(0);
    const int fd = platform::openOwnFile(file, platform::OwnFile::Append);
    umask(old);
    if (fd >= 0) {
        EXPECT_EQ(::write(fd, "x\n", 2), 2);
        ::close(fd);
    }
    EXPECT_EQ(fd >= 0, c.opens);
    EXPECT_EQ(Sandbox::read(victim), "mine\n");
    if (c.opens) {
        EXPECT_EQ(modeOf(file), 0600u);
        EXPECT_TRUE(Sandbox::read(file).ends_with("x\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OwnFile,
    ::testing::Values(
        OwnFileCase{"NewFileIsMadePrivate", [](const fs::path&, const fs::path&) {}, true, false},
        OwnFileCase{"OwnReadableFileIsMadePrivate",
                    [](const fs::path& file, const fs::path&) {
                        std::ofstream(file) << "old\n";
                        chmod(file.c_str(), 0644);
                    },
                    true, false},
        OwnFileCase{
            "ALinkIsNotFollowed",
            [](const fs::path& file, const fs::path& victim) { fs::create_symlink(victim, file); },
            false, false},
        OwnFileCase{"ASecondNameOfAFileElsewhereIsRefused",
                    [](const fs::path& file, const fs::path& victim) {
                        fs::create_hard_link(victim, file);
                    },
                    false, false},
        OwnFileCase{"APipeIsRefusedWithoutWaiting",
                    [](const fs::path& file, const fs::path&) { mkfifo(file.c_str(), 0600); },
                    false, false},
        OwnFileCase{"AnotherAccountsFileIsRefused",
                    [](const fs::path& file, const fs::path&) {
                        std::ofstream(file) << "";
                        chmod(file.c_str(), 0666);
                        ASSERT_EQ(chown(file.c_str(), kOtherUid, kOtherUid), 0);
                    },
                    false, true},
        OwnFileCase{"AFileInAnotherAccountsFolderIsRefused",
                    [](const fs::path& file, const fs::path&) {
                        chmod(file.parent_path().c_str(), 0777);
                        ASSERT_EQ(chown(file.parent_path().c_str(), kOtherUid, kOtherUid), 0);
                    },
                    false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OwnFolder, IsMadePrivateAndAnotherAccountsOrALinkIsRefused) {
    Sandbox box;
    const auto made = box.root() / "a" / "CorvantixLog";
    const auto old = umask(0);
    EXPECT_TRUE(platform::makeOwnFolder(made));
    umask(old);
    EXPECT_EQ(modeOf(made), 0700u);
    chmod(made.c_str(), 0755);
    EXPECT_TRUE(platform::makeOwnFolder(made));
    EXPECT_EQ(modeOf(made), 0700u);

    const auto link = box.root() / "link";
    fs::create_directory_symlink(made, link);
    EXPECT_FALSE(platform::makeOwnFolder(link));
    if (geteuid() == 0) {
        const auto other = box.root() / "other";
        makeFolder(other, 0755);
        ASSERT_EQ(chown(other.c_str(), kOtherUid, kOtherUid), 0);
        EXPECT_FALSE(platform::makeOwnFolder(other));
        EXPECT_EQ(modeOf(other), 0755u);
    }
}

} // namespace
