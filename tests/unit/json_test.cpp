#include "common/AES.h"
#include "common/Cipher.h"
#include "common/Json.h"
#include "common/Sha512.h"
#include "common/Tool.h"
#include "common/ToolLog.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kSecret = "0123456789abcdef0123456789ABCDEF"; // 32 bytes

// Hex of AES-256-CBC cipher text of plain (PKCS#7) under key and the fixed IV,
// as a page would send it.
std::string sealForPage(std::string_view key32, std::string_view plain) {
    const auto iv = jsonMapFixedIv();
    CipherContext ctx;
    EXPECT_EQ(cipherAesInit(&ctx, CipherDirection::Encrypt, kMechAesCbcPad,
                            std::span<const std::uint8_t, 32>(
                                reinterpret_cast<const std::uint8_t*>(key32.data()), 32),
                            iv),
              kCipherOk);
    std::vector<std::uint8_t> out(plain.size() + 16);
    std::size_t n = out.size();
    EXPECT_EQ(cipherEncryptUpdate(&ctx, reinterpret_cast<const std::uint8_t*>(plain.data()),
                                  plain.size(), out.data(), &n),
              kCipherOk);
    std::size_t last = out.size() - n;
    EXPECT_EQ(cipherEncryptFinal(&ctx, out.data() + n, &last), kCipherOk);
    out.resize(n + last);
    return bytesToHex(out);
}

std::string quoted(std::string_view key, std::string_view value) {
    return "\"" + std::string(key) + "\":\"" + std::string(value) + "\"";
}

std::string object(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string text = "{";
    for (const auto& [k, v] : pairs) {
        text += (text.size() > 1 ? "," : "") + quoted(k, v);
    }
    return text + "}";
}

std::vector<std::string> keysOf(const JsonMap& map) {
    std::vector<std::string> keys;
    for (int i = 0; i < map.count; ++i) {
        keys.emplace_back(map.entries[i].key);
    }
    return keys;
}

// Logging into the sandbox, the key check off and clear.
class JsonFixture : public ::testing::Test {
protected:
    void SetUp() override {
        box.write("Windows/VondelCorvantix.ini",
                  "[VondelCorvantix]\nLog File=" + (box.root() / "logs" / "t.log").string() +
                      "\nLog Level=5\n");
        fs::create_directories(box.root() / "logs");
        ASSERT_TRUE(setLog("JsonTest"));
        setJsonMapKeyCheck(false);
        setJsonMapKeyCheckError(0);
    }
    void TearDown() override { setJsonMapKeyCheck(false); }
    std::string log() const {
        std::string text;
        for (const auto& entry : fs::directory_iterator(box.root() / "logs")) {
            text += testing_support::Sandbox::read(entry.path());
        }
        return text;
    }
    bool logged(std::string_view line) const { return log().find(line) != std::string::npos; }

    testing_support::Sandbox box;
};

TEST_F(JsonFixture, ParsedMapIsSortedWithoutRegardToCase) {
    const std::string text = R"({"b":"2","PathID":"7","_x":"u","A":"1","n":17,"t":true})";
    const auto map = parseJsonMap(text);
    ASSERT_TRUE(map);
    EXPECT_EQ(map->count, 6);
    // Folding to lower case puts "_" (0x5F) before the letters.
    EXPECT_EQ(keysOf(*map), (std::vector<std::string>{"_x", "A", "b", "n", "PathID", "t"}));
    EXPECT_STREQ(map->rawText, text.c_str());
    EXPECT_EQ(getJsonMapValue(map.get(), "PATHID"), "7");
    EXPECT_EQ(getJsonMapValue(map.get(), "pathid"), "7");
    EXPECT_EQ(getJsonMapValue(map.get(), "a"), "1");
    EXPECT_EQ(getJsonMapValue(map.get(), "n"), "17");
    EXPECT_EQ(getJsonMapValue(map.get(), "t"), "true");
    EXPECT_EQ(getJsonMapValue(map.get(), "missing"), std::nullopt);
    for (const char* key : {"_x", "A", "b", "n", "PathID", "t"}) {
        EXPECT_TRUE(getJsonMapValue(map.get(), key)) << key;
    }
}

TEST_F(JsonFixture, CompareEntries) {
    JsonMapEntry a{const_cast<char*>("A"), nullptr, nullptr, 0};
    JsonMapEntry lowA{const_cast<char*>("a"), nullptr, nullptr, 0};
    JsonMapEntry under{const_cast<char*>("_"), nullptr, nullptr, 0};
    JsonMapEntry ab{const_cast<char*>("ab"), nullptr, nullptr, 0};
    EXPECT_EQ(compareJsonMapEntry(&a, &lowA), 0);
    EXPECT_EQ(compareJsonMapEntry(&a, &under), 1);
    EXPECT_EQ(compareJsonMapEntry(&under, &a), -1);
    EXPECT_EQ(compareJsonMapEntry(&a, &ab), -1);
    EXPECT_EQ(compareJsonMapEntry(nullptr, &a), 100);
    EXPECT_EQ(compareJsonMapEntry(&a, nullptr), 100);
}

TEST_F(JsonFixture, RepeatedKeysInTextAreAllKept) {
    const auto map = parseJsonMap(R"({"k":"1","K":"2","k":"3"})");
    ASSERT_TRUE(map);
    EXPECT_EQ(map->count, 3);
    const auto value = getJsonMapValue(map.get(), "k");
    ASSERT_TRUE(value);
    EXPECT_TRUE(*value == "1" || *value == "2" || *value == "3") << *value;
}

TEST_F(JsonFixture, AddKeepsTheFirstSpellingAndTheOrder) {
    auto map = newJsonMap();
    ASSERT_TRUE(map);
    EXPECT_EQ(addJsonMapValue(map.get(), "PathID", "1"), 0);
    EXPECT_EQ(addJsonMapValue(map.get(), "zeta", "z"), 0);
    EXPECT_EQ(addJsonMapValue(map.get(), "PATHID", "2"), 0);
    EXPECT_EQ(addJsonMapValue(map.get(), "alpha", "a"), 0);
    EXPECT_EQ(keysOf(*map), (std::vector<std::string>{"alpha", "PathID", "zeta"}));
    EXPECT_EQ(getJsonMapValue(map.get(), "pathid"), "2");
    EXPECT_EQ(map->rawText, nullptr);

    // A null text is stored as such: looked up it is missing, serialised it is left out.
    EXPECT_EQ(addJsonMapValue(map.get(), "Zeta", std::nullopt), 0);
    EXPECT_EQ(getJsonMapValue(map.get(), "zeta"), std::nullopt);
    EXPECT_EQ(jsonMapToString(map.get()), R"({"alpha": "YQ==", "PathID": "Mg=="})");
}

TEST_F(JsonFixture, AHundredAndTwentyNinthKeyIsRefused) {
    auto map = newJsonMap();
    for (int i = 0; i < kJsonMapMaxEntries; ++i) {
        addJsonMapValue(map.get(), "k" + std::to_string(i), "v");
    }
    ASSERT_EQ(map->count, kJsonMapMaxEntries);
    addJsonMapValue(map.get(), "extra", "v");
    EXPECT_EQ(map->count, kJsonMapMaxEntries);
    EXPECT_EQ(getJsonMapValue(map.get(), "extra"), std::nullopt);
    addJsonMapValue(map.get(), "K5", "changed"); // an existing key still changes
    EXPECT_EQ(getJsonMapValue(map.get(), "k5"), "changed");
}

TEST_F(JsonFixture, TextsThatGiveNoMap) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < kJsonMapMaxEntries; ++i) {
        pairs.emplace_back("k" + std::to_string(i), std::to_string(i));
    }
    const auto full = parseJsonMap(object(pairs));
    ASSERT_TRUE(full);
    EXPECT_EQ(full->count, kJsonMapMaxEntries);
    EXPECT_EQ(getJsonMapValue(full.get(), "k0"), "0");
    EXPECT_EQ(getJsonMapValue(full.get(), "K127"), "127");

    pairs.emplace_back("k128", "128");
    const std::string refused[] = {object(pairs), "{}", "\"alone\"", R"({"a":"b")", "", "{\"a\" x"};
    for (const auto& text : refused) {
        SCOPED_TRACE(text.substr(0, 40));
        EXPECT_FALSE(parseJsonMap(text));
    }
    EXPECT_FALSE(parseJsonMap(std::nullopt));
    EXPECT_TRUE(logged("[JsonTest][Error] jsmn parse error"));
    EXPECT_TRUE(logged("[JsonTest][Error] Error json: length 2\n")); // "{}"
}

TEST_F(JsonFixture, AFailedParseLogsTheLengthAndNoneOfTheText) {
    // Each text holds a secret and fails to parse: cut short, a stray
    // character, a hidden key, and one pair too many.
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < kJsonMapMaxEntries; ++i) {
        pairs.emplace_back("k" + std::to_string(i), "v");
    }
    pairs.emplace_back("newPW", "462817");
    const std::pair<std::string, std::string> cases[] = {
        {R"({"FunctionName":"VerifyPIN","PIN":"739514","x":)", "739514"},
        {R"({"Pass":"s3cr3t-pass" ] )", "s3cr3t-pass"},
        {R"({"Token":"T0k3nV4lue","Token_CorvantixHide":"true")", "T0k3nV4lue"},
        {object(pairs), "462817"},
    };
    for (const auto& [text, secret] : cases) {
        SCOPED_TRACE(secret);
        EXPECT_FALSE(parseJsonMap(text));
        EXPECT_TRUE(
            logged("[JsonTest][Error] Error json: length " + std::to_string(text.size()) + "\n"));
        EXPECT_FALSE(logged(secret));
    }
    EXPECT_FALSE(logged("FunctionName"));
}

TEST_F(JsonFixture, UnescapingHasExactlySevenReplacements) {
    const std::pair<std::string, std::string> cases[] = {
        {R"(a\rb\nc\td)", "a\rb\nc\td"},
        {R"(\u000f\u000e\u001b)", "\x0f\x0e\x1b"},
        {R"(say \"hi\")", "say \"hi\""},
        // Left as they are: escaped backslash, slash, backspace, form feed, other \u.
        {R"(C:\\dir)", R"(C:\\dir)"},
        {R"(\/\b\f\u0041\u000F)", R"(\/\b\f\u0041\u000F)"},
        // One replacement works on the result of the one before.
        {R"(\\n)", "\\\n"},
    };
    for (const auto& [in, out] : cases) {
        SCOPED_TRACE(in);
        EXPECT_EQ(unescapeJsonText(in), out);
    }
    EXPECT_EQ(unescapeJsonText(std::nullopt), std::nullopt);

    const auto map = parseJsonMap(R"({"path":"C:\\dir\\x","q":"a\"b"})");
    ASSERT_TRUE(map);
    EXPECT_EQ(getJsonMapValue(map.get(), "path"), R"(C:\\dir\\x)");
    EXPECT_EQ(getJsonMapValue(map.get(), "q"), "a\"b");
}

TEST_F(JsonFixture, FlagsDecodeInTheirOrderOfPrecedence) {
    const std::string base64 = replaceString(base64Encode("a>b?c"), "+", "%2B");
    ASSERT_NE(base64Encode("a>b?c").find_first_of("+/="), std::string::npos);
    struct Case {
        std::string what;
        std::vector<std::pair<std::string, std::string>> pairs;
        std::optional<std::string> value;
    };
    const std::string sealed = sealForPage(kSecret, std::string(kAesPrefix) + "a*b" + '\0');
    const std::string bare = sealForPage(kSecret, "no prefix");
    const std::string shortSecret = kSecret.substr(0, 31);
    // What a reader of 32 bytes would take for the key of a 31-byte secret.
    const std::string overread = sealForPage(shortSecret + '\0', "leaked");
    const Case cases[] = {
        {"no flag", {{"X", "C:*dir"}}, "C:*dir"},
        {"star", {{"X", "C:*dir"}, {"X_CorvantixFlag", "TRUE"}}, "C:\\dir"},
        {"star off", {{"X", "C:*dir"}, {"X_CorvantixFlag", "yes"}}, "C:*dir"},
        {"slash", {{"X", "a==CorvantixSlash==b"}, {"X_CorvantixSlashFlag", "true"}}, "a\\b"},
        {"base64", {{"X", base64}, {"x_corvantixbase64flag", "True"}}, "a>b?c"},
        {"encrypt",
         {{"X", sealed}, {"X_CorvantixEncryptFlag", "true"}, {"Corvantix_share_secret", kSecret}},
         "a*b"},
        {"encrypt without prefix",
         {{"X", bare}, {"X_CorvantixEncryptFlag", "true"}, {"Corvantix_share_secret", kSecret}},
         "no prefix"},
        {"encrypt before star",
         {{"X", sealed},
          {"X_CorvantixEncryptFlag", "true"},
          {"X_CorvantixFlag", "true"},
          {"Corvantix_share_secret", kSecret}},
         "a*b"},
        {"star before slash",
         {{"X", "a*b==CorvantixSlash=="},
          {"X_CorvantixFlag", "true"},
          {"X_CorvantixSlashFlag", "true"}},
         "a\\b==CorvantixSlash=="},
        {"slash before base64",
         {{"X", "QQ=="}, {"X_CorvantixSlashFlag", "true"}, {"X_CorvantixBase64Flag", "true"}},
         "QQ=="},
        {"encrypt without a share secret",
         {{"X", sealed}, {"X_CorvantixEncryptFlag", "true"}},
         sealed},
        {"encrypt with a short share secret",
         {{"X", overread},
          {"X_CorvantixEncryptFlag", "true"},
          {"Corvantix_share_secret", shortSecret}},
         overread},
        {"cipher text not whole blocks",
         {{"X", "00112233"},
          {"X_CorvantixEncryptFlag", "true"},
          {"Corvantix_share_secret", kSecret}},
         "00112233"},
        {"flag of another key", {{"X", "C:*dir"}, {"Y_CorvantixFlag", "true"}}, "C:*dir"},
        {"flag of a longer key", {{"X", "C:*dir"}, {"XY_CorvantixFlag", "true"}}, "C:*dir"},
        {"longer flag name", {{"X", "C:*dir"}, {"X_CorvantixFlagZ", "true"}}, "C:*dir"},
        {"shorter flag name", {{"X", "C:*dir"}, {"X_CorvantixFla", "true"}}, "C:*dir"},
        {"flag among many keys",
         {{"A", "1"},
          {"x_corvantixflag", "TRUE"},
          {"X", "C:*dir"},
          {"X_", "2"},
          {"X_CorvantixFl", "3"},
          {"Z", "4"}},
         "C:\\dir"},
        {"missing key", {{"X_CorvantixFlag", "true"}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto map = parseJsonMap(object(c.pairs));
        ASSERT_TRUE(map);
        EXPECT_EQ(getJsonMapValue(map.get(), "X"), c.value);
    }
    EXPECT_TRUE(logged("[JsonTest][Normal] find key: Corvantix_share_secret"));
    EXPECT_TRUE(logged("[JsonTest][Warning] Share secret too short: 31"));
}

TEST_F(JsonFixture, IntegerAndBooleanGetters) {
    struct Case {
        std::string value;
        int number;
        bool flag;
    };
    const Case cases[] = {
        {"true", 1, true}, {"TRUE", 1, true},    {"false", 0, false},
        {"15", 15, false}, {"15min", 15, false}, {" 7", 7, false},
        {"-3", -3, false}, {"abc", 0, false},    {"", 0, false},
        {"yes", 0, false}, {"1", 1, false},      {"99999999999", INT_MAX, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const auto map = parseJsonMap(
            object({{"CorvantixMode", c.value}, {"timeout", c.value}, {"flag", c.value}}));
        ASSERT_TRUE(map);
        EXPECT_EQ(getCorvantixMode(map.get()), c.number);
        EXPECT_EQ(getJsonMapTimeout(map.get()), c.number);
        EXPECT_EQ(getJsonMapBool(map.get(), "FLAG"), c.flag);
    }
    // Missing keys, and values decoded by their flags first.
    const auto map = parseJsonMap(object({{"other", "1"},
                                          {"timeout", base64Encode("30")},
                                          {"timeout_CorvantixBase64Flag", "true"}}));
    ASSERT_TRUE(map);
    EXPECT_EQ(getCorvantixMode(map.get()), 0);
    EXPECT_FALSE(getJsonMapBool(map.get(), "absent"));
    EXPECT_EQ(getJsonMapTimeout(map.get()), 30);
}

TEST_F(JsonFixture, KeyCheckModeRecordsMissingKeys) {
    const auto map = parseJsonMap(R"({"present":"1"})");
    ASSERT_TRUE(map);
    EXPECT_EQ(getJsonMapValue(map.get(), "absent"), std::nullopt);
    EXPECT_EQ(jsonMapKeyCheckError(), 0) << "off: a miss is silent";

    setJsonMapKeyCheck(true);
    // The flag keys looked up while decoding are the system's own: no error.
    EXPECT_EQ(getJsonMapValue(map.get(), "present"), "1");
    EXPECT_EQ(getJsonMapValue(map.get(), "topuiWindow"), std::nullopt);
    EXPECT_EQ(getJsonMapValue(map.get(), "MyCorvantixKey"), std::nullopt);
    EXPECT_EQ(jsonMapKeyCheckError(), 0);
    EXPECT_FALSE(logged("Json map key not found"));

    EXPECT_EQ(getJsonMapValue(map.get(), "cardNo"), std::nullopt);
    EXPECT_EQ(jsonMapKeyCheckError(), kResultKeyMissing);
    EXPECT_TRUE(logged("[JsonTest][Warning] Json map key not found: cardNo"));

    auto empty = newJsonMap();
    setJsonMapKeyCheckError(0);
    EXPECT_EQ(BinarySearchCorvantixJsonMap(empty.get(), 0, empty->count - 1, "x"), std::nullopt);
    EXPECT_EQ(jsonMapKeyCheckError(), kResultKeyMissing);
}

TEST_F(JsonFixture, ParameterLogMasksSecrets) {
    const auto map = parseJsonMap(object({
        {"PIN", "1234"},
        {"newPIN", "abcdef"},
        {"userPw", "pw1"},
        {"Password", "secret"},
        {"x", "hidden"},
        {"x_CorvantixHide", "TRUE"},
        {"y", "shown"},
        {"y_CorvantixHide", "false"},
        {"CorvantixMode", "1"},
        {"Corvantix_share_secret", kSecret},
    }));
    ASSERT_TRUE(map);
    addJsonMapValue(map.get(), "nothing", std::nullopt);
    static unsigned char bytes[] = {1, 2, 3};
    addJsonMapValue(map.get(), "blob", std::nullopt);
    for (int i = 0; i < map->count; ++i) {
        if (std::string_view(map->entries[i].key) == "blob") {
            map->entries[i].binaryValue = bytes;
            map->entries[i].binaryLength = 3;
        }
    }
    displayParameter(map.get());
    const std::string lines[] = {
        "[Normal] = DISPLAY PARAMETER ===== start =====",
        "[Normal] PIN: ****\n",
        "[Normal] newPIN: ******\n",
        "[Normal] userPw: ***\n",
        "[Normal] Password: ******\n",
        "[Normal] x: ******\n",
        "[Normal] x_CorvantixHide: TRUE\n",
        "[Normal] y: shown\n",
        "[Normal] CorvantixMode: 1\n",
        "[Normal] Corvantix_share_secret: " + std::string(kSecret.size(), '*') + "\n",
        "[Normal] nothing: [empty]\n",
        "[Normal] blob: [binary_value]\n",
        "[Normal] = DISPLAY PARAMETER ===== end =====",
    };
    const std::string text = log();
    for (const auto& line : lines) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(text.find(kSecret), std::string::npos);

    // The binary value is what a lookup gives; serialising leaves it out.
    EXPECT_EQ(getJsonMapValue(map.get(), "blob"), std::string("\x01\x02\x03", 3));
    EXPECT_EQ(jsonMapToString(map.get())->find("blob"), std::string::npos);
}

// An enciphered hide flag decodes through the parameter log, which reads hide
// flags again: the nested log is skipped, so the walk ends.
TEST_F(JsonFixture, EncipheredHideFlagEnds) {
    const auto map = parseJsonMap(object({
        {"x", "hidden"},
        {"x_CorvantixHide", sealForPage(kSecret, "true")},
        {"x_CorvantixHide_CorvantixEncryptFlag", "true"},
        {"Corvantix_share_secret", kSecret},
    }));
    ASSERT_TRUE(map);
    displayParameter(map.get());
    EXPECT_TRUE(logged("[Normal] x: ******\n"));
    EXPECT_TRUE(getJsonMapBool(map.get(), "x_CorvantixHide"));
}

TEST_F(JsonFixture, SerialisedFormInKeyOrderWithBase64Values) {
    const auto result = parseJsonMap(R"({"result": "61005"})");
    ASSERT_TRUE(result);
    EXPECT_EQ(jsonMapToString(result.get()), R"({"result": "NjEwMDU="})");

    auto reply = newJsonMap();
    EXPECT_EQ(jsonMapToString(reply.get()), "{}");
    setJsonMapResult(reply.get(), 0);
    EXPECT_EQ(jsonMapToString(reply.get()), R"({"result": "MA=="})");
    setJsonMapResult(reply.get(), -61001);
    addJsonMapValue(reply.get(), "Data", "");
    addJsonMapValue(reply.get(), "b", "ab");
    EXPECT_EQ(jsonMapToString(reply.get()), R"({"b": "YWI=", "Data": "", "result": "LTYxMDAx"})");
    EXPECT_EQ(jsonMapToString(nullptr), std::nullopt);
}

} // namespace
