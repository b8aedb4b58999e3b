#include "adapter/Adapter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Distinct handlers, so a search that lands on the wrong entry shows.
template <int N>
void handler(const JsonMap*) {}

const std::vector<std::pair<std::string, AdapterHandler>> kNames = {
    {"ConnectCard", &handler<0>},
    {"GetTSN", &handler<1>},
    {"GetTSAC", &handler<2>},
    {"GetSN", &handler<3>},
    {"Corvantix_Unlock", &handler<4>},
    {"WRITE_RECORD_W_SNUM_TAC", &handler<5>},
    {"VerifyPIN", &handler<6>},
    {"VerifyPINEx", &handler<7>},
    {"GetVersion", &handler<8>},
    {"Corvantix_GetVersion", &handler<9>},
    {"a", &handler<10>},
};

std::unique_ptr<AdapterMap> filledMap() {
    auto map = createAdapterMap();
    for (const auto& [name, h] : kNames) {
        addAdapterFunction(map.get(), h, name.c_str());
    }
    sortAdapterMap(map.get());
    return map;
}

TEST(AdapterMap, CompareFoldsCaseAndPutsAPrefixFirst) {
    struct Case {
        const char* a;
        const char* b;
        int order;
    };
    const Case cases[] = {
        {"abc", "ABC", 0},
        {"GetSN", "getsn", 0},
        {"a", "B", -1},
        {"B", "a", 1},
        {"VerifyPIN", "VerifyPINEx", -1},
        {"VerifyPINEx", "VerifyPIN", 1},
        {"GetTSN", "GetTSAC", 1},
        {"Get_", "GetA", -1}, // letters compare as lower case, above '_'
        {"", "", 0},
        {"", "x", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(compareAdapterMapName(c.a, c.b), c.order);
    }
    EXPECT_EQ(compareAdapterMapName(nullptr, "a"), 100);
    EXPECT_EQ(compareAdapterMapName("a", nullptr), 100);
}

TEST(AdapterMap, SortedMapFindsEveryNameInAnyCase) {
    const auto map = filledMap();
    ASSERT_EQ(map->entries.size(), kNames.size());
    for (std::size_t i = 1; i < map->entries.size(); ++i) {
        EXPECT_LT(
            compareAdapterMapName(map->entries[i - 1].name.c_str(), map->entries[i].name.c_str()),
            0);
    }
    for (const auto& [name, h] : kNames) {
        SCOPED_TRACE(name);
        EXPECT_EQ(findAdapterFunction(map.get(), name.c_str()), h);
        std::string lower;
        for (const char c : name) {
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(findAdapterFunction(map.get(), lower.c_str()), h);
    }
    for (const char* missing : {"", "VerifyPI", "VerifyPINExt", "Z", "0", "GetTS"}) {
        SCOPED_TRACE(missing);
        EXPECT_EQ(findAdapterFunction(map.get(), missing), nullptr);
    }
    EXPECT_EQ(findAdapterFunction(map.get(), nullptr), nullptr);
    EXPECT_EQ(findAdapterFunction(nullptr, "GetSN"), nullptr);
}

TEST(AdapterMap, EmptyMapsAndStrayBoundsFindNothing) {
    const auto empty = createAdapterMap();
    EXPECT_EQ(findAdapterFunction(empty.get(), "GetSN"), nullptr);
    EXPECT_EQ(BinarySearchCorvantixAdapterMap(*empty, "GetSN", 0, -1), nullptr);

    const auto map = filledMap();
    const int last = static_cast<int>(map->entries.size()) - 1;
    EXPECT_EQ(BinarySearchCorvantixAdapterMap(*map, "ConnectCard", -5, last + 100), &handler<0>);
    EXPECT_EQ(BinarySearchCorvantixAdapterMap(*map, "zzz", -5, last + 100), nullptr);
    EXPECT_EQ(BinarySearchCorvantixAdapterMap(*map, "a", 3, 2), nullptr);
}

TEST(AdapterMap, NamesStayUniqueWhateverTheirCase) {
    auto map = createAdapterMap();
    addAdapterFunction(map.get(), &handler<0>, "GetSN");
    addAdapterFunction(map.get(), &handler<1>, "getsn");
    addAdapterFunction(map.get(), &handler<2>, "GETSN");
    addAdapterFunction(map.get(), &handler<3>, nullptr);
    addAdapterFunction(nullptr, &handler<4>, "Other");
    ASSERT_EQ(map->entries.size(), 1u);
    EXPECT_EQ(findAdapterFunction(map.get(), "GetSn"), &handler<0>);
}

TEST(AdapterMap, HoldsAtMostItsCapacity) {
    auto map = createAdapterMap();
    for (std::size_t i = 0; i < kAdapterMapCapacity + 10; ++i) {
        addAdapterFunction(map.get(), &handler<0>, ("f" + std::to_string(i)).c_str());
    }
    EXPECT_EQ(map->entries.size(), kAdapterMapCapacity);
    sortAdapterMap(map.get());
    EXPECT_NE(findAdapterFunction(map.get(), "f1023"), nullptr);
    EXPECT_EQ(findAdapterFunction(map.get(), "f1024"), nullptr);
}

TEST(AdapterMap, LongNamesAreCutAndOnlyTheCutNameMatches) {
    const std::string cut(kAdapterNameMax, 'n');
    auto map = createAdapterMap();
    addAdapterFunction(map.get(), &handler<0>, (cut + "tail").c_str());
    addAdapterFunction(map.get(), &handler<1>, "m");
    addAdapterFunction(map.get(), &handler<2>, "o");
    sortAdapterMap(map.get());
    ASSERT_EQ(map->entries.size(), 3u);
    EXPECT_EQ(map->entries[1].name, cut);
    EXPECT_EQ(findAdapterFunction(map.get(), cut.c_str()), &handler<0>);
    // Agrees with the stored name in all it holds, yet is another name.
    EXPECT_EQ(findAdapterFunction(map.get(), (cut + "tail").c_str()), nullptr);
    // A registration that cuts to a name already there is the same name.
    addAdapterFunction(map.get(), &handler<3>, (cut + "other").c_str());
    EXPECT_EQ(map->entries.size(), 3u);
}

} // namespace
