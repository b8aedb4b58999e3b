#pragma once

// The visible backend: every open dialog is a window on an X display that
// shows what the model recorded of it (the dialog's own drawing, then each
// control: texts in Xft fonts, edits as the screen shows them, push buttons
// enabled or greyed, owner-drawn keys as their dialog drew them, bitmaps as
// simple shapes of our own). A click, a mouse move, a key or the close box
// of such a window goes into the same action paths the scripted user takes,
// so it obeys the same rules (a disabled button ignores the click).
//
// It wraps a scripted backend: the scripted user still lists, dumps and
// drives every dialog while a person sees it.
//
// Each thread that opens dialogs gets one display connection of its own,
// served by a pump thread: the model's calls only queue work for the pump,
// and the pump never waits for a dialog's thread, so a modal loop nested in
// a click's handler is shown and driven as any other.

#include "platform/ui/Backend.h"
#include "platform/ui/ScriptedBackend.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform::ui {

class X11Backend : public Backend {
public:
    // Checks that the display (empty: $DISPLAY) can be opened; nullptr when
    // it cannot. The scripted backend given (may be null) hears every call.
    static std::shared_ptr<X11Backend> start(std::shared_ptr<ScriptedBackend> scripted,
                                             std::string display = {});

    X11Backend(const X11Backend&) = delete;
    X11Backend& operator=(const X11Backend&) = delete;
    ~X11Backend() override;

    const std::shared_ptr<ScriptedBackend>& scripted() const { return scripted_; }

    void dialogOpened(const DialogEvent& event) override;
    void dialogChanged(Window dialog) override;
    void dialogClosed(const DialogEvent& event) override;

    // The X window (an XID) showing a dialog, 0 while it has none.
    unsigned long xWindowOf(Window dialog);
    // Waits until every change the model announced for the dialog so far is
    // on the display and its window is mapped; false when the limit passed.
    bool waitShown(Window dialog, Milliseconds limit);

    struct Connection; // one display connection and its pump

private:
    explicit X11Backend(std::shared_ptr<ScriptedBackend> scripted, std::string display)
        : scripted_(std::move(scripted)), display_(std::move(display)) {}

    struct Shown {
        std::shared_ptr<Connection> connection;
        unsigned long xWindow = 0;
        std::uint64_t wanted = 0; // changes announced
        std::uint64_t drawn = 0;  // changes on the display
        bool mapped = false;
    };

    void showOpened(const DialogEvent& event);
    void request(Window dialog, bool close);
    void reapStopped();

    std::shared_ptr<ScriptedBackend> scripted_;
    std::string display_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::map<Window, Shown> shown_;

    friend struct Connection;
};

// Which backend a process makes by default, from CORVANTIX_UI_BACKEND
// ("none", "scripted", "x11"; anything else is as if unset) and DISPLAY:
// the visible one wherever a display is named, the scripted one otherwise.
enum class BackendChoice { NoBackend, Scripted, Visible };
BackendChoice chooseBackend(const char* setting, const char* display);

// Xft keeps per-display state in lists of its own without locks: every
// Xft call, and closing a display Xft drew on, holds this.
std::mutex& xftLock();

// The visible backend over a new scripted one, or nullptr without a display.
std::shared_ptr<Backend> startVisibleBackend();

} // namespace platform::ui
