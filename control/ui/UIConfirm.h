#pragma once

// The control's confirmation dialogs and its card watcher. Before the card
// authorises a transaction the user confirms it: the transfer (204) and
// payment (205) confirmations and the transaction information (207) accept
// OK only once the card has been pulled out of the reader and put back,
// which a watcher thread sees through PC/SC. A reader with its own keypad
// gets a prompt over the browser (206), on a thread of its own while the
// method works with the reader, and an instruction with OK (229). Every
// dialog but the instruction counts 60 seconds down.
//
// The calling method writes the texts first, then runs the dialog with the
// reader of its own card, which the watcher follows:
//   g_szReaderPrompt.set(u"...");  g_szOutAccount.set(...);  ...
//   result = UI_TransferConfirmDlg(reader);   // 0 OK, 5070 Cancel, 5073 time
// and for the keypad-reader prompt:
//   UI_StartReaderPrompt();  ... work with the reader ...
//   result = UI_FinishReaderPrompt();   // 0, or 5073 when its time ran out

#include "control/ControlErrorCode.h"
#include "control/ui/ReaderWatch.h"
#include "platform/ui/Dialog.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <string.h>

// A wide text in an area of fixed size: what does not fit is cut off (never
// inside a surrogate pair), and wipe() clears every unit.
template <std::size_t Capacity>
class UiFixedText {
public:
    static constexpr std::size_t kCapacity = Capacity; // units, the terminating zero included

    // Not inlined: GCC 12 checks the inlined copy against the bounds of a
    // short literal argument on paths the size test rules out.
    [[gnu::noinline]] void set(std::u16string_view text) {
        wipe();
        std::u16string_view kept = text.substr(0, Capacity - 1);
        if (kept.size() < text.size() && !kept.empty() && kept.back() >= 0xD800 &&
            kept.back() <= 0xDBFF) {
            kept.remove_suffix(1);
        }
        std::copy(kept.begin(), kept.end(), text_.begin());
        length_ = kept.size();
    }
    void wipe() {
        explicit_bzero(text_.data(), sizeof text_);
        length_ = 0;
    }
    std::u16string_view view() const { return {text_.data(), length_}; }
    bool empty() const { return length_ == 0; }

private:
    std::array<char16_t, Capacity> text_{};
    std::size_t length_ = 0;
};

// The dialogs.
inline constexpr std::uint32_t kUiTransferConfirmDialog = 204;
inline constexpr std::uint32_t kUiPayConfirmDialog = 205;
inline constexpr std::uint32_t kUiReaderPromptDialog = 206;
inline constexpr std::uint32_t kUiTacInfoDialog = 207;
inline constexpr std::uint32_t kUiReaderInstructionDialog = 229;

// Their controls.
inline constexpr int kUiConfirmFromAccount = 209;
inline constexpr int kUiConfirmAmount = 210;
inline constexpr int kUiConfirmToAccount = 211;
inline constexpr int kUiConfirmPayKind = 517;
inline constexpr int kUiConfirmInstruction = 503;
inline constexpr int kUiConfirmCountdown = 504; // the number
inline constexpr int kUiConfirmCountdownText = 524;
inline constexpr int kUiConfirmFromLabel = 520;
inline constexpr int kUiConfirmToLabel = 521;
inline constexpr int kUiConfirmAmountLabel = 522;
inline constexpr int kUiConfirmKindLabel = 523;
inline constexpr int kUiConfirmGroup = 525;
inline constexpr int kUiTacMessage = 231;
inline constexpr int kUiTacSecondsLabel = 518;
inline constexpr int kUiPromptInstruction = 530;
inline constexpr int kUiPromptReaderName = 507;
inline constexpr int kUiPromptGroup = 508;
inline constexpr int kUiPromptCountdown = 509;
inline constexpr int kUiPromptOkKey = 511;
inline constexpr int kUiPromptOkKey2 = 512;
inline constexpr int kUiPromptCancelKey = 515;
inline constexpr int kUiInstructionText = 501;

// Background bitmaps.
inline constexpr std::uint32_t kUiBitmapReaderPrompt = 27015; // 206, 229
inline constexpr std::uint32_t kUiBitmapConfirm = 27016;      // 204, 205
inline constexpr std::uint32_t kUiBitmapTacInfo = 27017;      // 207

inline constexpr int kUiConfirmSeconds = 60;

// ---- The module's state (one set per process) ----------------------------------

// The caption of 204, 205, 206 and 229; wiped when such a dialog goes.
extern UiFixedText<1024> g_szReaderPrompt;
extern UiFixedText<128> g_szOutAccount; // 204, 205: field 209
extern UiFixedText<128> g_szInAccount;  // 204: field 211
extern UiFixedText<512> g_szPayType;    // 205: field 517
extern UiFixedText<32> g_szAmount;      // 204, 205: field 210
extern UiFixedText<8192> g_szTACInfo;   // 207: field 231
// "Chrome", "FireFox" or "Edge", as the page said.
extern UiFixedText<256> g_szUserBrowser;
// The owner of dialog 206, as FindBrowserWindow found it (0: none).
extern std::atomic<platform::ui::Window> g_hBrowserWnd;
// Set by the watcher: the card went out (bEmpty) and then came in again
// (bPresent) since the dialog started.
extern std::atomic<int> bPresent;
extern std::atomic<int> bEmpty;
// Set by the method once it has finished with the reader; read by 206.
extern std::atomic<int> isFinish;
// Seconds left in the open dialog.
extern int g_iCountDown;

// ---- The watcher ------------------------------------------------------------------

// Follows the reader until stopped: 10 when no context can be made, 12 when
// the first status request fails, otherwise the PC/SC error that ended its
// wait (the cancel of a stop among them).
int WatchCardState(ReaderWatchThread& self, const std::string& reader);
// Starts the watcher of the open confirmation dialog on its reader, and
// stops and joins it.
void UI_StartCardWatcher(std::string reader);
void UI_StopCardWatcher();

void SetCardStateFlags(int present, int empty);
// "bPresent" or "bEmpty"; any other name gives false.
bool GetCardStateFlag(const char* name);

// ---- The keypad-reader prompt ---------------------------------------------------------

// Whether a window's title names the Edge browser: false (stop) when it
// does. The second argument is not read.
bool enumEdgeWindow(platform::ui::Window window, platform::ui::LParam unused);
// Finds the browser window by g_szUserBrowser and runs 206 over it; its
// result.
platform::ui::LResult FindBrowserWindow();
// Clears isFinish and runs FindBrowserWindow on a thread of its own (one
// still running is finished first).
void UI_StartReaderPrompt();
// Sets isFinish, joins the prompt's thread and gives its result (0 when no
// prompt ran).
platform::ui::LResult UI_FinishReaderPrompt();

// ---- Running the dialogs ----------------------------------------------------------------

// Modal on the calling thread, owned by its focus window, OK waiting for the
// card to be pulled out of reader and put back: 0 OK, 5070 Cancel, 5073
// time; 5001 when the dialog cannot be made.
ControlErrorCode UI_TransferConfirmDlg(std::string_view reader);
ControlErrorCode UI_PayConfirmDlg(std::string_view reader);
ControlErrorCode UI_GenerateTACINFODlg(std::string_view reader);
// 0 OK; 5073 when nobody answered within the dialog layer's ceiling.
ControlErrorCode UI_ReaderInstructionDlg();

// The dialog procedures. The confirmations take the reader to watch (a
// const std::string*) as WM_INITDIALOG's lParam; without one they watch
// none, and OK stays disabled.
platform::ui::LResult TransferConfirmDlgProc(platform::ui::Window dialog, std::uint32_t message,
                                             platform::ui::WParam wParam,
                                             platform::ui::LParam lParam);
platform::ui::LResult PayConfirmDlgProc(platform::ui::Window dialog, std::uint32_t message,
                                        platform::ui::WParam wParam, platform::ui::LParam lParam);
platform::ui::LResult UI_GenerateTACINFOCallBack(platform::ui::Window dialog, std::uint32_t message,
                                                 platform::ui::WParam wParam,
                                                 platform::ui::LParam lParam);
platform::ui::LResult ReaderPromptDlgProc(platform::ui::Window dialog, std::uint32_t message,
                                          platform::ui::WParam wParam, platform::ui::LParam lParam);
platform::ui::LResult ReaderInstructionDlgProc(platform::ui::Window dialog, std::uint32_t message,
                                               platform::ui::WParam wParam,
                                               platform::ui::LParam lParam);

// Stretches the bitmap over the dialog's client area.
void PaintDlgBackground(platform::ui::Window dialog, std::uint32_t bitmap);

// Registers the dialogs, bitmaps and texts of this module (again on each call).
void UI_RegisterConfirmResources();
