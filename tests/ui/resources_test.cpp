#include "platform/ui/Resources.h"
#include "tests/ui/UiFixture.h"

#include <cstdlib>
#include <ostream>

namespace ui_test {
namespace {

// A table in three languages, the first registered being the default.
class StringTable : public ::testing::Test {
protected:
    void SetUp() override {
        clearStrings();
        registerStrings(kLanguageChineseTaiwan, {{51000, u"請輸入密碼"},
                                                 {51020, u"Please input password"},
                                                 {100, u"tw only"},
                                                 {300, u"tw three hundred"}});
        registerStrings(kLanguageEnglishUs, {{100, u"en"}, {200, u"en only"}});
        registerStrings(makeLanguageId(kLangChinese, kSublangChineseHongKong), {{300, u"hk"}});
    }
    void TearDown() override { clearStrings(); }
};

struct Lookup {
    const char* name;
    std::uint32_t id;
    std::optional<LanguageId> language;
    std::optional<std::u16string> expect;
};

void PrintTo(const Lookup& c, std::ostream* os) {
    *os << c.name;
}

const Lookup kLookups[] = {
    {"ExactLanguage", 100, kLanguageEnglishUs, u"en"},
    {"DefaultWithoutLanguage", 100, std::nullopt, u"tw only"},
    {"SamePrimaryLanguage", 300, kLanguageChinesePrc, u"tw three hundred"},
    {"ExactBeforeSamePrimary", 300, makeLanguageId(kLangChinese, kSublangChineseHongKong), u"hk"},
    {"DefaultWhenLanguageLacksId", 51000, kLanguageEnglishUs, u"請輸入密碼"},
    {"AnyLanguageLast", 200, kLanguageJapanese, u"en only"},
    {"AbsentEverywhere", 53030, kLanguageEnglishUs, std::nullopt},
};

class Strings : public StringTable, public ::testing::WithParamInterface<Lookup> {};

TEST_P(Strings, FallBackInAFixedOrder) {
    EXPECT_EQ(loadString(GetParam().id, GetParam().language), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(Lookups, Strings, ::testing::ValuesIn(kLookups),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SystemLanguage, ComesFromTheTestTheEnvironmentOrEnglish) {
    setSystemLanguage(std::nullopt);
    unsetenv("CORVANTIX_UI_LANGUAGE");
    EXPECT_EQ(systemDefaultLanguage(), kLanguageEnglishUs);
    setenv("CORVANTIX_UI_LANGUAGE", "0x0C04", 1); // Chinese, Hong Kong
    EXPECT_EQ(primaryLanguage(systemDefaultLanguage()), kLangChinese);
    EXPECT_EQ(subLanguage(systemDefaultLanguage()), kSublangChineseHongKong);
    setenv("CORVANTIX_UI_LANGUAGE", "german", 1);
    EXPECT_EQ(systemDefaultLanguage(), kLanguageEnglishUs);
    setSystemLanguage(kLanguageGerman);
    EXPECT_EQ(systemDefaultLanguage(), kLanguageGerman);
    EXPECT_EQ(primaryLanguage(kLanguageGerman), kLangGerman);
    setSystemLanguage(kLanguageChinesePrc);
    EXPECT_EQ(subLanguage(systemDefaultLanguage()), kSublangChineseSimplified);
    setSystemLanguage(std::nullopt);
    unsetenv("CORVANTIX_UI_LANGUAGE");
}

TEST(Bitmaps, AnAbsentBitmapDrawsNothing) {
    registerBitmap(27008, {460, 292});
    unregisterBitmap(27009);
    DrawContext dc;
    EXPECT_TRUE(dc.drawBitmap(27008, {0, 0, 10, 10}));
    EXPECT_FALSE(dc.drawBitmap(27009, {0, 0, 10, 10}));
    ASSERT_EQ(dc.ops().size(), 1u);
    EXPECT_EQ(std::get<DrawnBitmap>(dc.ops()[0]).id, 27008u);
    EXPECT_EQ(findBitmap(27008)->width, 460);
}

// Dialog units become pixels through the font's base units; a dialog's
// client area is its template's size.
TEST_F(UiTest, TemplatesAreLaidOutByTheFontsBaseUnits) {
    const DialogFont font{u"Layout Face", 10};
    setFontBaseUnits(font, {8, 16});
    EXPECT_EQ(unitsToPixels({6, 17, 138, 18}, {8, 16}), (Rect{12, 34, 288, 70}));
    DialogTemplate layout;
    layout.id = 700;
    layout.width = 230;
    layout.height = 146;
    layout.font = font;
    layout.caption = u"Layout";
    layout.controls = {{ControlKind::Edit, 1, {6, 17, 138, 18}, u"", 0, 0}};
    registerDialogTemplate(layout);
    const Window dialog = createDialog(700, 0, endOnButtons);
    ASSERT_NE(dialog, 0u);
    EXPECT_EQ(getClientRect(dialog), (Rect{0, 0, 460, 292}));
    const auto window = getWindowRect(dialog);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->width(), 460 + 2 * kFrameBorder);
    EXPECT_EQ(window->height(), 292 + 2 * kFrameBorder + kCaptionHeight);
    const auto edit = getWindowRect(getDlgItem(dialog, 1));
    ASSERT_TRUE(edit);
    EXPECT_EQ(edit->left - window->left, kFrameBorder + 12);
    EXPECT_EQ(edit->width(), 276);
    // Back in the dialog's client pixels, as a dialog moves its controls.
    EXPECT_EQ(screenToClient(dialog, {edit->left, edit->top}), (Point{12, 34}));
    EXPECT_EQ(clientToScreen(dialog, {12, 34}), (Point{edit->left, edit->top}));
    // Centred the way the product centres its dialogs, on the screen set.
    setScreenSize({1024, 768});
    const Rect client = *getClientRect(dialog);
    moveWindow(dialog, 1024 / 2 - client.width() / 2, 768 / 2 - client.height() / 2,
               window->width(), window->height());
    EXPECT_EQ(getWindowRect(dialog)->left, 282);
    setScreenSize({});
    EXPECT_EQ(screenSize().width, 1920);
    EXPECT_TRUE(destroyWindow(dialog));
    unregisterDialogTemplate(700);
}

} // namespace
} // namespace ui_test
