#include "adapter/AdapterExports.h"
#include "service/LoadedAdapter.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <dlfcn.h>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sys/stat.h>
#include <utility>

namespace {

namespace fs = std::filesystem;
using testing_support::Sandbox;

bool isLoaded(const fs::path& file) {
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

class LoadedAdapterOwner : public ::testing::Test {
protected:
    fs::path place(const std::string& name) {
        const auto file = box.root() / name;
        fs::copy_file(fs::path(FAKE_ADAPTER_DIR) / "fake_adapter_both.so", file);
        return file;
    }
    Sandbox box;
};

struct EndCase {
    const char* name;
    bool ownsFile;
    bool explicitRelease; // release() rather than going out of scope
};

void PrintTo(const EndCase& c, std::ostream* out) {
    *out << c.name;
}

class LoadedAdapterEnd : public LoadedAdapterOwner,
                         public ::testing::WithParamInterface<EndCase> {};

// Either way the library is unloaded; only the session's own copy is deleted,
// never an installed library loaded in its place.
TEST_P(LoadedAdapterEnd, UnloadsAndDeletesOnlyItsOwnCopy) {
    const auto& c = GetParam();
    const auto file = place("adapter.so");
    {
        auto adapter = LoadedAdapter::open(file, c.ownsFile);
        ASSERT_TRUE(adapter.loaded());
        EXPECT_NE(adapter.symbol(kCallJsonMapMethodName), nullptr);
        EXPECT_TRUE(isLoaded(file));
        if (c.explicitRelease) {
            adapter.release();
            EXPECT_FALSE(adapter.loaded());
            EXPECT_TRUE(adapter.file().empty());
        }
    }
    EXPECT_FALSE(isLoaded(file));
    EXPECT_EQ(fs::exists(file), !c.ownsFile);
}

INSTANTIATE_TEST_SUITE_P(Cases, LoadedAdapterEnd,
                         ::testing::Values(EndCase{"copyGoesOutOfScope", true, false},
                                           EndCase{"copyReleased", true, true},
                                           EndCase{"installedGoesOutOfScope", false, false},
                                           EndCase{"installedReleased", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoadedAdapterOwner, MovingHandsOverWithoutUnloading) {
    const auto file = place("adapter.so");
    LoadedAdapter target;
    {
        auto source = LoadedAdapter::open(file, true);
        target = std::move(source);
    }
    EXPECT_TRUE(isLoaded(file));
    EXPECT_TRUE(fs::exists(file));
    // Taking another over lets the first go.
    const auto second = place("second.so");
    target = LoadedAdapter::open(second, true);
    EXPECT_FALSE(isLoaded(file));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(isLoaded(second));
}

TEST_F(LoadedAdapterOwner, MovedFileIsTheOneDeleted) {
    const auto file = place("adapter.so");
    fs::create_directories(box.root() / "slot");
    auto adapter = LoadedAdapter::open(file, true);
    ASSERT_TRUE(adapter.moveTo(box.root() / "slot" / "adapter.so"));
    EXPECT_EQ(adapter.file(), box.root() / "slot" / "adapter.so");
    EXPECT_NE(adapter.symbol(kCallJsonMapMethodName), nullptr);
    // A folder that is not there leaves the file where it was.
    EXPECT_FALSE(adapter.moveTo(box.root() / "missing" / "adapter.so"));
    EXPECT_EQ(adapter.file(), box.root() / "slot" / "adapter.so");
    adapter.release();
    EXPECT_FALSE(fs::exists(box.root() / "slot" / "adapter.so"));
}

TEST_F(LoadedAdapterOwner, UnloadableFileGivesAnEmptyOwnerThatDeletesNothing) {
    const auto file = box.write("broken.so", "not a library");
    {
        const auto adapter = LoadedAdapter::open(file, true);
        EXPECT_FALSE(adapter.loaded());
        EXPECT_EQ(adapter.symbol(kCallJsonMapMethodName), nullptr);
    }
    EXPECT_TRUE(fs::exists(file));
}

// ---- The session's copy of the installed library --------------------------

class LibraryCopy : public ::testing::Test {
protected:
    static std::string mode(const fs::path& file) {
        struct stat st {};
        return stat(file.c_str(), &st) == 0 ? std::to_string(st.st_mode & 07777) : "missing";
    }
    Sandbox box;
};

// Copied twice: the second time from the bytes held since the first, as a
// library installed a while ago is.
TEST_F(LibraryCopy, IsANewFileWithTheLibrarysBytesAndPermissions) {
    const auto installed = fs::path(FAKE_ADAPTER_DIR) / "fake_adapter_both.so";
    for (const char* name : {"copy.so", "again.so"}) {
        const auto copy = box.root() / name;
        ASSERT_TRUE(copyLibraryFile(installed, copy)) << name;
        EXPECT_EQ(Sandbox::read(copy), Sandbox::read(installed)) << name;
        EXPECT_EQ(mode(copy), mode(installed)) << name;
        struct stat a {};
        struct stat b {};
        ASSERT_EQ(stat(installed.c_str(), &a), 0);
        ASSERT_EQ(stat(copy.c_str(), &b), 0);
        EXPECT_NE(a.st_ino, b.st_ino) << name;
        // The copy loads as the library does.
        auto adapter = LoadedAdapter::open(copy, true);
        EXPECT_TRUE(adapter.loaded()) << name;
    }
}

TEST_F(LibraryCopy, KeepsTheLibrarysPermissionBits) {
    const auto installed = box.write("installed.so", "library");
    for (const mode_t bits : {0750, 0700, 0755}) {
        ASSERT_EQ(chmod(installed.c_str(), bits), 0);
        const auto copy = box.root() / ("copy" + std::to_string(bits) + ".so");
        ASSERT_TRUE(copyLibraryFile(installed, copy)) << bits;
        EXPECT_EQ(mode(copy), std::to_string(bits));
    }
}

// Each copy has the bytes the installed file has at that moment: a library
// replaced by an update, or rewritten in place, is never copied as it was.
TEST_F(LibraryCopy, FollowsTheInstalledFileAsItChanges) {
    const auto installed = box.root() / "installed.so";
    const std::string versions[] = {"first version", "second", "third version", "fourth"};
    for (std::size_t i = 0; i < std::size(versions); ++i) {
        if (i % 2 == 0) {
            // An update: a new file renamed over the installed one.
            const auto fresh = box.write("fresh.so", versions[i]);
            fs::rename(fresh, installed);
        } else {
            // In place, the same size as before.
            const std::string text =
                versions[i].substr(0, 6) +
                std::string(versions[i - 1].size() - 6, static_cast<char>('a' + i));
            std::ofstream(installed, std::ios::in | std::ios::out | std::ios::binary) << text;
        }
        const std::string now = Sandbox::read(installed);
        const auto copy = box.root() / ("copy" + std::to_string(i) + ".so");
        ASSERT_TRUE(copyLibraryFile(installed, copy)) << i;
        EXPECT_EQ(Sandbox::read(copy), now) << i;
        // The same version again, from what was read.
        const auto again = box.root() / ("again" + std::to_string(i) + ".so");
        ASSERT_TRUE(copyLibraryFile(installed, again)) << i;
        EXPECT_EQ(Sandbox::read(again), now) << i;
    }
}

struct RefusedCopy {
    const char* name;
    bool targetExists;
    bool sourceExists;
    bool sourceIsFolder;
    int error;
};

void PrintTo(const RefusedCopy& c, std::ostream* out) {
    *out << c.name;
}

class LibraryCopyRefused : public LibraryCopy, public ::testing::WithParamInterface<RefusedCopy> {};

// A copy never replaces a file already there, and a failed copy leaves
// nothing behind.
TEST_P(LibraryCopyRefused, LeavesTheTargetAsItWas) {
    const auto& c = GetParam();
    auto installed = box.root() / "installed.so";
    if (c.sourceIsFolder) {
        fs::create_directories(installed);
    } else if (c.sourceExists) {
        box.write("installed.so", "library");
    }
    const auto copy = box.root() / "copy.so";
    if (c.targetExists) {
        box.write("copy.so", "someone else's");
    }
    errno = 0;
    EXPECT_FALSE(copyLibraryFile(installed, copy));
    EXPECT_EQ(errno, c.error);
    if (c.targetExists) {
        EXPECT_EQ(Sandbox::read(copy), "someone else's");
    } else {
        EXPECT_FALSE(fs::exists(copy));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, LibraryCopyRefused,
                         ::testing::Values(RefusedCopy{"TargetExists", true, true, false, EEXIST},
                                           RefusedCopy{"NoSource", false, false, false, ENOENT},
                                           RefusedCopy{"SourceIsAFolder", false, false, true,
                                                       EINVAL}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
