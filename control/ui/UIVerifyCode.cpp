// The verification code (captcha): six characters drawn in random faces,
// sizes, angles and colours, which the user types back.

#include "control/ControlBarrier.h"
#include "control/ui/UIDetail.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/DialogTemplate.h"

#include <algorithm>
#include <array>

using namespace platform::ui;

namespace {

constexpr std::u16string_view kDigits = u"23456789";
// Letters that cannot be taken for one another or for a digit.
constexpr std::u16string_view kLower = u"abdefghkmnpqrstuvwxyz";
constexpr std::u16string_view kUpper = u"ABCDEFGHKLMPQRSUVWXYZ";
constexpr std::array<std::u16string_view, 5> kFaces = {
    u"Arial", u"Monotype Corsiva", u"Arial Narrow", u"Comic Sans MS", u"Impact"};
// The most characters read back from the entry field.
constexpr int kMaxTyped = 255;
// Each character in a cell of its own: 30 pixels on from the last, 60 wide.
constexpr int kCellStep = 30;
constexpr int kCellSize = 60;

// The controls that are placed in the slots, in the order of slotOrder.
constexpr int kPlaced[] = {kUiVerifyCodeEdit, kIdOk, kIdCancel, kUiReshuffleKey};

std::uint32_t randomOr(std::uint32_t bound, std::uint32_t fallback) {
    return UI_RandomBelow(bound).value_or(fallback);
}

char16_t asciiLower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool sameCode(std::u16string_view typed, std::u16string_view code) {
    return typed.size() == code.size() &&
           std::equal(typed.begin(), typed.end(), code.begin(),
                      [](char16_t a, char16_t b) { return asciiLower(a) == asciiLower(b); });
}

LResult startVerifyCode(Window dialog) {
    UiState& s = uiState();
    const auto client = getClientRect(dialog);
    const int w = client ? client->width() : 0;
    const int h = client ? client->height() : 0;
    const std::array<Point, 4> slots = {
        Point{7 * w / 100, 51 * h / 100}, Point{53 * w / 100, 51 * h / 100},
        Point{7 * w / 100, 73 * h / 100}, Point{53 * w / 100, 73 * h / 100}};
    UI_CenterWindow(dialog);
    s.caption = UI_LoadText(kUiTextVerifyPrompt);
    s.renewText = UI_LoadText(kUiTextVerifyRenew);
    s.okText = UI_LoadText(kUiTextOk);
    s.cancelText = UI_LoadText(kUiTextCancel);
    setWindowText(dialog, s.caption);
    setDlgItemText(dialog, kUiReshuffleKey, s.renewText);
    setDlgItemText(dialog, kIdOk, s.okText);
    setDlgItemText(dialog, kIdCancel, s.cancelText);
    if (!UI_GenVerifyCode()) {
        UI_LOG("no random bytes for the verification code");
        s.lastError = kCtlFailed;
        endDialog(dialog, kCtlFailed);
        return 1;
    }
    const Window edit = getDlgItem(dialog, kUiVerifyCodeEdit);
    editLimitText(edit, kUiVerifyCodeLength);
    for (std::size_t i = 0; i < std::size(kPlaced); ++i) {
        const Window control = getDlgItem(dialog, kPlaced[i]);
        if (const auto rect = getWindowRect(control)) {
            const Point slot = slots[static_cast<std::size_t>(s.slotOrder[i])];
            moveWindow(control, slot.x, slot.y, rect->width(), rect->height());
        }
    }
    setTopMost(dialog, true);
    setFocus(edit);
    return 0;
}

LResult verifyCodeDialog(Window dialog, std::uint32_t message, WParam wParam, LParam) {
    UiState& s = uiState();
    switch (message) {
    case kWmInitDialog:
        return startVerifyCode(dialog);
    case kWmPaint: {
        auto paint = beginPaint(dialog);
        UI_DrawVerifyCode(dialog, paint.dc());
        return 1;
    }
    case kWmCommand:
        if (highWord(wParam) != kBnClicked) {
            return 0;
        }
        switch (lowWord(wParam)) {
        case kIdOk: {
            std::u16string typed = getDlgItemText(dialog, kUiVerifyCodeEdit);
            typed.resize(std::min<std::size_t>(typed.size(), kMaxTyped));
            const std::u16string_view first =
                std::u16string_view(typed).substr(0, kUiVerifyCodeLength);
            if (sameCode(first, s.verifyCode)) {
                s.lastError = kCtlOk;
                endDialog(dialog, kCtlOk);
            } else if (!typed.empty()) {
                s.lastError = kCtlCodeMismatch;
                endDialog(dialog, kCtlCodeMismatch);
            }
            return 1;
        }
        case kIdCancel:
            s.lastError = kCtlCancelled;
            endDialog(dialog, kCtlCancelled);
            return 1;
        case kUiReshuffleKey:
            if (!UI_GenVerifyCode()) {
                UI_LOG("no random bytes for the verification code");
            }
            invalidateRect(dialog, true);
            return 1;
        default:
            return 0;
        }
    default:
        return 0;
    }
}

} // namespace

ControlErrorCode UI_VerifyCodeDlgInit(int arrangement, int alphabet) {
    UiState& s = uiState();
    UI_FixResourceModule();
    if (s.language == kUiLanguageNone) {
        const ControlErrorCode rc = UI_SetLanguage("default");
        if (rc != kCtlOk) {
            return rc;
        }
    }
    s.verifyAlphabet = alphabet;
    if (arrangement != 0) {
        // A random order of the four slots.
        std::array<int, 4> order = {0, 1, 2, 3};
        for (std::size_t i = order.size() - 1; i > 0; --i) {
            const auto j = UI_RandomBelow(static_cast<std::uint32_t>(i + 1));
            if (!j) {
                UI_LOG("no random bytes for the arrangement");
                return kCtlFailed;
            }
            std::swap(order[i], order[*j]);
        }
        s.slotOrder = order;
    }
    return kCtlOk;
}

bool UI_GenVerifyCode() {
    UiState& s = uiState();
    const int alphabet =
        (s.verifyAlphabet &
         (QX_UI_VERIFYCODE_DIGITS | QX_UI_VERIFYCODE_LOWER | QX_UI_VERIFYCODE_UPPER)) != 0
            ? s.verifyAlphabet
            : QX_UI_VERIFYCODE_DIGITS | QX_UI_VERIFYCODE_LOWER | QX_UI_VERIFYCODE_UPPER;
    std::u16string pool;
    if ((alphabet & QX_UI_VERIFYCODE_DIGITS) != 0) {
        pool += kDigits;
    }
    if ((alphabet & QX_UI_VERIFYCODE_LOWER) != 0) {
        pool += kLower;
    }
    if ((alphabet & QX_UI_VERIFYCODE_UPPER) != 0) {
        pool += kUpper;
    }
    std::u16string code;
    for (int i = 0; i < kUiVerifyCodeLength; ++i) {
        const auto at = UI_RandomBelow(static_cast<std::uint32_t>(pool.size()));
        if (!at) {
            return false;
        }
        code += pool[*at];
    }
    s.verifyCode = std::move(code);
    return true;
}

void UI_DrawVerifyCode(Window dialog, DrawContext& dc) {
    const UiState& s = uiState();
    const auto client = getClientRect(dialog);
    if (!client) {
        return;
    }
    dc.drawBitmap(kUiBitmapVerifyCode, {0, 0, client->width(), client->height() * 2 / 5});
    dc.setBackgroundMode(BackgroundMode::Transparent);
    for (std::size_t i = 0; i < s.verifyCode.size(); ++i) {
        const int height = 24 + static_cast<int>(randomOr(16, 0));
        const int escapement = (static_cast<int>(randomOr(40, 20)) - 20) * 10;
        const auto face = kFaces[randomOr(static_cast<std::uint32_t>(kFaces.size()), 0)];
        const auto red = static_cast<std::uint8_t>(randomOr(150, 0));
        const auto green = static_cast<std::uint8_t>(randomOr(50, 0));
        const auto blue = static_cast<std::uint8_t>(randomOr(150, 0));
        dc.setFont({std::u16string(face), height, kFontWeightBold, escapement, kAnsiCharset});
        dc.setTextColour(rgb(red, green, blue));
        const int left = kCellStep * static_cast<int>(i);
        dc.drawText(std::u16string_view(&s.verifyCode[i], 1),
                    {left, 0, left + kCellSize, kCellSize}, kDtCenter | kDtVCenter | kDtSingleLine);
    }
}

LResult UI_VerifyCodeDlgCallBack(Window dialog, std::uint32_t message, WParam wParam,
                                 LParam lParam) {
    return controlBarrier("UI_VerifyCodeDlgCallBack", LResult{0},
                          [&] { return verifyCodeDialog(dialog, message, wParam, lParam); });
}

ControlErrorCode UI_VerifyCodeDlg(int arrangement, int alphabet) {
    return controlBarrier("UI_VerifyCodeDlg", kCtlFailed, [&] {
        UiState& s = uiState();
        // Only the dialog's own answer clears this.
        s.lastError = kCtlFailed;
        const ControlErrorCode rc = UI_VerifyCodeDlgInit(arrangement, alphabet);
        if (rc != kCtlOk) {
            s.lastError = rc;
            return rc;
        }
        const LResult result = UI_DialogBox(kUiVerifyCodeDialog, UI_VerifyCodeDlgCallBack);
        UI_LOG("## UI_VerifyCodeDlgCallBack = %ld", static_cast<long>(result));
        if (result == kCtlTimedOut) {
            s.lastError = kCtlTimedOut;
        }
        s.verifyAlphabet = 0;
        for (std::u16string* text : {&s.caption, &s.renewText, &s.okText, &s.cancelText}) {
            text->clear();
        }
        return s.lastError;
    });
}
