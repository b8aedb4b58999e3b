// The UI module's state, its setters, the Init and Final steps and the
// procedures that run the PIN and change-PIN dialogs.

#include "control/ControlBarrier.h"
#include "control/ui/UIDetail.h"
#include "platform/random/Random.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/Resources.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <dlfcn.h>
#include <strings.h>

using namespace platform::ui;

namespace {

// The dialog ended by the ceiling ends as a countdown's end does.
constexpr ControlErrorCode kForgotten = kCtlTimedOut;
// The timer that ends the modeless change-PIN dialog at the layer's ceiling.
constexpr std::uintptr_t kCeilingTimer = 1;
// The start parameter that tells the change-PIN dialog it runs modeless.
constexpr LParam kModelessStart = 1;

UiModule mainModule() {
    // The handle of the program itself; never closed.
    static const UiModule main = dlopen(nullptr, RTLD_LAZY);
    return main;
}

int languageOfSystem() {
    const LanguageId id = systemDefaultLanguage();
    switch (primaryLanguage(id)) {
    case kLangChinese:
        return subLanguage(id) == kSublangChineseSimplified ? kUiLanguageGb : kUiLanguageBig5;
    case kLangJapanese:
        return kUiLanguageJp;
    default:
        return kUiLanguageEnglish;
    }
}

int entryModeOf(int iFlags) {
    const bool keyboard = (iFlags & QX_UI_FLAG_PASSWD_KEYBOARD) != 0;
    const bool keypad = (iFlags & QX_UI_FLAG_PASSWD_KEYPAD) != 0;
    return keyboard ? (keypad ? kUiEntryBoth : kUiEntryKeyboard)
                    : (keypad ? kUiEntryKeypad : kUiEntryNone);
}

// The part of the Init steps that the PIN and the change-PIN dialog share.
ControlErrorCode initCommon(int iFlags) {
    UiState& s = uiState();
    s.lastError = kCtlOk;
    UI_FixResourceModule();
    if (s.language == kUiLanguageNone) {
        const ControlErrorCode rc = UI_SetLanguage("default");
        if (rc != kCtlOk) {
            s.lastError = rc;
            return rc;
        }
    }
    s.entryMode = entryModeOf(iFlags);
    return kCtlOk;
}

void wipeTexts() {
    UiState& s = uiState();
    for (std::u16string* text : {&s.caption, &s.capsLockNotice, &s.okText, &s.cancelText,
                                 &s.renewText, &s.oldPinLabel, &s.newPinLabel, &s.confirmLabel}) {
        text->clear();
    }
}

// Runs one keypad or plain PIN dialog between the Init and Final steps. A
// dialog that ran out of time (its countdown, or the layer's ceiling for a
// forgotten one) hands out nothing: Final only wipes.
ControlErrorCode runPinDialog(int iFlags, SecretString& pin, std::uint32_t templateId,
                              DialogProc proc, const char* procName) {
    UiState& s = uiState();
    UI_PasswdDlgInit(iFlags);
    if (s.lastError == kCtlOk) {
        const LResult result = UI_DialogBox(templateId, std::move(proc));
        UI_LOG("## %s = %ld", procName, static_cast<long>(result));
        if (result == kCtlTimedOut) {
            SecretString none;
            UI_PasswdDlgFinal(iFlags, none);
            s.lastError = kCtlTimedOut;
            return kCtlTimedOut;
        }
    }
    return UI_PasswdDlgFinal(iFlags, pin);
}

// The change-PIN dialog without countdown, modeless with a pump of its own
// that stops with the dialog; its result.
LResult runModelessChangePin() {
    UiState& s = uiState();
    s.modelessEnded = false;
    s.modelessResult = 0;
    const Window dialog =
        createDialog(kUiChangePinDialog, getFocus(), UI_CHPasswdDlgCallBack, kModelessStart);
    if (dialog == 0) {
        UI_LOG("CreateDialog fail: %u", lastError());
        s.modeless = 0;
        s.lastError = kCtlFailed;
        return kCtlFailed;
    }
    setTimer(dialog, kCeilingTimer, static_cast<std::uint32_t>(modalWaitCeiling().count()));
    Message message;
    while (!s.modelessEnded && isWindow(dialog)) {
        const int got = getMessage(message);
        if (got <= 0) {
            if (got == 0) {
                // The quit is for a loop outside this one.
                postQuitMessage(static_cast<int>(message.wParam));
            }
            break;
        }
        if (message.window == dialog && message.message == kWmTimer &&
            message.wParam == kCeilingTimer) {
            UI_EndPinDialog(dialog, kForgotten);
            continue;
        }
        if (message.message == kWmKeyDown && message.wParam == kVkCapital) {
            invalidateRect(dialog, true);
        }
        if (!isDialogMessage(dialog, message)) {
            dispatchMessage(message);
        }
    }
    // A dialog that went without an answer counts as cancelled.
    const LResult result = s.modelessEnded ? s.modelessResult : LResult{kCtlCancelled};
    if (!s.modelessEnded && s.lastError == kCtlOk) {
        s.lastError = kCtlCancelled;
    }
    if (isWindow(dialog)) {
        destroyWindow(dialog);
    }
    s.modeless = 0;
    return result;
}

} // namespace

UiState& uiState() {
    static UiState state;
    return state;
}

void UI_ResetForTest() {
    UiState& s = uiState();
    s.language = kUiLanguageNone;
    s.lastError = kCtlOk;
    s.module = nullptr;
    s.resourcesRegistered = false;
    s.entryMode = kUiEntryNone;
    s.targetEdit = 0;
    s.hoveredKey = -1;
    {
        std::lock_guard lock(s.layoutMutex);
        s.digitLayout.clear();
        s.letterLayout.clear();
    }
    s.upperCase = false;
    s.maxLength = 0;
    s.digitFontHeight = 15;
    s.letterFontHeight = 15;
    s.pinProc = nullptr;
    s.changePinProc = nullptr;
    s.pinText.clear();
    s.newPinText.clear();
    s.confirmText.clear();
    wipeTexts();
    s.verifyAlphabet = 0;
    s.verifyCode.clear();
    s.slotOrder = {0, 1, 2, 3};
    s.countdown = kUiCountdownSeconds;
    s.modeless = 0;
    s.modelessEnded = false;
    s.modelessResult = 0;
}

// ---- Helpers -------------------------------------------------------------------

void UI_FixResourceModule() {
    UiState& s = uiState();
    if (s.module == nullptr) {
        s.module = mainModule();
    }
    if (!s.resourcesRegistered) {
        UI_RegisterResources();
        s.resourcesRegistered = true;
    }
    setModalWaitCeiling(modalWaitCeiling(), kForgotten);
}

std::u16string UI_LoadText(const UiTextIds& ids) {
    std::uint32_t id = ids.english;
    switch (uiState().language) {
    case kUiLanguageBig5:
        id = ids.big5;
        break;
    case kUiLanguageGb:
        id = ids.gb;
        break;
    case kUiLanguageJp:
        id = ids.jp;
        break;
    default:
        break;
    }
    auto text = loadString(id, kLanguageChineseTaiwan);
    if (!text && id != ids.english) {
        text = loadString(ids.english, kLanguageChineseTaiwan);
    }
    return text.value_or(std::u16string());
}

int UI_EntryLimit() {
    const int length = uiState().maxLength;
    return length > 0 ? std::min(length, kUiMaxEntryBytes) : kUiMaxEntryBytes;
}

std::optional<std::uint32_t>
UI_UniformBelow(std::uint32_t bound,
                const std::function<std::optional<std::uint32_t>()>& nextWord) {
    if (bound == 0) {
        return std::nullopt;
    }
    // 2^32 mod bound: the words below it would make the low results likelier.
    const std::uint32_t threshold = (0u - bound) % bound;
    // Each draw is rejected with a chance below one half; 64 in a row means
    // the source is broken.
    for (int attempt = 0; attempt < 64; ++attempt) {
        const auto word = nextWord();
        if (!word) {
            return std::nullopt;
        }
        if (*word >= threshold) {
            return *word % bound;
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> UI_RandomBelow(std::uint32_t bound) {
    return UI_UniformBelow(bound, []() -> std::optional<std::uint32_t> {
        std::uint32_t word = 0;
        if (!platform::randomBytes(reinterpret_cast<std::uint8_t*>(&word), sizeof word)) {
            return std::nullopt;
        }
        return word;
    });
}

ControlErrorCode UI_CheckPasswdStrength(std::string_view text) {
    if (text.size() < 6 || text.size() > 20) {
        return kCtlPinRejected;
    }
    int equalRun = 1;
    int risingRun = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80 || std::isalnum(c) == 0) {
            return kCtlPinRejected;
        }
        if (i > 0) {
            const auto previous = static_cast<unsigned char>(text[i - 1]);
            equalRun = c == previous ? equalRun + 1 : 1;
            risingRun = c == previous + 1 ? risingRun + 1 : 1;
            if (equalRun >= 6 || risingRun >= 6) {
                return kCtlPinRejected;
            }
        }
    }
    if (text.find("567890") != std::string_view::npos) {
        return kCtlPinRejected;
    }
    return kCtlOk;
}

// ---- Setters -------------------------------------------------------------------

ControlErrorCode UI_SetInstance(UiModule module) {
    if (module == nullptr) {
        return kCtlBadArgument;
    }
    uiState().module = module;
    return kCtlOk;
}

ControlErrorCode UI_SetLanguage(const char* name) {
    if (name == nullptr) {
        return kCtlBadArgument;
    }
    static constexpr struct {
        const char* name;
        int language;
    } kNames[] = {{"big5", kUiLanguageBig5},
                  {"english", kUiLanguageEnglish},
                  {"gb", kUiLanguageGb},
                  {"jp", kUiLanguageJp}};
    if (strcasecmp(name, "default") == 0) {
        uiState().language = languageOfSystem();
        return kCtlOk;
    }
    for (const auto& known : kNames) {
        if (strcasecmp(name, known.name) == 0) {
            uiState().language = known.language;
            return kCtlOk;
        }
    }
    return kCtlUnsupported;
}

int UI_GetLanguage() {
    return uiState().language;
}

ControlErrorCode UI_GetError() {
    return uiState().lastError;
}

ControlErrorCode UI_SetPasswdDlgProc(UI_PasswdDlgProcType proc) {
    if (proc == nullptr) {
        return kCtlBadArgument;
    }
    uiState().pinProc = proc;
    return kCtlOk;
}

ControlErrorCode UI_SetCHPasswdDlgProc(UI_CHPasswdDlgProcType proc) {
    if (proc == nullptr) {
        return kCtlBadArgument;
    }
    uiState().changePinProc = proc;
    return kCtlOk;
}

ControlErrorCode UI_SetKeyFontSize(int height) {
    uiState().digitFontHeight = height;
    return kCtlOk;
}

ControlErrorCode UI_SetPasswdMaxLen(int length) {
    uiState().maxLength = length;
    return kCtlOk;
}

// ---- Init and Final ------------------------------------------------------------

ControlErrorCode UI_PasswdDlgInit(int iFlags) {
    return controlBarrier("UI_PasswdDlgInit", kCtlFailed, [&] { return initCommon(iFlags); });
}

ControlErrorCode UI_CHPasswdDlgInit(int iFlags) {
    return controlBarrier("UI_CHPasswdDlgInit", kCtlFailed, [&] {
        const ControlErrorCode rc = initCommon(iFlags);
        if (rc != kCtlOk) {
            return rc;
        }
        if ((iFlags & QX_UI_FLAG_PASSWD_KEYBOARD) != 0) {
            UI_LOG("QX_UI_FLAG_PASSWD_KEYBOARD");
        }
        if ((iFlags & QX_UI_FLAG_PASSWD_KEYPAD) != 0) {
            UI_LOG("QX_UI_FLAG_PASSWD_KEYPAD");
        }
        UI_LOG("iPWDMode = %d", uiState().entryMode.load());
        return rc;
    });
}

ControlErrorCode UI_PasswdDlgFinal(int iFlags, SecretString& pin) {
    UiState& s = uiState();
    const bool handled = controlBarrier("UI_PasswdDlgFinal", false, [&] {
        if (s.lastError == kCtlOk) {
            if (s.pinText.empty()) {
                s.lastError = kCtlPinRejected;
            } else if ((iFlags & QX_UI_FLAG_PASSWD_STRENGTH) != 0) {
                s.lastError = UI_CheckPasswdStrength(s.pinText.view());
            }
            if (s.lastError == kCtlOk) {
                pin = s.pinText;
            }
        }
        return true;
    });
    if (!handled) {
        s.lastError = kCtlFailed;
    }
    s.pinText.clear();
    wipeTexts();
    s.pinProc = nullptr;
    return s.lastError;
}

ControlErrorCode UI_CHPasswdDlgFinal(int iFlags, SecretString& oldPin, SecretString& newPin) {
    UiState& s = uiState();
    const bool handled = controlBarrier("UI_CHPasswdDlgFinal", false, [&] {
        if (s.lastError != kCtlOk) {
            return true;
        }
        const bool strength = (iFlags & QX_UI_FLAG_PASSWD_STRENGTH) != 0;
        if (s.pinText.empty()) {
            s.lastError = kCtlPinLength;
        } else if (s.newPinText.empty() || s.confirmText.empty()) {
            s.lastError = kCtlPinRejected;
        } else if (s.pinText.size() < 6 || s.pinText.size() > 12) {
            s.lastError = kCtlPinLength;
        } else if (strength && (UI_CheckPasswdStrength(s.confirmText.view()) != kCtlOk ||
                                UI_CheckPasswdStrength(s.newPinText.view()) != kCtlOk ||
                                UI_CheckPasswdStrength(s.pinText.view()) != kCtlOk)) {
            s.lastError = kCtlPinRejected;
        } else if (!(s.newPinText == s.confirmText)) {
            s.lastError = kCtlPinRejected;
        }
        if (s.lastError == kCtlOk) {
            oldPin = s.pinText;
            newPin = s.newPinText;
        }
        return true;
    });
    if (!handled) {
        s.lastError = kCtlFailed;
    }
    s.pinText.clear();
    s.newPinText.clear();
    s.confirmText.clear();
    wipeTexts();
    return s.lastError;
}

// ---- Running the dialogs -------------------------------------------------------

LResult UI_DialogBox(std::uint32_t templateId, DialogProc proc, LParam initParam) {
    const LResult result = dialogBox(templateId, getFocus(), std::move(proc), initParam);
    if (result == -1) {
        // Whether or not the layer names a cause, no answer came.
        UI_LOG("DialogBox %u fail: %u", templateId, lastError());
        uiState().lastError = kCtlFailed;
        return kCtlFailed;
    }
    return result;
}

ControlErrorCode UI_PasswdDlg(int iFlags, int choice, SecretString& pin) {
    return controlBarrier("UI_PasswdDlg", kCtlFailed, [&] {
        UiState& s = uiState();
        s.lastError = kCtlFailed;
        // Taken out before it runs, so it holds for this request alone
        // whatever the procedure does.
        if (const auto proc = std::exchange(s.pinProc, nullptr)) {
            return proc(iFlags, pin);
        }
        if ((choice & QX_UI_PASSWD_DLG_SIMPLE) != 0) {
            return runPinDialog(iFlags, pin, kUiPlainPinDialog, UI_SimplePasswdDlgCallBack,
                                "UI_SimplePasswdDlgCallBack");
        }
        return UI_ATMPasswdDlg(iFlags, pin);
    });
}

ControlErrorCode UI_ATMPasswdDlg(int iFlags, SecretString& pin) {
    return controlBarrier("UI_ATMPasswdDlg", kCtlFailed, [&] {
        return runPinDialog(iFlags, pin, kUiPinDialog, UI_PasswdDlgCallBack,
                            "UI_PasswdDlgCallBack");
    });
}

ControlErrorCode PasswdDlg_CountDown(int iFlags, SecretString& pin) {
    return controlBarrier("PasswdDlg_CountDown", kCtlFailed, [&] {
        return runPinDialog(iFlags, pin, kUiPinDialog, UI_PasswdDlgCallBack_CountDown,
                            "UI_PasswdDlgCallBack_CountDown");
    });
}

ControlErrorCode UI_CHPasswdDlg(int iFlags, SecretString& oldPin, SecretString& newPin) {
    return controlBarrier("UI_CHPasswdDlg", kCtlFailed, [&] {
        UiState& s = uiState();
        s.lastError = kCtlFailed;
        if (s.changePinProc != nullptr) {
            return s.changePinProc(iFlags, oldPin, newPin);
        }
        return UI_DefaultCHPasswdDlg(iFlags, oldPin, newPin);
    });
}

ControlErrorCode UI_DefaultCHPasswdDlg(int iFlags, SecretString& oldPin, SecretString& newPin) {
    return controlBarrier("UI_DefaultCHPasswdDlg", kCtlFailed, [&] {
        UiState& s = uiState();
        UI_CHPasswdDlgInit(iFlags);
        if (s.lastError == kCtlOk && runModelessChangePin() == kCtlTimedOut) {
            SecretString none;
            UI_CHPasswdDlgFinal(iFlags, none, none);
            s.lastError = kCtlTimedOut;
            UI_LOG("UI_CHPasswdDlgFinal iError = %d", kCtlTimedOut);
            return kCtlTimedOut;
        }
        const ControlErrorCode rc = UI_CHPasswdDlgFinal(iFlags, oldPin, newPin);
        UI_LOG("UI_CHPasswdDlgFinal iError = %d", rc);
        return rc;
    });
}

bool UI_IsModelessStart(LParam initParam) {
    return initParam == kModelessStart;
}
