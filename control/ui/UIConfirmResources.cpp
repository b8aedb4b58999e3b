// The confirmation dialogs' resources as data: the five templates with
// their texts, and their background bitmaps. The texts are the same in every
// language; the methods write the captions (except 207's) and the fields.

#include "control/ui/UIConfirm.h"
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

// The instruction of the replug confirmations, and the sentence around their
// countdown, which leaves a gap where 504 shows the seconds.
constexpr std::u16string_view kReplugInstruction =
    u"請將您的晶片卡抽出後重新插入，才能按【確認】鍵繼續進行交易！";
constexpr std::u16string_view kCountdownSentence = u"您有     秒的時間，否則交易將取消。";

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
        control(ControlKind::Static, kUiConfirmInstruction, {24, 96, 236, 23}, 0,
                kReplugInstruction),
        control(ControlKind::Button, kIdOk, {92, 119, 50, 16}, kButton | kStyleDefaultButton,
                u"確認"),
        control(ControlKind::Button, kIdCancel, {147, 119, 50, 16}, kButton, u"取消"),
        control(ControlKind::Static, kUiConfirmCountdownText, {39, 151, 128, 13}, 0,
                kCountdownSentence),
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
        control(ControlKind::Static, kUiConfirmInstruction, {31, 110, 236, 23}, 0,
                kReplugInstruction),
        control(ControlKind::Button, kIdOk, {99, 137, 50, 16}, kButton | kStyleDefaultButton,
                u"確認"),
        control(ControlKind::Button, kIdCancel, {154, 137, 50, 16}, kButton, u"取消"),
        control(ControlKind::Static, kUiConfirmCountdownText, {31, 168, 128, 13}, 0,
                kCountdownSentence),
        control(ControlKind::Static, kUiConfirmCountdown, {47, 168, 8, 8}),
    };
    return d;
}

// The instruction leaves gaps where the reader's name and the names of its
// keys stand (controls of their own, in colour).
DialogTemplate readerPrompt() {
    DialogTemplate d = dialog(kUiReaderPromptDialog, 268, 123, kConfirmFont, 12);
    d.controls = {
        control(ControlKind::Group, kUiPromptGroup, {12, 18, 244, 78}),
        control(ControlKind::Static, kUiPromptInstruction, {30, 34, 197, 42}, 0,
                u"請在                                    操作：\n\n"
                u"按          鍵繼續進行交易(多次)\n"
                u"並依照字幕顯示需要按讀卡機上數字鍵輸入密碼並按          鍵\n"
                u"按          鍵放棄交易"),
        control(ControlKind::Static, kUiPromptReaderName, {48, 34, 59, 8}, 0, u"二代晶片卡讀卡機"),
        control(ControlKind::Static, kUiPromptOkKey, {39, 50, 15, 8}, 0, u"確認"),
        control(ControlKind::Static, kUiPromptOkKey2, {196, 58, 15, 8}, 0, u"確認"),
        control(ControlKind::Static, kUiPromptCancelKey, {39, 66, 15, 8}, 0, u"取消"),
        control(ControlKind::Static, kUiPromptCountdown, {30, 79, 201, 8}),
    };
    return d;
}

DialogTemplate tacInfo() {
    DialogTemplate d = dialog(kUiTacInfoDialog, 240, 209, kConfirmFont, 12);
    d.caption = u"交易確認視窗";
    d.controls = {
        control(ControlKind::Static, kUiTacMessage, {13, 14, 213, 117}),
        control(ControlKind::Static, kUiConfirmInstruction, {76, 145, 108, 19}, 0,
                u"請將您的晶片卡抽出後重新插入，\n再按【確定】鍵繼續進行交易！"),
        control(ControlKind::Button, kIdOk, {85, 167, 38, 14}, kButton | kStyleDefaultButton,
                u"確定"),
        control(ControlKind::Button, kIdCancel, {128, 167, 37, 14}, kButton, u"取消"),
        control(ControlKind::Static, kUiTacSecondsLabel, {76, 190, 37, 13}, 0, u"剩餘秒數："),
        control(ControlKind::Static, kUiConfirmCountdown, {114, 190, 8, 8}),
    };
    return d;
}

DialogTemplate readerInstruction() {
    DialogTemplate d = dialog(kUiReaderInstructionDialog, 163, 63, kInstructionFont, 10);
    d.controls = {
        control(ControlKind::Static, kUiInstructionText, {21, 13, 127, 15}, 0,
                u"請按【確定】鍵繼續，並請依  二代讀卡機  提示輸入密碼並按確認鍵執行交易內容。\n"),
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
}
