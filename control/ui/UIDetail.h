#pragma once

// The inner parts of the UI module, shared by its files and its tests: the
// module's state, the resource ids, the keypad, the captcha and the helpers
// every dialog uses.

#include "control/ControlLog.h"
#include "control/ui/UI.h"
#include "platform/ui/Drawing.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

// ---- Resource ids ------------------------------------------------------------

// Controls.
inline constexpr int kUiPinEdit = 42000;    // the PIN dialogs' entry field
inline constexpr int kUiOldPinEdit = 42001; // change PIN
inline constexpr int kUiNewPinEdit = 42002;
inline constexpr int kUiConfirmEdit = 42003;
inline constexpr int kUiReshuffleKey = 42004; // also the captcha's Renew
inline constexpr int kUiCapsLockKey = 42005;
inline constexpr int kUiBackspaceKey = 42006;
inline constexpr int kUiFirstDigitKey = 1029;  // ten digit keys
inline constexpr int kUiFirstLetterKey = 1039; // 26 letter keys
inline constexpr int kUiLastKey = 1064;
inline constexpr int kUiCountdownText = 518;
inline constexpr int kUiCountdownNumber = 504;
inline constexpr int kUiPlainGroup = 2000;
inline constexpr int kUiPlainLabel = 2001;
inline constexpr int kUiOldPinLabel = 2005;
inline constexpr int kUiNewPinLabel = 2006;
inline constexpr int kUiConfirmLabel = 2007;
inline constexpr int kUiVerifyCodeEdit = 3000;

// Bitmaps.
inline constexpr std::uint32_t kUiBitmapOk = 27000;
inline constexpr std::uint32_t kUiBitmapCancel = 27001;
inline constexpr std::uint32_t kUiBitmapReshuffle = 27002;
inline constexpr std::uint32_t kUiBitmapBackspace = 27003;
inline constexpr std::uint32_t kUiBitmapCapsLock = 27004;
inline constexpr std::uint32_t kUiBitmapLetterKey = 27005;
inline constexpr std::uint32_t kUiBitmapDigitKey = 27006;
inline constexpr std::uint32_t kUiBitmapPinKeyboard = 27007; // entry mode 1
inline constexpr std::uint32_t kUiBitmapPin = 27008;
inline constexpr std::uint32_t kUiBitmapChangePinKeyboard = 27009; // not among the resources
inline constexpr std::uint32_t kUiBitmapChangePin = 27010;
inline constexpr std::uint32_t kUiBitmapVerifyCode = 12000;

// A text in the four languages: each has an id of its own.
struct UiTextIds {
    std::uint32_t big5;
    std::uint32_t gb;
    std::uint32_t english;
    std::uint32_t jp;
};
inline constexpr UiTextIds kUiTextPinCaption{51000, 51010, 51020, 51030};
inline constexpr UiTextIds kUiTextPinCapsLock{51001, 51011, 51021, 51031};
inline constexpr UiTextIds kUiTextPlainCaption{51005, 51015, 51025, 51035};
inline constexpr UiTextIds kUiTextPlainLabel{51007, 51017, 51027, 51037};
inline constexpr UiTextIds kUiTextOk{51050, 51060, 51070, 51080};
inline constexpr UiTextIds kUiTextCancel{51051, 51061, 51071, 51081};
inline constexpr UiTextIds kUiTextVerifyPrompt{52000, 52002, 52006, 52004};
inline constexpr UiTextIds kUiTextVerifyRenew{52001, 52003, 52007, 52005};
inline constexpr UiTextIds kUiTextChangeCaption{53010, 53020, 53030, 53040};
inline constexpr UiTextIds kUiTextChangeCapsLock{53011, 53021, 53031, 53041};
inline constexpr UiTextIds kUiTextOldPinLabel{53013, 53023, 53033, 53043};
inline constexpr UiTextIds kUiTextNewPinLabel{53014, 53024, 53034, 53044};
inline constexpr UiTextIds kUiTextConfirmLabel{53015, 53025, 53035, 53045};

// The font of the dialogs and of the keys' labels.
inline constexpr std::u16string_view kUiFontFace = u"新細明體";

// The most bytes an entry field gives (the fields of the original buffers
// were 260 bytes with their terminating zero).
inline constexpr int kUiMaxEntryBytes = 259;
inline constexpr int kUiCountdownSeconds = 60;
inline constexpr int kUiVerifyCodeLength = 6;

// Entry modes.
inline constexpr int kUiEntryNone = 0;
inline constexpr int kUiEntryKeyboard = 1;
inline constexpr int kUiEntryKeypad = 2;
inline constexpr int kUiEntryBoth = 3;

// ---- The module's state --------------------------------------------------------

// One per process. Everything runs on the thread of the dialog, except the
// Caps Lock follower, which changes only the letter layout (under
// layoutMutex) and the upper-case flag.
struct UiState {
    int language = kUiLanguageNone;
    ControlErrorCode lastError = kCtlOk;
    UiModule module = nullptr;
    bool resourcesRegistered = false;
    std::atomic<int> entryMode{kUiEntryNone};
    platform::ui::Window targetEdit = 0;
    int hoveredKey = -1;

    std::mutex layoutMutex;
    std::u16string digitLayout;  // ten digits in key order
    std::u16string letterLayout; // 'A' to 'Z' in order, in upper or lower case
    std::atomic<bool> upperCase{false};

    int maxLength = 0;
    int digitFontHeight = 15;
    int letterFontHeight = 15;
    UI_PasswdDlgProcType pinProc = nullptr;
    UI_CHPasswdDlgProcType changePinProc = nullptr;

    SecretString pinText; // the PIN, or the old PIN of a change
    SecretString newPinText;
    SecretString confirmText;

    std::u16string caption;
    std::u16string capsLockNotice;
    std::u16string okText;
    std::u16string cancelText;
    std::u16string renewText;
    std::u16string oldPinLabel;
    std::u16string newPinLabel;
    std::u16string confirmLabel;

    int verifyAlphabet = 0;
    std::u16string verifyCode;
    // The slot of the entry field, OK, Cancel and Renew.
    std::array<int, 4> slotOrder{0, 1, 2, 3};
    int countdown = kUiCountdownSeconds;

    // What each open dialog holds: the procedures its subclassed controls
    // had, its Caps Lock follower, and the change-PIN dialog that runs
    // modeless with its own pump.
    std::mutex dialogsMutex;
    std::map<platform::ui::Window, platform::ui::WindowProc> ownProcs;
    std::map<platform::ui::Window, std::jthread> followers;
    platform::ui::Window modeless = 0;
    bool modelessEnded = false;
    platform::ui::LResult modelessResult = 0;
};

UiState& uiState();
// Back to the state at process start. Not while a dialog is open.
void UI_ResetForTest();

// ---- Helpers -----------------------------------------------------------------

// The control log's "file line function" in front of a line.
constexpr const char* UI_SourceName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            name = p + 1;
        }
    }
    return name;
}
#define UI_LOG(format, ...)                                                                        \
    Log_Write(kLogDebug, "%s %d %s " format, UI_SourceName(__FILE__), __LINE__,                    \
              __func__ __VA_OPT__(, ) __VA_ARGS__)

// Registers the dialogs, bitmaps and string table with the dialog layer.
void UI_RegisterResources();
// The module the resources come from (the one set, else the main program),
// the resources registered once, and a forgotten dialog ending as a countdown's
// end does (5073).
void UI_FixResourceModule();
// The text of the chosen language, else the English one, else empty.
std::u16string UI_LoadText(const UiTextIds& ids);
// The limit of every entry field: the maximum length, at most 259.
int UI_EntryLimit();

// A number below bound, without bias: draws that fall into the incomplete
// last round of the 32-bit range are drawn again. nullopt when the source
// fails or keeps giving rejected words.
std::optional<std::uint32_t>
UI_UniformBelow(std::uint32_t bound, const std::function<std::optional<std::uint32_t>()>& nextWord);
// The same from the system's random bytes.
std::optional<std::uint32_t> UI_RandomBelow(std::uint32_t bound);

// The keypad.
bool UI_ShuffleDigits(); // false when no random bytes could be had
void UI_ShuffleLetters();
void UI_KeyInput(int id);
void UI_KeyBackspace();
void UI_CapsLockThread(std::stop_token stop, platform::ui::Window dialog);
void UI_DrawKey(const platform::ui::DrawItem& item);
platform::ui::LResult UI_KeyButtonProc(platform::ui::Window key, std::uint32_t message,
                                       platform::ui::WParam wParam, platform::ui::LParam lParam);
platform::ui::LResult UI_EditProc(platform::ui::Window edit, std::uint32_t message,
                                  platform::ui::WParam wParam, platform::ui::LParam lParam);
void UI_CenterWindow(platform::ui::Window dialog);

// Ends a PIN or change-PIN dialog with a result; the pump of the modeless
// change-PIN dialog learns it too.
void UI_EndPinDialog(platform::ui::Window dialog, platform::ui::LResult result);
// Whether a change-PIN dialog's start parameter says that it runs modeless.
bool UI_IsModelessStart(platform::ui::LParam initParam);

// 0 when the text passes the strength rule, else 5909.
ControlErrorCode UI_CheckPasswdStrength(std::string_view text);

// The captcha.
ControlErrorCode UI_VerifyCodeDlgInit(int arrangement, int alphabet);
bool UI_GenVerifyCode(); // false when no random bytes could be had
void UI_DrawVerifyCode(platform::ui::Window dialog, platform::ui::DrawContext& dc);
