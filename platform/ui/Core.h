#pragma once

// The dialog layer's shared state, for the layer's own files only. One lock
// guards all of it; procedures are always called with the lock released.

#include "platform/ui/Backend.h"
#include "platform/ui/Clock.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/DialogTemplate.h"
#include "platform/ui/Drawing.h"
#include "platform/ui/Messages.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace platform::ui::detail {

using Lock = std::unique_lock<std::mutex>;

// An action of the user, finished once its thread has handled it.
struct Completion {
    bool started = false; // one of its messages was taken
    bool finished = false;
    bool gone = false; // its window went before any of it was handled
};

struct Queued {
    Message message;
    bool toFocus = false;       // key input: goes to the focus window when taken
    bool input = false;         // user input: dropped when its window is disabled
    std::function<void()> task; // run on the thread instead of a message
    std::shared_ptr<Completion> done;
};

struct Sent {
    Message message;
    LResult result = 0;
    bool finished = false;
};

struct Timer {
    Window window;
    std::uintptr_t id;
    Milliseconds interval;
    TimePoint due;
};

struct ThreadQueue {
    std::thread::id id;
    std::deque<Queued> posted;
    std::deque<std::shared_ptr<Sent>> sent;
    std::vector<Timer> timers;
    Window focus = 0;
    Window active = 0;
    bool quitPosted = false;
    int quitCode = 0;
    // What an advance of the clock waits for.
    bool waiting = false;
    bool busy = false;
    std::optional<TimePoint> sleepUntil;
    std::vector<TimePoint> ceilings; // one per modal loop, innermost last
    // Actions handled since the queue was last empty.
    std::vector<std::shared_ptr<Completion>> handled;
    int modalDepth = 0;
};

struct EditState {
    int selStart = 0;
    int selEnd = 0;
    int limit = 30000;
    bool readOnly = false;
    char16_t passwordChar = 0;
};

struct ControlState {
    Window handle = 0;
    int id = 0;
    ControlKind kind = ControlKind::Static;
    Rect rect;
    std::u16string text;
    std::uint32_t style = 0;
    std::uint32_t bitmap = 0;
    bool visible = true;
    bool enabled = true;
    EditState edit;
    WindowProc proc;
    std::vector<DrawOp> drawing;
    std::optional<Colour> textColour;
    std::optional<Colour> background;
    bool paintPending = false;
    bool pushed = false;
    bool trackLeave = false;
};

struct DialogState {
    Window handle = 0;
    std::uint32_t templateId = 0;
    DialogKind kind = DialogKind::Dialog;
    std::uint32_t messageBoxStyle = 0;
    std::shared_ptr<ThreadQueue> thread;
    Window owner = 0;
    std::u16string caption;
    Rect windowRect;
    bool captioned = true;
    Font font;
    bool visible = false;
    bool enabled = true;
    bool topMost = false;
    bool modal = false;
    bool ended = false;
    bool timedOut = false;
    bool opened = false; // announced to the backend
    bool destroyed = false;
    LResult result = 0;
    DialogProc proc;
    std::vector<ControlState> controls;
    std::vector<DrawOp> drawing;
    bool paintPending = false;
    bool erasePending = false;
    bool trackLeave = false;
    Window lastFocus = 0;
    std::uint64_t openOrder = 0;
};

struct Core {
    std::mutex mutex;
    // Every change that a waiting thread may be waiting for.
    std::condition_variable changed;

    // The clock.
    bool manual = false;
    TimePoint start;
    TimePoint manualNow;
    std::time_t wallAtStart = 0;

    std::map<Window, std::shared_ptr<DialogState>> dialogs;
    std::map<Window, Window> controlParent;
    std::vector<std::shared_ptr<ThreadQueue>> threads;
    std::uint32_t nextControlSerial = 1;
    std::uint64_t nextOpenOrder = 1;

    Window hover = 0;
    Window foreground = 0;
    bool capsLock = false;
    std::set<std::uint32_t> keysDown;

    Milliseconds ceiling{300000};
    LResult timeoutResult = kIdCancel;

    std::shared_ptr<Backend> backend;
    bool backendChosen = false;

    Core();
    ~Core();
};

Core& core();

TimePoint nowLocked(const Core& c);

// The calling thread's queue, made on first use. The lock must be held.
ThreadQueue& currentQueue(Core& c);
std::shared_ptr<ThreadQueue> currentQueuePtr(Core& c);
// The thread's queue if it has one.
ThreadQueue* existingQueue(Core& c);

DialogState* findDialog(Core& c, Window window);
// A control and its dialog.
struct ControlRef {
    DialogState* dialog = nullptr;
    ControlState* control = nullptr;
};
ControlRef findControl(Core& c, Window window);
// The dialog of a window (itself or its parent), or null.
DialogState* dialogOf(Core& c, Window window);

// Whether a window of the thread waits to be painted, and the earliest of its
// timers that is due by the time given.
bool paintPending(const Core& c, const ThreadQueue& queue);
const Timer* dueTimer(const ThreadQueue& queue, TimePoint at);
// Whether the thread has something to do now (it is then not settled).
bool hasWork(const Core& c, const ThreadQueue& queue, TimePoint at);

// Wakes every waiting thread.
void notifyAll(Core& c);

// Calls a procedure with the exception barrier.
LResult invoke(const WindowProc& proc, Window window, std::uint32_t message, WParam wParam,
               LParam lParam);

// The built-in procedure of each control kind.
WindowProc controlClassProc(ControlKind kind);

// Splices an edit's text; the old text is wiped.
void replaceEditText(ControlState& control, int start, int end, std::u16string_view insert);
void wipeEditText(ControlState& control);

// Marks a window for painting.
void invalidateLocked(Core& c, Window window, bool erase);

// The backend, made on first use; called without the lock.
std::shared_ptr<Backend> ensureBackend();

// Posts a user action to a window's thread; the action's completion is
// given back. toFocus posts key input to the thread's focus window.
std::shared_ptr<Completion> postAction(Core& c, ThreadQueue& queue, std::vector<Queued> items);

// Makes a dialog (not yet initialised or shown) on the calling thread; 0
// with the last error set on failure.
Window makeDialog(const DialogTemplate& dialog, Window owner, DialogProc proc, bool modal,
                  DialogKind kind, std::uint32_t messageBoxStyle);
// Initialises, shows and runs a made dialog modally, then destroys it.
LResult runModalDialog(Window dialog, LParam initParam);

// Calls a window's procedure on its own thread (the caller's).
LResult deliver(Window window, std::uint32_t message, WParam wParam, LParam lParam);

// Moves the mouse over a window (0: off every window): a leave notice goes to
// the window left if it asked for one; the move message for the new one is
// given back to be posted.
std::optional<Queued> moveMouseLocked(Core& c, Window target);

// Finishes the actions the thread has handled.
void finishHandled(Core& c, ThreadQueue& queue);

} // namespace platform::ui::detail
