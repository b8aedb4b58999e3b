#pragma once

// The remove-and-insert prompt: a small picture dialog that asks the user to
// take the card (or a USB token) out and put it back, follows the readers
// through PC/SC status changes and the tokens through device notices, and
// ends once the expected insertion has happened. It also makes sure that
// the smart-card service (pcscd) runs, skips the virtual readers that token
// drivers make, and knows token devices by a built-in table. Its texts
// follow the UI module's language.

#include "control/ControlErrorCode.h"
#include "control/ui/ReaderWatch.h"
#include "control/ui/UI.h"
#include "platform/com/Com.h"
#include "platform/devices/Devices.h"
#include "platform/ui/Dialog.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The dialogs, one per language; there is none for Japanese.
inline constexpr std::uint32_t kDetectDialogBig5 = 30010;
inline constexpr std::uint32_t kDetectDialogEnglish = 30011;
inline constexpr std::uint32_t kDetectDialogJp = 30012;
inline constexpr std::uint32_t kDetectDialogGb = 30013;

// Pictures, and the Cancel button's face per language (gb and jp have none).
inline constexpr std::uint32_t kDetectBitmapInsert = 29990;
inline constexpr std::uint32_t kDetectBitmapRemove = 29991;
inline constexpr std::uint32_t kDetectButtonBig5 = 29992;
inline constexpr std::uint32_t kDetectButtonEnglish = 29993;
inline constexpr std::uint32_t kDetectButtonGb = 29994;
inline constexpr std::uint32_t kDetectButtonJp = 30041;

// iFlags bits read here.
inline constexpr int QX_DETECT_FLAG_REMOVE_FIRST = 0x10000; // a removal before the insertion
inline constexpr int QX_DETECT_FLAG_INSERT = 0x20000;
inline constexpr int QX_DETECT_REPLUG_MASK = 0x30000;
inline constexpr int QX_DETECT_FLAG_ADVANCED_READER = 0x200000;
inline constexpr int QX_DETECT_FLAG_CONFIRM = 0x4000000; // a message box once done

// kWmDeviceChange's event code for a watched reader's change: lParam holds
// the reader's index times two, plus 1 when a card is now in it.
inline constexpr platform::ui::WParam kDetectReaderEvent = 0xFFFF;

inline constexpr std::size_t kDetectMaxReaders = 20;
inline constexpr std::size_t kDetectTokenRows = 40;

// Detection states.
inline constexpr int kDetectWaitFirst = 0; // waiting for a first insertion
inline constexpr int kDetectRemove = 1;    // "remove" shown
inline constexpr int kDetectInsert = 2;    // "insert" shown

// One row of the token table: 400 bytes as the table has always been laid
// out. A row whose device name is empty matches nothing.
struct QxDetectTokenRow {
    char szDeviceName[256]; // what the name of a token's reader contains
    GUID guidInterface;     // the device interface class
    char szHardwareId[18];  // "vid_xxxx&pid_yyyy", lower case
    char szProvider[100];   // the token's cryptographic provider
    char szEnumerator[10];  // the bus key under the hardware enumeration key
};
static_assert(sizeof(QxDetectTokenRow) == 400);
static_assert(offsetof(QxDetectTokenRow, guidInterface) == 256);
static_assert(offsetof(QxDetectTokenRow, szHardwareId) == 272);
static_assert(offsetof(QxDetectTokenRow, szProvider) == 290);
static_assert(offsetof(QxDetectTokenRow, szEnumerator) == 390);

extern const std::array<QxDetectTokenRow, kDetectTokenRows> g_QxDetectTokenTable;

// The module's state, one per process.
struct QxDetectState {
    UiModule module = nullptr;
    int language = kUiLanguageNone;
    // The watched readers, names whole, with their watchers and flags.
    std::vector<std::string> readers;
    std::array<ReaderWatchThread, kDetectMaxReaders> watchers;
    std::array<std::atomic<int>, kDetectMaxReaders> present{};
    // The present flags as the dialog has been told of them, in order.
    std::array<int, kDetectMaxReaders> seen{};
    // The watchers that gave their first answer (or ended before it).
    std::mutex firstMutex;
    std::condition_variable firstAnswer;
    std::size_t firstAnswers = 0;
    std::size_t started = 0;

    std::atomic<platform::ui::Window> dialog{0};
    int state = kDetectWaitFirst;
    std::u16string message; // at most 255 units
    std::uint32_t picture = kDetectBitmapInsert;
    int secondsLeft = 0;
    int timeout = 0;
    int pause = 0;
    int replugMode = 0;
    bool tokenReader = false;    // stays set for the process
    bool advancedReader = false; // stays set for the process
    std::string deviceFilter;
    std::string providerFilter;
    std::string foundProvider;
    int tokenCount = 0;
    int cardCount = 0;
    std::vector<platform::devices::NotificationHandle> notifications;
};

QxDetectState& detectState();
// Back to the state at process start. Not while a request runs.
void QxDetect_ResetForTest();

// provider: the token's provider (may be null); reader: the reader (may be
// null or empty: then tokens and every reader); timeArgument: time-out in
// seconds in the low byte (0: none), closing pause in the next. 0 done;
// 5070 Cancel; 5073 time-out; 5074 the smart-card service is not running, a
// token device is disabled, or device notices are not available; -1 the
// dialog cannot be made, in English either.
int QxCrypto_DetectRemoveAndInsert(const char* provider, const char* reader, int timeArgument,
                                   int iFlags);

// 0 when pcscd answers (a context can be established). Otherwise a start of
// pcscd is requested where the process may start it, and 5074 given; 5006
// when no pcscd program is installed; 5906 when its socket refuses this
// user. CORVANTIX_PCSCD names the program to start (default
// /usr/sbin/pcscd).
int SCardServiceDetect();
// The watcher of watched reader `index`: 10 without a context, 12 when the
// first status request fails, else the PC/SC error that ended its wait.
int DetectCard(ReaderWatchThread& self, std::size_t index);
// Present token devices that match the table and the filters.
int DetectToken();
// Watched readers that hold a card, once every watcher gave its first answer.
int CheckCard();
// 1 when a matching token device is disabled in the hardware profile, else 0.
int IsTokenDeviceDisabled();
void DetectSetInstance(UiModule module);
// Whether a reader is one of the virtual readers that are never watched.
bool QxDetect_IsVirtualReader(std::string_view reader);

// Starts a watcher per watched reader (all readers but the virtual ones when
// none, or only an empty name, is given), and stops and joins them all.
void StartReaderMonitors();
void StopReaderMonitors();

void DetectDlgPaint(platform::ui::Window dialog);
void DetectDlgDrawButton(const platform::ui::DrawItem& item);

platform::ui::LResult QxXDetectCardRemoveAndInsertDlg(platform::ui::Window dialog,
                                                      std::uint32_t message,
                                                      platform::ui::WParam wParam,
                                                      platform::ui::LParam lParam);
platform::ui::LResult QxXDetectDeviceRemoveAndInsertDlg(platform::ui::Window dialog,
                                                        std::uint32_t message,
                                                        platform::ui::WParam wParam,
                                                        platform::ui::LParam lParam);
platform::ui::LResult QxXDetectWaitDlg(platform::ui::Window dialog, std::uint32_t message,
                                       platform::ui::WParam wParam, platform::ui::LParam lParam);

// Registers the detection dialogs, bitmaps and texts.
void QxDetect_RegisterResources();
