#include "tests/ui/UiFixture.h"

#include <ostream>

namespace ui_test {
namespace {

enum class Action { Type, Backspace, Delete, Replace, SetText, SetSel };

struct EditCase {
    const char* name;
    std::u16string text;
    std::pair<int, int> selection;
    int limit; // 0: none
    bool readOnly;
    Action action;
    std::u16string argument; // the character typed, the replacement or the new text
    std::pair<int, int> selectArgument;
    std::u16string expectText;
    std::pair<int, int> expectSelection;
    bool expectChange;
};

void PrintTo(const EditCase& c, std::ostream* os) {
    *os << c.name;
}

const EditCase kEditCases[] = {
    {"TypeAtEnd", u"12", {2, 2}, 0, false, Action::Type, u"3", {}, u"123", {3, 3}, true},
    {"TypeInMiddle", u"13", {1, 1}, 0, false, Action::Type, u"2", {}, u"123", {2, 2}, true},
    {"TypeReplacesSelection",
     u"1234",
     {1, 3},
     0,
     false,
     Action::Type,
     u"x",
     {},
     u"1x4",
     {2, 2},
     true},
    {"LimitRefusesWhenFull",
     u"1234",
     {4, 4},
     4,
     false,
     Action::Type,
     u"5",
     {},
     u"1234",
     {4, 4},
     false},
    {"LimitRefusesInsertInMiddle",
     u"1234",
     {2, 2},
     4,
     false,
     Action::Type,
     u"5",
     {},
     u"1234",
     {2, 2},
     false},
    {"LimitCountsTheResult",
     u"1234",
     {1, 3},
     4,
     false,
     Action::Type,
     u"x",
     {},
     u"1x4",
     {2, 2},
     true},
    {"WholeSelectionReplacedAtLimit",
     u"1234",
     {0, 4},
     4,
     false,
     Action::Type,
     u"x",
     {},
     u"x",
     {1, 1},
     true},
    {"ReadOnlyRefusesTyping", u"12", {2, 2}, 0, true, Action::Type, u"3", {}, u"12", {2, 2}, false},
    {"ReadOnlyRefusesBackspace",
     u"12",
     {2, 2},
     0,
     true,
     Action::Backspace,
     u"",
     {},
     u"12",
     {2, 2},
     false},
    {"ControlCharacterIgnored",
     u"12",
     {2, 2},
     0,
     false,
     Action::Type,
     u"\x01",
     {},
     u"12",
     {2, 2},
     false},
    {"BackspaceBeforeCaret",
     u"123",
     {2, 2},
     0,
     false,
     Action::Backspace,
     u"",
     {},
     u"13",
     {1, 1},
     true},
    {"BackspaceAtStart",
     u"123",
     {0, 0},
     0,
     false,
     Action::Backspace,
     u"",
     {},
     u"123",
     {0, 0},
     false},
    {"BackspaceDeletesSelection",
     u"1234",
     {1, 3},
     0,
     false,
     Action::Backspace,
     u"",
     {},
     u"14",
     {1, 1},
     true},
    {"DeleteAfterCaret", u"123", {1, 1}, 0, false, Action::Delete, u"", {}, u"13", {1, 1}, true},
    {"DeleteAtEnd", u"123", {3, 3}, 0, false, Action::Delete, u"", {}, u"123", {3, 3}, false},
    {"ReplaceIgnoresReadOnly",
     u"12",
     {2, 2},
     0,
     true,
     Action::Replace,
     u"3",
     {},
     u"123",
     {3, 3},
     true},
    {"ReplaceCutToTheLimit",
     u"12",
     {2, 2},
     4,
     false,
     Action::Replace,
     u"345",
     {},
     u"1234",
     {4, 4},
     true},
    {"ReplaceReplacesSelection",
     u"1234",
     {1, 3},
     4,
     false,
     Action::Replace,
     u"ab",
     {},
     u"1ab4",
     {3, 3},
     true},
    {"SetTextIgnoresLimitAndPutsCaretAtStart",
     u"",
     {0, 0},
     2,
     false,
     Action::SetText,
     u"12345",
     {},
     u"12345",
     {0, 0},
     true},
    {"SelectAll", u"123", {1, 1}, 0, false, Action::SetSel, u"", {0, -1}, u"123", {0, 3}, false},
    {"SelectionBackwardsIsOrdered",
     u"1234",
     {0, 0},
     0,
     false,
     Action::SetSel,
     u"",
     {3, 1},
     u"1234",
     {1, 3},
     false},
    {"SelectionClampedToText",
     u"12",
     {0, 0},
     0,
     false,
     Action::SetSel,
     u"",
     {1, 9},
     u"12",
     {1, 2},
     false},
    {"MinusOneDropsSelection",
     u"1234",
     {1, 3},
     0,
     false,
     Action::SetSel,
     u"",
     {-1, 0},
     u"1234",
     {3, 3},
     false},
};

class EditSemantics : public UiTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(EditSemantics, FollowsThePlatformsOneLineEdit) {
    const EditCase& c = GetParam();
    int changes = 0;
    const Window dialog = createDialog(
        kEntryDialog, 0, [&](Window, std::uint32_t message, WParam wParam, LParam) -> LResult {
            if (message == kWmCommand && lowWord(wParam) == kPinEdit &&
                highWord(wParam) == kEnChange) {
                ++changes;
            }
            return message == kWmInitDialog ? 1 : 0;
        });
    ASSERT_NE(dialog, 0u);
    const Window edit = getDlgItem(dialog, kPinEdit);
    ASSERT_NE(edit, 0u);
    setWindowText(edit, c.text);
    editSetSel(edit, c.selection.first, c.selection.second);
    editLimitText(edit, c.limit);
    editSetReadOnly(edit, c.readOnly);
    changes = 0;

    switch (c.action) {
    case Action::Type:
        sendMessage(edit, kWmChar, c.argument[0], 1);
        break;
    case Action::Backspace:
        sendMessage(edit, kWmChar, u'\b', 1);
        break;
    case Action::Delete:
        sendMessage(edit, kWmKeyDown, kVkDelete, 1);
        break;
    case Action::Replace:
        editReplaceSel(edit, c.argument);
        break;
    case Action::SetText:
        setWindowText(edit, c.argument);
        break;
    case Action::SetSel:
        editSetSel(edit, c.selectArgument.first, c.selectArgument.second);
        break;
    }
    EXPECT_EQ(getWindowText(edit), c.expectText);
    EXPECT_EQ(editGetSel(edit), c.expectSelection);
    EXPECT_EQ(changes > 0, c.expectChange);
    EXPECT_TRUE(destroyWindow(dialog));
}

INSTANTIATE_TEST_SUITE_P(Rows, EditSemantics, ::testing::ValuesIn(kEditCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Typed through the dialog as a user types: the keys go to the focused
// edit, a password edit shows its character, and the limit of the card
// methods holds.
TEST_F(UiTest, TypingGoesToTheFocusedEditUpToItsLimit) {
    std::u16string entered;
    ModalThread modal(
        kEntryDialog,
        [&](Window dialog, std::uint32_t message, WParam wParam, LParam lParam) -> LResult {
            if (message == kWmInitDialog) {
                editLimitText(getDlgItem(dialog, kPinEdit), 12);
                setFocus(getDlgItem(dialog, kPinEdit));
                return 0;
            }
            if (message == kWmCommand && lowWord(wParam) == kIdOk) {
                entered = getDlgItemText(dialog, kPinEdit);
                endDialog(dialog, kIdOk);
                return 1;
            }
            return endOnButtons(dialog, message, wParam, lParam);
        });
    const auto open = waitForOpen(1);
    ASSERT_EQ(open.size(), 1u);
    const Window dialog = open.front();
    ASSERT_TRUE(user_.type(dialog, "12345678901234"));
    ASSERT_TRUE(user_.key(dialog, "backspace"));
    const auto dump = user_.dump(dialog);
    ASSERT_TRUE(dump);
    const JsonValue* edit = nullptr;
    for (const auto& control : *dump.body.find("dialog")->find("controls")->asArray()) {
        if (control.find("id")->asNumber() == kPinEdit) {
            edit = &control;
        }
    }
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(*edit->find("text")->asString(), "***********");
    EXPECT_EQ(edit->find("length")->asNumber(), 11);
    EXPECT_EQ(edit->find("limit")->asNumber(), 12);
    ASSERT_TRUE(user_.key(dialog, "enter"));
    EXPECT_EQ(modal.result(), kIdOk);
    EXPECT_EQ(entered, u"12345678901");
}

} // namespace
} // namespace ui_test
