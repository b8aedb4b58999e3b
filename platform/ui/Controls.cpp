// The built-in behaviour of each control kind: what a control does with the
// messages its dialog's procedure does not take first.
//
// Edits follow the platform's one-line edit: a typed character replaces the
// selection, and is refused when the text would then be longer than the
// limit or when the edit is read-only; backspace deletes the selection or
// the character before the caret; a program's replacement (kEmReplaceSel)
// ignores read-only and is cut to what the limit leaves room for; setting
// the text ignores the limit and puts the caret at the start.

#include "platform/ui/Core.h"
#include "platform/ui/Wipe.h"

#include <algorithm>

namespace platform::ui {
namespace detail {
namespace {

constexpr int kNoLimit = 0x7FFFFFFE;

void notifyParent(Window control, std::uint16_t code) {
    Core& c = core();
    Window dialog = 0;
    int id = 0;
    {
        std::lock_guard lock(c.mutex);
        const auto ref = findControl(c, control);
        if (ref.control == nullptr) {
            return;
        }
        dialog = ref.dialog->handle;
        id = ref.control->id;
    }
    deliver(dialog, kWmCommand, makeWParam(static_cast<std::uint16_t>(id), code),
            static_cast<LParam>(control));
}

void setText(Window window, const char16_t* text) {
    Core& c = core();
    std::lock_guard lock(c.mutex);
    const auto ref = findControl(c, window);
    if (ref.control == nullptr) {
        return;
    }
    const std::u16string_view value = text != nullptr ? std::u16string_view(text) : u"";
    if (ref.control->kind == ControlKind::Edit) {
        replaceEditText(*ref.control, 0, static_cast<int>(ref.control->text.size()), value);
        ref.control->edit.selStart = 0;
        ref.control->edit.selEnd = 0;
    } else {
        ref.control->text = std::u16string(value);
    }
    invalidateLocked(c, window, false);
}

LResult commonProc(Window window, std::uint32_t message, LParam lParam) {
    if (message == kWmSetText) {
        setText(window, reinterpret_cast<const char16_t*>(lParam));
        return 1;
    }
    return 0;
}

LResult staticProc(Window window, std::uint32_t message, WParam, LParam lParam) {
    return commonProc(window, message, lParam);
}

LResult buttonProc(Window window, std::uint32_t message, WParam, LParam lParam) {
    Core& c = core();
    switch (message) {
    case kWmLButtonDown: {
        {
            std::lock_guard lock(c.mutex);
            const auto ref = findControl(c, window);
            if (ref.control == nullptr) {
                return 0;
            }
            ref.control->pushed = true;
            invalidateLocked(c, window, false);
        }
        setFocus(window);
        return 0;
    }
    case kWmLButtonUp: {
        bool clicked = false;
        {
            std::lock_guard lock(c.mutex);
            const auto ref = findControl(c, window);
            if (ref.control == nullptr) {
                return 0;
            }
            clicked = std::exchange(ref.control->pushed, false);
            invalidateLocked(c, window, false);
        }
        if (clicked) {
            notifyParent(window, kBnClicked);
        }
        return 0;
    }
    case kWmSetFocus:
    case kWmKillFocus: {
        std::lock_guard lock(c.mutex);
        invalidateLocked(c, window, false);
        return 0;
    }
    default:
        return commonProc(window, message, lParam);
    }
}

int clampToText(const ControlState& control, std::intptr_t value) {
    const auto size = static_cast<std::intptr_t>(control.text.size());
    return static_cast<int>(std::clamp<std::intptr_t>(value, 0, size));
}

// A typed character (backspace included); true when the text changed.
bool typeCharacter(ControlState& control, char16_t character) {
    EditState& edit = control.edit;
    if (edit.readOnly) {
        return false;
    }
    if (character == u'\b') {
        if (edit.selStart != edit.selEnd) {
            replaceEditText(control, edit.selStart, edit.selEnd, u"");
            edit.selEnd = edit.selStart;
            return true;
        }
        if (edit.selStart == 0) {
            return false;
        }
        replaceEditText(control, edit.selStart - 1, edit.selStart, u"");
        edit.selStart = edit.selEnd = edit.selStart - 1;
        return true;
    }
    if (character < 0x20) {
        return false; // one-line edits take no other control characters
    }
    const auto kept = control.text.size() - static_cast<std::size_t>(edit.selEnd - edit.selStart);
    if (kept + 1 > static_cast<std::size_t>(edit.limit)) {
        return false;
    }
    const char16_t typed[1] = {character};
    replaceEditText(control, edit.selStart, edit.selEnd, std::u16string_view(typed, 1));
    edit.selStart = edit.selEnd = edit.selStart + 1;
    return true;
}

bool deleteForward(ControlState& control) {
    EditState& edit = control.edit;
    if (edit.readOnly) {
        return false;
    }
    if (edit.selStart != edit.selEnd) {
        replaceEditText(control, edit.selStart, edit.selEnd, u"");
        edit.selEnd = edit.selStart;
        return true;
    }
    if (edit.selStart >= static_cast<int>(control.text.size())) {
        return false;
    }
    replaceEditText(control, edit.selStart, edit.selStart + 1, u"");
    return true;
}

void moveCaret(ControlState& control, int to) {
    control.edit.selStart = control.edit.selEnd = clampToText(control, to);
}

LResult editProc(Window window, std::uint32_t message, WParam wParam, LParam lParam) {
    Core& c = core();
    bool changed = false;
    LResult result = 0;
    {
        std::lock_guard lock(c.mutex);
        const auto ref = findControl(c, window);
        if (ref.control == nullptr) {
            return 0;
        }
        ControlState& control = *ref.control;
        EditState& edit = control.edit;
        switch (message) {
        case kWmChar:
            changed = typeCharacter(control, static_cast<char16_t>(wParam));
            break;
        case kWmKeyDown:
            switch (wParam) {
            case kVkDelete:
                changed = deleteForward(control);
                break;
            case kVkLeft:
                moveCaret(control,
                          edit.selStart == edit.selEnd ? edit.selStart - 1 : edit.selStart);
                break;
            case kVkRight:
                moveCaret(control, edit.selStart == edit.selEnd ? edit.selEnd + 1 : edit.selEnd);
                break;
            case kVkHome:
                moveCaret(control, 0);
                break;
            case kVkEnd:
                moveCaret(control, static_cast<int>(control.text.size()));
                break;
            default:
                break;
            }
            break;
        case kEmGetSel:
            if (wParam != 0) {
                *reinterpret_cast<std::uint32_t*>(wParam) =
                    static_cast<std::uint32_t>(edit.selStart);
            }
            if (lParam != 0) {
                *reinterpret_cast<std::uint32_t*>(lParam) = static_cast<std::uint32_t>(edit.selEnd);
            }
            result = static_cast<LResult>((std::min(edit.selStart, 0xFFFF)) |
                                          (std::min(edit.selEnd, 0xFFFF) << 16));
            break;
        case kEmSetSel: {
            // -1 as the start drops the selection; -1 as the end means the end.
            const auto start = static_cast<std::int32_t>(static_cast<std::intptr_t>(wParam));
            const auto end = static_cast<std::int32_t>(lParam);
            if (start == -1) {
                moveCaret(control, edit.selEnd);
                break;
            }
            int from = clampToText(control, start);
            int to = end < 0 ? static_cast<int>(control.text.size()) : clampToText(control, end);
            if (from > to) {
                std::swap(from, to);
            }
            edit.selStart = from;
            edit.selEnd = to;
            break;
        }
        case kEmReplaceSel: {
            std::u16string_view insert =
                lParam != 0 ? std::u16string_view(reinterpret_cast<const char16_t*>(lParam)) : u"";
            const auto kept =
                control.text.size() - static_cast<std::size_t>(edit.selEnd - edit.selStart);
            const auto room = static_cast<std::size_t>(edit.limit) > kept
                                  ? static_cast<std::size_t>(edit.limit) - kept
                                  : std::size_t{0};
            insert = insert.substr(0, room);
            replaceEditText(control, edit.selStart, edit.selEnd, insert);
            edit.selStart = edit.selEnd = edit.selStart + static_cast<int>(insert.size());
            changed = true;
            break;
        }
        case kEmLimitText: {
            const auto limit = static_cast<std::uint64_t>(wParam);
            edit.limit = limit == 0 || limit > static_cast<std::uint64_t>(kNoLimit)
                             ? kNoLimit
                             : static_cast<int>(limit);
            break;
        }
        case kEmGetLimitText:
            result = edit.limit;
            break;
        case kEmSetReadOnly:
            edit.readOnly = wParam != 0;
            result = 1;
            break;
        case kEmSetPasswordChar:
            edit.passwordChar = static_cast<char16_t>(wParam);
            break;
        case kEmGetPasswordChar:
            result = edit.passwordChar;
            break;
        default:
            break;
        }
        if (changed || message == kEmSetSel || message == kEmSetReadOnly ||
            message == kEmSetPasswordChar || message == kWmKeyDown) {
            invalidateLocked(c, window, false);
        }
    }
    switch (message) {
    case kWmLButtonDown:
        setFocus(window);
        return 0;
    case kWmSetText:
        commonProc(window, message, lParam);
        notifyParent(window, kEnChange);
        return 1;
    default:
        break;
    }
    if (changed) {
        notifyParent(window, kEnChange);
    }
    return result;
}

} // namespace

void replaceEditText(ControlState& control, int start, int end, std::u16string_view insert) {
    const auto from =
        static_cast<std::size_t>(std::clamp(start, 0, static_cast<int>(control.text.size())));
    const auto to =
        std::clamp(static_cast<std::size_t>(std::max(end, 0)), from, control.text.size());
    // Built in one buffer of its final size, so no copy of the text is left
    // behind unwiped.
    std::u16string next;
    next.reserve(control.text.size() - (to - from) + insert.size());
    next.append(control.text, 0, from);
    next.append(insert);
    next.append(control.text, to, std::u16string::npos);
    wipeString(control.text);
    control.text = std::move(next);
}

void wipeEditText(ControlState& control) {
    wipeString(control.text);
}

WindowProc controlClassProc(ControlKind kind) {
    switch (kind) {
    case ControlKind::Edit:
        return editProc;
    case ControlKind::Button:
        return buttonProc;
    default:
        return staticProc;
    }
}

} // namespace detail
} // namespace platform::ui
