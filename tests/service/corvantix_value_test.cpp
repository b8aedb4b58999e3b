#include "common/AES.h"
#include "common/ToolLog.h"
#include "service/CorvantixValue.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kStart = 1'700'000'000;

std::array<std::uint8_t, 32> pattern(std::uint8_t first) {
    std::array<std::uint8_t, 32> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + 7 * i);
    }
    return bytes;
}

// The store's own cipher, with switches that make either direction fail.
class SwitchedCipher final : public ValueCipher {
public:
    SwitchedCipher(std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t, 32> iv,
                   bool& failEncipher, bool& failDecipher)
        : inner_(key, iv), failEncipher_(failEncipher), failDecipher_(failDecipher) {}
    std::optional<std::vector<std::uint8_t>> encipher(std::string_view text) override {
        return failEncipher_ ? std::nullopt : inner_.encipher(text);
    }
    std::optional<std::string> decipher(std::span<const std::uint8_t> bytes) override {
        return failDecipher_ ? std::nullopt : inner_.decipher(bytes);
    }

private:
    AesValueCipher inner_;
    bool& failEncipher_;
    bool& failDecipher_;
};

class ValueStore : public ::testing::Test {
protected:
    int heldSlots() const {
        int held = 0;
        for (int i = 0; i < kValueSlotCount; ++i) {
            held += store.slot(i).channel.has_value();
        }
        return held;
    }

    std::int64_t now = kStart;
    const std::array<std::uint8_t, 32> key = pattern(3);
    const std::array<std::uint8_t, 32> iv = pattern(101);
    bool failEncipher = false;
    bool failDecipher = false;
    CorvantixValue store{std::make_unique<SwitchedCipher>(key, iv, failEncipher, failDecipher),
                         [this] { return now; }};
};

TEST_F(ValueStore, ValueGoesBackOnlyToListedOrigins) {
    ASSERT_EQ(store.setCorvantixValue("chan", " .bank.test ; shop.test", 0, "v1"), kResultSuccess);
    struct Case {
        const char* origin;
        const char* result;
    };
    const Case cases[] = {
        {"https://www.bank.test", "v1"},
        {"https://a.b.bank.test:8443", "v1"},
        {"https://shop.test/", "v1"},
        {"https://SHOP.test:1", "v1"},
        {"https://bank.test", ""},
        {"https://www.shop.test", ""},
        {"https://shop.test/basket", ""},
        {"HTTPS://shop.test", ""},
        {"null", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.origin);
        EXPECT_EQ(store.getCorvantixValue("chan", c.origin), c.result);
    }
    EXPECT_EQ(store.getCorvantixValue("other", "https://www.bank.test"), "");
}

TEST_F(ValueStore, EmptyDomainListLetsNobodyRead) {
    ASSERT_EQ(store.setCorvantixValue("a", "", 0, "v"), kResultSuccess);
    ASSERT_EQ(store.setCorvantixValue("b", " ; ;", 0, "v"), kResultSuccess);
    EXPECT_EQ(store.getCorvantixValue("a", "https://www.bank.test"), "");
    EXPECT_EQ(store.getCorvantixValue("b", "https://www.bank.test"), "");
}

TEST_F(ValueStore, ChannelInAnotherCaseIsTheSameSlot) {
    ASSERT_EQ(store.setCorvantixValue("Chan", "old.test", 5, "old"), kResultSuccess);
    ASSERT_EQ(store.setCorvantixValue("cHAN", "new.test", 0, "new"), kResultSuccess);
    EXPECT_EQ(heldSlots(), 1);
    EXPECT_EQ(store.slot(0).channel, "Chan");

    // Value, list and lifetime are all the second store's.
    EXPECT_EQ(store.getCorvantixValue("CHAN", "https://old.test"), "");
    now += 100 * 365 * 24 * 3600LL;
    EXPECT_EQ(store.getCorvantixValue("chan", "https://new.test"), "new");
}

TEST_F(ValueStore, LifetimeRestartsWithEachRead) {
    ASSERT_EQ(store.setCorvantixValue("c", "a.test", 1, "v"), kResultSuccess);
    EXPECT_EQ(store.slot(0).expiry, kStart + 60);

    // A refused origin neither reads nor keeps the value alive.
    now = kStart + 59;
    EXPECT_EQ(store.getCorvantixValue("c", "https://b.test"), "");
    EXPECT_EQ(store.slot(0).expiry, kStart + 60);

    EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), "v");
    EXPECT_EQ(store.slot(0).expiry, kStart + 59 + 60);

    // Up to the expiry itself the value can still be read.
    now = kStart + 59 + 60;
    EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), "v");
    now += 61;
    EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), "");
    // Out of time, but held until the store needs room; storing again revives it.
    EXPECT_EQ(heldSlots(), 1);
    ASSERT_EQ(store.setCorvantixValue("c", "a.test", 2, "w"), kResultSuccess);
    EXPECT_EQ(store.slot(0).expiry, now + 120);
    now += 120;
    EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), "w");
}

TEST_F(ValueStore, LongestTimeoutDoesNotWrap) {
    ASSERT_EQ(store.setCorvantixValue("c", "a.test", INT32_MAX, "v"), kResultSuccess);
    EXPECT_EQ(store.slot(0).expiry, kStart + 60LL * INT32_MAX);
    now += 1000LL * 365 * 24 * 3600;
    EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), "v");
}

TEST_F(ValueStore, BadArgumentsStoreNothing) {
    EXPECT_EQ(store.setCorvantixValue("c", "a.test", -1, "v"), kResultBadArgument);
    EXPECT_EQ(store.setCorvantixValue(std::nullopt, "a.test", 0, "v"), kResultBadArgument);
    EXPECT_EQ(store.setCorvantixValue("c", std::nullopt, 0, "v"), kResultBadArgument);
    EXPECT_EQ(store.setCorvantixValue("c", "a.test", 0, std::nullopt), kResultBadArgument);
    EXPECT_EQ(heldSlots(), 0);

    ASSERT_EQ(store.setCorvantixValue("c", "a.test", 0, "v"), kResultSuccess);
    EXPECT_EQ(store.setCorvantixValue("c", "b.test", -5, "w"), kResultBadArgument);
    EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), "v");
    EXPECT_EQ(store.getCorvantixValue(std::nullopt, "https://a.test"), std::nullopt);
    EXPECT_EQ(store.getCorvantixValue("c", std::nullopt), std::nullopt);
}

// A list of entries of the given length, ";"-joined, as long as asked.
std::string listOfLength(std::size_t length, std::size_t entryLength) {
    std::string list;
    while (list.size() < length) {
        if (!list.empty()) {
            list.push_back(';');
        }
        const std::size_t room = std::min(entryLength, length - list.size());
        list += std::string(room, 'a');
    }
    return list;
}

TEST_F(ValueStore, DomainListBounds) {
    ASSERT_EQ(store.setCorvantixValue("c", "a.test", 0, "kept"), kResultSuccess);
    const std::string entry(kDomainEntryMaxLength, 'e');
    struct Case {
        std::string list;
        bool fits;
    };
    const Case cases[] = {
        {listOfLength(kDomainListMaxLength, 200), true},
        {listOfLength(kDomainListMaxLength + 1, 200), false},
        {listOfLength(200000, 200), false},
        {entry, true},
        {entry + "e", false},
        {"a.test;" + entry + ";b.test", true},
        {"a.test;" + entry + "e;b.test", false},
        // White space around an entry does not count, inside it does.
        {" \t" + entry + "\n ;a.test", true},
        {std::string(kDomainEntryMaxLength - 1, 'e') + " e", false},
        {std::string(kDomainListMaxLength, ';'), true},
        {std::string(kDomainListMaxLength, ' '), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list.substr(0, 40) + "... of " + std::to_string(c.list.size()));
        EXPECT_EQ(store.setCorvantixValue("c", c.list, 0, "new"),
                  c.fits ? kResultSuccess : kResultBadArgument);
        if (c.fits) {
            EXPECT_EQ(store.slot(0).domainList, c.list);
            ASSERT_EQ(store.setCorvantixValue("c", "a.test", 0, "kept"), kResultSuccess);
        }
        // A refused store leaves the channel's value, list and lifetime.
        EXPECT_EQ(store.slot(0).domainList, "a.test");
        EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), "kept");
        // Nor does it take a slot for a new channel.
        EXPECT_EQ(store.setCorvantixValue("n", c.list, 5, "new"),
                  c.fits ? kResultSuccess : kResultBadArgument);
        EXPECT_EQ(heldSlots(), c.fits ? 2 : 1);
        store.clearValueSlot(1);
    }
    ASSERT_EQ(listOfLength(kDomainListMaxLength, 200).size(), kDomainListMaxLength);
}

TEST_F(ValueStore, ListsAtTheBoundsStillCheckOrigins) {
    // The longest list of hostile wildcard entries, against the longest origin.
    const std::string listed = "*.bank.test";
    std::string list;
    while (list.size() + 16 + listed.size() <= kDomainListMaxLength) {
        list += "*.*.*.*.*.*.*.x;";
    }
    ASSERT_EQ(store.setCorvantixValue("c", list + listed, 0, "v"), kResultSuccess);
    std::string origin = "https://";
    while (origin.size() + 12 < 512) {
        origin += "a.";
    }
    origin += "bank.test";
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(store.getCorvantixValue("c", origin), "v");
    EXPECT_EQ(store.getCorvantixValue("c", "https://a.a.a.a.a.a.a.a.a.a.a.other.test"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
}

TEST_F(ValueStore, SeventeenthChannelClearsSlotsWithoutLifetime) {
    for (int i = 0; i < kValueSlotCount; ++i) {
        ASSERT_EQ(store.setCorvantixValue("c" + std::to_string(i), "a.test", 0, "v"),
                  kResultSuccess);
    }
    ASSERT_EQ(store.setCorvantixValue("c16", "a.test", 0, "new"), kResultSuccess);
    EXPECT_EQ(heldSlots(), 1);
    EXPECT_EQ(store.slot(kValueSlotCount - 1).channel, "c16");
    EXPECT_EQ(store.getCorvantixValue("c16", "https://a.test"), "new");
    EXPECT_EQ(store.getCorvantixValue("c0", "https://a.test"), "");
}

TEST_F(ValueStore, SeventeenthChannelTakesTheLastSlotOutOfTime) {
    // Slots 1, 5, 9 and 13 have no lifetime, 6 ran out, the rest live on.
    for (int i = 0; i < kValueSlotCount; ++i) {
        const int timeout = i % 4 == 1 ? 0 : (i == 6 ? 1 : 10);
        ASSERT_EQ(store.setCorvantixValue("c" + std::to_string(i), "a.test", timeout,
                                          "v" + std::to_string(i)),
                  kResultSuccess);
    }
    now = kStart + 61;
    ASSERT_EQ(store.setCorvantixValue("c16", "a.test", 0, "new"), kResultSuccess);
    EXPECT_EQ(store.slot(13).channel, "c16");
    for (int i : {1, 5, 6, 9}) {
        EXPECT_FALSE(store.slot(i).channel) << i;
    }
    for (int i : {0, 2, 3, 4, 7, 8, 10, 11, 12, 14, 15}) {
        EXPECT_EQ(store.getCorvantixValue("c" + std::to_string(i), "https://a.test"),
                  "v" + std::to_string(i));
    }
}

TEST_F(ValueStore, FullStoreWithLiveLifetimesRefusesANewChannel) {
    for (int i = 0; i < kValueSlotCount; ++i) {
        ASSERT_EQ(store.setCorvantixValue("c" + std::to_string(i), "a.test", 1, "v"),
                  kResultSuccess);
    }
    now = kStart + 60;
    EXPECT_EQ(store.setCorvantixValue("c16", "a.test", 1, "new"), kResultStoreFull);
    // A held channel can still be stored again.
    EXPECT_EQ(store.setCorvantixValue("C3", "a.test", 1, "again"), kResultSuccess);
    EXPECT_EQ(heldSlots(), kValueSlotCount);
    EXPECT_EQ(store.getCorvantixValue("c16", "https://a.test"), "");
    EXPECT_EQ(store.getCorvantixValue("c0", "https://a.test"), "v");
    EXPECT_EQ(store.getCorvantixValue("c3", "https://a.test"), "again");
}

TEST_F(ValueStore, ValuesAreHeldOnlyEnciphered) {
    const std::string secret = "account=12345678;token=abcdef";
    ASSERT_EQ(store.setCorvantixValue("c", "a.test", 0, secret), kResultSuccess);
    const auto& bytes = store.slot(0).value;
    const std::string held(bytes.begin(), bytes.end());
    EXPECT_EQ(held.find(secret), std::string::npos);
    EXPECT_EQ(held.find(secret.substr(0, 8)), std::string::npos);
    EXPECT_EQ(held.find(kAesPrefix), std::string::npos);
    // AES-CBC of prefix, value and a zero byte, padded to whole blocks.
    EXPECT_EQ(bytes.size(), ((kAesPrefix.size() + secret.size() + 1) / 16 + 1) * 16);
    // Under the store's key and the first 16 bytes of its IV block.
    EXPECT_EQ(decryptAesCbc(bytes, key, std::span<const std::uint8_t, 16>(iv.data(), 16)), secret);
}

TEST_F(ValueStore, CipherFailures) {
    ASSERT_EQ(store.setCorvantixValue("c", "a.test", 0, "kept"), kResultSuccess);

    // A value that cannot be enciphered is not stored, and reported so.
    failEncipher = true;
    EXPECT_EQ(store.setCorvantixValue("c", "b.test", 0, "lost"), kResultNotAvailable);
    EXPECT_EQ(store.setCorvantixValue("d", "b.test", 0, "lost"), kResultNotAvailable);
    failEncipher = false;
    EXPECT_EQ(heldSlots(), 1);
    EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), "kept");

    failDecipher = true;
    EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), std::nullopt);
    // Refused reads give the empty text before anything is deciphered.
    EXPECT_EQ(store.getCorvantixValue("c", "https://b.test"), "");
}

TEST(ValueStoreKey, EachStoreDrawsItsOwnKey) {
    CorvantixValue first;
    ASSERT_EQ(first.setCorvantixValue("c", "a.test", 0, "one"), kResultSuccess);
    CorvantixValue second;
    ASSERT_EQ(second.setCorvantixValue("c", "a.test", 0, "one"), kResultSuccess);
    EXPECT_NE(first.slot(0).value, second.slot(0).value);
    // Each still reads back what it enciphered, whichever was made last.
    ASSERT_EQ(first.setCorvantixValue("d", "a.test", 0, "two"), kResultSuccess);
    EXPECT_EQ(first.getCorvantixValue("c", "https://a.test"), "one");
    EXPECT_EQ(first.getCorvantixValue("d", "https://a.test"), "two");
    EXPECT_EQ(second.getCorvantixValue("c", "https://a.test"), "one");
    EXPECT_TRUE(AesValueCipher().drawn());
}

// The lines a store and its reads write, in a sandbox's log.
class ValueStoreLog : public ValueStore {
protected:
    void SetUp() override {
        fs::create_directories(box.root() / "logs");
        box.write("Windows/VondelCorvantix.ini",
                  "[VondelCorvantix]\nLog File=" + (box.root() / "logs" / "t.log").string() +
                      "\nLog Level=5\n");
        ASSERT_TRUE(setLog("S"));
    }
    void expectInOrder(const std::vector<std::string>& lines) const {
        std::string text;
        for (const auto& file : fs::directory_iterator(box.root() / "logs")) {
            text += testing_support::Sandbox::read(file.path());
        }
        std::size_t at = 0;
        for (const auto& line : lines) {
            const auto found = text.find(line, at);
            ASSERT_NE(found, std::string::npos) << line << "\nin\n" << text;
            at = found + line.size();
        }
    }

    testing_support::Sandbox box;
};

TEST_F(ValueStoreLog, ReadsAndAFullStoreAreLogged) {
    ASSERT_EQ(store.setCorvantixValue("c", "a.test", 1, "v"), kResultSuccess);
    ASSERT_EQ(store.setCorvantixValue("p", "a.test", 0, "v"), kResultSuccess);
    EXPECT_EQ(store.getCorvantixValue("x", "https://a.test"), "");
    EXPECT_EQ(store.getCorvantixValue("c", "https://b.test"), "");
    now = kStart + 10;
    EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), "v");
    now = kStart + 70;
    EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), "v");
    now = kStart + 200;
    EXPECT_EQ(store.getCorvantixValue("c", "https://a.test"), "");
    EXPECT_EQ(store.getCorvantixValue("p", "https://a.test"), "v");
    // Every slot held by a live lifetime.
    ASSERT_EQ(store.setCorvantixValue("c", "a.test", 1, "v"), kResultSuccess);
    ASSERT_EQ(store.setCorvantixValue("p", "a.test", 1, "v"), kResultSuccess);
    for (int i = 2; i < kValueSlotCount; ++i) {
        ASSERT_EQ(store.setCorvantixValue("c" + std::to_string(i), "a.test", 1, "v"),
                  kResultSuccess);
    }
    EXPECT_EQ(store.setCorvantixValue("new", "a.test", 1, "v"), kResultStoreFull);
    EXPECT_EQ(store.setCorvantixValue(std::nullopt, std::nullopt, 0, "v"), kResultBadArgument);

    expectInOrder({
        "[S][Warning] CorvantixValue no current channelx\n",
        "[S][Normal] Enable url check list\n",
        "[S][Normal] Url check list: a.test\n",
        "[S][Warning] CorvantixValue url check failhttps://b.test\n",
        "[S][Normal] CorvantixValue current_time: " + std::to_string(kStart + 10) + "\n",
        "[S][Normal] CorvantixValue update expired_time: " + std::to_string(kStart + 70) + "\n",
        "[S][Normal] CorvantixValue current_time: " + std::to_string(kStart + 70) + "\n",
        "[S][Normal] CorvantixValue update expired_time: " + std::to_string(kStart + 130) + "\n",
        "[S][Normal] CorvantixValue current_time: " + std::to_string(kStart + 200) + "\n",
        "[S][Warning] CorvantixValue: Timeout\n",
        "[S][Warning] CorvantixValue expired_time: " + std::to_string(kStart + 130) + "\n",
        "[S][Normal] CorvantixValue: No expired time\n",
        "[S][Warning] CorvantixValue: Full\n",
        "[S][Warning] Parameter channel is null at CorvantixValue.cpp ",
        "[S][Warning] Parameter domain_list is null at CorvantixValue.cpp ",
    });
}

} // namespace
