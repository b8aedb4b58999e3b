#include "platform/registry/Registry.h"

#include "platform/process/Process.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

namespace {

using platform::registryNumber;
using platform::registrySetNumber;
using platform::registrySetString;
using platform::registryString;
using platform::registrySubKeys;

class Registry : public ::testing::Test {
protected:
    testing_support::Sandbox sandbox;
};

// An open key that closes itself.
struct Key {
    HKEY key = nullptr;
    ~Key() {
        if (key != nullptr) {
            RegCloseKey(key);
        }
    }
};

TEST_F(Registry, CreateOpenAndQueryIgnoreLetterCase) {
    Key created;
    std::uint32_t disposition = 0;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CLASSES_ROOT, "CLSID\\{AbC}\\InprocServer32", &created.key,
                             &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    const char path[] = "/lib/server.so";
    ASSERT_EQ(RegSetValueEx(created.key, nullptr, REG_SZ, path, sizeof path), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(created.key, "ThreadingModel", REG_SZ, "Apartment", 9), ERROR_SUCCESS);

    Key again;
    ASSERT_EQ(
        RegCreateKeyEx(HKEY_CLASSES_ROOT, "clsid\\{ABC}\\inprocserver32", &again.key, &disposition),
        ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

    Key opened;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, "CLSID\\{abc}\\INPROCSERVER32", &opened.key),
              ERROR_SUCCESS);
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    ASSERT_EQ(RegQueryValueEx(opened.key, "", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, sizeof path);

    char small[4] = {};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueEx(opened.key, "", &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof path);

    char buffer[64] = {};
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueEx(opened.key, nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_STREQ(buffer, path);
    // A text stored without its terminator reads back terminated.
    EXPECT_EQ(registryString(HKEY_CLASSES_ROOT, "CLSID\\{ABC}\\InprocServer32", "threadingmodel"),
              "Apartment");
}

TEST_F(Registry, NumbersAndMissingItems) {
    ASSERT_EQ(registrySetNumber(HKEY_CURRENT_USER, "Software\\Test", "Count", 0xFFFFFFFEu),
              ERROR_SUCCESS);
    EXPECT_EQ(registryNumber(HKEY_CURRENT_USER, "Software\\Test", "count"), 0xFFFFFFFEu);
    // A number is not a text, and a text is not a number.
    EXPECT_EQ(registryString(HKEY_CURRENT_USER, "Software\\Test", "Count"), std::nullopt);
    ASSERT_EQ(registrySetString(HKEY_CURRENT_USER, "Software\\Test", "Name", "x"), ERROR_SUCCESS);
    EXPECT_EQ(registryNumber(HKEY_CURRENT_USER, "Software\\Test", "Name"), std::nullopt);

    Key key;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Test", &key.key), ERROR_SUCCESS);
    std::uint32_t value = 0;
    std::uint32_t size = sizeof value;
    EXPECT_EQ(RegQueryValueEx(key.key, "Missing", nullptr, &value, &size), ERROR_FILE_NOT_FOUND);
    std::uint16_t narrow = 0;
    size = sizeof narrow;
    EXPECT_EQ(RegQueryValueEx(key.key, "Count", nullptr, &narrow, &size), ERROR_MORE_DATA);
    EXPECT_EQ(RegSetValueEx(key.key, "Bad", REG_DWORD, &narrow, sizeof narrow),
              ERROR_INVALID_PARAMETER);

    Key missing;
    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Nothing", &missing.key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing.key, nullptr);
    // The same path in another hive is another key.
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Test", &missing.key),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, MalformedPathsAreRefused) {
    for (const char* path : {"\\Leading", "Double\\\\Separator"}) {
        SCOPED_TRACE(path);
        Key key;
        EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, path, &key.key, nullptr), ERROR_BAD_PATHNAME);
    }
    const std::string tooLong(256, 'k');
    Key key;
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, tooLong.c_str(), &key.key, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyEx(nullptr, "A", &key.key, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(std::filesystem::exists(platform::registryHiveFile(HKEY_CURRENT_USER)));
}

TEST_F(Registry, EnumerationIsInCaselessOrderAndKeepsSpelling) {
    for (const char* name : {"beta", "Alpha", "GAMMA", "alpha"}) {
        ASSERT_EQ(registrySetString(HKEY_LOCAL_MACHINE, std::string("Root\\") + name, "", name),
                  ERROR_SUCCESS);
    }
    EXPECT_EQ(registrySubKeys(HKEY_LOCAL_MACHINE, "root"),
              (std::vector<std::string>{"Alpha", "beta", "GAMMA"}));
    // The second spelling of Alpha wrote the value of the first.
    EXPECT_EQ(registryString(HKEY_LOCAL_MACHINE, "Root\\ALPHA", ""), "alpha");

    Key key;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Root", &key.key), ERROR_SUCCESS);
    char name[5] = {};
    std::uint32_t size = sizeof name;
    EXPECT_EQ(RegEnumKeyEx(key.key, 2, name, &size), ERROR_MORE_DATA);
    size = sizeof name;
    EXPECT_EQ(RegEnumKeyEx(key.key, 1, name, &size), ERROR_SUCCESS);
    EXPECT_STREQ(name, "beta");
    EXPECT_EQ(size, 4u);
    size = sizeof name;
    EXPECT_EQ(RegEnumKeyEx(key.key, 3, name, &size), ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, DeleteTreeRemovesTheBranchOnly) {
    ASSERT_EQ(registrySetString(HKEY_CLASSES_ROOT, "CLSID\\{1}\\InprocServer32", "", "a"),
              ERROR_SUCCESS);
    ASSERT_EQ(registrySetString(HKEY_CLASSES_ROOT, "CLSID\\{1}\\ProgID", "", "p"), ERROR_SUCCESS);
    ASSERT_EQ(registrySetString(HKEY_CLASSES_ROOT, "CLSID\\{2}", "", "b"), ERROR_SUCCESS);

    Key open;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, "CLSID\\{1}\\ProgID", &open.key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTree(HKEY_CLASSES_ROOT, "clsid\\{1}"), ERROR_SUCCESS);
    EXPECT_EQ(registrySubKeys(HKEY_CLASSES_ROOT, "CLSID"), (std::vector<std::string>{"{2}"}));
    EXPECT_EQ(RegDeleteTree(HKEY_CLASSES_ROOT, "CLSID\\{1}"), ERROR_FILE_NOT_FOUND);

    // A handle whose key went away no longer reads or writes.
    std::uint32_t size = 0;
    EXPECT_EQ(RegQueryValueEx(open.key, "", nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueEx(open.key, "", REG_SZ, "x", 2), ERROR_KEY_DELETED);
    Key below;
    EXPECT_EQ(RegCreateKeyEx(open.key, "Below", &below.key, nullptr), ERROR_KEY_DELETED);

    // Without a sub-key the key is emptied and stays.
    Key clsid;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CLASSES_ROOT, "CLSID", &clsid.key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(clsid.key, "v", REG_SZ, "x", 2), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTree(clsid.key, nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(registrySubKeys(HKEY_CLASSES_ROOT, "CLSID").empty());
    EXPECT_EQ(registryString(HKEY_CLASSES_ROOT, "CLSID", "v"), std::nullopt);
    EXPECT_EQ(registrySubKeys(HKEY_CLASSES_ROOT, ""), (std::vector<std::string>{"CLSID"}));
}

TEST_F(Registry, AwkwardTextsSurviveTheFile) {
    const std::string texts[] = {"tab\there",
                                 "line\nbreak\r\n",
                                 "back\\slash\\",
                                 "\x01\x7f",
                                 "\xE8\xAE\x80\xE5\x8D\xA1\xE6\xA9\x9F",
                                 ""};
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        const std::string key = "Texts\\" + texts[i] + "key" + std::to_string(i);
        SCOPED_TRACE(key);
        ASSERT_EQ(registrySetString(HKEY_CURRENT_USER, key, texts[i], texts[i]), ERROR_SUCCESS);
        EXPECT_EQ(registryString(HKEY_CURRENT_USER, key, texts[i]), texts[i]);
    }
}

TEST_F(Registry, DamagedHiveIsReportedAndLeftAlone) {
    ASSERT_EQ(registrySetString(HKEY_CURRENT_USER, "A", "", "x"), ERROR_SUCCESS);
    const auto file = platform::registryHiveFile(HKEY_CURRENT_USER);
    ASSERT_TRUE(std::filesystem::exists(file));
    std::ofstream(file, std::ios::binary | std::ios::trunc) << "not a hive\n";
    Key key;
    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "A", &key.key), ERROR_BADDB);
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "B", &key.key, nullptr), ERROR_BADDB);
    EXPECT_EQ(testing_support::Sandbox::read(file), "not a hive\n");
}

TEST_F(Registry, ItemLinesWithoutExactlyThreeFieldsAreDamage) {
    const auto file = platform::registryHiveFile(HKEY_CURRENT_USER);
    std::filesystem::create_directories(file.parent_path());
    const std::string lines[] = {"K\t1\tA\textra",      "K\t1",
                                 "K\t1\tA\nS\tv",       "K\t1\tA\nS\tv\tx\ty",
                                 "K\t1\tA\nD\tv\t1\t2", "K\t1\tA\nS"};
    for (const auto& items : lines) {
        SCOPED_TRACE(items);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << "CorvantixRegistry 1\n"
                                                                << items << "\n";
        Key key;
        EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "A", &key.key), ERROR_BADDB);
        EXPECT_EQ(registryString(HKEY_CURRENT_USER, "A", "v"), std::nullopt);
    }
    // The same items, well formed, are read.
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        << "CorvantixRegistry 1\nK\t1\tA\nS\tv\tx\\ty\nD\tn\t7\n";
    EXPECT_EQ(registryString(HKEY_CURRENT_USER, "A", "v"), "x\ty");
    EXPECT_EQ(registryNumber(HKEY_CURRENT_USER, "A", "n"), 7u);
}

TEST_F(Registry, LookupsSeeEveryChangeOfTheFile) {
    ASSERT_EQ(registrySetString(HKEY_CURRENT_USER, "A", "v", "1111"), ERROR_SUCCESS);
    EXPECT_EQ(registryString(HKEY_CURRENT_USER, "A", "v"), "1111");
    const auto file = platform::registryHiveFile(HKEY_CURRENT_USER);
    std::string text = testing_support::Sandbox::read(file);
    const auto at = text.find("1111");
    ASSERT_NE(at, std::string::npos);

    // Changed in place, to a text of the same length, at once.
    text.replace(at, 4, "2222");
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    EXPECT_EQ(registryString(HKEY_CURRENT_USER, "A", "v"), "2222");
    Key key;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "A", &key.key), ERROR_SUCCESS);

    std::ofstream(file, std::ios::binary | std::ios::trunc) << "not a hive\n";
    EXPECT_EQ(registryString(HKEY_CURRENT_USER, "A", "v"), std::nullopt);
    std::uint32_t size = 0;
    EXPECT_EQ(RegQueryValueEx(key.key, "v", nullptr, nullptr, &size), ERROR_BADDB);

    std::filesystem::remove(file);
    EXPECT_EQ(registryString(HKEY_CURRENT_USER, "A", "v"), std::nullopt);
    EXPECT_EQ(RegQueryValueEx(key.key, "v", nullptr, nullptr, &size), ERROR_KEY_DELETED);

    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    EXPECT_EQ(registryString(HKEY_CURRENT_USER, "A", "v"), "2222");
}

int runWriter(const std::string& name, int count) {
    const auto pid = platform::startHidden({REGISTRY_WRITER, name, std::to_string(count)});
    return pid ? platform::waitForExit(*pid) : -1;
}

TEST_F(Registry, TreeOutlivesItsWriter) {
    ASSERT_EQ(runWriter("first", 3), 0);
    EXPECT_EQ(registryNumber(HKEY_CURRENT_USER, "Software\\Writers\\first", "done"), 3u);
    EXPECT_EQ(registryString(HKEY_CURRENT_USER, "Software\\Writers\\first\\2", ""), "first2");
    EXPECT_TRUE(std::filesystem::exists(sandbox.root() / "Registry" / "User"));
}

TEST_F(Registry, TwoWritersAtOnceLoseNothing) {
    constexpr int kCount = 150;
    std::vector<pid_t> writers;
    for (const char* name : {"left", "right"}) {
        const auto pid = platform::startHidden({REGISTRY_WRITER, name, std::to_string(kCount)});
        ASSERT_TRUE(pid);
        writers.push_back(*pid);
    }
    for (const pid_t pid : writers) {
        EXPECT_EQ(platform::waitForExit(pid), 0);
    }
    for (const std::string name : {"left", "right"}) {
        const std::string base = "Software\\Writers\\" + name;
        EXPECT_EQ(registryNumber(HKEY_CURRENT_USER, base, "done"), std::uint32_t{kCount});
        EXPECT_EQ(registrySubKeys(HKEY_CURRENT_USER, base).size(), std::size_t{kCount});
        for (int i = 0; i < kCount; ++i) {
            ASSERT_EQ(registryString(HKEY_CURRENT_USER, base + "\\" + std::to_string(i), ""),
                      name + std::to_string(i));
        }
    }
    // No temporary file is left behind.
    for (const auto& entry :
         std::filesystem::directory_iterator(sandbox.root() / "Registry" / "User")) {
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
}

} // namespace
