// The PIN dialogs: the keypad dialog, the plain dialog and the change-PIN
// dialog, their countdown layers, and the keypad the two keypad dialogs
// share (its layout, key presses, painting, hover and Caps Lock follower).

#include "control/ControlBarrier.h"
#include "control/ui/UIDetail.h"

#include "control/ControlThreads.h"
#include "platform/text/TextCodec.h"
#include "platform/ui/DialogTemplate.h"
#include "platform/ui/Keyboard.h"

#include <chrono>
#include <cstdio>
#include <span>
#include <vector>

#include <string.h>

using namespace platform::ui;
using namespace std::chrono_literals;

namespace {

constexpr Colour kWhite = rgb(255, 255, 255);
constexpr Colour kBlack = rgb(0, 0, 0);
constexpr Colour kHoverRed = rgb(250, 0, 0);
constexpr Colour kPinNoticeColour = rgb(250, 250, 250);
constexpr Colour kChangePinNoticeColour = rgb(255, 48, 48);
constexpr Colour kLabelGrey = rgb(30, 30, 30);
constexpr Colour kCountdownRed = rgb(255, 0, 0);

constexpr Rect kPinNoticeRect{12, 20, 172, 40};
// As high as the PIN dialog's, so that the notice has room to show.
constexpr Rect kChangePinNoticeRect{12, 250, 172, 270};

constexpr std::uint32_t kKeyText = kDtCenter | kDtVCenter | kDtSingleLine;
constexpr std::uint32_t kNoticeText = kDtLeft | kDtVCenter | kDtSingleLine;

constexpr std::uintptr_t kCountdownTimer = 0;
constexpr std::uint32_t kCountdownTickMs = 1000;
constexpr auto kFollowerPass = 200ms;
// The dialog of entry mode 1 without its digit keys.
constexpr int kChangePinKeyboardShrink = 110;

constexpr int kChangePinEdits[] = {kUiOldPinEdit, kUiNewPinEdit, kUiConfirmEdit};

bool isKey(int id) {
    return id >= kUiFirstDigitKey && id <= kUiLastKey;
}

bool isDigitKey(int id) {
    return id >= kUiFirstDigitKey && id < kUiFirstLetterKey;
}

// ---- What each dialog holds ---------------------------------------------------

// Puts a procedure on a control and keeps the one it had.
void subclass(Window dialog, int id, WindowProc proc) {
    const Window control = getDlgItem(dialog, id);
    if (control == 0) {
        return;
    }
    WindowProc own = setWindowProc(control, std::move(proc));
    UiState& s = uiState();
    std::lock_guard lock(s.dialogsMutex);
    s.ownProcs[control] = std::move(own);
}

WindowProc ownProcOf(Window control) {
    UiState& s = uiState();
    std::lock_guard lock(s.dialogsMutex);
    const auto it = s.ownProcs.find(control);
    return it != s.ownProcs.end() ? it->second : WindowProc();
}

void startFollower(Window dialog) {
    UiState& s = uiState();
    // Counted while it runs, so the library is not unloaded under it.
    std::jthread follower(
        [count = tavelo::ControlThreadCount()](std::stop_token stop, Window d) {
            UI_CapsLockThread(std::move(stop), d);
        },
        dialog);
    std::lock_guard lock(s.dialogsMutex);
    s.followers[dialog] = std::move(follower);
}

void stopFollower(Window dialog) {
    UiState& s = uiState();
    std::lock_guard lock(s.dialogsMutex);
    if (const auto it = s.followers.find(dialog); it != s.followers.end()) {
        it->second.request_stop();
    }
}

// At the dialog's end: its controls get their own procedures back, and its
// follower is stopped and joined.
void releaseDialog(Window dialog) {
    UiState& s = uiState();
    std::vector<std::pair<Window, WindowProc>> restore;
    std::jthread follower;
    {
        std::lock_guard lock(s.dialogsMutex);
        for (auto it = s.ownProcs.begin(); it != s.ownProcs.end();) {
            if (getParent(it->first) == dialog) {
                restore.emplace_back(it->first, std::move(it->second));
                it = s.ownProcs.erase(it);
            } else {
                ++it;
            }
        }
        if (const auto it = s.followers.find(dialog); it != s.followers.end()) {
            follower = std::move(it->second);
            s.followers.erase(it);
        }
    }
    for (auto& [control, proc] : restore) {
        setWindowProc(control, std::move(proc));
    }
    if (follower.joinable()) {
        follower.request_stop();
        follower.join();
    }
}

// ---- Reading and the layout ----------------------------------------------------

// An entry field's text as the control's 8-bit text (UTF-8), at most 259
// bytes; no copy of it is left unwiped.
SecretString readEntry(Window dialog, int id) {
    const SecretU16String text(getDlgItemText(dialog, id));
    SecretString bytes;
    bytes.reserve(kUiMaxEntryBytes);
    const auto units = text.view();
    char encoded[4];
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        std::size_t n = 0;
        if (c < 0x80) {
            encoded[n++] = static_cast<char>(c);
        } else if (c < 0x800) {
            encoded[n++] = static_cast<char>(0xC0 | (c >> 6));
            encoded[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            encoded[n++] = static_cast<char>(0xE0 | (c >> 12));
            encoded[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            encoded[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            encoded[n++] = static_cast<char>(0xF0 | (c >> 18));
            encoded[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            encoded[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            encoded[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        if (bytes.size() + n > static_cast<std::size_t>(kUiMaxEntryBytes)) {
            break;
        }
        bytes.append(std::string_view(encoded, n));
    }
    explicit_bzero(encoded, sizeof encoded);
    return bytes;
}

bool letterLayoutUpper() {
    UiState& s = uiState();
    std::lock_guard lock(s.layoutMutex);
    return !s.letterLayout.empty() && s.letterLayout.front() == u'A';
}

// The letter keys follow the Caps Lock toggle; true when they changed.
bool followCapsLock() {
    const bool upper = capsLockOn();
    if (letterLayoutUpper() == upper) {
        return false;
    }
    uiState().upperCase = upper;
    UI_ShuffleLetters();
    return true;
}

std::u16string countdownText(int seconds) {
    char text[16];
    std::snprintf(text, sizeof text, "%2d", seconds);
    return platform::utf8ToUtf16(text);
}

// ---- What the keypad dialogs share -------------------------------------------

bool failStart(Window dialog) {
    UI_LOG("no random bytes for the keypad");
    uiState().lastError = kCtlFailed;
    UI_EndPinDialog(dialog, kCtlFailed);
    return true;
}

// The layout, the entry mode and the limit of a keypad dialog's fields.
// False when the dialog could not start.
bool prepareKeypad(Window dialog, std::span<const int> edits, int keyboardHeight) {
    UiState& s = uiState();
    if (!UI_ShuffleDigits()) {
        failStart(dialog);
        return false;
    }
    s.upperCase = capsLockOn();
    UI_ShuffleLetters();
    if (s.entryMode == kUiEntryKeyboard) {
        for (int id = kUiFirstDigitKey; id < kUiFirstLetterKey; ++id) {
            showWindow(getDlgItem(dialog, id), false);
        }
        if (const auto window = getWindowRect(dialog)) {
            moveWindow(dialog, window->left, window->top, window->width(),
                       keyboardHeight < 0 ? window->height() / 2
                                          : window->height() - keyboardHeight);
        }
    }
    for (const int id : edits) {
        const Window edit = getDlgItem(dialog, id);
        if (s.entryMode == kUiEntryKeypad) {
            editSetReadOnly(edit, true);
        }
        editLimitText(edit, UI_EntryLimit());
        editSetPasswordChar(edit, u'*');
    }
    UI_CenterWindow(dialog);
    setTopMost(dialog, true);
    return true;
}

// A click on a key of the keypad; false for any other id.
bool keypadCommand(Window dialog, int id) {
    switch (id) {
    case kUiReshuffleKey:
        if (!UI_ShuffleDigits()) {
            UI_LOG("no random bytes for the keypad");
        }
        UI_ShuffleLetters();
        invalidateRect(dialog, true);
        return true;
    case kUiCapsLockKey:
        injectKey(kVkCapital, false, true);
        injectKey(kVkCapital, true, true);
        invalidateRect(dialog, true);
        return true;
    case kUiBackspaceKey:
        UI_KeyBackspace();
        return true;
    default:
        if (isKey(id)) {
            UI_KeyInput(id);
            return true;
        }
        return false;
    }
}

bool isEntryOf(Window dialog, Window control, std::span<const int> edits) {
    for (const int id : edits) {
        if (control == getDlgItem(dialog, id)) {
            return true;
        }
    }
    return false;
}

// The read-only fields of entry mode 2 stay white.
Brush entryColour(Window dialog, WParam wParam, LParam lParam, std::span<const int> edits) {
    if (uiState().entryMode != kUiEntryKeypad ||
        !isEntryOf(dialog, static_cast<Window>(lParam), edits)) {
        return 0;
    }
    drawContextOf(wParam)->setBackgroundColour(kWhite);
    return solidBrush(kWhite);
}

void paintBackground(Window dialog, std::uint32_t bitmap, const Rect& noticeRect,
                     Colour noticeColour) {
    UiState& s = uiState();
    auto paint = beginPaint(dialog);
    if (const auto client = getClientRect(dialog)) {
        paint.dc().drawBitmap(bitmap, *client);
    }
    if (capsLockOn()) {
        paint.dc().setTextColour(noticeColour);
        paint.dc().setBackgroundMode(BackgroundMode::Transparent);
        paint.dc().drawText(s.capsLockNotice, noticeRect, kNoticeText);
    }
}

// ---- The three dialogs ---------------------------------------------------------

constexpr int kPinEdits[] = {kUiPinEdit};

// ---- Leaving a dialog ----------------------------------------------------

using DialogEnd = void (*)(Window, LResult);

void endPlainDialog(Window dialog, LResult result) {
    endDialog(dialog, result);
}

// Records how the dialog was left, then ends it.
LResult leave(Window dialog, ControlErrorCode result, DialogEnd end) {
    uiState().lastError = result;
    end(dialog, result);
    return 1;
}

// A button of a PIN dialog: OK has take read the entries, OK and Cancel end
// the dialog; any other button is the keypad's where the dialog has one.
template <typename Take>
LResult buttonCommand(Window dialog, WParam wParam, DialogEnd end, bool keypad, Take take) {
    if (highWord(wParam) != kBnClicked) {
        return 0;
    }
    const int id = lowWord(wParam);
    if (id == kIdOk) {
        take(uiState());
        return leave(dialog, kCtlOk, end);
    }
    if (id == kIdCancel) {
        return leave(dialog, kCtlCancelled, end);
    }
    return keypad && keypadCommand(dialog, id) ? 1 : 0;
}

LResult startPinDialog(Window dialog) {
    UiState& s = uiState();
    for (int id = kUiFirstDigitKey; id <= kUiLastKey; ++id) {
        subclass(dialog, id, UI_KeyButtonProc);
    }
    const Window edit = getDlgItem(dialog, kUiPinEdit);
    s.targetEdit = edit;
    s.caption = UI_LoadText(kUiTextPinCaption);
    s.capsLockNotice = UI_LoadText(kUiTextPinCapsLock);
    s.okText = UI_LoadText(kUiTextOk);
    s.cancelText = UI_LoadText(kUiTextCancel);
    setWindowText(dialog, s.caption);
    if (!prepareKeypad(dialog, kPinEdits, -1)) {
        return 1;
    }
    setFocus(edit);
    startFollower(dialog);
    return 0;
}

LResult pinDialog(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    UiState& s = uiState();
    switch (message) {
    case kWmInitDialog:
        return startPinDialog(dialog);
    case kWmCommand:
        return buttonCommand(dialog, wParam, UI_EndPinDialog, true, [&](UiState& state) {
            state.pinText = readEntry(dialog, kUiPinEdit);
        });
    case kWmClose:
        return leave(dialog, kCtlCancelled, UI_EndPinDialog);
    case kWmPaint:
        paintBackground(dialog,
                        s.entryMode == kUiEntryKeyboard ? kUiBitmapPinKeyboard : kUiBitmapPin,
                        kPinNoticeRect, kPinNoticeColour);
        return 1;
    case kWmDrawItem:
        UI_DrawKey(*reinterpret_cast<const DrawItem*>(lParam));
        return 1;
    case kWmCtlColorStatic:
        return entryColour(dialog, wParam, lParam, kPinEdits);
    case kWmActivate:
        // Back in front: painted again (the layer tells no application
        // activation of its own).
        if (lowWord(wParam) != kWaInactive) {
            invalidateRect(dialog, true);
        }
        return 0;
    case kWmDestroy:
        releaseDialog(dialog);
        return 1;
    default:
        return 0;
    }
}

LResult plainDialog(Window dialog, std::uint32_t message, WParam wParam, LParam) {
    UiState& s = uiState();
    switch (message) {
    case kWmInitDialog: {
        UI_CenterWindow(dialog);
        s.caption = UI_LoadText(kUiTextPlainCaption);
        s.okText = UI_LoadText(kUiTextOk);
        s.cancelText = UI_LoadText(kUiTextCancel);
        setWindowText(dialog, s.caption);
        setDlgItemText(dialog, kUiPlainLabel, UI_LoadText(kUiTextPlainLabel));
        setDlgItemText(dialog, kIdOk, s.okText);
        setDlgItemText(dialog, kIdCancel, s.cancelText);
        setTopMost(dialog, true);
        const Window edit = getDlgItem(dialog, kUiPinEdit);
        editLimitText(edit, UI_EntryLimit());
        setFocus(edit);
        return 0;
    }
    case kWmCommand:
        return buttonCommand(dialog, wParam, endPlainDialog, false, [&](UiState& state) {
            state.pinText = readEntry(dialog, kUiPinEdit);
        });
    default:
        return 0;
    }
}

LResult startChangePinDialog(Window dialog, LParam initParam) {
    UiState& s = uiState();
    if (UI_IsModelessStart(initParam)) {
        s.modeless = dialog;
    }
    for (int id = kUiFirstDigitKey; id <= kUiLastKey; ++id) {
        subclass(dialog, id, UI_KeyButtonProc);
    }
    for (const int id : kChangePinEdits) {
        subclass(dialog, id, UI_EditProc);
    }
    s.targetEdit = getDlgItem(dialog, kUiOldPinEdit);
    s.caption = UI_LoadText(kUiTextChangeCaption);
    s.capsLockNotice = UI_LoadText(kUiTextChangeCapsLock);
    s.oldPinLabel = UI_LoadText(kUiTextOldPinLabel);
    s.newPinLabel = UI_LoadText(kUiTextNewPinLabel);
    s.confirmLabel = UI_LoadText(kUiTextConfirmLabel);
    s.okText = UI_LoadText(kUiTextOk);
    s.cancelText = UI_LoadText(kUiTextCancel);
    setWindowText(dialog, s.caption);
    setDlgItemText(dialog, kUiOldPinLabel, s.oldPinLabel);
    setDlgItemText(dialog, kUiNewPinLabel, s.newPinLabel);
    setDlgItemText(dialog, kUiConfirmLabel, s.confirmLabel);
    UI_LOG("### szPWDOK = %s", platform::utf16ToUtf8(s.okText).c_str());
    UI_LOG("### szPWDCancel = %s", platform::utf16ToUtf8(s.cancelText).c_str());
    if (!prepareKeypad(dialog, kChangePinEdits, kChangePinKeyboardShrink)) {
        return 1;
    }
    setFocus(getDlgItem(dialog, kUiOldPinEdit));
    return 0;
}

LResult changePinDialog(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    UiState& s = uiState();
    switch (message) {
    case kWmInitDialog:
        return startChangePinDialog(dialog, lParam);
    case kWmCommand:
        return buttonCommand(dialog, wParam, UI_EndPinDialog, true, [&](UiState& state) {
            state.pinText = readEntry(dialog, kUiOldPinEdit);
            state.newPinText = readEntry(dialog, kUiNewPinEdit);
            state.confirmText = readEntry(dialog, kUiConfirmEdit);
        });
    case kWmClose:
        s.lastError = kCtlCancelled;
        if (dialog == s.modeless) {
            // Its pump sees it gone.
            s.modelessEnded = true;
            s.modelessResult = kCtlCancelled;
            destroyWindow(dialog);
        } else {
            endDialog(dialog, kCtlCancelled);
        }
        return 1;
    case kWmPaint:
        followCapsLock();
        paintBackground(dialog,
                        s.entryMode == kUiEntryKeyboard ? kUiBitmapChangePinKeyboard
                                                        : kUiBitmapChangePin,
                        kChangePinNoticeRect, kChangePinNoticeColour);
        return 1;
    case kWmDrawItem:
        UI_DrawKey(*reinterpret_cast<const DrawItem*>(lParam));
        return 1;
    case kWmCtlColorStatic: {
        const auto control = static_cast<Window>(lParam);
        const int id = getDlgCtrlId(control);
        if (id == kUiOldPinLabel || id == kUiNewPinLabel || id == kUiConfirmLabel) {
            DrawContext* dc = drawContextOf(wParam);
            dc->setTextColour(kLabelGrey);
            dc->setBackgroundMode(BackgroundMode::Transparent);
            return hollowBrush();
        }
        return entryColour(dialog, wParam, lParam, kChangePinEdits);
    }
    case kWmDestroy:
        releaseDialog(dialog);
        return 1;
    default:
        return 0;
    }
}

// The 60-second countdown over a keypad dialog: a one-shot timer started
// again on each tick; every message then goes on to the dialog's own
// procedure, except the colours of the countdown's two texts.
LResult countdown(Window dialog, std::uint32_t message, WParam wParam, LParam lParam,
                  LResult (*dialogProc)(Window, std::uint32_t, WParam, LParam)) {
    UiState& s = uiState();
    switch (message) {
    case kWmInitDialog:
        s.countdown = kUiCountdownSeconds;
        showWindow(getDlgItem(dialog, kUiCountdownText), true);
        showWindow(getDlgItem(dialog, kUiCountdownNumber), true);
        setDlgItemText(dialog, kUiCountdownNumber, countdownText(s.countdown));
        setTimer(dialog, kCountdownTimer, kCountdownTickMs);
        break;
    case kWmTimer:
        if (wParam != kCountdownTimer) {
            break;
        }
        killTimer(dialog, kCountdownTimer);
        if (--s.countdown < 1) {
            UI_EndPinDialog(dialog, kCtlTimedOut);
            break;
        }
        setDlgItemText(dialog, kUiCountdownNumber, countdownText(s.countdown));
        invalidateRect(dialog, true);
        setTimer(dialog, kCountdownTimer, kCountdownTickMs);
        break;
    case kWmCtlColorStatic: {
        const auto control = static_cast<Window>(lParam);
        const bool number = control == getDlgItem(dialog, kUiCountdownNumber);
        if (number || control == getDlgItem(dialog, kUiCountdownText)) {
            DrawContext* dc = drawContextOf(wParam);
            if (number) {
                dc->setTextColour(kCountdownRed);
            }
            dc->setBackgroundMode(BackgroundMode::Transparent);
            return hollowBrush();
        }
        break;
    }
    default:
        break;
    }
    return dialogProc(dialog, message, wParam, lParam);
}

} // namespace

// ---- The keypad ------------------------------------------------------------------

bool UI_ShuffleDigits() {
    std::u16string layout = u"0123456789";
    for (std::size_t i = layout.size() - 1; i > 0; --i) {
        const auto j = UI_RandomBelow(static_cast<std::uint32_t>(i + 1));
        if (!j) {
            return false;
        }
        std::swap(layout[i], layout[*j]);
    }
    UiState& s = uiState();
    std::lock_guard lock(s.layoutMutex);
    s.digitLayout = std::move(layout);
    return true;
}

void UI_ShuffleLetters() {
    UiState& s = uiState();
    const char16_t first = s.upperCase ? u'A' : u'a';
    std::u16string layout(26, first);
    for (std::size_t i = 0; i < layout.size(); ++i) {
        layout[i] = static_cast<char16_t>(first + i);
    }
    std::lock_guard lock(s.layoutMutex);
    s.letterLayout = std::move(layout);
}

void UI_KeyInput(int id) {
    UiState& s = uiState();
    if (!isKey(id) || s.targetEdit == 0) {
        return;
    }
    char16_t c = 0;
    {
        std::lock_guard lock(s.layoutMutex);
        const std::u16string& layout = isDigitKey(id) ? s.digitLayout : s.letterLayout;
        const auto at =
            static_cast<std::size_t>(id - (isDigitKey(id) ? kUiFirstDigitKey : kUiFirstLetterKey));
        if (at < layout.size()) {
            c = layout[at];
        }
    }
    const Window edit = s.targetEdit;
    if (c != 0) {
        // What stays of the text once the selection is replaced must leave
        // room for one more character.
        const auto [start, end] = editGetSel(edit);
        if (getWindowTextLength(edit) - (end - start) < UI_EntryLimit()) {
            editReplaceSel(edit, std::u16string_view(&c, 1));
        }
    }
    setFocus(edit);
}

void UI_KeyBackspace() {
    const Window edit = uiState().targetEdit;
    if (edit == 0) {
        return;
    }
    const auto [start, end] = editGetSel(edit);
    if (start != end) {
        editReplaceSel(edit, u"");
    } else if (start > 0) {
        editSetSel(edit, start - 1, start);
        editReplaceSel(edit, u"");
    }
    setFocus(edit);
}

void UI_CapsLockThread(std::stop_token stop, Window dialog) {
    controlBarrier("UI_CapsLockThread", [&] {
        UiState& s = uiState();
        s.upperCase = capsLockOn();
        if (s.entryMode == kUiEntryKeypad) {
            return;
        }
        while (!stop.stop_requested()) {
            bool changed = false;
            if ((getKeyState(kVkCapital) & 0x8000) != 0) {
                // Held down: the letters change case on every pass.
                s.upperCase = !letterLayoutUpper();
                UI_ShuffleLetters();
                changed = true;
            } else {
                changed = followCapsLock();
            }
            if (changed) {
                invalidateRect(dialog, true);
            }
            if (!sleepFor(kFollowerPass, stop)) {
                break;
            }
        }
    });
}

void UI_DrawKey(const DrawItem& item) {
    UiState& s = uiState();
    DrawContext& dc = *item.dc;
    const int id = item.controlId;
    dc.setBackgroundMode(BackgroundMode::Transparent);
    switch (id) {
    case kIdOk:
    case kIdCancel:
        dc.drawBitmap(id == kIdOk ? kUiBitmapOk : kUiBitmapCancel, item.rect);
        dc.setTextColour(kWhite);
        dc.drawText(id == kIdOk ? s.okText : s.cancelText, item.rect, kKeyText);
        return;
    case kUiReshuffleKey:
        dc.drawBitmap(kUiBitmapReshuffle, item.rect);
        return;
    case kUiCapsLockKey:
        dc.drawBitmap(kUiBitmapCapsLock, item.rect);
        return;
    case kUiBackspaceKey:
        dc.drawBitmap(kUiBitmapBackspace, item.rect);
        return;
    default:
        break;
    }
    if (!isKey(id) || s.entryMode == kUiEntryKeyboard) {
        return;
    }
    const bool digit = isDigitKey(id);
    char16_t label = 0;
    {
        std::lock_guard lock(s.layoutMutex);
        const std::u16string& layout = digit ? s.digitLayout : s.letterLayout;
        const auto at =
            static_cast<std::size_t>(id - (digit ? kUiFirstDigitKey : kUiFirstLetterKey));
        if (at < layout.size()) {
            label = layout[at];
        }
    }
    dc.drawBitmap(digit ? kUiBitmapDigitKey : kUiBitmapLetterKey, item.rect);
    if (label == 0) {
        return;
    }
    dc.setFont({std::u16string(kUiFontFace), digit ? s.digitFontHeight : s.letterFontHeight,
                kFontWeightNormal, 0, kChineseBig5Charset});
    dc.setTextColour(id == s.hoveredKey ? kHoverRed : digit ? kWhite : kBlack);
    dc.drawText(std::u16string_view(&label, 1), item.rect, kKeyText);
}

LResult UI_KeyButtonProc(Window key, std::uint32_t message, WParam wParam, LParam lParam) {
    return controlBarrier("UI_KeyButtonProc", LResult{0}, [&] {
        UiState& s = uiState();
        if (message == kWmMouseMove) {
            s.hoveredKey = getDlgCtrlId(key);
            trackMouseLeave(key);
            invalidateRect(key, false);
        } else if (message == kWmMouseLeave) {
            if (s.hoveredKey == getDlgCtrlId(key)) {
                s.hoveredKey = -1;
            }
            invalidateRect(key, false);
        }
        return callWindowProc(ownProcOf(key), key, message, wParam, lParam);
    });
}

LResult UI_EditProc(Window edit, std::uint32_t message, WParam wParam, LParam lParam) {
    return controlBarrier("UI_EditProc", LResult{0}, [&] {
        if (message == kWmSetFocus) {
            uiState().targetEdit = edit;
        }
        return callWindowProc(ownProcOf(edit), edit, message, wParam, lParam);
    });
}

void UI_CenterWindow(Window dialog) {
    const auto client = getClientRect(dialog);
    const auto window = getWindowRect(dialog);
    if (!client || !window) {
        return;
    }
    // The layer shows the dialog once its start is handled.
    const ScreenSize screen = screenSize();
    moveWindow(dialog, screen.width / 2 - client->width() / 2,
               screen.height / 2 - client->height() / 2, window->width(), window->height());
}

void UI_EndPinDialog(Window dialog, LResult result) {
    UiState& s = uiState();
    stopFollower(dialog);
    if (dialog == s.modeless) {
        s.modelessEnded = true;
        s.modelessResult = result;
    }
    endDialog(dialog, result);
}

// ---- The dialog procedures -------------------------------------------------------

LResult UI_PasswdDlgCallBack(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    return controlBarrier("UI_PasswdDlgCallBack", LResult{0},
                          [&] { return pinDialog(dialog, message, wParam, lParam); });
}

LResult UI_PasswdDlgCallBack_CountDown(Window dialog, std::uint32_t message, WParam wParam,
                                       LParam lParam) {
    return controlBarrier("UI_PasswdDlgCallBack_CountDown", LResult{0}, [&] {
        return countdown(dialog, message, wParam, lParam, UI_PasswdDlgCallBack);
    });
}

LResult UI_SimplePasswdDlgCallBack(Window dialog, std::uint32_t message, WParam wParam,
                                   LParam lParam) {
    return controlBarrier("UI_SimplePasswdDlgCallBack", LResult{0},
                          [&] { return plainDialog(dialog, message, wParam, lParam); });
}

LResult UI_CHPasswdDlgCallBack(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    return controlBarrier("UI_CHPasswdDlgCallBack", LResult{0},
                          [&] { return changePinDialog(dialog, message, wParam, lParam); });
}

LResult UI_CHPasswdDlgCallBack_CountDown(Window dialog, std::uint32_t message, WParam wParam,
                                         LParam lParam) {
    return controlBarrier("UI_CHPasswdDlgCallBack_CountDown", LResult{0}, [&] {
        return countdown(dialog, message, wParam, lParam, UI_CHPasswdDlgCallBack);
    });
}
