// The verification code: its alphabet, how it is drawn, what typing it back
// gives, Renew, and the random places of the dialog's controls.

#include "tests/control/ui/PinUiFixture.h"

#include <algorithm>
#include <cctype>
#include <ostream>
#include <set>

namespace pin_ui_test {
namespace {

constexpr int kPlaced[] = {kUiVerifyCodeEdit, kIdOk, kIdCancel, kUiReshuffleKey};

class VerifyCode : public PinUi {
protected:
    // The code as the dialog draws it.
    std::string codeOf(Window dialog) {
        std::string code;
        for (const auto& text : drawnTexts(dump(dialog))) {
            code += text;
        }
        return code;
    }
    // The slot (0 to 3) each of the entry field, OK, Cancel and Renew is in.
    std::vector<int> slotsOf(Window dialog) {
        const JsonValue d = dump(dialog);
        const Rect client = rectOf(*d.find("client"));
        const int w = client.width();
        const int h = client.height();
        const Point slots[] = {{7 * w / 100, 51 * h / 100},
                               {53 * w / 100, 51 * h / 100},
                               {7 * w / 100, 73 * h / 100},
                               {53 * w / 100, 73 * h / 100}};
        std::vector<int> found;
        for (const int id : kPlaced) {
            const Rect r = rectOf(*controlOf(d, id)->find("rect"));
            const auto at = std::find(std::begin(slots), std::end(slots), Point{r.left, r.top});
            found.push_back(at == std::end(slots) ? -1 : static_cast<int>(at - std::begin(slots)));
        }
        return found;
    }
};

std::string flipCase(std::string text) {
    for (char& c : text) {
        const auto u = static_cast<unsigned char>(c);
        c = static_cast<char>(std::isupper(u) != 0 ? std::tolower(u) : std::toupper(u));
    }
    return text;
}

struct AlphabetCase {
    const char* name;
    int alphabet;
    std::string pool;
};

void PrintTo(const AlphabetCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kDigits = "23456789";
const std::string kLower = "abdefghkmnpqrstuvwxyz";
const std::string kUpper = "ABCDEFGHKLMPQRSUVWXYZ";

const AlphabetCase kAlphabets[] = {
    {"Digits", QX_UI_VERIFYCODE_DIGITS, kDigits},
    {"Lower", QX_UI_VERIFYCODE_LOWER, kLower},
    {"Upper", QX_UI_VERIFYCODE_UPPER, kUpper},
    {"DigitsAndUpper", QX_UI_VERIFYCODE_DIGITS | QX_UI_VERIFYCODE_UPPER, kDigits + kUpper},
    {"NoneMeansAll", 0, kDigits + kLower + kUpper},
};

class Alphabets : public VerifyCode, public ::testing::WithParamInterface<AlphabetCase> {};

// The code comes from its alphabet, and typed back in the other letter case
// it is accepted.
TEST_P(Alphabets, TheCodeComesFromItsAlphabetAndIsTypedBackInAnyCase) {
    const AlphabetCase& c = GetParam();
    ModalThread run([&c] { return static_cast<LResult>(UI_VerifyCodeDlg(0, c.alphabet)); });
    const Window dialog = waitFor(kUiVerifyCodeDialog);
    ASSERT_NE(dialog, 0u);
    std::string code = codeOf(dialog);
    ASSERT_EQ(code.size(), 6u);
    EXPECT_EQ(code.find_first_not_of(c.pool), std::string::npos) << code;
    // Renew draws another.
    ASSERT_TRUE(user_.click(dialog, kUiReshuffleKey));
    const std::string renewed = codeOf(dialog);
    EXPECT_EQ(renewed.find_first_not_of(c.pool), std::string::npos) << renewed;
    ASSERT_TRUE(user_.focus(dialog, kUiVerifyCodeEdit));
    ASSERT_TRUE(user_.type(dialog, flipCase(renewed)));
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(run.result(), kCtlOk);
    EXPECT_EQ(UI_GetError(), kCtlOk);
}

INSTANTIATE_TEST_SUITE_P(VerifyCode, Alphabets, ::testing::ValuesIn(kAlphabets),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VerifyCode, RenewDrawsANewCode) {
    ModalThread run([] { return static_cast<LResult>(UI_VerifyCodeDlg(0, 0)); });
    const Window dialog = waitFor(kUiVerifyCodeDialog);
    ASSERT_NE(dialog, 0u);
    const std::string first = codeOf(dialog);
    ASSERT_TRUE(user_.click(dialog, kUiReshuffleKey));
    EXPECT_NE(codeOf(dialog), first);
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(run.result(), kCtlCancelled);
}

enum class Answer { Wrong, EmptyThenCancel, Cancel, Close, Forgotten };

struct AnswerCase {
    const char* name;
    Answer answer;
    ControlErrorCode expect;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

const AnswerCase kAnswers[] = {
    {"WrongCode", Answer::Wrong, kCtlCodeMismatch},
    {"EmptyFieldKeepsTheDialogOpen", Answer::EmptyThenCancel, kCtlCancelled},
    {"Cancel", Answer::Cancel, kCtlCancelled},
    {"CloseBox", Answer::Close, kCtlCancelled},
    // A code nobody types back is no code typed back.
    {"Forgotten", Answer::Forgotten, kCtlTimedOut},
};

class Answers : public VerifyCode, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(Answers, EndTheDialogWithTheirOutcome) {
    const AnswerCase& c = GetParam();
    // A dialog accepted before leaves no outcome behind.
    ASSERT_EQ(UI_SetPasswdDlgProc([](int, SecretString& pin) {
                  pin.assign("000000");
                  return kCtlOk;
              }),
              kCtlOk);
    SecretString pin;
    ASSERT_EQ(UI_PasswdDlg(0, 0, pin), kCtlOk);
    ModalThread run([] { return static_cast<LResult>(UI_VerifyCodeDlg(0, 1)); });
    const Window dialog = waitFor(kUiVerifyCodeDialog);
    ASSERT_NE(dialog, 0u);
    const std::string code = codeOf(dialog);
    switch (c.answer) {
    case Answer::Wrong: {
        std::string wrong = code;
        wrong[5] = wrong[5] == '2' ? '3' : '2';
        ASSERT_TRUE(user_.type(dialog, wrong));
        ASSERT_TRUE(user_.click(dialog, kIdOk));
        break;
    }
    case Answer::EmptyThenCancel:
        ASSERT_TRUE(user_.click(dialog, kIdOk));
        EXPECT_FALSE(run.result(0ms).has_value());
        EXPECT_TRUE(isWindow(dialog));
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        break;
    case Answer::Cancel:
        ASSERT_TRUE(user_.type(dialog, code));
        ASSERT_TRUE(user_.click(dialog, kIdCancel));
        break;
    case Answer::Close:
        ASSERT_TRUE(user_.close(dialog));
        break;
    case Answer::Forgotten:
        ASSERT_EQ(advanceClock(300s), AdvanceResult::Done);
        break;
    }
    EXPECT_EQ(run.result(), c.expect);
    EXPECT_EQ(UI_GetError(), c.expect);
}

INSTANTIATE_TEST_SUITE_P(VerifyCode, Answers, ::testing::ValuesIn(kAnswers),
                         [](const auto& info) { return std::string(info.param.name); });

// The field takes six characters; only the first six would count.
TEST_F(VerifyCode, TheFieldTakesSixCharacters) {
    ModalThread run([] { return static_cast<LResult>(UI_VerifyCodeDlg(0, 1)); });
    const Window dialog = waitFor(kUiVerifyCodeDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    EXPECT_EQ(controlOf(d, kUiVerifyCodeEdit)->find("limit")->asNumber(), 6);
    EXPECT_EQ(d.find("focus")->asNumber(), kUiVerifyCodeEdit);
    EXPECT_EQ(d.find("topmost")->asBool(), true);
    ASSERT_TRUE(user_.type(dialog, codeOf(dialog) + "99"));
    ASSERT_TRUE(user_.click(dialog, kIdOk));
    EXPECT_EQ(run.result(), kCtlOk);
}

// Each character in its own cell, in a random face, size, angle and colour
// within their ranges, over the background's top two fifths.
TEST_F(VerifyCode, EachCharacterIsDrawnInItsOwnCell) {
    const std::set<std::string> faces = {"Arial", "Monotype Corsiva", "Arial Narrow",
                                         "Comic Sans MS", "Impact"};
    ModalThread run([] { return static_cast<LResult>(UI_VerifyCodeDlg(0, 0)); });
    const Window dialog = waitFor(kUiVerifyCodeDialog);
    ASSERT_NE(dialog, 0u);
    const JsonValue d = dump(dialog);
    const Rect client = rectOf(*d.find("client"));
    // What was drawn after the background was erased.
    std::vector<JsonValue> ops;
    for (const auto& op : *d.find("drawn")->asArray()) {
        if (op.find("fill") == nullptr) {
            ops.push_back(op);
        }
    }
    ASSERT_EQ(ops.size(), 7u);
    EXPECT_EQ(ops[0].find("bitmap")->asNumber(), kUiBitmapVerifyCode);
    EXPECT_EQ(rectOf(*ops[0].find("rect")), (Rect{0, 0, client.width(), client.height() * 2 / 5}));
    for (int i = 0; i < 6; ++i) {
        const JsonValue& op = ops[static_cast<std::size_t>(i) + 1];
        EXPECT_EQ(rectOf(*op.find("rect")), (Rect{30 * i, 0, 30 * i + 60, 60}));
        EXPECT_EQ(op.find("transparent")->asBool(), true);
        const JsonValue& font = *op.find("font");
        EXPECT_TRUE(faces.count(*font.find("face")->asString()) == 1);
        EXPECT_EQ(font.find("weight")->asNumber(), 700);
        const auto height = *font.find("height")->asNumber();
        EXPECT_TRUE(height >= 24 && height <= 39) << height;
        const auto escapement = *font.find("escapement")->asNumber();
        EXPECT_TRUE(escapement >= -200 && escapement <= 190 && escapement % 10 == 0) << escapement;
        const std::string colour = *op.find("colour")->asString(); // #rrggbb
        EXPECT_LT(std::stoi(colour.substr(1, 2), nullptr, 16), 150);
        EXPECT_LT(std::stoi(colour.substr(3, 2), nullptr, 16), 50);
        EXPECT_LT(std::stoi(colour.substr(5, 2), nullptr, 16), 150);
    }
    ASSERT_TRUE(user_.click(dialog, kIdCancel));
    EXPECT_EQ(run.result(), kCtlCancelled);
}

// With the switch the four controls take a random order of the four slots,
// which stays for the dialogs after it without the switch.
TEST_F(VerifyCode, TheSwitchArrangesTheControlsAtRandom) {
    const auto arrangement = [this](int flags) {
        ModalThread run([flags] { return static_cast<LResult>(UI_VerifyCodeDlg(flags, 1)); });
        const Window dialog = waitFor(kUiVerifyCodeDialog);
        EXPECT_NE(dialog, 0u);
        const auto slots = dialog != 0 ? slotsOf(dialog) : std::vector<int>{};
        if (dialog != 0) {
            EXPECT_TRUE(user_.click(dialog, kIdCancel));
        }
        EXPECT_EQ(run.result(), kCtlCancelled);
        return slots;
    };
    const std::vector<int> identity = {0, 1, 2, 3};
    EXPECT_EQ(arrangement(0), identity);
    std::vector<int> drawn = identity;
    // One order in 24 is the identity again: ten tries show a change.
    for (int i = 0; i < 10 && drawn == identity; ++i) {
        drawn = arrangement(QX_UI_FLAG_VERIFYCODE_SHUFFLE);
        std::vector<int> sorted = drawn;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, identity);
    }
    EXPECT_NE(drawn, identity);
    EXPECT_EQ(arrangement(0), drawn);
}

TEST_F(VerifyCode, ADialogThatCannotBeMadeFails) {
    ASSERT_EQ(UI_VerifyCodeDlgInit(0, 1), kCtlOk);
    unregisterDialogTemplate(kUiVerifyCodeDialog);
    EXPECT_EQ(UI_VerifyCodeDlg(0, 1), kCtlFailed);
    EXPECT_EQ(UI_GetError(), kCtlFailed);
}

} // namespace
} // namespace pin_ui_test
