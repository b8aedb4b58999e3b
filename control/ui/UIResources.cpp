// The control's dialog resources as data: the four dialog templates, the
// bitmaps and the string table.

#include "control/ui/UIDetail.h"
#include "platform/ui/DialogTemplate.h"
#include "platform/ui/Resources.h"

#include <vector>

namespace {

using namespace platform::ui;

constexpr std::uint32_t kKeyStyle = kStyleOwnerDraw;
constexpr std::uint32_t kEntryStyle = kStylePassword | kStyleBorder | kStyleTabStop;
// Shown only by the countdown: without one, "you have ... seconds" would
// stand there with no number.
constexpr std::uint32_t kCountdownStyle = kStyleHidden;
// The sentence leaves a gap where the countdown's number stands.
constexpr std::u16string_view kCountdownSentence = u"您有        秒的時間，否則交易將取消。";

ControlTemplate control(ControlKind kind, int id, UnitRect rect, std::uint32_t style,
                        std::u16string_view text = u"") {
    return {kind, id, rect, std::u16string(text), style, 0};
}

// Ten digit keys, 30 x 30, in two rows of five.
void addDigitKeys(std::vector<ControlTemplate>& controls, const int (&x)[5], int topRow,
                  int bottomRow) {
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 5; ++column) {
            controls.push_back(control(ControlKind::Button, kUiFirstDigitKey + row * 5 + column,
                                       {x[column], row == 0 ? topRow : bottomRow, 30, 30},
                                       kKeyStyle));
        }
    }
}

DialogTemplate dialog(std::uint32_t id, int width, int height) {
    DialogTemplate d;
    d.id = id;
    d.width = width;
    d.height = height;
    d.font = {std::u16string(kUiFontFace), 10};
    d.style = kDialogCaption;
    return d;
}

DialogTemplate pinDialog() {
    DialogTemplate d = dialog(kUiPinDialog, 230, 146);
    d.controls = {
        control(ControlKind::Edit, kUiPinEdit, {6, 17, 138, 18},
                kStylePassword | kStyleAutoHScroll | kStyleTabStop),
        control(ControlKind::Button, kIdOk, {168, 7, 54, 18}, kKeyStyle | kStyleTabStop),
        control(ControlKind::Button, kIdCancel, {168, 29, 54, 18}, kKeyStyle | kStyleTabStop),
    };
    addDigitKeys(d.controls, {5, 37, 69, 101, 133}, 57, 90);
    d.controls.push_back(
        control(ControlKind::Button, kUiBackspaceKey, {169, 57, 52, 30}, kKeyStyle));
    d.controls.push_back(control(ControlKind::Static, kUiCountdownText, {8, 129, 165, 16},
                                 kCountdownStyle, kCountdownSentence));
    d.controls.push_back(
        control(ControlKind::Static, kUiCountdownNumber, {25, 129, 10, 10}, kCountdownStyle));
    return d;
}

DialogTemplate plainPinDialog() {
    DialogTemplate d = dialog(kUiPlainPinDialog, 187, 70);
    d.controls = {
        control(ControlKind::Group, kUiPlainGroup, {7, 7, 173, 56}, 0),
        control(ControlKind::Static, kUiPlainLabel, {18, 15, 89, 8}, 0),
        control(ControlKind::Edit, kUiPinEdit, {18, 26, 151, 13}, kEntryStyle),
        control(ControlKind::Button, kIdOk, {19, 43, 50, 14}, kStyleDefaultButton | kStyleTabStop),
        control(ControlKind::Button, kIdCancel, {114, 42, 50, 14}, kStyleTabStop),
    };
    return d;
}

DialogTemplate changePinDialog() {
    DialogTemplate d = dialog(kUiChangePinDialog, 223, 241);
    d.controls = {
        control(ControlKind::Static, kUiOldPinLabel, {6, 11, 75, 8}, 0),
        control(ControlKind::Static, kUiNewPinLabel, {6, 53, 75, 8}, 0),
        control(ControlKind::Static, kUiConfirmLabel, {6, 97, 75, 8}, 0),
        control(ControlKind::Edit, kUiOldPinEdit, {6, 24, 138, 18}, kEntryStyle),
        control(ControlKind::Edit, kUiNewPinEdit, {6, 67, 138, 18}, kEntryStyle),
        control(ControlKind::Edit, kUiConfirmEdit, {6, 111, 138, 18}, kEntryStyle),
        control(ControlKind::Button, kIdOk, {155, 15, 54, 18}, kKeyStyle | kStyleTabStop),
        control(ControlKind::Button, kIdCancel, {155, 43, 54, 18}, kKeyStyle | kStyleTabStop),
    };
    addDigitKeys(d.controls, {6, 37, 68, 99, 130}, 158, 191);
    d.controls.push_back(
        control(ControlKind::Button, kUiBackspaceKey, {162, 158, 52, 30}, kKeyStyle));
    d.controls.push_back(control(ControlKind::Static, kUiCountdownText, {8, 225, 165, 16},
                                 kCountdownStyle, kCountdownSentence));
    d.controls.push_back(
        control(ControlKind::Static, kUiCountdownNumber, {25, 225, 10, 10}, kCountdownStyle));
    return d;
}

DialogTemplate verifyCodeDialog() {
    DialogTemplate d = dialog(kUiVerifyCodeDialog, 122, 73);
    d.controls = {
        control(ControlKind::Edit, kUiVerifyCodeEdit, {9, 36, 50, 14},
                kStyleBorder | kStyleTabStop),
        control(ControlKind::Button, kIdOk, {64, 36, 50, 14}, kStyleDefaultButton | kStyleTabStop),
        control(ControlKind::Button, kIdCancel, {9, 54, 50, 14}, kStyleTabStop),
        control(ControlKind::Button, kUiReshuffleKey, {64, 54, 50, 14}, kStyleTabStop),
    };
    return d;
}

// Every bitmap is stretched over its button or area; the sizes are those
// the pictures were drawn at. The keyboard-mode background of the change-PIN
// dialog (27009) is not among them, so nothing is painted there.
struct BitmapResource {
    std::uint32_t id;
    BitmapInfo size;
};
constexpr BitmapResource kBitmaps[] = {
    {kUiBitmapOk, {108, 36}},         {kUiBitmapCancel, {108, 36}},
    {kUiBitmapReshuffle, {104, 60}},  {kUiBitmapBackspace, {104, 60}},
    {kUiBitmapCapsLock, {104, 60}},   {kUiBitmapLetterKey, {60, 60}},
    {kUiBitmapDigitKey, {60, 60}},    {kUiBitmapPinKeyboard, {460, 146}},
    {kUiBitmapPin, {460, 292}},       {kUiBitmapChangePin, {446, 482}},
    {kUiBitmapVerifyCode, {244, 58}},
};

// The string table, one language of resources (Chinese, Taiwan) holding the
// texts of all four of the control's languages under ids of their own. The
// Caps Lock notices and the change-PIN texts that the table would otherwise
// leave empty (gb and its English fallback, English, Japanese) are worded
// after the texts beside them, so that no dialog shows an empty caption or
// label.
const std::vector<StringEntry>& stringTable() {
    static const std::vector<StringEntry> table = {
        // Traditional Chinese.
        {51000, u"請輸入密碼"},
        {51001, u"大寫鎖定已開啟"},
        {51002, u"密碼"},
        {51005, u"請輸入您的卡片密碼 ( Please input your password )"},
        {51007, u"卡片密碼 ( Password )"},
        {51050, u"確定"},
        {51051, u"取消"},
        {52000, u"請輸入以下圖形驗證碼"},
        {52001, u"重新產生"},
        {53010, u"修改密碼"},
        {53011, u"大寫鎖定已開啟"},
        {53012, u"密碼"},
        {53013, u"原密碼"},
        {53014, u"新密碼"},
        {53015, u"確認新密碼"},
        // Simplified Chinese.
        {51010, u"请输入密码"},
        {51011, u"大写锁定已打开"},
        {51012, u"密码"},
        {51015, u"请输入密码"},
        {51017, u"密码"},
        {51060, u"确定"},
        {51061, u"取消"},
        {52002, u"请输入以下图形验证码"},
        {52003, u"重新产生"},
        {53020, u"修改密码"},
        {53021, u"大写锁定已打开"},
        {53022, u"密码"},
        {53023, u"原密码"},
        {53024, u"新密码"},
        {53025, u"确认新密码"},
        // English.
        {51020, u"Please input password"},
        {51021, u"Caps Lock is on"},
        {51022, u"Password"},
        {51025, u"Please input password"},
        {51027, u"Password"},
        {51070, u"OK"},
        {51071, u"Cancel"},
        {52006, u"Confirm the verification code"},
        {52007, u"Renew"},
        {53030, u"Change password"},
        {53031, u"Caps Lock is on"},
        {53033, u"Old password"},
        {53034, u"New password"},
        {53035, u"Confirm new password"},
        // Japanese.
        {51030, u"パスワードを入力してください"},
        {51031, u"Caps Lock がオンです"},
        {51032, u"パスワード"},
        {51035, u"パスワードを入力してください"},
        {51037, u"パスワード"},
        {51080, u"決定する"},
        {51081, u"キャンセル"},
        {52004, u"確認コードを入力してください"},
        {52005, u"再生する"},
        {53040, u"パスワードの変更"},
        {53041, u"Caps Lock がオンです"},
        {53043, u"元のパスワード"},
        {53044, u"新しいパスワード"},
        {53045, u"新しいパスワードの確認"},
    };
    return table;
}

} // namespace

void UI_RegisterResources() {
    registerDialogTemplate(pinDialog());
    registerDialogTemplate(plainPinDialog());
    registerDialogTemplate(changePinDialog());
    registerDialogTemplate(verifyCodeDialog());
    for (const auto& bitmap : kBitmaps) {
        registerBitmap(bitmap.id, bitmap.size);
    }
    registerStrings(kLanguageChineseTaiwan, stringTable());
}
