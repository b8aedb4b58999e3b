#include "adapter/AdapterExports.h"
#include "service/LoadedAdapter.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <ostream>
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

} // namespace
