#include "platform/ui/MessageBox.h"

#include "platform/ui/Core.h"
#include "platform/ui/Dialog.h"

#include <algorithm>

namespace platform::ui {

using namespace detail;

namespace {

struct ButtonSet {
    std::vector<std::pair<int, std::u16string_view>> buttons;
    bool closable = false; // the close box answers kIdCancel (kIdOk when OK stands alone)
};

ButtonSet buttonsFor(std::uint32_t style) {
    switch (style & 0xF) {
    case kMbOkCancel:
        return {{{kIdOk, u"OK"}, {kIdCancel, u"Cancel"}}, true};
    case kMbAbortRetryIgnore:
        return {{{kIdAbort, u"Abort"}, {kIdRetry, u"Retry"}, {kIdIgnore, u"Ignore"}}, false};
    case kMbYesNoCancel:
        return {{{kIdYes, u"Yes"}, {kIdNo, u"No"}, {kIdCancel, u"Cancel"}}, true};
    case kMbYesNo:
        return {{{kIdYes, u"Yes"}, {kIdNo, u"No"}}, false};
    case kMbRetryCancel:
        return {{{kIdRetry, u"Retry"}, {kIdCancel, u"Cancel"}}, true};
    case kMbOk:
    default:
        return {{{kIdOk, u"OK"}}, true};
    }
}

// A template sized to the text: a line per line break, about four dialog
// units per character.
DialogTemplate layout(std::u16string_view text, std::u16string_view caption, const ButtonSet& set) {
    constexpr int kButtonWidth = 50;
    constexpr int kButtonHeight = 14;
    constexpr int kGap = 6;
    int lines = 1;
    int longest = 0;
    int current = 0;
    for (const char16_t unit : text) {
        if (unit == u'\n') {
            ++lines;
            current = 0;
        } else {
            longest = std::max(longest, ++current);
        }
    }
    const int buttons = static_cast<int>(set.buttons.size());
    const int buttonsWidth = buttons * kButtonWidth + (buttons - 1) * kGap;
    const int width = std::clamp(std::max(longest * 4, buttonsWidth) + 2 * kGap + 8, 120, 400);
    const int textHeight = lines * 10;
    DialogTemplate dialog;
    dialog.width = width;
    dialog.height = kGap + textHeight + kGap + kButtonHeight + kGap;
    dialog.font = {u"Segoe UI", 9};
    dialog.caption = std::u16string(caption);
    dialog.style = kDialogCaption;
    dialog.controls.push_back({ControlKind::Static,
                               kMessageBoxTextId,
                               {kGap + 4, kGap, width - 2 * kGap - 4, textHeight},
                               std::u16string(text),
                               0,
                               0});
    int x = (width - buttonsWidth) / 2;
    bool first = true;
    for (const auto& [id, label] : set.buttons) {
        const std::uint32_t style = kStyleTabStop | (first ? kStyleDefaultButton : 0);
        dialog.controls.push_back({ControlKind::Button,
                                   id,
                                   {x, kGap + textHeight + kGap, kButtonWidth, kButtonHeight},
                                   std::u16string(label),
                                   style,
                                   0});
        x += kButtonWidth + kGap;
        first = false;
    }
    return dialog;
}

} // namespace

int messageBox(Window owner, std::u16string_view text, std::u16string_view caption,
               std::uint32_t style) {
    return messageBox(owner, text, caption, style, {});
}

int messageBox(Window owner, std::u16string_view text, std::u16string_view caption,
               std::uint32_t style, const std::function<void(Window)>& made) {
    ensureBackend();
    const ButtonSet set = buttonsFor(style);
    const DialogTemplate dialog = layout(text, caption, set);
    const bool topMost = (style & kMbTopMost) != 0;
    const auto has = [&set](int id) {
        return std::any_of(set.buttons.begin(), set.buttons.end(),
                           [id](const auto& b) { return b.first == id; });
    };
    const bool onlyOk = set.buttons.size() == 1;
    auto proc = [topMost, has, onlyOk, closable = set.closable](
                    Window window, std::uint32_t message, WParam wParam, LParam) -> LResult {
        switch (message) {
        case kWmInitDialog:
            if (topMost) {
                setTopMost(window, true);
            }
            return 1;
        case kWmCommand: {
            const int id = lowWord(wParam);
            if (id == kIdCancel && !has(kIdCancel)) {
                // Escape and the close box: only a box that can be cancelled
                // (or that has nothing but OK) ends this way.
                if (closable && onlyOk) {
                    endDialog(window, kIdOk);
                }
                return 1;
            }
            if (has(id)) {
                endDialog(window, id);
            }
            return 1;
        }
        default:
            return 0;
        }
    };
    const Window box = makeDialog(dialog, owner, proc, true, DialogKind::MessageBox, style);
    if (box == 0) {
        return -1;
    }
    if (made) {
        made(box);
    }
    return static_cast<int>(runModalDialog(box, 0));
}

} // namespace platform::ui
