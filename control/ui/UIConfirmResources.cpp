// The confirmation dialogs' resources as data: the five templates, their
// background bitmaps and their texts in the control's four languages.

#include "control/ui/UIConfirm.h"
#include "control/ui/UIConfirmText.h"
#include "platform/ui/DialogTemplate.h"
#include "platform/ui/Resources.h"

#include <vector>

namespace {

using namespace platform::ui;

constexpr std::u16string_view kConfirmFont = u"新細明體";
constexpr std::u16string_view kInstructionFont = u"微軟正黑體";
constexpr std::uint32_t kField = kStyleReadOnly | kStyleBorder | kStyleTabStop;
constexpr std::uint32_t kButton = kStyleTabStop;

ControlTemplate control(ControlKind kind, int id, UnitRect rect, std::uint32_t style = 0,
                        std::u16string_view text = u"") {
    return {kind, id, rect, std::u16string(text), style, 0};
}

DialogTemplate dialog(std::uint32_t id, int width, int height, std::u16string_view face,
                      int points) {
    DialogTemplate d;
    d.id = id;
    d.width = width;
    d.height = height;
    d.font = {std::u16string(face), points};
    d.style = kDialogCaption;
    return d;
}

// The texts the templates hold are the big5 ones; each dialog loads those of
// the chosen language when it starts.
DialogTemplate transferConfirm() {
    DialogTemplate d = dialog(kUiTransferConfirmDialog, 300, 211, kConfirmFont, 12);
    d.controls = {
        control(ControlKind::Group, kUiConfirmGroup, {12, 4, 276, 86}, 0, u"轉帳資料"),
        control(ControlKind::Static, kUiConfirmFromLabel, {30, 22, 70, 12}, 0, u"轉出帳號"),
        control(ControlKind::Static, kUiConfirmToLabel, {30, 45, 70, 12}, 0, u"轉入帳號"),
        control(ControlKind::Static, kUiConfirmAmountLabel, {30, 69, 70, 12}, 0, u"金額"),
        control(ControlKind::Edit, kUiConfirmFromAccount, {111, 17, 158, 20}, kField),
        control(ControlKind::Edit, kUiConfirmToAccount, {112, 40, 158, 20}, kField),
        control(ControlKind::Edit, kUiConfirmAmount, {111, 64, 158, 20}, kField),
        control(ControlKind::Static, kUiConfirmInstruction, {24, 96, 236, 23}),
        control(ControlKind::Button, kIdOk, {92, 119, 50, 16}, kButton | kStyleDefaultButton,
                u"確認"),
        control(ControlKind::Button, kIdCancel, {147, 119, 50, 16}, kButton, u"取消"),
        control(ControlKind::Static, kUiConfirmCountdownText, {39, 151, 128, 13}),
        control(ControlKind::Static, kUiConfirmCountdown, {54, 151, 8, 8}),
    };
    return d;
}

DialogTemplate payConfirm() {
    DialogTemplate d = dialog(kUiPayConfirmDialog, 298, 219, kConfirmFont, 12);
    d.controls = {
        control(ControlKind::Group, kUiConfirmGroup, {12, 4, 276, 90}, 0, u"繳款資料"),
        control(ControlKind::Static, kUiConfirmFromLabel, {30, 22, 70, 12}, 0, u"轉出帳號"),
        control(ControlKind::Static, kUiConfirmKindLabel, {30, 47, 70, 12}, 0, u"繳款類別"),
        control(ControlKind::Static, kUiConfirmAmountLabel, {30, 69, 70, 12}, 0, u"金額"),
        control(ControlKind::Edit, kUiConfirmFromAccount, {111, 17, 158, 20}, kField),
        control(ControlKind::Edit, kUiConfirmPayKind, {114, 42, 158, 20}, kField),
        control(ControlKind::Edit, kUiConfirmAmount, {111, 64, 158, 20}, kField),
        control(ControlKind::Static, kUiConfirmInstruction, {31, 110, 236, 23}),
        control(ControlKind::Button, kIdOk, {99, 137, 50, 16}, kButton | kStyleDefaultButton,
                u"確認"),
        control(ControlKind::Button, kIdCancel, {154, 137, 50, 16}, kButton, u"取消"),
        control(ControlKind::Static, kUiConfirmCountdownText, {31, 168, 128, 13}),
        control(ControlKind::Static, kUiConfirmCountdown, {47, 168, 8, 8}),
    };
    return d;
}

DialogTemplate readerPrompt() {
    DialogTemplate d = dialog(kUiReaderPromptDialog, 268, 123, kConfirmFont, 12);
    d.controls = {
        control(ControlKind::Group, kUiPromptGroup, {12, 18, 244, 78}),
        control(ControlKind::Static, kUiPromptInstruction, {30, 34, 197, 42}),
        control(ControlKind::Static, kUiPromptReaderName, {48, 34, 59, 8}),
        control(ControlKind::Static, kUiPromptOkKey, {39, 50, 15, 8}),
        control(ControlKind::Static, kUiPromptOkKey2, {196, 58, 15, 8}),
        control(ControlKind::Static, kUiPromptCancelKey, {39, 66, 15, 8}),
        control(ControlKind::Static, kUiPromptCountdown, {30, 79, 201, 8}),
    };
    return d;
}

DialogTemplate tacInfo() {
    DialogTemplate d = dialog(kUiTacInfoDialog, 240, 209, kConfirmFont, 12);
    d.caption = u"交易確認";
    d.controls = {
        control(ControlKind::Static, kUiTacMessage, {13, 14, 213, 117}),
        control(ControlKind::Static, kUiConfirmInstruction, {76, 145, 108, 19}),
        control(ControlKind::Button, kIdOk, {85, 167, 38, 14}, kButton | kStyleDefaultButton,
                u"確定"),
        control(ControlKind::Button, kIdCancel, {128, 167, 37, 14}, kButton, u"取消"),
        control(ControlKind::Static, kUiTacSecondsLabel, {76, 190, 37, 13}),
        control(ControlKind::Static, kUiConfirmCountdown, {114, 190, 8, 8}),
    };
    return d;
}

DialogTemplate readerInstruction() {
    DialogTemplate d = dialog(kUiReaderInstructionDialog, 163, 63, kInstructionFont, 10);
    d.controls = {
        control(ControlKind::Static, kUiInstructionText, {21, 13, 127, 15}),
        control(ControlKind::Button, kIdOk, {61, 37, 38, 14}, kButton | kStyleDefaultButton,
                u"確定"),
    };
    return d;
}

struct BitmapResource {
    std::uint32_t id;
    BitmapInfo size;
};
constexpr BitmapResource kBitmaps[] = {
    {kUiBitmapReaderPrompt, {536, 246}},
    {kUiBitmapConfirm, {600, 438}},
    {kUiBitmapTacInfo, {480, 418}},
};

// One entry per element and language: big5, gb, english, jp.
struct Texts {
    UiTextIds ids;
    std::u16string_view big5;
    std::u16string_view gb;
    std::u16string_view english;
    std::u16string_view jp;
};

// The keypad-reader prompt leaves gaps where the reader's name and the
// names of its keys stand (controls of their own, in colour).
const Texts kTexts[] = {
    {kUiTextConfirmOk, u"確認", u"确认", u"OK", u"確認"},
    {kUiTextConfirmCancel, u"取消", u"取消", u"Cancel", u"キャンセル"},
    {kUiTextFromLabel, u"轉出帳號", u"转出账号", u"From account", u"振替元口座"},
    {kUiTextToLabel, u"轉入帳號", u"转入账号", u"To account", u"振替先口座"},
    {kUiTextAmountLabel, u"金額", u"金额", u"Amount", u"金額"},
    {kUiTextKindLabel, u"繳款類別", u"缴款类别", u"Payment type", u"支払種別"},
    {kUiTextReplugInstruction, u"請將晶片卡從讀卡機取出後再插回，才能按【確認】繼續交易。",
     u"请将芯片卡从读卡器取出后再插回，才能按【确认】继续交易。",
     u"Take your card out of the reader and put it back; then OK goes on with the "
     u"transaction.",
     u"カードをリーダーから抜いて差し直すと、【確認】で取引を続けられます。"},
    {kUiTextConfirmCountdown, u"剩餘      秒，逾時交易將取消。", u"剩余      秒，超时交易将取消。",
     u"You have      seconds, or the transaction is cancelled.",
     u"残り      秒で取引は取り消されます。"},
    {kUiTextTacCaption, u"交易確認", u"交易确认", u"Confirm the transaction", u"取引の確認"},
    {kUiTextTacOk, u"確定", u"确定", u"OK", u"OK"},
    {kUiTextTacInstruction, u"請將晶片卡取出後再插回，\n再按【確定】繼續交易。",
     u"请将芯片卡取出后再插回，\n再按【确定】继续交易。",
     u"Take your card out and put it back,\nthen press OK to go on.",
     u"カードを抜いて差し直し、\n【OK】で取引を続けてください。"},
    {kUiTextTacSeconds, u"剩餘秒數：", u"剩余秒数：", u"Seconds left:", u"残り秒数："},
    {kUiTextPromptInstruction,
     u"請在                                    操作：\n\n按          鍵繼續進行交易，\n"
     u"依讀卡機畫面輸入密碼後按          鍵，\n按          鍵放棄交易。",
     u"请在                                    操作：\n\n按          键继续进行交易，\n"
     u"依读卡器画面输入密码后按          键，\n按          键放弃交易。",
     u"Use the                                    now:\n\n          goes on with the "
     u"transaction,\nenter the PIN as the reader asks, then          ;\n          gives it up.",
     u"                                    で操作してください：\n\n          キーで取引を続け、"
     u"\n画面の案内で暗証番号を入力して          キー、\n          キーで取引を中止します。"},
    {kUiTextPromptReader, u"晶片卡讀卡機", u"芯片卡读卡器", u"card reader", u"カードリーダー"},
    {kUiTextPromptOkKey, u"確認", u"确认", u"OK", u"確認"},
    {kUiTextPromptCancelKey, u"取消", u"取消", u"Cancel", u"取消"},
    {kUiTextPromptCountdown, u"請在%2d秒內完成交易確認，逾時交易將取消。",
     u"请在%2d秒内完成交易确认，超时交易将取消。",
     u"Confirm within %2d seconds, or the transaction is cancelled.",
     u"%2d秒以内に確認してください。過ぎると取引は取り消されます。"},
    {kUiTextInstruction, u"請按【確定】繼續，並依讀卡機的提示輸入密碼後按確認鍵執行交易。",
     u"请按【确定】继续，并依读卡器的提示输入密码后按确认键执行交易。",
     u"Press OK, then enter your PIN on the card reader as it asks and press its OK key.",
     u"【OK】を押し、カードリーダーの案内に従って暗証番号を入力し確認キーを押してください。"},
    {kUiTextTransferGroup, u"轉帳資料", u"转账信息", u"Transfer", u"振替内容"},
    {kUiTextPayGroup, u"繳款資料", u"缴款信息", u"Payment", u"支払内容"},
};

std::vector<StringEntry> stringTable() {
    std::vector<StringEntry> table;
    for (const Texts& t : kTexts) {
        table.push_back({t.ids.big5, t.big5});
        table.push_back({t.ids.gb, t.gb});
        table.push_back({t.ids.english, t.english});
        table.push_back({t.ids.jp, t.jp});
    }
    return table;
}

} // namespace

void UI_RegisterConfirmResources() {
    registerDialogTemplate(transferConfirm());
    registerDialogTemplate(payConfirm());
    registerDialogTemplate(readerPrompt());
    registerDialogTemplate(tacInfo());
    registerDialogTemplate(readerInstruction());
    for (const auto& bitmap : kBitmaps) {
        registerBitmap(bitmap.id, bitmap.size);
    }
    registerStrings(kLanguageChineseTaiwan, stringTable());
}
