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

// The texts the dialogs show, as the control's string table gives them.
// nullptr: the table gives that id no text; the dialog shows a wording of its
// own there, never an empty field.
struct Texts {
    const char* name;
    const char* language;
    const char* pinCaption;
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
    {"Big5", "big5", "請輸入密碼", "確定", "取消",
     "請輸入您的卡片密碼 ( Please input your password )", "卡片密碼 ( Password )", "修改密碼",
     "原密碼", "新密碼", "確認新密碼", "請輸入以下圖形驗證碼", "重新產生"},
    {"Gb", "gb", "请输入密码", "确定", "取消", "请输入密码", "密码", "修改密码", "原密码", nullptr,
     nullptr, "请输入以下图形验证码", "重新产生"},
    {"English", "english", "Please input password", "OK", "Cancel", "Please input password",
     "Password", nullptr, nullptr, nullptr, nullptr, "Confirm the verification code", "Renew"},
    {"Jp", "jp", "パスワードを入力してください", "決定する", "キャンセル",
     "パスワードを入力してください", "パスワード", nullptr, nullptr, nullptr, nullptr,
     "確認コードを入力してください", "再生する"},
};

// The keypad dialogs' sentence around the countdown, in every language.
constexpr const char* kCountdownSentence = "您有        秒的時間，否則交易將取消。";

void expectText(const std::string& shown, const char* text, const char* what) {
    if (text != nullptr) {
        EXPECT_EQ(shown, text) << what;
    } else {
        EXPECT_FALSE(shown.empty()) << what;
    }
}

std::string textOf(const JsonValue& dialog, int id) {
    return *controlOf(dialog, id)->find("text")->asString();
}

// The one text drawn on the dialog itself: the Caps Lock notice, which the
// table leaves without text in every language.
void expectOneNotice(const JsonValue& dialog) {
    const auto drawn = drawnTexts(dialog);
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_FALSE(drawn.front().empty());
}

class Languages : public PinUi, public ::testing::WithParamInterface<Texts> {};

TEST_P(Languages, EveryDialogShowsItsTextsInTheLanguage) {
    const Texts& t = GetParam();
    ASSERT_EQ(UI_SetLanguage(t.language), kCtlOk);
    // With Caps Lock on, the keypad dialogs show their notice at once.
    setCapsLock(true);
    {
        PinRequest request([](SecretString& pin) { return PasswdDlg_CountDown(0, pin); });
        const Window dialog = waitFor(kUiPinDialog);
        ASSERT_NE(dialog, 0u);
        const JsonValue d = dump(dialog);
        EXPECT_EQ(*d.find("caption")->asString(), t.pinCaption);
        expectOneNotice(d);
        EXPECT_EQ(drawnTexts(*controlOf(d, kIdOk)), std::vector<std::string>{t.ok});
        EXPECT_EQ(drawnTexts(*controlOf(d, kIdCancel)), std::vector<std::string>{t.cancel});
        EXPECT_EQ(textOf(d, kUiCountdownText), kCountdownSentence);
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        EXPECT_EQ(request.result(), kCtlCancelled);
    }
    {
        PinRequest request([](SecretString& pin) { return UI_PasswdDlg(0, 0x2, pin); });
        const Window dialog = waitFor(kUiPlainPinDialog);
        ASSERT_NE(dialog, 0u);
        const JsonValue d = dump(dialog);
        EXPECT_EQ(*d.find("caption")->asString(), t.plainCaption);
        EXPECT_EQ(textOf(d, kUiPlainLabel), t.plainLabel);
        EXPECT_EQ(textOf(d, kIdOk), t.ok);
        EXPECT_EQ(textOf(d, kIdCancel), t.cancel);
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        EXPECT_EQ(request.result(), kCtlCancelled);
    }
    {
        ChangePinRequest request(cardChangePin);
        const Window dialog = waitFor(kUiChangePinDialog);
        ASSERT_NE(dialog, 0u);
        const JsonValue d = dump(dialog);
        expectText(*d.find("caption")->asString(), t.changeCaption, "change-PIN caption");
        expectOneNotice(d);
        expectText(textOf(d, kUiOldPinLabel), t.oldLabel, "old PIN label");
        expectText(textOf(d, kUiNewPinLabel), t.newLabel, "new PIN label");
        expectText(textOf(d, kUiConfirmLabel), t.confirmLabel, "confirmation label");
        EXPECT_EQ(drawnTexts(*controlOf(d, kIdOk)), std::vector<std::string>{t.ok});
        EXPECT_EQ(drawnTexts(*controlOf(d, kIdCancel)), std::vector<std::string>{t.cancel});
        // The template gives its sentence as the PIN dialog's.
        EXPECT_EQ(textOf(d, kUiCountdownText), kCountdownSentence);
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        EXPECT_EQ(request.result(), kCtlCancelled);
    }
    {
        ModalThread run([] { return static_cast<LResult>(UI_VerifyCodeDlg(0, 1)); });
        const Window dialog = waitFor(kUiVerifyCodeDialog);
        ASSERT_NE(dialog, 0u);
        const JsonValue d = dump(dialog);
        EXPECT_EQ(*d.find("caption")->asString(), t.prompt);
        EXPECT_EQ(textOf(d, kUiReshuffleKey), t.renew);
        EXPECT_EQ(textOf(d, kIdOk), t.ok);
        EXPECT_EQ(textOf(d, kIdCancel), t.cancel);
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        EXPECT_EQ(run.result(), kCtlCancelled);
    }
}

INSTANTIATE_TEST_SUITE_P(UiLanguage, Languages, ::testing::ValuesIn(kTexts),
                         [](const auto& info) { return std::string(info.param.name); });

// The table's texts that no dialog loads.
TEST_F(PinUi, TheTableHoldsTheTextsNoDialogLoads) {
    ASSERT_EQ(UI_PasswdDlgInit(0), kCtlOk);
    const std::pair<std::uint32_t, std::u16string_view> unloaded[] = {
        {51002, u"密碼"},       {51012, u"密码"}, {51022, u"Password"},
        {51032, u"パスワード"}, {53012, u"密碼"}, {53022, u"密码"},
    };
    for (const auto& [id, text] : unloaded) {
        EXPECT_EQ(loadString(id, kLanguageChineseTaiwan), std::optional<std::u16string>(text))
            << id;
    }
}

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
