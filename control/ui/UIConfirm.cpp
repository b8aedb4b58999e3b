// The confirmation dialogs, the card watcher and the keypad-reader prompt.

#include "control/ui/UIConfirm.h"

#include "control/ControlThreads.h"

#include "control/ControlBarrier.h"
#include "control/card/QxSCUtil.h"
#include "control/ui/UIDetail.h"
#include "platform/ui/Drawing.h"
#include "platform/windowlist/WindowList.h"

#include <cstdio>
#include <string>
#include <thread>

using namespace platform::ui;
namespace pcsc = platform::pcsc;

UiFixedText<1024> g_szReaderPrompt;
UiFixedText<128> g_szOutAccount;
UiFixedText<128> g_szInAccount;
UiFixedText<512> g_szPayType;
UiFixedText<32> g_szAmount;
UiFixedText<8192> g_szTACInfo;
UiFixedText<256> g_szUserBrowser;
std::atomic<Window> g_hBrowserWnd{0};
std::atomic<int> bPresent{0};
std::atomic<int> bEmpty{0};
std::atomic<int> isFinish{0};
int g_iCountDown = kUiConfirmSeconds;

namespace {

constexpr std::uintptr_t kCountdownTimer = 0;
constexpr std::uint32_t kTickMs = 1000;
constexpr Colour kRed = rgb(255, 0, 0);
constexpr Colour kBlue = rgb(0, 0, 255);
constexpr Colour kBlack = rgb(0, 0, 0);
// Posted by UI_FinishReaderPrompt, so the prompt ends at once rather than on
// its next tick.
constexpr std::uint32_t kWmPromptCheck = kWmApp + 0x206;

enum class Confirm { Transfer, Pay, TacInfo };

// The watcher of the open confirmation dialog. A static: should the library
// go with a watcher still running, it is stopped and joined then.
ReaderWatchThread& cardWatcher() {
    static ReaderWatchThread watcher;
    return watcher;
}

// The prompt of 206 on its thread.
struct PromptThread {
    std::thread thread;
    std::atomic<LResult> result{0};
    std::atomic<Window> dialog{0};
    ~PromptThread() {
        if (thread.joinable()) {
            isFinish = 1;
            if (const Window open = dialog.load()) {
                postMessage(open, kWmPromptCheck);
            }
            thread.join();
        }
    }
};

PromptThread& promptThread() {
    // The dialog layer is used first, so that it outlives this static.
    static_cast<void>(modalWaitCeiling());
    static PromptThread prompt;
    return prompt;
}

std::u16string countdownNumber(int seconds) {
    char text[16];
    std::snprintf(text, sizeof text, "%2d", seconds);
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

// The keypad-reader prompt's countdown, with the seconds where it says "%2d".
std::u16string promptCountdown(int seconds) {
    std::u16string text = u"您需要在%2d秒的時間內完成交易確認，否則交易將取消。";
    text.replace(text.find(u"%2d"), 3, countdownNumber(seconds));
    return text;
}

// Everything a dialog of this module needs before it runs: the resource
// module and the resources. Their texts are the same in every language.
void prepare() {
    UI_FixResourceModule();
    UI_RegisterConfirmResources();
}

// Transparent on the 3D-face colour, in the colour given.
Brush faceColour(WParam wParam, Colour text) {
    DrawContext* dc = drawContextOf(wParam);
    dc->setTextColour(text);
    dc->setBackgroundMode(BackgroundMode::Transparent);
    return systemColourBrush(kColor3dFace);
}

void wipeConfirmTexts() {
    g_szReaderPrompt.wipe();
    g_szOutAccount.wipe();
    g_szInAccount.wipe();
    g_szPayType.wipe();
    g_szAmount.wipe();
}

// ---- 204, 205 and 207 --------------------------------------------------------------

void startConfirm(Confirm kind, Window dialog, LParam reader) {
    UI_CenterWindow(dialog);
    // 207 keeps its template's caption.
    if (kind == Confirm::TacInfo) {
        setDlgItemText(dialog, kUiTacMessage, g_szTACInfo.view());
    } else {
        setWindowText(dialog, g_szReaderPrompt.view());
        setDlgItemText(dialog, kUiConfirmFromAccount, g_szOutAccount.view());
        setDlgItemText(dialog, kUiConfirmAmount, g_szAmount.view());
        if (kind == Confirm::Transfer) {
            setDlgItemText(dialog, kUiConfirmToAccount, g_szInAccount.view());
        } else {
            setDlgItemText(dialog, kUiConfirmPayKind, g_szPayType.view());
            // Shown; nothing keeps them longer than that.
            wipeConfirmTexts();
        }
    }
    g_iCountDown = kUiConfirmSeconds;
    SetCardStateFlags(0, 0);
    setTimer(dialog, kCountdownTimer, kTickMs);
    setDlgItemText(dialog, kUiConfirmCountdown, countdownNumber(g_iCountDown));
    enableWindow(getDlgItem(dialog, kIdOk), false);
    UI_StartCardWatcher(reader != 0 ? *reinterpret_cast<const std::string*>(reader)
                                    : std::string());
}

void confirmTick(Confirm kind, Window dialog) {
    killTimer(dialog, kCountdownTimer);
    if (kind == Confirm::Transfer) {
        UI_CenterWindow(dialog);
    }
    const bool replugged = kind == Confirm::TacInfo
                               ? GetCardStateFlag("bPresent") && GetCardStateFlag("bEmpty")
                               : bPresent == 1 && bEmpty == 1;
    if (replugged) {
        enableWindow(getDlgItem(dialog, kIdOk), true);
    }
    if (--g_iCountDown > 0) {
        setDlgItemText(dialog, kUiConfirmCountdown, countdownNumber(g_iCountDown));
        if (kind == Confirm::TacInfo) {
            invalidateRect(getDlgItem(dialog, kUiConfirmCountdown), false);
        }
        setTimer(dialog, kCountdownTimer, kTickMs);
        return;
    }
    UI_StopCardWatcher();
    endDialog(dialog, kCtlTimedOut);
}

LResult confirmColour(Confirm kind, WParam wParam, LParam lParam) {
    const int id = getDlgCtrlId(static_cast<Window>(lParam));
    const bool red =
        id == kUiConfirmCountdown || (kind != Confirm::TacInfo && id == kUiConfirmInstruction);
    return faceColour(wParam, red ? kRed : kBlack);
}

LResult confirmDialog(Confirm kind, Window dialog, std::uint32_t message, WParam wParam,
                      LParam lParam) {
    switch (message) {
    case kWmInitDialog:
        startConfirm(kind, dialog, lParam);
        return 1;
    case kWmTimer:
        if (wParam != kCountdownTimer) {
            return 0;
        }
        confirmTick(kind, dialog);
        return 1;
    case kWmCommand:
        switch (lowWord(wParam)) {
        case kIdOk:
            // Enter reaches a disabled default button's command too.
            if (!isWindowEnabled(getDlgItem(dialog, kIdOk))) {
                return 1;
            }
            killTimer(dialog, kCountdownTimer);
            UI_StopCardWatcher();
            endDialog(dialog, kCtlOk);
            return 1;
        case kIdCancel:
            killTimer(dialog, kCountdownTimer);
            UI_StopCardWatcher();
            endDialog(dialog, kCtlCancelled);
            return 1;
        default:
            return 0;
        }
    case kWmPaint:
        PaintDlgBackground(dialog, kind == Confirm::TacInfo ? kUiBitmapTacInfo : kUiBitmapConfirm);
        return 1;
    case kWmCtlColorStatic:
        return confirmColour(kind, wParam, lParam);
    case kWmDestroy:
        // However the dialog ended (the layer's ceiling included), its
        // watcher does not outlive it.
        UI_StopCardWatcher();
        if (kind == Confirm::TacInfo) {
            g_szTACInfo.wipe();
        } else {
            wipeConfirmTexts();
        }
        return 1;
    default:
        return 0;
    }
}

// ---- 206 and 229 ------------------------------------------------------------------

void setPromptCountdown(Window dialog) {
    setDlgItemText(dialog, kUiPromptCountdown, promptCountdown(g_iCountDown));
}

LResult readerPrompt(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    switch (message) {
    case kWmInitDialog:
        UI_CenterWindow(dialog);
        setWindowText(dialog, g_szReaderPrompt.view());
        g_iCountDown = kUiConfirmSeconds;
        setPromptCountdown(dialog);
        promptThread().dialog = dialog;
        setTimer(dialog, kCountdownTimer, kTickMs);
        // The method may have finished before the dialog came up.
        if (isFinish == 1) {
            postMessage(dialog, kWmPromptCheck);
        }
        return 1;
    case kWmPromptCheck:
        if (isFinish == 1) {
            killTimer(dialog, kCountdownTimer);
            endDialog(dialog, kCtlOk);
        }
        return 1;
    case kWmTimer:
        if (wParam != kCountdownTimer) {
            return 0;
        }
        killTimer(dialog, kCountdownTimer);
        if (isFinish == 1) {
            endDialog(dialog, kCtlOk);
            return 1;
        }
        if (--g_iCountDown >= 1) {
            setTimer(dialog, kCountdownTimer, kTickMs);
            setPromptCountdown(dialog);
            return 1;
        }
        endDialog(dialog, kCtlTimedOut);
        return 1;
    case kWmCommand:
    case kWmClose:
        // The user cannot end it: the method does, or its time.
        return 1;
    case kWmPaint:
        PaintDlgBackground(dialog, kUiBitmapReaderPrompt);
        return 1;
    case kWmCtlColorStatic: {
        const int id = getDlgCtrlId(static_cast<Window>(lParam));
        const bool blue = id == kUiPromptReaderName || id == kUiPromptGroup;
        const bool red = id >= 509 && id <= 516;
        return faceColour(wParam, blue ? kBlue : red ? kRed : kBlack);
    }
    case kWmDestroy:
        promptThread().dialog = 0;
        g_szReaderPrompt.wipe();
        return 1;
    default:
        return 0;
    }
}

LResult readerInstruction(Window dialog, std::uint32_t message, WParam wParam, LParam) {
    switch (message) {
    case kWmInitDialog:
        UI_CenterWindow(dialog);
        setWindowText(dialog, g_szReaderPrompt.view());
        return 1;
    case kWmCommand:
        if (lowWord(wParam) == kIdOk) {
            endDialog(dialog, kCtlOk);
        }
        return 1;
    case kWmClose:
        return 1;
    case kWmPaint:
        PaintDlgBackground(dialog, kUiBitmapReaderPrompt);
        return 1;
    case kWmDestroy:
        g_szReaderPrompt.wipe();
        return 1;
    default:
        return 0;
    }
}

ControlErrorCode runDialog(const char* name, std::uint32_t templateId, DialogProc proc,
                           std::string_view reader = {}) {
    return controlBarrier(name, kCtlFailed, [&] {
        prepare();
        const std::string watched(reader);
        const LResult result =
            UI_DialogBox(templateId, std::move(proc), reinterpret_cast<LParam>(&watched));
        UI_StopCardWatcher();
        UI_LOG("%s rtn = %ld", name, static_cast<long>(result));
        return static_cast<ControlErrorCode>(result);
    });
}

} // namespace

// ---- The watcher ------------------------------------------------------------------

int WatchCardState(ReaderWatchThread& self, const std::string& reader) {
    pcsc::Context context;
    const pcsc::Result established = pcsc::Context::establish(pcsc::kScopeUser, context);
    if (established != pcsc::kSuccess) {
        UI_LOG("SCardEstablishContext fail: %X", established);
        return kCtlContextFailed;
    }
    if (!self.attach(context.get())) {
        return static_cast<int>(pcsc::kCancelled);
    }
    // Detached before the context is released.
    struct Detach {
        ReaderWatchThread& self;
        ~Detach() { self.detach(); }
    } detach{self};

    pcsc::ReaderState state;
    state.reader = reader;
    state.currentState = pcsc::kReaderStateUnaware;
    pcsc::Result result = pcsc::SCardGetStatusChangeA(context.get(), pcsc::kInfinite, &state, 1);
    if (result != pcsc::kSuccess) {
        UI_LOG("SCardGetStatusChange fail: %X", result);
        return kCtlStatusChangeFailed;
    }
    // The first answer says "changed" against the unaware start, not for a
    // change of the card: a card left in the reader is no insertion. A
    // reader that is empty at the start counts as the card taken out.
    if ((state.eventState & pcsc::kReaderStateEmpty) != 0) {
        bEmpty = 1;
    }
    for (;;) {
        const std::uint32_t previous = state.eventState;
        state.currentState = previous;
        result = pcsc::SCardGetStatusChangeA(context.get(), pcsc::kInfinite, &state, 1);
        if (result != pcsc::kSuccess) {
            UI_LOG("SCardGetStatusChange end: %X", result);
            return static_cast<int>(result);
        }
        const std::uint32_t now = state.eventState;
        if ((now & pcsc::kReaderStateChanged) == 0) {
            continue;
        }
        // Unknown, mute or unavailable states are no card in the reader.
        const bool present =
            (now & pcsc::kReaderStatePresent) != 0 && (now & pcsc::kReaderStateMute) == 0;
        // The upper half counts the reader's card events: a card taken out
        // and put back between two answers shows as two of them.
        const unsigned events = ((now >> 16) - (previous >> 16)) & 0xFFFFu;
        if ((now & pcsc::kReaderStateEmpty) != 0 || (present && events >= 2)) {
            bEmpty = 1;
        }
        if (present && bEmpty == 1) {
            bPresent = 1;
        }
    }
}

void UI_StartCardWatcher(std::string reader) {
    cardWatcher().start([reader = std::move(reader)](ReaderWatchThread& self) {
        return WatchCardState(self, reader);
    });
}

void UI_StopCardWatcher() {
    if (const auto result = cardWatcher().stop()) {
        UI_LOG("WatchCardState rtn = %X", static_cast<unsigned>(*result));
    }
}

void SetCardStateFlags(int present, int empty) {
    bPresent = present;
    bEmpty = empty;
}

bool GetCardStateFlag(const char* name) {
    if (name == nullptr) {
        return false;
    }
    const std::string_view which(name);
    if (which == "bPresent") {
        return bPresent != 0;
    }
    if (which == "bEmpty") {
        return bEmpty != 0;
    }
    return false;
}

// ---- The keypad-reader prompt -------------------------------------------------------------

bool enumEdgeWindow(Window window, LParam) {
    const auto listed = platform::findTopLevelWindow(window);
    return !(listed && listed->title.find("Microsoft Edge") != std::string::npos);
}

LResult FindBrowserWindow() {
    return controlBarrier("FindBrowserWindow", LResult{kCtlFailed}, [] {
        const std::u16string_view browser = g_szUserBrowser.view();
        Window owner = 0;
        if (browser == u"Chrome") {
            owner = platform::findWindowByClass("Chrome_WidgetWin_1");
            if (owner == 0) {
                owner = platform::findWindowByClass("Chrome_RenderWidgetHostHWND");
            }
        } else if (browser == u"FireFox") {
            owner = platform::findWindowByClass("MozillaWindowClass");
            if (owner == 0) {
                owner = platform::findWindowByClass("MozillaUIWindowClass");
            }
        } else if (browser == u"Edge") {
            for (const auto& window : platform::enumTopLevelWindows()) {
                if (!enumEdgeWindow(window.handle, 0)) {
                    owner = window.handle;
                    break;
                }
            }
        } else {
            owner = platform::desktopWindow();
        }
        g_hBrowserWnd = owner;
        UI_LOG("browser window %llx", static_cast<unsigned long long>(owner));
        const LResult result = dialogBox(kUiReaderPromptDialog, owner, ReaderPromptDlgProc);
        if (result == -1) {
            UI_LOG("DialogBox %u fail: %u", kUiReaderPromptDialog, lastError());
            return LResult{kCtlFailed};
        }
        return result;
    });
}

void UI_StartReaderPrompt() {
    PromptThread& prompt = promptThread();
    if (prompt.thread.joinable()) {
        UI_FinishReaderPrompt();
    }
    // The resources are set here, on the method's thread.
    prepare();
    isFinish = 0;
    prompt.result = 0;
    prompt.thread = std::thread(
        [&prompt, count = tavelo::ControlThreadCount()] { prompt.result = FindBrowserWindow(); });
}

LResult UI_FinishReaderPrompt() {
    PromptThread& prompt = promptThread();
    isFinish = 1;
    if (!prompt.thread.joinable()) {
        return kCtlOk;
    }
    if (const Window open = prompt.dialog.load()) {
        postMessage(open, kWmPromptCheck);
    }
    prompt.thread.join();
    return prompt.result;
}

// ---- Running the dialogs ----------------------------------------------------------------

ControlErrorCode UI_TransferConfirmDlg(std::string_view reader) {
    return runDialog("TransferConfirmDlgProc", kUiTransferConfirmDialog, TransferConfirmDlgProc,
                     reader);
}

ControlErrorCode UI_PayConfirmDlg(std::string_view reader) {
    return runDialog("PayConfirmDlgProc", kUiPayConfirmDialog, PayConfirmDlgProc, reader);
}

ControlErrorCode UI_GenerateTACINFODlg(std::string_view reader) {
    return runDialog("UI_GenerateTACINFOCallBack", kUiTacInfoDialog, UI_GenerateTACINFOCallBack,
                     reader);
}

ControlErrorCode UI_ReaderInstructionDlg() {
    return runDialog("ReaderInstructionDlgProc", kUiReaderInstructionDialog,
                     ReaderInstructionDlgProc);
}

LResult TransferConfirmDlgProc(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    return controlBarrier("TransferConfirmDlgProc", LResult{0}, [&] {
        return confirmDialog(Confirm::Transfer, dialog, message, wParam, lParam);
    });
}

LResult PayConfirmDlgProc(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    return controlBarrier("PayConfirmDlgProc", LResult{0}, [&] {
        return confirmDialog(Confirm::Pay, dialog, message, wParam, lParam);
    });
}

LResult UI_GenerateTACINFOCallBack(Window dialog, std::uint32_t message, WParam wParam,
                                   LParam lParam) {
    return controlBarrier("UI_GenerateTACINFOCallBack", LResult{0}, [&] {
        return confirmDialog(Confirm::TacInfo, dialog, message, wParam, lParam);
    });
}

LResult ReaderPromptDlgProc(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    return controlBarrier("ReaderPromptDlgProc", LResult{0},
                          [&] { return readerPrompt(dialog, message, wParam, lParam); });
}

LResult ReaderInstructionDlgProc(Window dialog, std::uint32_t message, WParam wParam,
                                 LParam lParam) {
    return controlBarrier("ReaderInstructionDlgProc", LResult{0},
                          [&] { return readerInstruction(dialog, message, wParam, lParam); });
}

void PaintDlgBackground(Window dialog, std::uint32_t bitmap) {
    auto paint = beginPaint(dialog);
    if (const auto client = getClientRect(dialog)) {
        paint.dc().drawBitmap(bitmap, *client);
    }
}
