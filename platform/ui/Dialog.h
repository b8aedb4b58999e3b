#pragma once

// The dialog model: dialogs made from templates, their controls, procedures,
// message queues and timers.
//
// Threads. A window belongs to the thread that made it, and so do its
// messages: each thread has its own queue, its own keyboard focus and its
// own modal loops, so several threads may run modal dialogs at once.
// Posting works from any thread. Sending on the window's own thread calls
// its procedure at once; sending from another thread hands the message to
// the window's thread and waits until that thread has handled it (while
// waiting, the sender handles messages sent to its own thread, so two
// threads sending to each other do not lock up); the wait ends with 0 when
// the window goes. Reading a window's state (text, rectangles, flags) and
// enableWindow, showWindow and moveWindow work from any thread;
// setWindowText sends and so follows the rule for sending.
//
// Procedures are called without any lock of the layer held and may call
// every function here. An exception thrown by a procedure is caught at the
// call and counts as the answer 0.
//
// Modal waits. Every modal loop (dialogBox, messageBox) has a ceiling on the
// layer's clock (300 s unless set): when it passes, the dialog ends with the
// configured time-out result, as a countdown of the dialog's own would end
// it, so a dialog nobody answers never holds its thread for ever.

#include "platform/ui/Clock.h"
#include "platform/ui/DialogTemplate.h"
#include "platform/ui/Drawing.h"
#include "platform/ui/Messages.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform::ui {

// Runs a modal dialog on the calling thread: makes it from the template,
// sends kWmInitDialog (lParam: initParam), disables the owner, shows the
// dialog and handles the thread's messages until endDialog; then enables the
// owner again and destroys the dialog. Answers endDialog's result, or -1
// with the thread's last error set when the template does not exist or the
// owner is no window. The owner may be a dialog or a control of this
// process (its dialog then owns), a window of another process in the shared
// window list, or 0.
LResult dialogBox(std::uint32_t templateId, Window owner, DialogProc proc, LParam initParam = 0);

// Makes a modeless dialog and shows it (unless its template says
// kDialogInvisible); the caller pumps messages (getMessage, isDialogMessage,
// dispatchMessage) and destroys it. 0 with the last error set on failure.
Window createDialog(std::uint32_t templateId, Window owner, DialogProc proc, LParam initParam = 0);

// Ends a dialog with a result: a modal one's loop returns it; a modeless one
// is hidden. False when the window is no dialog.
bool endDialog(Window dialog, LResult result);
// Destroys a dialog of the calling thread with its controls (kWmDestroy to
// the dialog, then to each control); false for a window of another thread.
bool destroyWindow(Window dialog);

void setModalWaitCeiling(Milliseconds ceiling, LResult timeoutResult);
Milliseconds modalWaitCeiling();
LResult modalTimeoutResult();

// The message queue of the calling thread.
struct Message {
    Window window = 0;
    std::uint32_t message = 0;
    WParam wParam = 0;
    LParam lParam = 0;
};

// Waits for the next message of the thread (of the window and its controls
// when filter is a dialog): 1 with the message, 0 after postQuitMessage
// (the message then is kWmQuit with the exit code), -1 when the filter is no
// window of this thread. Due paints come as kWmPaint, due timers as
// kWmTimer.
int getMessage(Message& message, Window filter = 0);
// The next message without waiting; false when there is none.
bool peekMessage(Message& message, bool remove = true);
LResult dispatchMessage(const Message& message);
// Handles the message the way a dialog does when it is for the dialog or
// one of its controls: Enter presses the default button, Escape sends
// kIdCancel, Tab moves the focus; anything else is dispatched. False (and
// nothing done) for a message of another window.
bool isDialogMessage(Window dialog, const Message& message);
void postQuitMessage(int exitCode);

bool postMessage(Window window, std::uint32_t message, WParam wParam = 0, LParam lParam = 0);
LResult sendMessage(Window window, std::uint32_t message, WParam wParam = 0, LParam lParam = 0);
LResult sendDlgItemMessage(Window dialog, int id, std::uint32_t message, WParam wParam = 0,
                           LParam lParam = 0);

// Subclassing: puts a new procedure on a control and answers the one it
// had (an empty function when the window is no control). The control's own
// behaviour is in the procedure first installed, so a new one passes what it
// does not handle on with callWindowProc.
WindowProc setWindowProc(Window control, WindowProc proc);
LResult callWindowProc(const WindowProc& proc, Window window, std::uint32_t message, WParam wParam,
                       LParam lParam);

// Windows and controls.
bool isWindow(Window window);
Window getDlgItem(Window dialog, int id);
int getDlgCtrlId(Window control);
Window getParent(Window control); // the dialog of a control, 0 for a dialog
Window getOwner(Window dialog);
ControlKind controlKind(Window control);

bool setWindowText(Window window, std::u16string_view text);
std::u16string getWindowText(Window window);
int getWindowTextLength(Window window);
bool setDlgItemText(Window dialog, int id, std::u16string_view text);
std::u16string getDlgItemText(Window dialog, int id);

// Answers whether the window was enabled before.
bool enableWindow(Window window, bool enable);
bool isWindowEnabled(Window window);
// Answers whether the window was visible before.
bool showWindow(Window window, bool show);
bool isWindowVisible(Window window);

// Dialogs in screen pixels (the whole window, frame included), controls in
// their dialog's client pixels.
bool moveWindow(Window window, int x, int y, int width, int height, bool repaint = true);
std::optional<Rect> getWindowRect(Window window); // screen pixels
std::optional<Rect> getClientRect(Window window); // from 0, 0
// Between a window's client pixels and the screen's (a control's client
// area starts at its top-left corner); the point unchanged for no window.
Point clientToScreen(Window window, Point point);
Point screenToClient(Window window, Point point);
bool setTopMost(Window dialog, bool topMost);
bool isTopMost(Window dialog);

// Painting: invalidateRect asks for a paint (with kWmEraseBkgnd first when
// erase), which comes once the thread's queue is empty; updateWindow paints
// at once. On kWmPaint a procedure draws through beginPaint; each paint
// replaces what the window had drawn before.
bool invalidateRect(Window window, bool erase = true);
bool updateWindow(Window window);

// Outside a paint message, beginPaint gives a context of its own whose
// drawing replaces the window's when the Paint goes.
class Paint {
public:
    Paint(Paint&& other) noexcept;
    Paint& operator=(Paint&&) = delete;
    Paint(const Paint&) = delete;
    ~Paint();
    DrawContext& dc() { return *dc_; }

private:
    friend Paint beginPaint(Window window);
    Paint(Window window, DrawContext* shared, std::unique_ptr<DrawContext> owned);
    Window window_;
    std::unique_ptr<DrawContext> owned_;
    DrawContext* dc_;
};
Paint beginPaint(Window window);

// Keyboard focus of the calling thread. setFocus answers the window that
// had it; a window of another thread is refused (0, focus unchanged).
Window setFocus(Window window);
Window getFocus();
// The dialog of the calling thread that was activated last, if still open.
Window getActiveWindow();

// A timer sends kWmTimer (wParam: id) to the window every elapse
// milliseconds on the layer's clock; setting it again restarts it.
bool setTimer(Window window, std::uintptr_t id, std::uint32_t elapseMs);
bool killTimer(Window window, std::uintptr_t id);

// Asks for one kWmMouseLeave when the mouse leaves the window.
bool trackMouseLeave(Window window);

// Edit controls, through their messages (so a subclassed procedure sees them).
void editLimitText(Window edit, int limit);
void editSetSel(Window edit, int start, int end);
std::pair<int, int> editGetSel(Window edit);
void editReplaceSel(Window edit, std::u16string_view text);
void editSetReadOnly(Window edit, bool readOnly);
void editSetPasswordChar(Window edit, char16_t character);

} // namespace platform::ui
