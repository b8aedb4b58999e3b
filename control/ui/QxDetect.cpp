// The remove-and-insert prompt: the request, its three dialog procedures,
// the reader watchers, the token count and the smart-card service check.

#include "control/ui/QxDetect.h"

#include "control/ControlBarrier.h"
#include "control/card/QxSCUtil.h"
#include "control/ui/UIDetail.h"
#include "platform/registry/Registry.h"
#include "platform/text/TextCodec.h"
#include "platform/ui/Drawing.h"
#include "platform/ui/MessageBox.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace platform::ui;
namespace pcsc = platform::pcsc;
namespace devices = platform::devices;

namespace {

constexpr std::uintptr_t kCountdownTimer = 0;
constexpr std::uint32_t kTickMs = 1000;
constexpr std::size_t kMessageUnits = 255;
// How long CheckCard waits for the watchers' first answers (real time:
// pcscd answers them at once).
constexpr auto kFirstAnswerLimit = std::chrono::seconds(5);

constexpr const char* kVirtualReaders[] = {"AKS VR", "AKS ifdh",
                                           "Rainbow Technologies iKeyVirtualReader"};

// The remove and insert texts of a dialog (card or token) and replug mode.
struct ReplugTexts {
    UiTextIds remove;
    UiTextIds insert;
};
constexpr ReplugTexts kCardRemoveFirst{{30177, 30180, 30178, 30179}, {30181, 30184, 30182, 30183}};
constexpr ReplugTexts kCardInsert{{30185, 30188, 30186, 30187}, {30189, 30192, 30190, 30191}};
constexpr ReplugTexts kTokenRemoveFirst{{30146, 30173, 30148, 30147}, {30149, 30174, 30151, 30150}};
constexpr ReplugTexts kTokenInsert{{30152, 30175, 30154, 30153}, {30155, 30176, 30157, 30156}};
// Texts that the table does not hold: they load empty.
constexpr UiTextIds kPauseText{30164, 30165, 30166, 30166};
constexpr UiTextIds kConfirmPrefix{30158, 30159, 30160, 30160};
constexpr UiTextIds kConfirmText{30161, 30162, 30163, 30163};

enum class Kind { Card, Token };

ReplugTexts textsOf(Kind kind) {
    const bool removeFirst = (detectState().replugMode & QX_DETECT_FLAG_REMOVE_FIRST) != 0;
    if (kind == Kind::Card) {
        return removeFirst ? kCardRemoveFirst : kCardInsert;
    }
    return removeFirst ? kTokenRemoveFirst : kTokenInsert;
}

void show(Window dialog, Kind kind, int state) {
    QxDetectState& s = detectState();
    s.state = state;
    const ReplugTexts texts = textsOf(kind);
    std::u16string text = UI_LoadText(state == kDetectRemove ? texts.remove : texts.insert);
    if (text.size() > kMessageUnits) {
        text.resize(kMessageUnits);
    }
    s.message = std::move(text);
    s.picture = state == kDetectRemove ? kDetectBitmapRemove : kDetectBitmapInsert;
    invalidateRect(dialog, true);
}

// The first step of every dialog: the countdown (with a time-out), above
// all windows.
void startCountdown(Window dialog, int seconds) {
    QxDetectState& s = detectState();
    s.secondsLeft = seconds;
    if (seconds > 0) {
        setTimer(dialog, kCountdownTimer, kTickMs);
    }
    setTopMost(dialog, true);
    invalidateRect(dialog, true);
}

void endWith(Window dialog, LResult result) {
    killTimer(dialog, kCountdownTimer);
    StopReaderMonitors();
    endDialog(dialog, result);
}

// One second of the countdown: 5073 at its end.
void countDown(Window dialog) {
    QxDetectState& s = detectState();
    if (--s.secondsLeft > 0) {
        setTimer(dialog, kCountdownTimer, kTickMs);
        invalidateRect(dialog, true);
        return;
    }
    endWith(dialog, kCtlTimedOut);
}

bool containsNoCase(std::string_view text, std::string_view part) {
    if (part.empty()) {
        return true;
    }
    return std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           }) != text.end();
}

std::string_view fieldOf(const char* field, std::size_t size) {
    return {field, strnlen(field, size)};
}

// Whether a row takes part under the filters: a provider filter must name
// its provider; a device filter must contain its device name (or, when
// exact, be it).
bool rowPasses(const QxDetectTokenRow& row, bool exactDevice) {
    const QxDetectState& s = detectState();
    const std::string_view device = fieldOf(row.szDeviceName, sizeof row.szDeviceName);
    if (device.empty()) {
        return false;
    }
    if (!s.providerFilter.empty() &&
        strcasecmp(s.providerFilter.c_str(),
                   std::string(fieldOf(row.szProvider, sizeof row.szProvider)).c_str()) != 0) {
        return false;
    }
    if (!s.deviceFilter.empty()) {
        if (exactDevice) {
            return strcasecmp(s.deviceFilter.c_str(), std::string(device).c_str()) == 0;
        }
        return s.deviceFilter.find(device) != std::string::npos;
    }
    return true;
}

// Whether a device interface is a token of a row that passes the filters.
const QxDetectTokenRow* matchingRow(const GUID& interfaceClass, std::string_view path) {
    for (const auto& row : g_QxDetectTokenTable) {
        const std::string_view fragment = fieldOf(row.szHardwareId, sizeof row.szHardwareId);
        if (rowPasses(row, false) && !fragment.empty() && row.guidInterface == interfaceClass &&
            containsNoCase(path, fragment)) {
            return &row;
        }
    }
    return nullptr;
}

// The watched readers that the dialog was told hold a card.
int seenCards() {
    const QxDetectState& s = detectState();
    int cards = 0;
    for (std::size_t i = 0; i < s.readers.size(); ++i) {
        cards += s.seen[i];
    }
    return cards;
}

// Takes the watchers' flags as the dialog's view, after their first answers.
int seedSeen() {
    QxDetectState& s = detectState();
    const int cards = CheckCard();
    for (std::size_t i = 0; i < kDetectMaxReaders; ++i) {
        s.seen[i] = i < s.readers.size() ? s.present[i].load() : 0;
    }
    return cards;
}

// A reader's change as the watcher posted it; false for any other message.
bool takeReaderEvent(WParam wParam, LParam lParam, bool& inserted) {
    QxDetectState& s = detectState();
    if (wParam != kDetectReaderEvent) {
        return false;
    }
    const auto index = static_cast<std::size_t>(lParam >> 1);
    inserted = (lParam & 1) != 0;
    if (index < s.readers.size()) {
        s.seen[index] = inserted ? 1 : 0;
    }
    return true;
}

// Drawing, alike in all three dialogs; 0 for any other message.
LResult drawMessage(Window dialog, std::uint32_t message, LParam lParam) {
    switch (message) {
    case kWmDrawItem:
        DetectDlgDrawButton(*reinterpret_cast<const DrawItem*>(lParam));
        return 1;
    case kWmPaint:
        DetectDlgPaint(dialog);
        return 1;
    default:
        return 0;
    }
}

// The messages the card and token dialogs answer alike. A tick of the
// countdown ends the dialog once replugNeeded says the device must go again.
template <typename ReplugNeeded>
LResult replugMessage(Window dialog, std::uint32_t message, WParam wParam, LParam lParam,
                      ReplugNeeded replugNeeded) {
    switch (message) {
    case kWmTimer:
        if (wParam != kCountdownTimer) {
            return 0;
        }
        killTimer(dialog, kCountdownTimer);
        if (replugNeeded()) {
            endWith(dialog, kCtlReplugNeeded);
            return 1;
        }
        countDown(dialog);
        return 1;
    case kWmCommand:
        if (lowWord(wParam) == kIdCancel) {
            endWith(dialog, kCtlCancelled);
        }
        return 1;
    default:
        return drawMessage(dialog, message, lParam);
    }
}

// ---- The card dialog ----------------------------------------------------------------

LResult cardDialog(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    QxDetectState& s = detectState();
    switch (message) {
    case kWmInitDialog:
        UI_CenterWindow(dialog);
        s.dialog = dialog;
        StartReaderMonitors();
        if (seedSeen() > 0) {
            show(dialog, Kind::Card, kDetectRemove);
        } else if (SCardServiceDetect() != kCtlReplugNeeded) {
            show(dialog, Kind::Card,
                 (s.replugMode & QX_DETECT_FLAG_REMOVE_FIRST) != 0 ? kDetectWaitFirst
                                                                   : kDetectInsert);
        } else {
            endWith(dialog, kCtlReplugNeeded);
            return 1;
        }
        startCountdown(dialog, s.timeout);
        return 1;
    case kWmDeviceChange: {
        bool inserted = false;
        if (!takeReaderEvent(wParam, lParam, inserted)) {
            return 1;
        }
        const int cards = seenCards();
        if (cards == 0 && s.state == kDetectRemove) {
            show(dialog, Kind::Card, kDetectInsert);
        } else if (inserted && cards > 0) {
            if (s.state == kDetectWaitFirst) {
                show(dialog, Kind::Card, kDetectRemove);
            } else if (s.state == kDetectInsert) {
                endWith(dialog, kCtlOk);
            }
        }
        return 1;
    }
    case kWmDestroy:
        StopReaderMonitors();
        s.dialog = 0;
        return 1;
    default:
        return replugMessage(dialog, message, wParam, lParam,
                             [] { return SCardServiceDetect() == kCtlReplugNeeded; });
    }
}

// ---- The token dialog ------------------------------------------------------------------

void unregisterNotifications() {
    QxDetectState& s = detectState();
    for (const auto handle : s.notifications) {
        devices::unregisterDeviceNotification(handle);
    }
    s.notifications.clear();
}

bool registerNotifications(Window dialog) {
    QxDetectState& s = detectState();
    for (const auto& row : g_QxDetectTokenTable) {
        if (row.szDeviceName[0] == '\0') {
            continue;
        }
        const auto handle = devices::registerDeviceNotification(dialog, row.guidInterface);
        if (handle == 0) {
            return false;
        }
        s.notifications.push_back(handle);
    }
    return true;
}

void startTokenDialog(Window dialog) {
    QxDetectState& s = detectState();
    if (!registerNotifications(dialog)) {
        UI_LOG("RegisterDeviceNotification fail");
        unregisterNotifications();
        messageBox(dialog, u"Can't register device notification!", u"Error",
                   kMbOk | kMbIconExclamation);
        endWith(dialog, kCtlReplugNeeded);
        return;
    }
    UI_CenterWindow(dialog);
    s.dialog = dialog;
    if (!s.tokenReader) {
        StartReaderMonitors();
    }
    s.tokenCount = DetectToken();
    s.cardCount = seedSeen();
    if (s.tokenCount == 0 && s.cardCount == 0) {
        if (SCardServiceDetect() == kCtlReplugNeeded || IsTokenDeviceDisabled() == 1) {
            endWith(dialog, kCtlReplugNeeded);
            return;
        }
        show(dialog, Kind::Token,
             (s.replugMode & QX_DETECT_FLAG_REMOVE_FIRST) != 0 ? kDetectWaitFirst : kDetectInsert);
    } else {
        show(dialog, Kind::Token, kDetectRemove);
    }
    startCountdown(dialog, s.timeout);
}

void tokenChange(Window dialog, WParam wParam, LParam lParam) {
    QxDetectState& s = detectState();
    int tokens = s.tokenCount;
    int cards = s.cardCount;
    bool inserted = false;
    if (takeReaderEvent(wParam, lParam, inserted)) {
        cards = seenCards();
    } else {
        const auto event = devices::deviceEventOf(lParam);
        UI_LOG("WM_DEVICECHANGE %s", wParam == devices::kDbtDeviceArrival ? "DBT_DEVICEARRIVAL"
                                     : wParam == devices::kDbtDeviceRemoveComplete
                                         ? "DBT_DEVICEREMOVECOMPLETE"
                                         : "other");
        if (!event || event->deviceType != devices::kDbtDevtypDeviceInterface) {
            return;
        }
        UI_LOG("%s %s", devices::guidText(event->interfaceClass).c_str(), event->name.c_str());
        // Counted by the notices, in order, so a quick pull and replug of a
        // token is not lost to a count taken after both.
        if (const QxDetectTokenRow* row = matchingRow(event->interfaceClass, event->name)) {
            if (event->event == devices::kDbtDeviceArrival) {
                ++tokens;
                s.foundProvider = fieldOf(row->szProvider, sizeof row->szProvider);
            } else if (event->event == devices::kDbtDeviceRemoveComplete) {
                tokens = std::max(0, tokens - 1);
            }
        }
    }
    const int before = s.tokenCount + s.cardCount;
    const int total = tokens + cards;
    s.tokenCount = tokens;
    s.cardCount = cards;
    if (total > 0 && before == 0) {
        if (s.state == kDetectWaitFirst) {
            show(dialog, Kind::Token, kDetectRemove);
        } else if (s.state == kDetectInsert) {
            endWith(dialog, kCtlOk);
        }
    } else if (total == 0 && s.state == kDetectRemove) {
        show(dialog, Kind::Token, kDetectInsert);
    }
}

LResult tokenDialog(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    QxDetectState& s = detectState();
    switch (message) {
    case kWmInitDialog:
        startTokenDialog(dialog);
        return 1;
    case kWmDeviceChange:
        tokenChange(dialog, wParam, lParam);
        return 1;
    case kWmDestroy:
        unregisterNotifications();
        StopReaderMonitors();
        s.dialog = 0;
        return 1;
    default:
        return replugMessage(dialog, message, wParam, lParam, [&s] {
            return (s.cardCount > 0 && SCardServiceDetect() == kCtlReplugNeeded) ||
                   (s.tokenCount >= 1 && IsTokenDeviceDisabled() == 1);
        });
    }
}

// ---- The pause ---------------------------------------------------------------------------

LResult waitDialog(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    QxDetectState& s = detectState();
    switch (message) {
    case kWmInitDialog:
        UI_CenterWindow(dialog);
        s.message = UI_LoadText(kPauseText);
        s.picture = kDetectBitmapInsert;
        startCountdown(dialog, s.pause);
        return 1;
    case kWmTimer:
        if (wParam != kCountdownTimer) {
            return 0;
        }
        killTimer(dialog, kCountdownTimer);
        if (--s.secondsLeft > 0) {
            setTimer(dialog, kCountdownTimer, kTickMs);
            invalidateRect(dialog, true);
        } else {
            endDialog(dialog, kCtlOk);
        }
        return 1;
    case kWmCommand:
        if (lowWord(wParam) == kIdCancel) {
            killTimer(dialog, kCountdownTimer);
            endDialog(dialog, kCtlCancelled);
        }
        return 1;
    default:
        return drawMessage(dialog, message, lParam);
    }
}

// ---- The request -------------------------------------------------------------------------

std::uint32_t dialogOfLanguage(int language) {
    switch (language) {
    case kUiLanguageBig5:
        return kDetectDialogBig5;
    case kUiLanguageGb:
        return kDetectDialogGb;
    case kUiLanguageJp:
        return kDetectDialogJp;
    default:
        return kDetectDialogEnglish;
    }
}

void clearRequest() {
    QxDetectState& s = detectState();
    StopReaderMonitors();
    s.readers.clear();
    s.seen.fill(0);
    for (auto& flag : s.present) {
        flag = 0;
    }
    s.state = kDetectWaitFirst;
    s.message.clear();
    s.picture = kDetectBitmapInsert;
    s.secondsLeft = 0;
    s.deviceFilter.clear();
    s.providerFilter.clear();
    s.foundProvider.clear();
    s.tokenCount = 0;
    s.cardCount = 0;
}

int runRequest(const char* provider, const char* reader, int timeArgument, int iFlags) {
    QxDetectState& s = detectState();
    LResult result = kCtlOk;
    std::uint32_t templateId = 0;
    for (;;) {
        UI_FixResourceModule();
        QxDetect_RegisterResources();
        if (UI_GetLanguage() == kUiLanguageNone) {
            UI_SetLanguage("default");
        }
        s.language = UI_GetLanguage();
        templateId = dialogOfLanguage(s.language);
        if ((iFlags & QX_DETECT_FLAG_ADVANCED_READER) != 0) {
            s.advancedReader = true;
        }
        clearRequest();
        s.timeout = timeArgument & 0xFF;
        s.pause = (timeArgument >> 8) & 0xFF;
        s.replugMode = iFlags & QX_DETECT_REPLUG_MASK;
        const bool haveReader = reader != nullptr && reader[0] != '\0';
        if (haveReader) {
            for (const auto& row : g_QxDetectTokenTable) {
                const std::string_view device = fieldOf(row.szDeviceName, sizeof row.szDeviceName);
                if (!device.empty() && std::string_view(reader).find(device) != std::string::npos) {
                    s.tokenReader = true;
                }
            }
        }
        DialogProc proc;
        if (haveReader && !s.tokenReader) {
            s.readers.push_back(reader);
            proc = QxXDetectCardRemoveAndInsertDlg;
        } else {
            s.deviceFilter = reader != nullptr ? reader : "";
            s.providerFilter = provider != nullptr ? provider : "";
            proc = QxXDetectDeviceRemoveAndInsertDlg;
        }
        result = dialogBox(templateId, getFocus(), proc);
        StopReaderMonitors();
        UI_LOG("DialogBox %u rtn = %ld", templateId, static_cast<long>(result));
        if (result != -1) {
            break;
        }
        if (s.language == kUiLanguageEnglish) {
            return -1;
        }
        // No dialog in this language: English from now on, for the PIN
        // dialogs too.
        UI_SetLanguage("english");
    }
    if ((iFlags & QX_DETECT_FLAG_CONFIRM) != 0 && result == kCtlOk) {
        const bool haveReader = reader != nullptr && reader[0] != '\0';
        std::u16string text = UI_LoadText(kConfirmPrefix);
        if (haveReader) {
            text.append(platform::utf8ToUtf16(reader)); // pcsc-lite names are UTF-8
        } else {
            text = UI_LoadText(kConfirmText);
        }
        messageBox(getFocus(), text, u"", kMbOk | kMbTopMost);
    } else if (result != kCtlOk) {
        return static_cast<int>(result);
    }
    if (s.pause > 0) {
        result = dialogBox(templateId, getFocus(), QxXDetectWaitDlg);
    }
    return static_cast<int>(result);
}

// The socket pcscd listens on, as the PC/SC library finds it.
std::string pcscdSocket() {
    const char* named = std::getenv("PCSCLITE_CSOCK_NAME");
    return named != nullptr && named[0] != '\0' ? named : "/run/pcscd/pcscd.comm";
}

bool socketRefusesUs(const std::string& path) {
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const bool refused =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno == EACCES;
    ::close(fd);
    return refused;
}

// Starts pcscd (it leaves a daemon behind and ends); its exit status, or -1.
int startPcscd(const std::string& program) {
    char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            // Running in the foreground: it is the service now.
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

// ---- The module's state ---------------------------------------------------------------------

QxDetectState& detectState() {
    static QxDetectState state;
    return state;
}

void QxDetect_ResetForTest() {
    QxDetectState& s = detectState();
    clearRequest();
    unregisterNotifications();
    s.module = nullptr;
    s.language = kUiLanguageNone;
    s.dialog = 0;
    s.timeout = 0;
    s.pause = 0;
    s.replugMode = 0;
    s.tokenReader = false;
    s.advancedReader = false;
}

void DetectSetInstance(UiModule module) {
    detectState().module = module;
    UI_SetInstance(module);
}

bool QxDetect_IsVirtualReader(std::string_view reader) {
    return std::any_of(std::begin(kVirtualReaders), std::end(kVirtualReaders),
                       [&](const char* name) { return reader.find(name) != std::string::npos; });
}

int QxCrypto_DetectRemoveAndInsert(const char* provider, const char* reader, int timeArgument,
                                   int iFlags) {
    return controlBarrier("QxCrypto_DetectRemoveAndInsert", static_cast<int>(kCtlFailed), [&] {
        UI_LOG("reader '%s' time %d flags %X", reader != nullptr ? reader : "", timeArgument,
               static_cast<unsigned>(iFlags));
        const int result = runRequest(provider, reader, timeArgument, iFlags);
        UI_LOG("rtn = %d", result);
        return result;
    });
}

// ---- The watchers --------------------------------------------------------------------------

namespace {

void firstAnswerGiven() {
    QxDetectState& s = detectState();
    std::lock_guard lock(s.firstMutex);
    ++s.firstAnswers;
    s.firstAnswer.notify_all();
}

void postChange(std::size_t index, bool present) {
    if (const Window dialog = detectState().dialog.load()) {
        postMessage(dialog, kWmDeviceChange, kDetectReaderEvent,
                    static_cast<LParam>((index << 1) | (present ? 1 : 0)));
    }
}

void startWatcher(std::size_t index) {
    QxDetectState& s = detectState();
    s.present[index] = 0;
    s.watchers[index].start([index](ReaderWatchThread& self) { return DetectCard(self, index); });
}

} // namespace

int DetectCard(ReaderWatchThread& self, std::size_t index) {
    QxDetectState& s = detectState();
    pcsc::Context context;
    const pcsc::Result established = pcsc::Context::establish(pcsc::kScopeUser, context);
    if (established != pcsc::kSuccess) {
        UI_LOG("SCardEstablishContext fail: %X", established);
        firstAnswerGiven();
        return kCtlContextFailed;
    }
    if (!self.attach(context.get())) {
        firstAnswerGiven();
        return static_cast<int>(pcsc::kCancelled);
    }
    struct Detach {
        ReaderWatchThread& self;
        ~Detach() { self.detach(); }
    } detach{self};

    pcsc::ReaderState state;
    state.reader = s.readers[index];
    state.currentState = pcsc::kReaderStateUnaware;
    pcsc::Result result = pcsc::SCardGetStatusChangeA(context.get(), pcsc::kInfinite, &state, 1);
    if (result != pcsc::kSuccess) {
        UI_LOG("SCardGetStatusChange '%s' fail: %X", state.reader.c_str(), result);
        firstAnswerGiven();
        return kCtlStatusChangeFailed;
    }
    const auto holdsCard = [](std::uint32_t event) {
        return (event & pcsc::kReaderStatePresent) != 0 && (event & pcsc::kReaderStateMute) == 0;
    };
    s.present[index] = holdsCard(state.eventState) ? 1 : 0;
    firstAnswerGiven();
    for (;;) {
        const std::uint32_t previous = state.eventState;
        state.currentState = previous;
        result = pcsc::SCardGetStatusChangeA(context.get(), pcsc::kInfinite, &state, 1);
        if (result != pcsc::kSuccess) {
            UI_LOG("SCardGetStatusChange '%s' end: %X", state.reader.c_str(), result);
            return static_cast<int>(result);
        }
        const std::uint32_t now = state.eventState;
        if ((now & pcsc::kReaderStateChanged) == 0) {
            continue;
        }
        const unsigned events = ((now >> 16) - (previous >> 16)) & 0xFFFFu;
        if ((now & pcsc::kReaderStateEmpty) != 0) {
            if (s.present[index].exchange(0) == 1) {
                postChange(index, false);
            }
        } else if (holdsCard(now)) {
            // Taken out and put back between two answers: both are told.
            if (events >= 2 && s.present[index].exchange(0) == 1) {
                postChange(index, false);
            }
            if (s.present[index].exchange(1) == 0) {
                postChange(index, true);
            }
        } else {
            UI_LOG("reader '%s' state %X", state.reader.c_str(), now);
        }
    }
}

void StartReaderMonitors() {
    QxDetectState& s = detectState();
    StopReaderMonitors();
    {
        std::lock_guard lock(s.firstMutex);
        s.firstAnswers = 0;
        s.started = 0;
    }
    if (!(s.readers.size() == 1 && !s.readers.front().empty())) {
        s.readers.clear();
        QxSCMemory list;
        std::uint32_t length = 0;
        if (QxSCListReaders(nullptr, list, length) == kCtlOk) {
            for (const char* name = list.get(); name < list.get() + length && *name != '\0';
                 name += std::strlen(name) + 1) {
                if (QxDetect_IsVirtualReader(name)) {
                    UI_LOG("skip virtual reader '%s'", name);
                    continue;
                }
                if (s.readers.size() < kDetectMaxReaders) {
                    s.readers.emplace_back(name);
                }
            }
        }
    }
    {
        std::lock_guard lock(s.firstMutex);
        s.started = s.readers.size();
    }
    for (std::size_t i = 0; i < s.readers.size(); ++i) {
        startWatcher(i);
    }
}

void StopReaderMonitors() {
    QxDetectState& s = detectState();
    for (auto& watcher : s.watchers) {
        if (const auto result = watcher.stop()) {
            UI_LOG("DetectCard rtn = %X", static_cast<unsigned>(*result));
        }
    }
}

int CheckCard() {
    QxDetectState& s = detectState();
    {
        std::unique_lock lock(s.firstMutex);
        s.firstAnswer.wait_for(lock, kFirstAnswerLimit,
                               [&] { return s.firstAnswers >= s.started; });
    }
    QxSCMemory list;
    std::uint32_t length = 0;
    std::vector<std::string> listed;
    if (QxSCListReaders(nullptr, list, length) == kCtlOk) {
        for (const char* name = list.get(); name < list.get() + length && *name != '\0';
             name += std::strlen(name) + 1) {
            if (!QxDetect_IsVirtualReader(name)) {
                listed.emplace_back(name);
            }
        }
    }
    int cards = 0;
    for (std::size_t i = 0; i < s.readers.size(); ++i) {
        if (std::find(listed.begin(), listed.end(), s.readers[i]) == listed.end()) {
            s.present[i] = 0;
        } else if (s.present[i] == 1) {
            ++cards;
        }
    }
    return cards;
}

// ---- Tokens -----------------------------------------------------------------------------

int DetectToken() {
    QxDetectState& s = detectState();
    int count = 0;
    for (const auto& row : g_QxDetectTokenTable) {
        const std::string_view fragment = fieldOf(row.szHardwareId, sizeof row.szHardwareId);
        if (!rowPasses(row, false) || fragment.empty()) {
            continue;
        }
        for (const auto& path : devices::presentInterfaces(row.guidInterface)) {
            if (containsNoCase(path, fragment)) {
                ++count;
                s.foundProvider = fieldOf(row.szProvider, sizeof row.szProvider);
            }
        }
    }
    return count;
}

int IsTokenDeviceDisabled() {
    for (const auto& row : g_QxDetectTokenTable) {
        const std::string_view fragment = fieldOf(row.szHardwareId, sizeof row.szHardwareId);
        const std::string_view enumerator = fieldOf(row.szEnumerator, sizeof row.szEnumerator);
        if (!rowPasses(row, true) || fragment.empty() || enumerator.empty()) {
            continue;
        }
        const std::string bus =
            std::string(devices::kHardwareProfileEnumKey) + "\\" + std::string(enumerator);
        for (const auto& device : platform::registrySubKeys(HKEY_LOCAL_MACHINE, bus)) {
            std::string lower = device;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (lower.find(fragment) == std::string::npos) {
                continue;
            }
            const std::string deviceKey = bus + "\\" + device;
            for (const auto& instance : platform::registrySubKeys(HKEY_LOCAL_MACHINE, deviceKey)) {
                const auto flags = platform::registryNumber(
                    HKEY_LOCAL_MACHINE, deviceKey + "\\" + instance, devices::kConfigFlagsValue);
                if (flags && (*flags & devices::kConfigFlagDisabled) != 0) {
                    UI_LOG("token device %s disabled", device.c_str());
                    return 1;
                }
            }
        }
    }
    return 0;
}

// ---- The smart-card service --------------------------------------------------------------

int SCardServiceDetect() {
    return controlBarrier("SCardServiceDetect", static_cast<int>(kCtlServiceUnavailable), [] {
        pcsc::Context context;
        if (pcsc::Context::establish(pcsc::kScopeUser, context) == pcsc::kSuccess) {
            return static_cast<int>(kCtlOk);
        }
        if (socketRefusesUs(pcscdSocket())) {
            UI_LOG("QueryServiceStatus failed (%d)", EACCES);
            return static_cast<int>(kCtlServiceAccessDenied);
        }
        const char* named = std::getenv("CORVANTIX_PCSCD");
        const std::string program =
            named != nullptr && named[0] != '\0' ? named : "/usr/sbin/pcscd";
        if (::access(program.c_str(), X_OK) != 0) {
            UI_LOG("OpenService %s failed (%d)", program.c_str(), errno);
            return static_cast<int>(kCtlServiceUnavailable);
        }
        // pcscd makes its socket folder below /run: only root may start it.
        if (::geteuid() != 0) {
            UI_LOG("StartService failed (%d)", EACCES);
            return static_cast<int>(kCtlReplugNeeded);
        }
        const int status = startPcscd(program);
        if (status == 0) {
            UI_LOG("Service start pending...");
        } else {
            UI_LOG("StartService failed (%d)", status);
        }
        return static_cast<int>(kCtlReplugNeeded);
    });
}

// ---- Painting ------------------------------------------------------------------------------

void DetectDlgPaint(Window dialog) {
    const QxDetectState& s = detectState();
    auto paint = beginPaint(dialog);
    const auto client = getClientRect(dialog);
    if (!client) {
        return;
    }
    DrawContext& dc = paint.dc();
    dc.drawBitmap(s.picture, *client);
    const int width = client->width();
    const int height = client->height();
    Font font;
    font.face = s.language == kUiLanguageGb || s.language == kUiLanguageJp ? u"FixedSys" : u"Arial";
    font.height = width > 450 && height >= 101 ? 18 : 16;
    font.weight = kFontWeightBold;
    font.charset = kDefaultCharset;
    dc.setFont(font);
    dc.setBackgroundMode(BackgroundMode::Transparent);
    dc.setTextColour(rgb(0, 0, 0));
    dc.drawText(s.message, {width * 40 / 100, height * 30 / 100, width, height * 60 / 100},
                kDtWordBreak);
    if (s.secondsLeft > 0) {
        const std::string seconds = std::to_string(s.secondsLeft);
        dc.drawText(std::u16string(seconds.begin(), seconds.end()),
                    {width * 65 / 100, height * 50 / 100, width, height * 65 / 100}, kDtLeft);
    }
}

void DetectDlgDrawButton(const DrawItem& item) {
    std::uint32_t face = kDetectButtonEnglish;
    switch (detectState().language) {
    case kUiLanguageBig5:
        face = kDetectButtonBig5;
        break;
    case kUiLanguageGb:
        face = kDetectButtonGb;
        break;
    case kUiLanguageJp:
        face = kDetectButtonJp;
        break;
    default:
        break;
    }
    if (item.dc != nullptr) {
        item.dc->drawBitmap(face, item.rect);
    }
}

// ---- The dialog procedures --------------------------------------------------------------------

LResult QxXDetectCardRemoveAndInsertDlg(Window dialog, std::uint32_t message, WParam wParam,
                                        LParam lParam) {
    return controlBarrier("QxXDetectCardRemoveAndInsertDlg", LResult{0},
                          [&] { return cardDialog(dialog, message, wParam, lParam); });
}

LResult QxXDetectDeviceRemoveAndInsertDlg(Window dialog, std::uint32_t message, WParam wParam,
                                          LParam lParam) {
    return controlBarrier("QxXDetectDeviceRemoveAndInsertDlg", LResult{0},
                          [&] { return tokenDialog(dialog, message, wParam, lParam); });
}

LResult QxXDetectWaitDlg(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    return controlBarrier("QxXDetectWaitDlg", LResult{0},
                          [&] { return waitDialog(dialog, message, wParam, lParam); });
}
