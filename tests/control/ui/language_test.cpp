// The language of the dialogs: chosen by name or from the system's default
// language, once; and every visible text of every dialog in each language.

#include "tests/control/ui/PinUiFixture.h"

#include <ostream>

namespace pin_ui_test {
namespace {

struct NameCase {
    const char* name;
    const char* language; // nullptr: none given
    ControlErrorCode expect;
    int chosen; // the language afterwards, from big5 before
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.name;
}

const NameCase kNames[] = {
    {"English", "english", kCtlOk, kUiLanguageEnglish},
    {"AnyCase", "ENGLISH", kCtlOk, kUiLanguageEnglish},
    {"Gb", "Gb", kCtlOk, kUiLanguageGb},
    {"Jp", "jp", kCtlOk, kUiLanguageJp},
    {"Big5", "BIG5", kCtlOk, kUiLanguageBig5},
    {"UnknownKeepsTheLanguage", "klingon", kCtlUnsupported, kUiLanguageBig5},
    {"EmptyIsUnknown", "", kCtlUnsupported, kUiLanguageBig5},
    {"Null", nullptr, kCtlBadArgument, kUiLanguageBig5},
};

class Names : public ::testing::TestWithParam<NameCase> {
protected:
    void SetUp() override { UI_ResetForTest(); }
    void TearDown() override { UI_ResetForTest(); }
};

TEST_P(Names, ChooseTheLanguage) {
    ASSERT_EQ(UI_SetLanguage("big5"), kCtlOk);
    EXPECT_EQ(UI_SetLanguage(GetParam().language), GetParam().expect);
    EXPECT_EQ(UI_GetLanguage(), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(UiLanguage, Names, ::testing::ValuesIn(kNames),
                         [](const auto& info) { return std::string(info.param.name); });

struct SystemCase {
    const char* name;
    LanguageId system;
    int chosen;
};

void PrintTo(const SystemCase& c, std::ostream* os) {
    *os << c.name;
}

const SystemCase kSystems[] = {
    {"EnglishUs", kLanguageEnglishUs, kUiLanguageEnglish},
    {"EnglishUk", makeLanguageId(kLangEnglish, 0x02), kUiLanguageEnglish},
    {"ChineseTaiwan", kLanguageChineseTaiwan, kUiLanguageBig5},
    {"ChineseHongKong", makeLanguageId(kLangChinese, kSublangChineseHongKong), kUiLanguageBig5},
    {"ChineseMacau", makeLanguageId(kLangChinese, kSublangChineseMacau), kUiLanguageBig5},
    {"ChinesePrc", kLanguageChinesePrc, kUiLanguageGb},
    {"ChineseSingaporeIsNotThePrc", makeLanguageId(kLangChinese, kSublangChineseSingapore),
     kUiLanguageBig5},
    {"Japanese", kLanguageJapanese, kUiLanguageJp},
    {"GermanFallsBackToEnglish", kLanguageGerman, kUiLanguageEnglish},
};

class Systems : public ::testing::TestWithParam<SystemCase> {
protected:
    void SetUp() override { UI_ResetForTest(); }
    void TearDown() override {
        setSystemLanguage(std::nullopt);
        UI_ResetForTest();
    }
};

TEST_P(Systems, DefaultFollowsTheSystemsLanguage) {
    setSystemLanguage(GetParam().system);
    EXPECT_EQ(UI_SetLanguage("default"), kCtlOk);
    EXPECT_EQ(UI_GetLanguage(), GetParam().chosen);
}

// The first Init step chooses the default; later ones keep the choice.
TEST_P(Systems, TheFirstDialogChoosesTheDefaultOnce) {
    setSystemLanguage(GetParam().system);
    EXPECT_EQ(UI_GetLanguage(), kUiLanguageNone);
    ASSERT_EQ(UI_CHPasswdDlgInit(0), kCtlOk);
    EXPECT_EQ(UI_GetLanguage(), GetParam().chosen);
    setSystemLanguage(GetParam().chosen == kUiLanguageJp ? kLanguageGerman : kLanguageJapanese);
    ASSERT_EQ(UI_PasswdDlgInit(0), kCtlOk);
    EXPECT_EQ(UI_GetLanguage(), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(UiLanguage, Systems, ::testing::ValuesIn(kSystems),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Every text in every language ----------------------------------------------

struct Texts {
    const char* name;
    const char* language;
    const char* pinCaption;
    const char* capsLock;
    const char* ok;
    const char* cancel;
    const char* plainCaption;
    const char* plainLabel;
    const char* changeCaption;
    const char* oldLabel;
    const char* newLabel;
    const char* confirmLabel;
    const char* prompt;
    const char* renew;
};

void PrintTo(const Texts& c, std::ostream* os) {
    *os << c.name;
}

const Texts kTexts[] = {
    {"Big5", "big5", "請輸入晶片卡密碼", "大寫鎖定已開啟", "確定", "取消", "請輸入您的晶片卡密碼",
     "晶片卡密碼", "變更晶片卡密碼", "目前的密碼", "新密碼", "再次輸入新密碼", "請輸入圖中的驗證碼",
     "換一組"},
    {"Gb", "gb", "请输入芯片卡密码", "大写锁定已打开", "确定", "取消", "请输入您的芯片卡密码",
     "芯片卡密码", "修改芯片卡密码", "当前密码", "新密码", "再次输入新密码", "请输入图中的验证码",
     "换一组"},
    {"English", "english", "Enter your card PIN", "Caps Lock is on", "OK", "Cancel",
     "Enter your card PIN", "Card PIN", "Change card PIN", "Current PIN", "New PIN",
     "Confirm new PIN", "Type the code shown", "New code"},
    {"Jp", "jp", "カードの暗証番号を入力してください", "Caps Lock がオンです", "OK", "キャンセル",
     "カードの暗証番号を入力してください", "暗証番号", "暗証番号の変更", "現在の暗証番号",
     "新しい暗証番号", "新しい暗証番号 (確認)", "表示されたコードを入力してください", "別のコード"},
};

bool drawsText(const JsonValue& window, std::string_view text) {
    for (const auto& drawn : drawnTexts(window)) {
        if (drawn == text) {
            return true;
        }
    }
    return false;
}

class Languages : public PinUi, public ::testing::WithParamInterface<Texts> {};

TEST_P(Languages, EveryDialogShowsItsTextsInTheLanguage) {
    const Texts& t = GetParam();
    ASSERT_EQ(UI_SetLanguage(t.language), kCtlOk);
    // With Caps Lock on, the keypad dialogs show their notice at once.
    setCapsLock(true);
    {
        PinRequest request([](SecretString& pin) { return UI_ATMPasswdDlg(0, pin); });
        const Window dialog = waitFor(kUiPinDialog);
        ASSERT_NE(dialog, 0u);
        const JsonValue d = dump(dialog);
        EXPECT_EQ(*d.find("caption")->asString(), t.pinCaption);
        EXPECT_TRUE(drawsText(d, t.capsLock));
        EXPECT_EQ(drawnTexts(*controlOf(d, kIdOk)), std::vector<std::string>{t.ok});
        EXPECT_EQ(drawnTexts(*controlOf(d, kIdCancel)), std::vector<std::string>{t.cancel});
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        EXPECT_EQ(request.result(), kCtlCancelled);
    }
    {
        PinRequest request([](SecretString& pin) { return UI_PasswdDlg(0, 0x2, pin); });
        const Window dialog = waitFor(kUiPlainPinDialog);
        ASSERT_NE(dialog, 0u);
        const JsonValue d = dump(dialog);
        EXPECT_EQ(*d.find("caption")->asString(), t.plainCaption);
        EXPECT_EQ(*controlOf(d, kUiPlainLabel)->find("text")->asString(), t.plainLabel);
        EXPECT_EQ(*controlOf(d, kIdOk)->find("text")->asString(), t.ok);
        EXPECT_EQ(*controlOf(d, kIdCancel)->find("text")->asString(), t.cancel);
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        EXPECT_EQ(request.result(), kCtlCancelled);
    }
    {
        ChangePinRequest request(cardChangePin);
        const Window dialog = waitFor(kUiChangePinDialog);
        ASSERT_NE(dialog, 0u);
        const JsonValue d = dump(dialog);
        EXPECT_EQ(*d.find("caption")->asString(), t.changeCaption);
        EXPECT_TRUE(drawsText(d, t.capsLock));
        EXPECT_EQ(*controlOf(d, kUiOldPinLabel)->find("text")->asString(), t.oldLabel);
        EXPECT_EQ(*controlOf(d, kUiNewPinLabel)->find("text")->asString(), t.newLabel);
        EXPECT_EQ(*controlOf(d, kUiConfirmLabel)->find("text")->asString(), t.confirmLabel);
        EXPECT_EQ(drawnTexts(*controlOf(d, kIdOk)), std::vector<std::string>{t.ok});
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        EXPECT_EQ(request.result(), kCtlCancelled);
    }
    {
        ModalThread run([] { return static_cast<LResult>(UI_VerifyCodeDlg(0, 1)); });
        const Window dialog = waitFor(kUiVerifyCodeDialog);
        ASSERT_NE(dialog, 0u);
        const JsonValue d = dump(dialog);
        EXPECT_EQ(*d.find("caption")->asString(), t.prompt);
        EXPECT_EQ(*controlOf(d, kUiReshuffleKey)->find("text")->asString(), t.renew);
        EXPECT_EQ(*controlOf(d, kIdOk)->find("text")->asString(), t.ok);
        EXPECT_EQ(*controlOf(d, kIdCancel)->find("text")->asString(), t.cancel);
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        EXPECT_EQ(run.result(), kCtlCancelled);
    }
}

INSTANTIATE_TEST_SUITE_P(UiLanguage, Languages, ::testing::ValuesIn(kTexts),
                         [](const auto& info) { return std::string(info.param.name); });

// A text the chosen language lacks comes in English.
TEST_F(PinUi, AMissingTextComesInEnglish) {
    ASSERT_EQ(UI_PasswdDlgInit(0), kCtlOk);
    ASSERT_EQ(UI_SetLanguage("jp"), kCtlOk);
    clearStrings();
    registerStrings(kLanguageChineseTaiwan, {{51020, u"Enter your card PIN"}});
    EXPECT_EQ(UI_LoadText(kUiTextPinCaption), u"Enter your card PIN");
    EXPECT_EQ(UI_LoadText(kUiTextOk), u"");
    clearStrings();
}

} // namespace
} // namespace pin_ui_test
