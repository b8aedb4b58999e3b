// What backends read of the model (snapshots) and how they hand the user's
// actions to a dialog's thread.

#include "platform/ui/Backend.h"
#include "platform/ui/Core.h"
#include "platform/ui/Keyboard.h"

#include <algorithm>

namespace platform::ui {

using namespace detail;

namespace {

bool masked(const ControlState& control) {
    return control.kind == ControlKind::Edit &&
           ((control.style & kStylePassword) != 0 || control.edit.passwordChar != 0);
}

ControlSnapshot snapshotControl(const Core& c, const DialogState& d, const ControlState& control) {
    ControlSnapshot s;
    s.handle = control.handle;
    s.id = control.id;
    s.kind = control.kind;
    s.length = static_cast<int>(control.text.size());
    if (masked(control)) {
        const char16_t shown = control.edit.passwordChar != 0 ? control.edit.passwordChar : u'*';
        s.text = std::u16string(control.text.size(), shown);
        s.masked = true;
    } else {
        s.text = control.text;
    }
    s.selectionStart = control.edit.selStart;
    s.selectionEnd = control.edit.selEnd;
    s.visible = control.visible;
    s.enabled = control.enabled;
    s.readOnly = control.kind == ControlKind::Edit && control.edit.readOnly;
    s.limit = control.kind == ControlKind::Edit ? control.edit.limit : 0;
    s.passwordChar = control.edit.passwordChar;
    s.ownerDraw = (control.style & kStyleOwnerDraw) != 0;
    s.defaultButton = (control.style & kStyleDefaultButton) != 0;
    s.focused = d.thread->focus == control.handle;
    s.hovered = c.hover == control.handle;
    s.style = control.style;
    s.bitmap = control.bitmap;
    s.rect = control.rect;
    s.textColour = control.textColour;
    s.background = control.background;
    s.drawing = control.drawing;
    return s;
}

// An open dialog (shown, painted and not gone) and, when asked, one that
// takes input (enabled: no modal dialog of its own is open over it).
DialogState* openDialog(Core& c, Window dialog) {
    DialogState* d = findDialog(c, dialog);
    return d != nullptr && d->opened && d->visible && !d->destroyed ? d : nullptr;
}

InputResult failed(InputStatus status, std::string why) {
    return {status, std::move(why)};
}

InputResult await(Core& c, Lock& lock, const std::shared_ptr<Completion>& done,
                  Milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    if (!c.changed.wait_until(lock, until, [&] { return done->finished; })) {
        return failed(InputStatus::TimedOut, "the dialog's thread did not handle it in time");
    }
    if (done->gone) {
        return failed(InputStatus::Gone, "the dialog went before the action was handled");
    }
    return {};
}

// The control an action is for, checked as a user would find it.
struct Target {
    DialogState* dialog = nullptr;
    ControlState* control = nullptr;
    InputResult refusal;
};

Target usableControl(Core& c, Window window) {
    const auto ref = findControl(c, window);
    if (ref.control == nullptr || openDialog(c, ref.dialog->handle) == nullptr) {
        return {nullptr, nullptr,
                failed(InputStatus::NoWindow, "no such control in an open dialog")};
    }
    if (!ref.dialog->enabled) {
        return {nullptr, nullptr, failed(InputStatus::Refused, "the dialog is disabled")};
    }
    if (!ref.control->visible) {
        return {nullptr, nullptr, failed(InputStatus::Refused, "the control is hidden")};
    }
    if (!ref.control->enabled) {
        return {nullptr, nullptr, failed(InputStatus::Refused, "the control is disabled")};
    }
    return {ref.dialog, ref.control, {}};
}

Target usableDialog(Core& c, Window window) {
    DialogState* d = openDialog(c, window);
    if (d == nullptr) {
        return {nullptr, nullptr, failed(InputStatus::NoWindow, "no such open dialog")};
    }
    if (!d->enabled) {
        return {nullptr, nullptr, failed(InputStatus::Refused, "the dialog is disabled")};
    }
    return {d, nullptr, {}};
}

InputResult runTask(Core& c, Lock& lock, DialogState& dialog, std::function<void()> task,
                    Milliseconds limit) {
    Queued item;
    item.task = std::move(task);
    std::vector<Queued> items;
    items.push_back(std::move(item));
    const auto done = postAction(c, *dialog.thread, std::move(items));
    return await(c, lock, done, limit);
}

// The character a key makes, 0 for none.
char16_t keyCharacter(std::uint32_t key, bool capsLock) {
    switch (key) {
    case kVkBack:
        return u'\b';
    case kVkTab:
        return u'\t';
    case kVkReturn:
        return u'\r';
    case kVkEscape:
        return 0x1B;
    case kVkSpace:
        return u' ';
    default:
        break;
    }
    if (key >= '0' && key <= '9') {
        return static_cast<char16_t>(key);
    }
    if (key >= 'A' && key <= 'Z') {
        return static_cast<char16_t>(capsLock ? key : key - 'A' + 'a');
    }
    return 0;
}

} // namespace

std::vector<Window> openDialogs() {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    std::vector<const DialogState*> open;
    for (const auto& [handle, d] : c.dialogs) {
        if (d->opened && d->visible && !d->destroyed) {
            open.push_back(d.get());
        }
    }
    std::sort(open.begin(), open.end(),
              [](const auto* a, const auto* b) { return a->openOrder < b->openOrder; });
    std::vector<Window> windows;
    for (const auto* d : open) {
        windows.push_back(d->handle);
    }
    return windows;
}

std::optional<DialogSnapshot> snapshotDialog(Window dialog) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const DialogState* d = openDialog(c, dialog);
    if (d == nullptr) {
        return std::nullopt;
    }
    DialogSnapshot s;
    s.handle = d->handle;
    s.templateId = d->templateId;
    s.kind = d->kind;
    s.messageBoxStyle = d->messageBoxStyle;
    s.caption = d->caption;
    s.owner = d->owner;
    s.topMost = d->topMost;
    s.visible = d->visible;
    s.enabled = d->enabled;
    s.modal = d->modal;
    s.windowRect = d->windowRect;
    const int top = d->windowRect.top + kFrameBorder + (d->captioned ? kCaptionHeight : 0);
    s.clientRect = {d->windowRect.left + kFrameBorder, top, d->windowRect.right - kFrameBorder,
                    d->windowRect.bottom - kFrameBorder};
    s.font = d->font;
    s.drawing = d->drawing;
    const Window focus = d->thread->focus;
    if (focus == d->handle) {
        s.focusId = 0;
    }
    for (const auto& control : d->controls) {
        if (control.handle == focus) {
            s.focusId = control.id;
        }
        s.controls.push_back(snapshotControl(c, *d, control));
    }
    return s;
}

InputResult clickControl(Window control, Milliseconds limit) {
    Core& c = core();
    Lock lock(c.mutex);
    const Target target = usableControl(c, control);
    if (target.control == nullptr) {
        return target.refusal;
    }
    std::vector<Queued> items;
    if (auto move = moveMouseLocked(c, control)) {
        items.push_back(std::move(*move));
    }
    for (const std::uint32_t message : {kWmLButtonDown, kWmLButtonUp}) {
        Queued press;
        press.message = {control, message, message == kWmLButtonDown ? WParam(1) : WParam(0),
                         items.empty() ? 0 : items.front().message.lParam};
        press.input = true;
        items.push_back(std::move(press));
    }
    const auto done = postAction(c, *target.dialog->thread, std::move(items));
    return await(c, lock, done, limit);
}

InputResult hoverWindow(Window window, Milliseconds limit) {
    Core& c = core();
    Lock lock(c.mutex);
    DialogState* dialog = nullptr;
    if (window != 0) {
        dialog = dialogOf(c, window);
        if (dialog == nullptr || openDialog(c, dialog->handle) == nullptr) {
            return failed(InputStatus::NoWindow, "no such window in an open dialog");
        }
    }
    // The window left gets its notice through its own queue; wait for that
    // too, so the answer comes after its handler.
    const Window left = c.hover;
    DialogState* leftDialog = left != 0 && left != window ? dialogOf(c, left) : nullptr;
    const std::size_t before = leftDialog != nullptr ? leftDialog->thread->posted.size() : 0;
    auto move = moveMouseLocked(c, window);
    std::shared_ptr<Completion> leaveDone;
    if (leftDialog != nullptr && leftDialog->thread->posted.size() > before) {
        leaveDone = std::make_shared<Completion>();
        leftDialog->thread->posted.back().done = leaveDone;
    }
    std::shared_ptr<Completion> moveDone;
    if (move && dialog != nullptr) {
        std::vector<Queued> items;
        items.push_back(std::move(*move));
        moveDone = postAction(c, *dialog->thread, std::move(items));
    }
    for (const auto& done : {leaveDone, moveDone}) {
        if (done) {
            if (auto result = await(c, lock, done, limit); result.status != InputStatus::Done) {
                return result;
            }
        }
    }
    return {};
}

InputResult typeText(Window dialog, std::u16string_view text, Milliseconds limit) {
    Core& c = core();
    Lock lock(c.mutex);
    const Target target = usableDialog(c, dialog);
    if (target.dialog == nullptr) {
        return target.refusal;
    }
    const Window focus = target.dialog->thread->focus;
    if (focus == 0 || dialogOf(c, focus) != target.dialog) {
        return failed(InputStatus::Refused, "nothing in the dialog has the focus");
    }
    std::vector<Queued> items;
    for (const char16_t unit : text) {
        Queued typed;
        typed.message = {0, kWmChar, unit, 1};
        typed.toFocus = true;
        typed.input = true;
        items.push_back(std::move(typed));
    }
    const auto done = postAction(c, *target.dialog->thread, std::move(items));
    return await(c, lock, done, limit);
}

InputResult pressKey(Window dialog, std::uint32_t virtualKey, Milliseconds limit) {
    Core& c = core();
    Lock lock(c.mutex);
    const Target target = usableDialog(c, dialog);
    if (target.dialog == nullptr) {
        return target.refusal;
    }
    if (virtualKey == kVkCapital) {
        c.capsLock = !c.capsLock;
    }
    const char16_t character = keyCharacter(virtualKey, c.capsLock);
    const Window focus = target.dialog->thread->focus;
    const bool focusInside = focus != 0 && dialogOf(c, focus) == target.dialog;
    std::vector<Queued> items;
    const auto add = [&](std::uint32_t message, WParam wParam, LParam flags) {
        Queued key;
        key.message = {focusInside ? Window(0) : dialog, message, wParam, flags};
        key.toFocus = focusInside;
        key.input = true;
        items.push_back(std::move(key));
    };
    add(kWmKeyDown, virtualKey, 1);
    if (character != 0) {
        add(kWmChar, character, 1);
    }
    add(kWmKeyUp, virtualKey, LParam(1) | (LParam(1) << 31));
    const auto done = postAction(c, *target.dialog->thread, std::move(items));
    return await(c, lock, done, limit);
}

InputResult focusControl(Window control, Milliseconds limit) {
    Core& c = core();
    Lock lock(c.mutex);
    const Target target = usableControl(c, control);
    if (target.control == nullptr) {
        return target.refusal;
    }
    return runTask(
        c, lock, *target.dialog, [control] { setFocus(control); }, limit);
}

InputResult selectText(Window edit, int start, int end, Milliseconds limit) {
    Core& c = core();
    Lock lock(c.mutex);
    const Target target = usableControl(c, edit);
    if (target.control == nullptr) {
        return target.refusal;
    }
    if (target.control->kind != ControlKind::Edit) {
        return failed(InputStatus::Refused, "the control is no entry field");
    }
    return runTask(
        c, lock, *target.dialog, [edit, start, end] { editSetSel(edit, start, end); }, limit);
}

InputResult closeDialog(Window dialog, Milliseconds limit) {
    Core& c = core();
    Lock lock(c.mutex);
    const Target target = usableDialog(c, dialog);
    if (target.dialog == nullptr) {
        return target.refusal;
    }
    std::vector<Queued> items;
    Queued close;
    close.message = {dialog, kWmClose, 0, 0};
    close.input = true;
    items.push_back(std::move(close));
    const auto done = postAction(c, *target.dialog->thread, std::move(items));
    return await(c, lock, done, limit);
}

} // namespace platform::ui
