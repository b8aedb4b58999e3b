#pragma once

// What a backend sees of the dialog model and how it feeds the user's
// actions in. A backend shows the open dialogs from their snapshots (never
// from anything it drew itself) and turns what the user does into input
// messages; the model does not know how, or whether, a backend draws.
//
// The model tells its backend when a dialog opens (shown and painted once),
// changes (painted again) and closes. It calls these on the dialog's thread
// with no lock of the layer held; a backend must not block there.
//
// The default backend is made when the first dialog or message box of the
// process is made, unless setBackend chose another: the visible one
// (X11Backend.h, which carries a scripted one inside) when DISPLAY names a
// display that opens, else the scripted one (ScriptedBackend.h);
// CORVANTIX_UI_BACKEND=scripted, x11 or none chooses outright.

#include "platform/ui/Clock.h"
#include "platform/ui/DialogTemplate.h"
#include "platform/ui/Drawing.h"
#include "platform/ui/Messages.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::ui {

enum class DialogKind { Dialog, MessageBox };

struct DialogEvent {
    Window dialog = 0;
    std::uint32_t templateId = 0; // 0 for a message box
    DialogKind kind = DialogKind::Dialog;
    LResult result = 0;    // closed: the dialog's result
    bool timedOut = false; // closed: by the modal ceiling
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual void dialogOpened(const DialogEvent& event) = 0;
    virtual void dialogChanged(Window dialog) = 0;
    virtual void dialogClosed(const DialogEvent& event) = 0;
};

// Replaces the process's backend (nullptr: none). Dialogs already open are
// not announced to the new one.
void setBackend(std::shared_ptr<Backend> backend);
std::shared_ptr<Backend> currentBackend();

struct ControlSnapshot {
    Window handle = 0;
    int id = 0;
    ControlKind kind = ControlKind::Static;
    // The text as the screen shows it: a password-style edit gives its
    // password character once per unit of text, never the text.
    std::u16string text;
    bool masked = false;
    int length = 0; // units of the real text
    int selectionStart = 0;
    int selectionEnd = 0;
    bool visible = false;
    bool enabled = false;
    bool readOnly = false;
    int limit = 0;
    char16_t passwordChar = 0;
    bool ownerDraw = false;
    bool defaultButton = false;
    bool focused = false;
    bool hovered = false;
    std::uint32_t style = 0;
    std::uint32_t bitmap = 0;
    Rect rect; // client pixels of the dialog
    // The colours the dialog chose when the control was last painted.
    std::optional<Colour> textColour;
    std::optional<Colour> background; // nullopt: transparent
    std::vector<DrawOp> drawing;      // an owner-drawn button's drawing
};

struct DialogSnapshot {
    Window handle = 0;
    std::uint32_t templateId = 0;
    DialogKind kind = DialogKind::Dialog;
    std::uint32_t messageBoxStyle = 0;
    std::u16string caption;
    Window owner = 0;
    bool topMost = false;
    bool visible = false;
    bool enabled = false;
    bool modal = false;
    Rect windowRect; // screen pixels
    Rect clientRect; // screen pixels
    Font font;
    int focusId = -1; // the control with the thread's focus, -1 for none
    std::vector<DrawOp> drawing;
    std::vector<ControlSnapshot> controls;
};

// The dialogs open in this process (shown and painted), in the order opened.
std::vector<Window> openDialogs();
std::optional<DialogSnapshot> snapshotDialog(Window dialog);

// The user's actions. Each is handed to the dialog's thread and answers once
// the thread has handled it (and painted), or when the limit passes.
enum class InputStatus {
    Done,
    NoWindow, // no such open dialog or control
    Refused,  // the control (or its dialog) is disabled or hidden, or the request makes no sense
    Gone,     // the dialog went before the action was handled
    TimedOut, // the dialog's thread did not handle it in time
};

struct InputResult {
    InputStatus status = InputStatus::Done;
    std::string why; // for a status other than Done
};

// Moves the mouse over the control and clicks it.
InputResult clickControl(Window control, Milliseconds limit);
// Moves the mouse over a window (a control or a dialog), or off every
// window with 0.
InputResult hoverWindow(Window window, Milliseconds limit);
// Types the text into the dialog's focused control, one character message
// per unit.
InputResult typeText(Window dialog, std::u16string_view text, Milliseconds limit);
// Presses and releases a key in the dialog (kWmKeyDown, the character the
// key makes, kWmKeyUp) through the dialog's keyboard handling.
InputResult pressKey(Window dialog, std::uint32_t virtualKey, Milliseconds limit);
InputResult focusControl(Window control, Milliseconds limit);
InputResult selectText(Window edit, int start, int end, Milliseconds limit);
// The close box of the dialog's frame (kWmClose).
InputResult closeDialog(Window dialog, Milliseconds limit);

} // namespace platform::ui
