#include "platform/ui/Core.h"

#include "platform/text/TextCodec.h"
#include "platform/ui/Wipe.h"
#include "platform/windowlist/WindowList.h"

#include <algorithm>
#include <sys/random.h>
#include <unistd.h>

namespace platform::ui {

using namespace detail;

namespace {

// Controls are known to their process only; their serials have the top bit
// set so they never meet a serial of the shared window list, and start at a
// random point so two copies of the layer in one process do not meet either.
constexpr std::uint32_t kControlSerialBit = 0x80000000u;

Window newControlHandle(Core& c) {
    if (c.nextControlSerial == 1) {
        std::uint32_t seed = 0;
        if (getrandom(&seed, sizeof seed, 0) == sizeof seed) {
            c.nextControlSerial = (seed & 0x3FFFFFFFu) | 1u;
        }
    }
    const std::uint32_t serial = kControlSerialBit | (c.nextControlSerial++ & 0x7FFFFFFFu);
    return (static_cast<Window>(static_cast<std::uint32_t>(getpid())) << 32) | serial;
}

// The paint message being handled on this thread: beginPaint draws into it.
struct ActivePaint {
    Window window = 0;
    DrawContext* dc = nullptr;
};
thread_local ActivePaint tPaint;

Queued plainMessage(const Message& message) {
    Queued item;
    item.message = message;
    return item;
}

bool onOwnThread(const DialogState& dialog) {
    return dialog.thread->id == std::this_thread::get_id();
}

Rect clientOnScreen(const DialogState& d) {
    const int top = d.windowRect.top + kFrameBorder + (d.captioned ? kCaptionHeight : 0);
    const int left = d.windowRect.left + kFrameBorder;
    return {left, top, d.windowRect.right - kFrameBorder, d.windowRect.bottom - kFrameBorder};
}

WindowProc dialogProcOf(Core& c, Window dialog) {
    std::lock_guard lock(c.mutex);
    const DialogState* d = findDialog(c, dialog);
    return d != nullptr ? d->proc : WindowProc();
}

// The dialog procedure, then what the layer does for a message it left.
LResult callDialog(Window dialog, std::uint32_t message, WParam wParam, LParam lParam) {
    Core& c = core();
    const WindowProc proc = dialogProcOf(c, dialog);
    const LResult result = invoke(proc, dialog, message, wParam, lParam);
    if (result == 0 && message == kWmClose) {
        callDialog(dialog, kWmCommand, makeWParam(kIdCancel, kBnClicked),
                   static_cast<LParam>(getDlgItem(dialog, kIdCancel)));
    }
    return result;
}

LResult callControl(Window control, std::uint32_t message, WParam wParam, LParam lParam) {
    Core& c = core();
    WindowProc proc;
    {
        std::lock_guard lock(c.mutex);
        const auto ref = findControl(c, control);
        if (ref.control == nullptr) {
            return 0;
        }
        proc = ref.control->proc;
    }
    return invoke(proc, control, message, wParam, lParam);
}

void serveOneSent(Core& c, Lock& lock, ThreadQueue& queue) {
    auto sent = queue.sent.front();
    queue.sent.pop_front();
    const bool wasBusy = queue.busy;
    queue.busy = true;
    lock.unlock();
    const LResult result = deliver(sent->message.window, sent->message.message,
                                   sent->message.wParam, sent->message.lParam);
    lock.lock();
    sent->result = result;
    sent->finished = true;
    queue.busy = wasBusy;
    notifyAll(c);
}

bool belongsTo(Core& c, Window window, Window filter) {
    if (filter == 0 || window == filter) {
        return true;
    }
    const auto ref = findControl(c, window);
    return ref.dialog != nullptr && ref.dialog->handle == filter;
}

bool inputAllowed(Core& c, Window window) {
    const DialogState* d = dialogOf(c, window);
    if (d == nullptr || !d->enabled || d->destroyed) {
        return false;
    }
    const auto ref = findControl(c, window);
    return ref.control == nullptr || (ref.control->enabled && ref.control->visible);
}

// The first window of the thread waiting to be painted: a dialog, else a
// control.
Window pendingPaint(Core& c, const ThreadQueue& queue, Window filter) {
    for (const auto& [handle, d] : c.dialogs) {
        if (d->thread.get() != &queue || !d->visible || !belongsTo(c, handle, filter)) {
            continue;
        }
        if (d->paintPending) {
            return handle;
        }
        for (const auto& control : d->controls) {
            if (control.paintPending && control.visible) {
                return control.handle;
            }
        }
    }
    return 0;
}

enum class Take { Message, Quit, Error, Deadline, Empty, Ended };

// The heart of every message loop: sent messages are handled on the spot,
// tasks run, and the first posted message, paint, timer or quit is given.
// A modal loop names its dialog, so that an end from another thread wakes it.
Take takeMessage(Message& out, Window filter, std::optional<TimePoint> deadline, bool wait,
                 bool remove, Window modal = 0) {
    Core& c = core();
    Lock lock(c.mutex);
    ThreadQueue& queue = currentQueue(c);
    if (filter != 0) {
        const DialogState* d = dialogOf(c, filter);
        if (d == nullptr || d->thread.get() != &queue) {
            setLastError(kErrorInvalidWindowHandle);
            return Take::Error;
        }
    }
    for (;;) {
        if (!queue.sent.empty()) {
            serveOneSent(c, lock, queue);
            continue;
        }
        bool ranTask = false;
        bool found = false;
        for (auto item = queue.posted.begin(); item != queue.posted.end();) {
            if (item->task) {
                if (item->done) {
                    item->done->started = true;
                }
                Queued taken = std::move(*item);
                queue.posted.erase(item);
                queue.busy = true;
                lock.unlock();
                taken.task();
                lock.lock();
                if (taken.done) {
                    queue.handled.push_back(taken.done);
                }
                ranTask = true;
                break;
            }
            Message message = item->message;
            if (item->toFocus) {
                message.window = queue.focus != 0 ? queue.focus : queue.active;
            }
            const bool alive = dialogOf(c, message.window) != nullptr;
            if (!alive || (item->input && !inputAllowed(c, message.window))) {
                // Input for a window that went or cannot take it is lost.
                if (item->done) {
                    queue.handled.push_back(item->done);
                }
                item = queue.posted.erase(item);
                continue;
            }
            if (!belongsTo(c, message.window, filter)) {
                ++item;
                continue;
            }
            out = message;
            if (remove) {
                if (item->done) {
                    item->done->started = true;
                    queue.handled.push_back(item->done);
                }
                queue.posted.erase(item);
                queue.busy = true;
            }
            found = true;
            break;
        }
        if (ranTask) {
            continue;
        }
        if (found) {
            return Take::Message;
        }
        if (const Window painted = pendingPaint(c, queue, filter)) {
            out = {painted, kWmPaint, 0, 0};
            if (remove) {
                queue.busy = true;
            }
            return Take::Message;
        }
        finishHandled(c, queue);
        const TimePoint at = nowLocked(c);
        Timer* due = nullptr;
        for (auto& timer : queue.timers) {
            if (timer.due <= at && belongsTo(c, timer.window, filter) &&
                (due == nullptr || timer.due < due->due)) {
                due = &timer;
            }
        }
        if (due != nullptr) {
            out = {due->window, kWmTimer, due->id, 0};
            if (remove) {
                due->due = at + due->interval;
                queue.busy = true;
            }
            return Take::Message;
        }
        if (queue.quitPosted) {
            out = {0, kWmQuit, static_cast<WParam>(queue.quitCode), 0};
            if (remove) {
                queue.quitPosted = false;
            }
            return Take::Quit;
        }
        if (deadline && at >= *deadline) {
            return Take::Deadline;
        }
        if (modal != 0) {
            const DialogState* d = findDialog(c, modal);
            if (d == nullptr || d->ended || d->destroyed) {
                return Take::Ended;
            }
        }
        if (!wait) {
            return Take::Empty;
        }
        queue.waiting = true;
        queue.busy = false;
        notifyAll(c);
        if (c.manual) {
            c.changed.wait(lock);
        } else {
            std::optional<TimePoint> until = deadline;
            for (const auto& timer : queue.timers) {
                if (!until || timer.due < *until) {
                    until = timer.due;
                }
            }
            if (until) {
                c.changed.wait_until(lock, *until);
            } else {
                c.changed.wait(lock);
            }
        }
        queue.waiting = false;
    }
}

void paintControlNow(Window control) {
    Core& c = core();
    Window dialog = 0;
    ControlKind kind{};
    std::uint32_t style = 0;
    std::uint32_t bitmap = 0;
    bool enabled = false;
    bool readOnly = false;
    bool focused = false;
    bool pushed = false;
    int id = 0;
    Rect rect;
    Font font;
    {
        std::lock_guard lock(c.mutex);
        const auto ref = findControl(c, control);
        if (ref.control == nullptr) {
            return;
        }
        ref.control->paintPending = false;
        if (!ref.control->visible || !ref.dialog->visible) {
            return;
        }
        dialog = ref.dialog->handle;
        kind = ref.control->kind;
        style = ref.control->style;
        bitmap = ref.control->bitmap;
        enabled = ref.control->enabled;
        readOnly = ref.control->edit.readOnly;
        pushed = ref.control->pushed;
        id = ref.control->id;
        rect = ref.control->rect;
        font = ref.dialog->font;
        const ThreadQueue* queue = ref.dialog->thread.get();
        focused = queue->focus == control;
    }
    const Rect area{0, 0, rect.width(), rect.height()};
    DrawContext dc(font);
    std::optional<Colour> textColour;
    std::optional<Colour> background;
    if (kind == ControlKind::Button && (style & kStyleOwnerDraw) != 0) {
        DrawItem item;
        item.controlId = id;
        item.item = control;
        item.state =
            (pushed ? kOdsSelected : 0) | (enabled ? 0 : kOdsDisabled) | (focused ? kOdsFocus : 0);
        item.rect = area;
        item.dc = &dc;
        callDialog(dialog, kWmDrawItem, static_cast<WParam>(id), reinterpret_cast<LParam>(&item));
    } else if (kind == ControlKind::Picture) {
        dc.drawBitmap(bitmap, area);
    } else {
        const bool editable = kind == ControlKind::Edit && enabled && !readOnly;
        const std::uint32_t message = kind == ControlKind::Button ? kWmCtlColorBtn
                                      : editable                  ? kWmCtlColorEdit
                                                                  : kWmCtlColorStatic;
        dc.setTextColour(systemColour(enabled ? kColorWindowText : kColorGrayText));
        dc.setBackgroundColour(systemColour(editable ? kColorWindow : kColor3dFace));
        const Brush brush = callDialog(dialog, message, reinterpret_cast<WParam>(&dc),
                                       static_cast<LParam>(control));
        textColour = dc.textColour();
        // A hollow brush leaves the dialog's own background showing.
        background =
            brush != 0 ? brushColour(brush) : systemColour(editable ? kColorWindow : kColor3dFace);
    }
    std::lock_guard lock(c.mutex);
    const auto ref = findControl(c, control);
    if (ref.control != nullptr) {
        ref.control->drawing = dc.takeOps();
        ref.control->textColour = textColour;
        ref.control->background = background;
    }
}

std::shared_ptr<Backend> backendIfOpened(Core& c, Window dialog) {
    std::lock_guard lock(c.mutex);
    const DialogState* d = findDialog(c, dialog);
    return d != nullptr && d->opened ? c.backend : nullptr;
}

void paintDialogNow(Window dialog) {
    Core& c = core();
    bool paintSelf = false;
    bool erase = false;
    Font font;
    std::vector<Window> controls;
    {
        std::lock_guard lock(c.mutex);
        DialogState* d = findDialog(c, dialog);
        if (d == nullptr || !d->visible) {
            return;
        }
        paintSelf = d->paintPending;
        erase = d->erasePending;
        d->paintPending = false;
        d->erasePending = false;
        font = d->font;
        for (auto& control : d->controls) {
            if (control.visible && (paintSelf || control.paintPending)) {
                controls.push_back(control.handle);
            }
            control.paintPending = false;
        }
    }
    if (paintSelf) {
        DrawContext dc(font);
        if (erase && callDialog(dialog, kWmEraseBkgnd, reinterpret_cast<WParam>(&dc), 0) == 0) {
            DrawContext colours(font);
            Brush brush = callDialog(dialog, kWmCtlColorDlg, reinterpret_cast<WParam>(&colours),
                                     static_cast<LParam>(dialog));
            if (brush == 0) {
                brush = systemColourBrush(kColor3dFace);
            }
            if (const auto client = getClientRect(dialog)) {
                dc.fillRect(*client, brush);
            }
        }
        const ActivePaint outer = std::exchange(tPaint, ActivePaint{dialog, &dc});
        callDialog(dialog, kWmPaint, 0, 0);
        tPaint = outer;
        auto ops = dc.takeOps();
        std::lock_guard lock(c.mutex);
        if (DialogState* d = findDialog(c, dialog); d != nullptr && (erase || !ops.empty())) {
            d->drawing = std::move(ops);
        }
    }
    for (const Window control : controls) {
        paintControlNow(control);
    }
    if (auto backend = backendIfOpened(c, dialog)) {
        backend->dialogChanged(dialog);
    }
}

// Every window of the thread that waits for a paint, painted now.
void paintAllPending(Window dialog) {
    Core& c = core();
    for (;;) {
        Window next = 0;
        {
            std::lock_guard lock(c.mutex);
            ThreadQueue& queue = currentQueue(c);
            next = pendingPaint(c, queue, dialog);
        }
        if (next == 0) {
            return;
        }
        dispatchMessage({next, kWmPaint, 0, 0});
    }
}

Window firstTabStop(Core& c, Window dialog) {
    const DialogState* d = findDialog(c, dialog);
    if (d == nullptr) {
        return 0;
    }
    for (const auto& control : d->controls) {
        if ((control.style & kStyleTabStop) != 0 && control.visible && control.enabled) {
            return control.handle;
        }
    }
    return 0;
}

bool focusInside(Core& c, const ThreadQueue& queue, Window dialog) {
    return queue.focus != 0 && belongsTo(c, queue.focus, dialog);
}

void activate(Window dialog) {
    Core& c = core();
    Window previous = 0;
    Window restore = 0;
    {
        std::lock_guard lock(c.mutex);
        DialogState* d = findDialog(c, dialog);
        if (d == nullptr || d->destroyed) {
            return;
        }
        ThreadQueue& queue = *d->thread;
        previous = std::exchange(queue.active, dialog);
        c.foreground = dialog;
        if (!focusInside(c, queue, dialog) && d->lastFocus != 0 &&
            findControl(c, d->lastFocus).control != nullptr) {
            restore = d->lastFocus;
        }
    }
    if (previous != 0 && previous != dialog) {
        deliver(previous, kWmActivate, kWaInactive, static_cast<LParam>(dialog));
    }
    if (previous != dialog) {
        deliver(dialog, kWmActivate, kWaActive, static_cast<LParam>(previous));
    }
    if (restore != 0) {
        setFocus(restore);
    }
}

// Shows a dialog on its own thread: activated, painted at once, and then
// announced to the backend.
void showDialog(Window dialog) {
    Core& c = core();
    {
        std::lock_guard lock(c.mutex);
        DialogState* d = findDialog(c, dialog);
        if (d == nullptr || d->destroyed) {
            return;
        }
        d->visible = true;
        d->paintPending = true;
        d->erasePending = true;
    }
    activate(dialog);
    paintDialogNow(dialog);
    DialogEvent event;
    std::shared_ptr<Backend> backend;
    {
        std::lock_guard lock(c.mutex);
        DialogState* d = findDialog(c, dialog);
        if (d == nullptr || d->opened || d->destroyed || !d->visible) {
            return;
        }
        d->opened = true;
        d->openOrder = c.nextOpenOrder++;
        event = {dialog, d->templateId, d->kind, 0, false};
        backend = c.backend;
        notifyAll(c);
    }
    if (backend) {
        backend->dialogOpened(event);
    }
}

void initDialog(Window dialog, LParam initParam) {
    Core& c = core();
    Window first = 0;
    {
        std::lock_guard lock(c.mutex);
        first = firstTabStop(c, dialog);
    }
    const LResult focusDefault =
        callDialog(dialog, kWmInitDialog, static_cast<WParam>(first), initParam);
    bool needFocus = false;
    {
        std::lock_guard lock(c.mutex);
        const DialogState* d = findDialog(c, dialog);
        needFocus =
            d != nullptr && focusDefault != 0 && first != 0 && !focusInside(c, *d->thread, dialog);
    }
    if (needFocus) {
        setFocus(first);
    }
}

// Disables a window for a modal dialog; true when it was enabled.
bool disableOwner(Window owner) {
    if (owner == 0 || owner == platform::desktopWindow()) {
        return false;
    }
    Core& c = core();
    {
        std::lock_guard lock(c.mutex);
        if (DialogState* d = findDialog(c, owner)) {
            if (!d->enabled) {
                return false;
            }
            d->enabled = false;
        } else {
            const auto listed = platform::findTopLevelWindow(owner);
            if (!listed || !listed->enabled) {
                return false;
            }
        }
    }
    platform::setWindowEnabled(owner, false);
    return true;
}

void enableOwner(Window owner) {
    Core& c = core();
    {
        std::lock_guard lock(c.mutex);
        if (DialogState* d = findDialog(c, owner)) {
            d->enabled = true;
            invalidateLocked(c, owner, true);
        }
    }
    platform::setWindowEnabled(owner, true);
}

void destroyDialogNow(Window dialog) {
    Core& c = core();
    std::vector<Window> owned;
    std::vector<Window> controls;
    {
        Lock lock(c.mutex);
        DialogState* d = findDialog(c, dialog);
        if (d == nullptr || d->destroyed) {
            return;
        }
        d->destroyed = true;
        d->visible = false;
        ThreadQueue& queue = *d->thread;
        for (const auto& [handle, other] : c.dialogs) {
            if (other->owner == dialog && other->thread == d->thread && !other->destroyed) {
                owned.push_back(handle);
            }
        }
        for (const auto& control : d->controls) {
            controls.push_back(control.handle);
        }
        std::erase_if(queue.timers, [&](const Timer& t) { return belongsTo(c, t.window, dialog); });
        // Messages for the dialog go with it, and so does the rest of an
        // action it already took part of (the Enter that ended it leaves its
        // character and release behind).
        for (auto it = queue.posted.begin(); it != queue.posted.end();) {
            const bool forDialog =
                !it->task && !it->toFocus && belongsTo(c, it->message.window, dialog);
            const bool restOfAction = it->toFocus && it->done && it->done->started;
            if (forDialog || restOfAction) {
                if (it->done) {
                    it->done->finished = true;
                    it->done->gone = !it->done->started;
                }
                it = queue.posted.erase(it);
            } else {
                ++it;
            }
        }
        if (focusInside(c, queue, dialog)) {
            queue.focus = 0;
        }
        if (queue.active == dialog) {
            queue.active = 0;
        }
        if (c.foreground == dialog) {
            c.foreground = 0;
        }
        if (c.hover != 0 && belongsTo(c, c.hover, dialog)) {
            c.hover = 0;
        }
        notifyAll(c);
    }
    for (const Window child : owned) {
        destroyDialogNow(child);
    }
    callDialog(dialog, kWmDestroy, 0, 0);
    for (const Window control : controls) {
        callControl(control, kWmDestroy, 0, 0);
    }
    DialogEvent event;
    bool announce = false;
    std::shared_ptr<Backend> backend;
    {
        std::lock_guard lock(c.mutex);
        DialogState* d = findDialog(c, dialog);
        if (d == nullptr) {
            return;
        }
        event = {dialog, d->templateId, d->kind, d->result, d->timedOut};
        announce = d->opened;
        backend = c.backend;
        for (auto& control : d->controls) {
            if (control.kind == ControlKind::Edit) {
                wipeEditText(control);
            }
            c.controlParent.erase(control.handle);
        }
        c.dialogs.erase(dialog);
        notifyAll(c);
    }
    platform::destroyTopLevelWindow(dialog);
    if (announce && backend) {
        backend->dialogClosed(event);
    }
}

std::optional<Window> resolveOwner(Core& c, Window owner) {
    if (owner == 0) {
        return Window{0};
    }
    if (const DialogState* d = dialogOf(c, owner)) {
        return d->handle;
    }
    if (platform::findTopLevelWindow(owner)) {
        return owner;
    }
    return std::nullopt;
}

} // namespace

namespace detail {

LResult deliver(Window window, std::uint32_t message, WParam wParam, LParam lParam) {
    Core& c = core();
    bool isDialog = false;
    {
        std::lock_guard lock(c.mutex);
        isDialog = findDialog(c, window) != nullptr;
        if (!isDialog && findControl(c, window).control == nullptr) {
            return 0;
        }
    }
    return isDialog ? callDialog(window, message, wParam, lParam)
                    : callControl(window, message, wParam, lParam);
}

void finishHandled(Core& c, ThreadQueue& queue) {
    if (queue.handled.empty()) {
        return;
    }
    for (auto& done : queue.handled) {
        done->finished = true;
    }
    queue.handled.clear();
    notifyAll(c);
}

void invalidateLocked(Core& c, Window window, bool erase) {
    if (DialogState* d = findDialog(c, window)) {
        d->paintPending = true;
        d->erasePending = d->erasePending || erase;
    } else if (const auto ref = findControl(c, window); ref.control != nullptr) {
        ref.control->paintPending = true;
    }
    notifyAll(c);
}

std::optional<Queued> moveMouseLocked(Core& c, Window target) {
    if (c.hover != target && c.hover != 0) {
        const Window left = c.hover;
        bool wanted = false;
        if (DialogState* d = findDialog(c, left); d != nullptr && d->trackLeave) {
            d->trackLeave = false;
            wanted = true;
        } else if (const auto ref = findControl(c, left); ref.control && ref.control->trackLeave) {
            ref.control->trackLeave = false;
            wanted = true;
        }
        if (wanted) {
            if (DialogState* d = dialogOf(c, left)) {
                d->thread->posted.push_back(plainMessage({left, kWmMouseLeave, 0, 0}));
                notifyAll(c);
            }
        }
    }
    c.hover = target;
    if (target == 0) {
        return std::nullopt;
    }
    Rect area;
    if (const auto ref = findControl(c, target); ref.control != nullptr) {
        area = ref.control->rect;
    } else if (const DialogState* d = findDialog(c, target)) {
        area = clientOnScreen(*d);
    }
    Queued move;
    move.message = {target, kWmMouseMove, 0,
                    makeLParam(static_cast<std::uint16_t>(area.width() / 2),
                               static_cast<std::uint16_t>(area.height() / 2))};
    move.input = true;
    return move;
}

Window makeDialog(const DialogTemplate& dialog, Window owner, DialogProc proc, bool modal,
                  DialogKind kind, std::uint32_t messageBoxStyle) {
    Core& c = core();
    std::optional<Window> resolved;
    {
        std::lock_guard lock(c.mutex);
        resolved = resolveOwner(c, owner);
    }
    if (!resolved) {
        setLastError(kErrorInvalidWindowHandle);
        return 0;
    }
    const Window handle = platform::createTopLevelWindow(platform::utf16ToUtf8(dialog.caption),
                                                         platform::kDialogWindowClass);
    if (handle == 0) {
        setLastError(kErrorInvalidWindowHandle);
        return 0;
    }
    auto state = std::make_shared<DialogState>();
    state->handle = handle;
    state->templateId = dialog.id;
    state->kind = kind;
    state->messageBoxStyle = messageBoxStyle;
    state->owner = *resolved;
    state->caption = dialog.caption;
    state->captioned = (dialog.style & kDialogCaption) != 0;
    state->modal = modal;
    state->proc = std::move(proc);
    state->font = Font{dialog.font.face, std::max(1, dialog.font.pointSize) * 96 / 72,
                       kFontWeightNormal, 0, kDefaultCharset};
    const BaseUnits units = fontBaseUnits(dialog.font);
    const Rect client = unitsToPixels({0, 0, dialog.width, dialog.height}, units);
    state->windowRect = {0, 0, client.width() + 2 * kFrameBorder,
                         client.height() + 2 * kFrameBorder +
                             (state->captioned ? kCaptionHeight : 0)};
    bool topMost = false;
    {
        std::lock_guard lock(c.mutex);
        state->thread = currentQueuePtr(c);
        // Its thread is at work from here until its modal loop first waits
        // (initialising, starting timers, showing): a clock advance made
        // meanwhile must not pass the timers it is about to start.
        if (modal) {
            state->thread->busy = true;
        }
        for (const auto& t : dialog.controls) {
            ControlState control;
            control.handle = newControlHandle(c);
            control.id = t.id;
            control.kind = t.kind;
            control.rect = unitsToPixels(t.rect, units);
            control.text = t.text;
            control.style = t.style;
            control.bitmap = t.bitmap;
            control.visible = (t.style & kStyleHidden) == 0;
            control.enabled = (t.style & kStyleDisabled) == 0;
            control.edit.readOnly = (t.style & kStyleReadOnly) != 0;
            control.edit.passwordChar = (t.style & kStylePassword) != 0 ? u'*' : 0;
            control.proc = controlClassProc(t.kind);
            c.controlParent[control.handle] = handle;
            state->controls.push_back(std::move(control));
        }
        topMost = (dialog.style & kDialogTopMost) != 0;
        state->topMost = topMost;
        c.dialogs[handle] = std::move(state);
    }
    if (topMost) {
        platform::setWindowTopMost(handle, true);
    }
    return handle;
}

LResult runModalDialog(Window dialog, LParam initParam) {
    Core& c = core();
    initDialog(dialog, initParam);
    Window owner = 0;
    bool show = false;
    {
        std::lock_guard lock(c.mutex);
        const DialogState* d = findDialog(c, dialog);
        show = d != nullptr && !d->ended && !d->destroyed;
        owner = d != nullptr ? d->owner : 0;
    }
    const bool disabled = show && disableOwner(owner);
    if (show) {
        showDialog(dialog);
    }
    TimePoint deadline;
    {
        std::lock_guard lock(c.mutex);
        ThreadQueue& queue = currentQueue(c);
        deadline = nowLocked(c) + c.ceiling;
        queue.ceilings.push_back(deadline);
        ++queue.modalDepth;
    }
    Message message;
    for (;;) {
        {
            std::lock_guard lock(c.mutex);
            const DialogState* d = findDialog(c, dialog);
            if (d == nullptr || d->ended || d->destroyed) {
                break;
            }
        }
        const Take took = takeMessage(message, 0, deadline, true, true, dialog);
        if (took == Take::Deadline) {
            std::lock_guard lock(c.mutex);
            if (DialogState* d = findDialog(c, dialog)) {
                d->ended = true;
                d->timedOut = true;
                d->result = c.timeoutResult;
            }
            break;
        }
        if (took == Take::Quit) {
            // The quit is for the loop outside this one.
            postQuitMessage(static_cast<int>(message.wParam));
            endDialog(dialog, 0);
            break;
        }
        if (took != Take::Message) {
            break;
        }
        if (!isDialogMessage(dialog, message)) {
            dispatchMessage(message);
        }
    }
    LResult result = 0;
    {
        std::lock_guard lock(c.mutex);
        ThreadQueue& queue = currentQueue(c);
        queue.ceilings.pop_back();
        --queue.modalDepth;
        if (const DialogState* d = findDialog(c, dialog)) {
            result = d->result;
        }
    }
    if (disabled) {
        enableOwner(owner);
    }
    destroyDialogNow(dialog);
    bool reactivate = false;
    {
        std::lock_guard lock(c.mutex);
        const DialogState* o = findDialog(c, owner);
        reactivate = o != nullptr && onOwnThread(*o) && o->visible;
    }
    if (reactivate) {
        activate(owner);
    }
    std::lock_guard lock(c.mutex);
    ThreadQueue& queue = currentQueue(c);
    finishHandled(c, queue);
    queue.busy = false;
    notifyAll(c);
    return result;
}

} // namespace detail

LResult dialogBox(std::uint32_t templateId, Window owner, DialogProc proc, LParam initParam) {
    ensureBackend();
    const auto found = findDialogTemplate(templateId);
    if (!found) {
        setLastError(kErrorResourceNameNotFound);
        return -1;
    }
    const Window dialog = makeDialog(*found, owner, std::move(proc), true, DialogKind::Dialog, 0);
    if (dialog == 0) {
        return -1;
    }
    return runModalDialog(dialog, initParam);
}

Window createDialog(std::uint32_t templateId, Window owner, DialogProc proc, LParam initParam) {
    ensureBackend();
    const auto found = findDialogTemplate(templateId);
    if (!found) {
        setLastError(kErrorResourceNameNotFound);
        return 0;
    }
    const Window dialog = makeDialog(*found, owner, std::move(proc), false, DialogKind::Dialog, 0);
    if (dialog == 0) {
        return 0;
    }
    initDialog(dialog, initParam);
    Core& c = core();
    bool show = false;
    {
        std::lock_guard lock(c.mutex);
        const DialogState* d = findDialog(c, dialog);
        if (d == nullptr) {
            return 0;
        }
        show = (found->style & kDialogInvisible) == 0 && !d->ended && !d->destroyed;
    }
    if (show) {
        showDialog(dialog);
    }
    return dialog;
}

bool endDialog(Window dialog, LResult result) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    DialogState* d = findDialog(c, dialog);
    if (d == nullptr) {
        setLastError(kErrorInvalidWindowHandle);
        return false;
    }
    d->ended = true;
    d->result = result;
    if (!d->modal) {
        d->visible = false;
    }
    notifyAll(c);
    return true;
}

bool destroyWindow(Window dialog) {
    Core& c = core();
    {
        std::lock_guard lock(c.mutex);
        const DialogState* d = findDialog(c, dialog);
        if (d == nullptr || d->destroyed) {
            setLastError(kErrorInvalidWindowHandle);
            return false;
        }
        if (!onOwnThread(*d)) {
            setLastError(kErrorWrongThread);
            return false;
        }
    }
    destroyDialogNow(dialog);
    return true;
}

void setModalWaitCeiling(Milliseconds ceiling, LResult timeoutResult) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    c.ceiling = std::max(ceiling, Milliseconds(0));
    c.timeoutResult = timeoutResult;
}

Milliseconds modalWaitCeiling() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    return c.ceiling;
}

LResult modalTimeoutResult() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    return c.timeoutResult;
}

int getMessage(Message& message, Window filter) {
    switch (takeMessage(message, filter, std::nullopt, true, true)) {
    case Take::Message:
        return 1;
    case Take::Quit:
        return 0;
    default:
        return -1;
    }
}

bool peekMessage(Message& message, bool remove) {
    const Take took = takeMessage(message, 0, std::nullopt, false, remove);
    return took == Take::Message || took == Take::Quit;
}

LResult dispatchMessage(const Message& message) {
    if (message.message == kWmPaint) {
        Core& c = core();
        bool isDialog = false;
        {
            std::lock_guard lock(c.mutex);
            isDialog = findDialog(c, message.window) != nullptr;
        }
        if (isDialog) {
            paintDialogNow(message.window);
        } else {
            paintControlNow(message.window);
            Window dialog = getParent(message.window);
            if (auto backend = backendIfOpened(c, dialog)) {
                backend->dialogChanged(dialog);
            }
        }
        return 0;
    }
    return deliver(message.window, message.message, message.wParam, message.lParam);
}

bool isDialogMessage(Window dialog, const Message& message) {
    Core& c = core();
    Window focus = 0;
    {
        std::lock_guard lock(c.mutex);
        const DialogState* d = findDialog(c, dialog);
        if (d == nullptr || message.window == 0 || !belongsTo(c, message.window, dialog)) {
            return false;
        }
        focus = d->thread->focus;
    }
    if (message.message == kWmKeyDown) {
        switch (message.wParam) {
        case kVkReturn: {
            int id = kIdOk;
            {
                std::lock_guard lock(c.mutex);
                const auto focused = findControl(c, focus);
                const DialogState* d = findDialog(c, dialog);
                if (focused.control != nullptr && focused.dialog == d &&
                    focused.control->kind == ControlKind::Button) {
                    id = focused.control->id;
                } else if (d != nullptr) {
                    for (const auto& control : d->controls) {
                        if ((control.style & kStyleDefaultButton) != 0) {
                            id = control.id;
                            break;
                        }
                    }
                }
            }
            const Window button = getDlgItem(dialog, id);
            if (button != 0 && !isWindowEnabled(button)) {
                return true;
            }
            callDialog(dialog, kWmCommand, makeWParam(static_cast<std::uint16_t>(id), kBnClicked),
                       static_cast<LParam>(button));
            return true;
        }
        case kVkEscape:
            callDialog(dialog, kWmCommand, makeWParam(kIdCancel, kBnClicked),
                       static_cast<LParam>(getDlgItem(dialog, kIdCancel)));
            return true;
        case kVkTab: {
            Window next = 0;
            {
                std::lock_guard lock(c.mutex);
                const DialogState* d = findDialog(c, dialog);
                std::vector<Window> stops;
                for (const auto& control : d->controls) {
                    if ((control.style & kStyleTabStop) != 0 && control.visible &&
                        control.enabled) {
                        stops.push_back(control.handle);
                    }
                }
                if (!stops.empty()) {
                    const auto at = std::find(stops.begin(), stops.end(), focus);
                    next = at == stops.end() || at + 1 == stops.end() ? stops.front() : *(at + 1);
                }
            }
            if (next != 0) {
                setFocus(next);
            }
            return true;
        }
        default:
            break;
        }
    }
    if (message.message == kWmChar &&
        (message.wParam == u'\r' || message.wParam == 0x1B || message.wParam == u'\t')) {
        return true;
    }
    dispatchMessage(message);
    return true;
}

void postQuitMessage(int exitCode) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    ThreadQueue& queue = currentQueue(c);
    queue.quitPosted = true;
    queue.quitCode = exitCode;
    notifyAll(c);
}

bool postMessage(Window window, std::uint32_t message, WParam wParam, LParam lParam) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    DialogState* d = dialogOf(c, window);
    if (d == nullptr || d->destroyed) {
        setLastError(kErrorInvalidWindowHandle);
        return false;
    }
    d->thread->posted.push_back(plainMessage({window, message, wParam, lParam}));
    notifyAll(c);
    return true;
}

LResult sendMessage(Window window, std::uint32_t message, WParam wParam, LParam lParam) {
    Core& c = core();
    Lock lock(c.mutex);
    DialogState* d = dialogOf(c, window);
    if (d == nullptr) {
        setLastError(kErrorInvalidWindowHandle);
        return 0;
    }
    if (onOwnThread(*d)) {
        lock.unlock();
        return deliver(window, message, wParam, lParam);
    }
    auto target = d->thread;
    auto sent = std::make_shared<Sent>();
    sent->message = {window, message, wParam, lParam};
    target->sent.push_back(sent);
    notifyAll(c);
    ThreadQueue* mine = existingQueue(c);
    while (!sent->finished) {
        if (mine != nullptr && !mine->sent.empty()) {
            serveOneSent(c, lock, *mine);
            continue;
        }
        const bool alive = std::find(c.threads.begin(), c.threads.end(), target) != c.threads.end();
        if (!alive) {
            break;
        }
        c.changed.wait(lock);
    }
    return sent->result;
}

LResult sendDlgItemMessage(Window dialog, int id, std::uint32_t message, WParam wParam,
                           LParam lParam) {
    const Window control = getDlgItem(dialog, id);
    return control != 0 ? sendMessage(control, message, wParam, lParam) : 0;
}

WindowProc setWindowProc(Window control, WindowProc proc) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const auto ref = findControl(c, control);
    if (ref.control == nullptr) {
        setLastError(kErrorInvalidWindowHandle);
        return {};
    }
    return std::exchange(ref.control->proc, std::move(proc));
}

LResult callWindowProc(const WindowProc& proc, Window window, std::uint32_t message, WParam wParam,
                       LParam lParam) {
    return invoke(proc, window, message, wParam, lParam);
}

bool isWindow(Window window) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const DialogState* d = dialogOf(c, window);
    return d != nullptr && !d->destroyed;
}

Window getDlgItem(Window dialog, int id) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const DialogState* d = findDialog(c, dialog);
    if (d == nullptr) {
        return 0;
    }
    for (const auto& control : d->controls) {
        if (control.id == id) {
            return control.handle;
        }
    }
    return 0;
}

int getDlgCtrlId(Window control) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const auto ref = findControl(c, control);
    return ref.control != nullptr ? ref.control->id : 0;
}

Window getParent(Window control) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const auto ref = findControl(c, control);
    return ref.dialog != nullptr ? ref.dialog->handle : 0;
}

Window getOwner(Window dialog) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const DialogState* d = findDialog(c, dialog);
    return d != nullptr ? d->owner : 0;
}

ControlKind controlKind(Window control) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const auto ref = findControl(c, control);
    return ref.control != nullptr ? ref.control->kind : ControlKind::Static;
}

bool setWindowText(Window window, std::u16string_view text) {
    Core& c = core();
    {
        std::lock_guard lock(c.mutex);
        if (DialogState* d = findDialog(c, window)) {
            d->caption = std::u16string(text);
            invalidateLocked(c, window, true);
            return platform::setWindowTitle(window, platform::utf16ToUtf8(text));
        }
        if (findControl(c, window).control == nullptr) {
            setLastError(kErrorInvalidWindowHandle);
            return false;
        }
    }
    // A control learns its text through its procedure; the copy may be a
    // secret (an entry field's text), so it is wiped after.
    std::u16string terminated(text);
    sendMessage(window, kWmSetText, 0, reinterpret_cast<LParam>(terminated.c_str()));
    wipeString(terminated);
    return true;
}

std::u16string getWindowText(Window window) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    if (const DialogState* d = findDialog(c, window)) {
        return d->caption;
    }
    const auto ref = findControl(c, window);
    return ref.control != nullptr ? ref.control->text : std::u16string();
}

int getWindowTextLength(Window window) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    if (const DialogState* d = findDialog(c, window)) {
        return static_cast<int>(d->caption.size());
    }
    const auto ref = findControl(c, window);
    return ref.control != nullptr ? static_cast<int>(ref.control->text.size()) : 0;
}

bool setDlgItemText(Window dialog, int id, std::u16string_view text) {
    const Window control = getDlgItem(dialog, id);
    return control != 0 && setWindowText(control, text);
}

std::u16string getDlgItemText(Window dialog, int id) {
    return getWindowText(getDlgItem(dialog, id));
}

bool enableWindow(Window window, bool enable) {
    Core& c = core();
    bool was = false;
    {
        std::lock_guard lock(c.mutex);
        if (DialogState* d = findDialog(c, window)) {
            was = std::exchange(d->enabled, enable);
            invalidateLocked(c, window, true);
        } else if (const auto ref = findControl(c, window); ref.control != nullptr) {
            was = std::exchange(ref.control->enabled, enable);
            if (!enable && ref.dialog->thread->focus == window) {
                ref.dialog->thread->focus = 0;
            }
            invalidateLocked(c, window, false);
            return was;
        } else {
            const auto listed = platform::findTopLevelWindow(window);
            if (!listed) {
                setLastError(kErrorInvalidWindowHandle);
                return false;
            }
            was = listed->enabled;
        }
    }
    platform::setWindowEnabled(window, enable);
    return was;
}

bool isWindowEnabled(Window window) {
    Core& c = core();
    {
        std::lock_guard lock(c.mutex);
        if (const DialogState* d = findDialog(c, window)) {
            return d->enabled;
        }
        if (const auto ref = findControl(c, window); ref.control != nullptr) {
            return ref.control->enabled;
        }
    }
    const auto listed = platform::findTopLevelWindow(window);
    return listed && listed->enabled;
}

bool showWindow(Window window, bool show) {
    Core& c = core();
    bool was = false;
    bool showHere = false;
    {
        std::lock_guard lock(c.mutex);
        if (DialogState* d = findDialog(c, window)) {
            was = d->visible;
            if (show && !was && onOwnThread(*d)) {
                showHere = true;
            } else {
                d->visible = show;
                if (show) {
                    invalidateLocked(c, window, true);
                }
            }
        } else if (const auto ref = findControl(c, window); ref.control != nullptr) {
            was = std::exchange(ref.control->visible, show);
            if (was != show) {
                invalidateLocked(c, show ? window : ref.dialog->handle, !show);
            }
        } else {
            setLastError(kErrorInvalidWindowHandle);
            return false;
        }
    }
    if (showHere) {
        showDialog(window);
    }
    return was;
}

bool isWindowVisible(Window window) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    if (const DialogState* d = findDialog(c, window)) {
        return d->visible;
    }
    const auto ref = findControl(c, window);
    return ref.control != nullptr && ref.control->visible && ref.dialog->visible;
}

bool moveWindow(Window window, int x, int y, int width, int height, bool repaint) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const Rect rect{x, y, x + std::max(0, width), y + std::max(0, height)};
    if (DialogState* d = findDialog(c, window)) {
        d->windowRect = rect;
        if (repaint) {
            invalidateLocked(c, window, true);
        }
        return true;
    }
    if (const auto ref = findControl(c, window); ref.control != nullptr) {
        ref.control->rect = rect;
        if (repaint) {
            invalidateLocked(c, ref.dialog->handle, true);
        }
        return true;
    }
    setLastError(kErrorInvalidWindowHandle);
    return false;
}

std::optional<Rect> getWindowRect(Window window) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    if (const DialogState* d = findDialog(c, window)) {
        return d->windowRect;
    }
    if (const auto ref = findControl(c, window); ref.control != nullptr) {
        const Rect origin = clientOnScreen(*ref.dialog);
        const Rect& r = ref.control->rect;
        return Rect{origin.left + r.left, origin.top + r.top, origin.left + r.right,
                    origin.top + r.bottom};
    }
    return std::nullopt;
}

std::optional<Rect> getClientRect(Window window) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    if (const DialogState* d = findDialog(c, window)) {
        const Rect client = clientOnScreen(*d);
        return Rect{0, 0, std::max(0, client.width()), std::max(0, client.height())};
    }
    if (const auto ref = findControl(c, window); ref.control != nullptr) {
        return Rect{0, 0, ref.control->rect.width(), ref.control->rect.height()};
    }
    return std::nullopt;
}

namespace {

std::optional<Point> clientOrigin(Core& c, Window window) {
    if (const DialogState* d = findDialog(c, window)) {
        const Rect client = clientOnScreen(*d);
        return Point{client.left, client.top};
    }
    if (const auto ref = findControl(c, window); ref.control != nullptr) {
        const Rect client = clientOnScreen(*ref.dialog);
        return Point{client.left + ref.control->rect.left, client.top + ref.control->rect.top};
    }
    return std::nullopt;
}

} // namespace

Point clientToScreen(Window window, Point point) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const auto origin = clientOrigin(c, window);
    return origin ? Point{point.x + origin->x, point.y + origin->y} : point;
}

Point screenToClient(Window window, Point point) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const auto origin = clientOrigin(c, window);
    return origin ? Point{point.x - origin->x, point.y - origin->y} : point;
}

bool setTopMost(Window dialog, bool topMost) {
    Core& c = core();
    {
        std::lock_guard lock(c.mutex);
        if (DialogState* d = findDialog(c, dialog)) {
            d->topMost = topMost;
        }
    }
    return platform::setWindowTopMost(dialog, topMost);
}

bool isTopMost(Window dialog) {
    const auto listed = platform::findTopLevelWindow(dialog);
    return listed && listed->topMost;
}

bool invalidateRect(Window window, bool erase) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    if (dialogOf(c, window) == nullptr) {
        return false;
    }
    invalidateLocked(c, window, erase);
    return true;
}

bool updateWindow(Window window) {
    Core& c = core();
    bool isDialog = false;
    {
        std::lock_guard lock(c.mutex);
        const DialogState* d = dialogOf(c, window);
        if (d == nullptr) {
            return false;
        }
        if (!onOwnThread(*d)) {
            return true; // its own thread paints it when it gets to it
        }
        isDialog = d->handle == window;
    }
    if (isDialog) {
        paintAllPending(window);
    } else {
        dispatchMessage({window, kWmPaint, 0, 0});
    }
    return true;
}

Paint::Paint(Window window, DrawContext* shared, std::unique_ptr<DrawContext> owned)
    : window_(window), owned_(std::move(owned)), dc_(owned_ ? owned_.get() : shared) {}

Paint::Paint(Paint&& other) noexcept
    : window_(std::exchange(other.window_, 0)), owned_(std::move(other.owned_)),
      dc_(std::exchange(other.dc_, nullptr)) {}

Paint::~Paint() {
    if (!owned_) {
        return;
    }
    Core& c = core();
    std::lock_guard lock(c.mutex);
    if (DialogState* d = findDialog(c, window_)) {
        d->drawing = owned_->takeOps();
    } else if (const auto ref = findControl(c, window_); ref.control != nullptr) {
        ref.control->drawing = owned_->takeOps();
    }
}

Paint beginPaint(Window window) {
    if (tPaint.window == window && tPaint.dc != nullptr) {
        return Paint(window, tPaint.dc, nullptr);
    }
    Core& c = core();
    Font font;
    {
        std::lock_guard lock(c.mutex);
        if (const DialogState* d = dialogOf(c, window)) {
            font = d->font;
        }
    }
    return Paint(window, nullptr, std::make_unique<DrawContext>(font));
}

Window setFocus(Window window) {
    Core& c = core();
    Window old = 0;
    {
        std::lock_guard lock(c.mutex);
        ThreadQueue& queue = currentQueue(c);
        DialogState* d = nullptr;
        if (window != 0) {
            d = dialogOf(c, window);
            if (d == nullptr || d->destroyed) {
                setLastError(kErrorInvalidWindowHandle);
                return 0;
            }
            if (d->thread.get() != &queue) {
                setLastError(kErrorWrongThread);
                return 0;
            }
        }
        old = queue.focus;
        if (old == window) {
            return old;
        }
        queue.focus = window;
        if (d != nullptr && d->handle != window) {
            d->lastFocus = window;
        }
        notifyAll(c);
    }
    if (old != 0) {
        deliver(old, kWmKillFocus, static_cast<WParam>(window), 0);
    }
    if (window != 0) {
        deliver(window, kWmSetFocus, static_cast<WParam>(old), 0);
    }
    return old;
}

Window getFocus() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const ThreadQueue* queue = existingQueue(c);
    return queue != nullptr && dialogOf(c, queue->focus) != nullptr ? queue->focus : 0;
}

Window getActiveWindow() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const ThreadQueue* queue = existingQueue(c);
    return queue != nullptr && findDialog(c, queue->active) != nullptr ? queue->active : 0;
}

bool setTimer(Window window, std::uintptr_t id, std::uint32_t elapseMs) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    DialogState* d = dialogOf(c, window);
    if (d == nullptr || d->destroyed) {
        setLastError(kErrorInvalidWindowHandle);
        return false;
    }
    const Milliseconds interval(std::max<std::uint32_t>(elapseMs, 1));
    const TimePoint due = nowLocked(c) + interval;
    auto& timers = d->thread->timers;
    const auto it = std::find_if(timers.begin(), timers.end(),
                                 [&](const Timer& t) { return t.window == window && t.id == id; });
    if (it != timers.end()) {
        it->interval = interval;
        it->due = due;
    } else {
        timers.push_back({window, id, interval, due});
    }
    notifyAll(c);
    return true;
}

bool killTimer(Window window, std::uintptr_t id) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    DialogState* d = dialogOf(c, window);
    if (d == nullptr) {
        setLastError(kErrorInvalidWindowHandle);
        return false;
    }
    const auto removed = std::erase_if(
        d->thread->timers, [&](const Timer& t) { return t.window == window && t.id == id; });
    notifyAll(c);
    return removed != 0;
}

bool trackMouseLeave(Window window) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    DialogState* d = dialogOf(c, window);
    if (d == nullptr) {
        return false;
    }
    if (c.hover != window) {
        // Not under the mouse: the notice comes at once.
        d->thread->posted.push_back(plainMessage({window, kWmMouseLeave, 0, 0}));
        notifyAll(c);
        return true;
    }
    if (d->handle == window) {
        d->trackLeave = true;
    } else {
        findControl(c, window).control->trackLeave = true;
    }
    return true;
}

void editLimitText(Window edit, int limit) {
    sendMessage(edit, kEmLimitText, static_cast<WParam>(std::max(0, limit)), 0);
}

void editSetSel(Window edit, int start, int end) {
    sendMessage(edit, kEmSetSel, static_cast<WParam>(static_cast<std::intptr_t>(start)),
                static_cast<LParam>(end));
}

std::pair<int, int> editGetSel(Window edit) {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    sendMessage(edit, kEmGetSel, reinterpret_cast<WParam>(&start), reinterpret_cast<LParam>(&end));
    return {static_cast<int>(start), static_cast<int>(end)};
}

void editReplaceSel(Window edit, std::u16string_view text) {
    std::u16string terminated(text);
    sendMessage(edit, kEmReplaceSel, 0, reinterpret_cast<LParam>(terminated.c_str()));
    wipeString(terminated);
}

void editSetReadOnly(Window edit, bool readOnly) {
    sendMessage(edit, kEmSetReadOnly, readOnly ? 1 : 0, 0);
}

void editSetPasswordChar(Window edit, char16_t character) {
    sendMessage(edit, kEmSetPasswordChar, character, 0);
}

} // namespace platform::ui
