// The keypad of the PIN dialogs: its random layout, what a key click puts
// into the field and where, the length limit, backspace, the entry modes,
// hover and the Caps Lock follower.

#include "tests/control/ui/PinUiFixture.h"

#include <algorithm>
#include <deque>
#include <ostream>

namespace pin_ui_test {
namespace {

// ---- Drawing numbers without bias --------------------------------------------

struct DrawCase {
    const char* name;
    std::uint32_t bound;
    std::vector<std::optional<std::uint32_t>> words; // what the source gives, in turn
    std::optional<std::uint32_t> expect;
    std::size_t drawn; // words taken
};

void PrintTo(const DrawCase& c, std::ostream* os) {
    *os << c.name;
}

const DrawCase kDraws[] = {
    // 2^32 mod 10 is 6: the words 0 to 5 would make 0 to 5 likelier.
    {"LowWordRejected", 10, {3u, 17u}, 7u, 2},
    {"FirstWordKeptIsTheThreshold", 10, {6u}, 6u, 1},
    {"HighestWordKept", 10, {0xFFFFFFFFu}, 5u, 1},
    // 2^32 mod 3 is 1.
    {"SeveralRejected", 3, {0u, 0u, 5u}, 2u, 3},
    {"BoundOneTakesAnyWord", 1, {0u}, 0u, 1},
    {"BoundZero", 0, {}, std::nullopt, 0},
    {"SourceFails", 10, {std::nullopt}, std::nullopt, 1},
    {"SourceNeverGivesAUsableWord", 10, std::vector<std::optional<std::uint32_t>>(64, 0u),
     std::nullopt, 64},
};

class UniformDraws : public ::testing::TestWithParam<DrawCase> {};

TEST_P(UniformDraws, RejectTheIncompleteRound) {
    const DrawCase& c = GetParam();
    std::deque<std::optional<std::uint32_t>> words(c.words.begin(), c.words.end());
    std::size_t drawn = 0;
    const auto result = UI_UniformBelow(c.bound, [&]() -> std::optional<std::uint32_t> {
        ++drawn;
        if (words.empty()) {
            ADD_FAILURE() << "drew more words than given";
            return std::nullopt;
        }
        const auto word = words.front();
        words.pop_front();
        return word;
    });
    EXPECT_EQ(result, c.expect);
    EXPECT_EQ(drawn, c.drawn);
}

INSTANTIATE_TEST_SUITE_P(Keypad, UniformDraws, ::testing::ValuesIn(kDraws),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The strength rule ---------------------------------------------------------

struct StrengthCase {
    const char* name;
    std::string text;
    ControlErrorCode expect;
};

void PrintTo(const StrengthCase& c, std::ostream* os) {
    *os << c.name;
}

const StrengthCase kStrength[] = {
    {"SixDigits", "135792", kCtlOk},
    {"FiveCharacters", "13579", kCtlPinRejected},
    {"TwentyCharacters", "13579135791357913579", kCtlOk},
    {"TwentyOneCharacters", "135791357913579135791", kCtlPinRejected},
    {"LettersAndDigits", "a1B2c3", kCtlOk},
    {"APunctuationMark", "1357-92", kCtlPinRejected},
    {"NotAscii", "1357\xc3\xa9", kCtlPinRejected},
    {"SixEqual", "a111111b", kCtlPinRejected},
    {"FiveEqual", "a11111b2", kCtlOk},
    {"SixAscendingDigits", "123456", kCtlPinRejected},
    {"SixAscendingLettersInside", "xabcdefx", kCtlPinRejected},
    {"SixAscendingCapitals", "ABCDEF1", kCtlPinRejected},
    {"FiveAscending", "12345a", kCtlOk},
    {"567890BehindAnother", "x567890", kCtlPinRejected},
    {"SixDescendingDigits", "654321", kCtlOk},
    {"SixDescendingLetters", "fedcba", kCtlOk},
};

class Strength : public ::testing::TestWithParam<StrengthCase> {};

TEST_P(Strength, RuleJudgesTheText) {
    EXPECT_EQ(UI_CheckPasswdStrength(GetParam().text), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(PinStrength, Strength, ::testing::ValuesIn(kStrength),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The layout ----------------------------------------------------------------

// Each keypad dialog draws its own order of the ten digits, each digit once;
// two dialogs opened within the same second differ.
TEST_F(PinUi, EveryKeypadHasItsOwnOrderOfTheTenDigits) {
    std::vector<std::string> layouts;
    for (int i = 0; i < 2; ++i) {
        PinRequest request([](SecretString& pin) { return UI_ATMPasswdDlg(0, pin); });
        const Window dialog = waitFor(kUiPinDialog);
        ASSERT_NE(dialog, 0u);
        layouts.push_back(keypadLabels(dialog));
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        ASSERT_EQ(request.result(), kCtlCancelled);
    }
    for (const auto& layout : layouts) {
        std::string sorted = layout;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, "0123456789") << layout;
    }
    EXPECT_NE(layouts[0], layouts[1]);
}

// ---- Key clicks and the limit --------------------------------------------------

struct LimitCase {
    const char* name;
    int maxLength;
    std::string typed;                         // on the keyboard first
    std::optional<std::pair<int, int>> select; // then this selection
    std::string pressed;                       // then these keys
    std::string expect;
};

void PrintTo(const LimitCase& c, std::ostream* os) {
    *os << c.name;
}

const LimitCase kLimits[] = {
    {"KeysGoToTheEnd", 12, "", std::nullopt, "8642", "8642"},
    {"KeyInsertedAtTheCaretWhichMovesBehindIt", 12, "12345", std::pair{2, 2}, "78", "1278345"},
    {"KeyReplacesTheSelection", 12, "12345", std::pair{1, 4}, "9", "195"},
    {"KeyAtTheLimitIgnored", 12, "123456789012", std::nullopt, "7", "123456789012"},
    // A full field takes nothing at the caret either.
    {"CaretInsideAFullFieldIgnored", 12, "123456789012", std::pair{4, 4}, "7", "123456789012"},
    // What the selection frees counts.
    {"SelectionInAFullFieldMakesRoom", 12, "123456789012", std::pair{3, 5}, "7", "12376789012"},
    {"WholeSelectionOfAFullField", 12, "123456789012", std::pair{0, 12}, "75", "75"},
    {"NoLimitStopsAt259", 0, std::string(259, '1'), std::nullopt, "7", std::string(259, '1')},
    {"NoLimitTakesThe259th", 0, std::string(258, '1'), std::nullopt, "7",
     std::string(258, '1') + "7"},
    {"KeyboardStopsAt259", 0, std::string(262, '1'), std::nullopt, "", std::string(259, '1')},
    {"LimitAbove259Stops259", 300, std::string(259, '1'), std::nullopt, "7", std::string(259, '1')},
};

class Limits : public PinUi, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(Limits, KeyClicksRespectTheLengthLeftBesideTheSelection) {
    const LimitCase& c = GetParam();
    UI_SetPasswdMaxLen(c.maxLength);
    PinRequest request([](SecretString& pin) { return UI_ATMPasswdDlg(0, pin); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    if (!c.typed.empty()) {
        ASSERT_TRUE(user_.type(dialog, c.typed));
    }
    if (c.select) {
        ASSERT_TRUE(user_.select(dialog, kUiPinEdit, c.select->first, c.select->second));
    }
    pressDigits(dialog, c.pressed);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(controlOf(d, kUiPinEdit)->find("length")->asNumber(),
              static_cast<std::int64_t>(c.expect.size()));
    // The focus is back in the field after each key.
    EXPECT_EQ(d.find("focus")->asNumber(), kUiPinEdit);
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(request.result(), kCtlOk);
    EXPECT_EQ(request.pin(), c.expect);
}

INSTANTIATE_TEST_SUITE_P(Keypad, Limits, ::testing::ValuesIn(kLimits),
                         [](const auto& info) { return std::string(info.param.name); });

struct BackspaceCase {
    const char* name;
    std::optional<std::pair<int, int>> select; // of "123456"; none: the caret at the end
    std::string expect;
};

void PrintTo(const BackspaceCase& c, std::ostream* os) {
    *os << c.name;
}

const BackspaceCase kBackspaces[] = {
    {"CaretAtTheEnd", std::nullopt, "12345"},
    {"CaretInside", std::pair{3, 3}, "12456"},
    {"CaretAtTheStartChangesNothing", std::pair{0, 0}, "123456"},
    {"SelectionDeleted", std::pair{1, 4}, "156"},
};

class Backspace : public PinUi, public ::testing::WithParamInterface<BackspaceCase> {};

TEST_P(Backspace, TheKeyDeletesBeforeTheCaretOrTheSelection) {
    const BackspaceCase& c = GetParam();
    PinRequest request([](SecretString& pin) { return UI_ATMPasswdDlg(0, pin); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    pressDigits(dialog, "123456");
    if (c.select) {
        ASSERT_TRUE(user_.select(dialog, kUiPinEdit, c.select->first, c.select->second));
    }
    ASSERT_TRUE(user_.click(dialog, kUiBackspaceKey));
    const JsonValue d = dump(dialog);
    EXPECT_EQ(d.find("focus")->asNumber(), kUiPinEdit);
    EXPECT_EQ(drawnBitmaps(*controlOf(d, kUiBackspaceKey)),
              std::vector<std::int64_t>{kUiBitmapBackspace});
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(request.result(), kCtlOk);
    EXPECT_EQ(request.pin(), c.expect);
}

INSTANTIATE_TEST_SUITE_P(Keypad, Backspace, ::testing::ValuesIn(kBackspaces),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Entry modes ---------------------------------------------------------------

struct ModeCase {
    const char* name;
    int flags;
    bool keysShown;
    bool halfHeight;
    bool typingTaken;
    std::uint32_t background;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.name;
}

const ModeCase kModes[] = {
    {"None", 0, true, false, true, kUiBitmapPin},
    {"KeyboardOnly", QX_UI_FLAG_PASSWD_KEYBOARD, false, true, true, kUiBitmapPinKeyboard},
    {"KeypadOnly", QX_UI_FLAG_PASSWD_KEYPAD, true, false, false, kUiBitmapPin},
    {"Both", QX_UI_FLAG_PASSWD_KEYBOARD | QX_UI_FLAG_PASSWD_KEYPAD, true, false, true,
     kUiBitmapPin},
};

class EntryModes : public PinUi, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(EntryModes, DecideWhatEntersThePin) {
    const ModeCase& c = GetParam();
    UI_SetPasswdMaxLen(12);
    PinRequest request([&c](SecretString& pin) { return UI_ATMPasswdDlg(c.flags, pin); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    for (int id = kUiFirstDigitKey; id < kUiFirstLetterKey; ++id) {
        EXPECT_EQ(controlOf(d, id)->find("visible")->asBool(), c.keysShown) << id;
    }
    const BaseUnits units = fontBaseUnits({std::u16string(kUiFontFace), 10});
    const int fullHeight =
        unitsToPixels({0, 0, 230, 146}, units).height() + 2 * kFrameBorder + kCaptionHeight;
    EXPECT_EQ(rectOf(*d.find("rect")).height(), c.halfHeight ? fullHeight / 2 : fullHeight);
    EXPECT_EQ(drawnBitmaps(d), std::vector<std::int64_t>{c.background});
    const JsonValue* edit = controlOf(d, kUiPinEdit);
    EXPECT_EQ(edit->find("readonly")->asBool(), !c.typingTaken);
    if (!c.typingTaken) {
        // The read-only field stays white.
        EXPECT_EQ(*edit->find("background")->asString(), "#ffffff");
    }

    ASSERT_TRUE(user_.type(dialog, "97"));
    std::string expect = c.typingTaken ? "97" : "";
    if (c.keysShown) {
        pressDigits(dialog, "3141592653589");
        expect += "3141592653589";
        expect.resize(std::min<std::size_t>(expect.size(), 12));
    }
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(request.result(), kCtlOk);
    EXPECT_EQ(request.pin(), expect);
}

INSTANTIATE_TEST_SUITE_P(Keypad, EntryModes, ::testing::ValuesIn(kModes),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Hover and Caps Lock -------------------------------------------------------

std::string labelColour(const JsonValue& dialog, int id) {
    for (const auto& op : *controlOf(dialog, id)->find("drawn")->asArray()) {
        if (const JsonValue* colour = op.find("colour")) {
            return *colour->asString();
        }
    }
    return "";
}

TEST_F(PinUi, TheKeyUnderTheMouseIsDrawnRed) {
    PinRequest request([](SecretString& pin) { return UI_ATMPasswdDlg(0, pin); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    const int key = kUiFirstDigitKey + 3;
    ASSERT_TRUE(user_.hover(dialog, key));
    JsonValue d = dump(dialog);
    EXPECT_EQ(labelColour(d, key), "#fa0000");
    EXPECT_EQ(labelColour(d, key + 1), "#ffffff");
    ASSERT_TRUE(user_.hover(dialog, key + 1));
    d = dump(dialog);
    EXPECT_EQ(labelColour(d, key), "#ffffff");
    EXPECT_EQ(labelColour(d, key + 1), "#fa0000");
    ASSERT_TRUE(user_.hoverOff());
    EXPECT_EQ(labelColour(dump(dialog), key + 1), "#ffffff");
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
}

bool showsNotice(const JsonValue& dialog, std::string_view notice, std::string_view colour) {
    for (const auto& op : *dialog.find("drawn")->asArray()) {
        const JsonValue* text = op.find("text");
        if (text != nullptr && *text->asString() == notice &&
            *op.find("colour")->asString() == colour) {
            return true;
        }
    }
    return false;
}

// The follower notices Caps Lock within a pass and has the notice drawn;
// each dialog has its own follower, joined when the dialog ends, so none is
// left sleeping once the request is answered.
TEST_F(PinUi, TheCapsLockFollowerLivesAsLongAsItsDialog) {
    for (int round = 0; round < 2; ++round) {
        PinRequest request([](SecretString& pin) { return PasswdDlg_CountDown(0, pin); });
        const Window dialog = waitFor(kUiPinDialog);
        ASSERT_NE(dialog, 0u);
        waitForSleepers(1);
        EXPECT_EQ(sleepingThreads(), 1u);
        EXPECT_FALSE(showsNotice(dump(dialog), "Caps Lock is on", "#fafafa"));
        ASSERT_TRUE(user_.capsLock(true));
        ASSERT_EQ(advanceClock(200ms), AdvanceResult::Done);
        EXPECT_TRUE(showsNotice(dump(dialog), "Caps Lock is on", "#fafafa"));
        ASSERT_TRUE(user_.capsLock(false));
        ASSERT_EQ(advanceClock(200ms), AdvanceResult::Done);
        EXPECT_FALSE(showsNotice(dump(dialog), "Caps Lock is on", "#fafafa"));
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        EXPECT_EQ(request.result(), kCtlCancelled);
        EXPECT_EQ(sleepingThreads(), 0u);
    }
}

// While the Caps Lock key is held down the letters change case on every
// pass; let go, they follow the toggle again.
TEST_F(PinUi, WhileCapsLockIsHeldTheLettersChangeCaseOnEveryPass) {
    const auto letters = [] {
        std::lock_guard lock(uiState().layoutMutex);
        return uiState().letterLayout.substr(0, 2);
    };
    PinRequest request([](SecretString& pin) { return UI_ATMPasswdDlg(0, pin); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    waitForSleepers(1);
    EXPECT_EQ(letters(), u"ab");
    injectKey(kVkCapital, false);
    ASSERT_TRUE(capsLockOn());
    std::vector<std::u16string> seen;
    for (int pass = 0; pass < 3; ++pass) {
        ASSERT_EQ(advanceClock(200ms), AdvanceResult::Done);
        seen.push_back(letters());
    }
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"AB", u"ab", u"AB"}));
    injectKey(kVkCapital, true);
    ASSERT_EQ(advanceClock(200ms), AdvanceResult::Done);
    ASSERT_EQ(advanceClock(200ms), AdvanceResult::Done);
    EXPECT_EQ(letters(), u"AB");
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
}

// With the keypad alone there is nothing to follow.
TEST_F(PinUi, NoFollowerWithTheKeypadAlone) {
    PinRequest request(
        [](SecretString& pin) { return UI_ATMPasswdDlg(QX_UI_FLAG_PASSWD_KEYPAD, pin); });
    const Window dialog = waitFor(kUiPinDialog);
    ASSERT_NE(dialog, 0u);
    ASSERT_EQ(advanceClock(1s), AdvanceResult::Done);
    EXPECT_EQ(sleepingThreads(), 0u);
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(request.result(), kCtlCancelled);
}

} // namespace
} // namespace pin_ui_test
