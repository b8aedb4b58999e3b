#pragma once

// The user's top-level windows: owner process, class, title, and the enabled
// and top-most flags. The list is shared by every process of the user (one
// small file per window in the run folder), so a program can see, raise and
// disable another program's windows the way the desktop lets it. The dialog
// layer creates its windows here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace platform {

using WindowHandle = std::uint64_t; // 0 is no window

// The class of a dialog window and of the desktop window.
inline constexpr std::string_view kDialogWindowClass = "#32770";
inline constexpr std::string_view kDesktopWindowClass = "#32769";

struct TopLevelWindow {
    WindowHandle handle = 0;
    pid_t owner = 0;
    std::string className;
    std::string title;
    bool topMost = false;
    bool enabled = true;
};

// Registers a window of the calling process; 0 when it cannot.
WindowHandle createTopLevelWindow(std::string_view title, std::string_view className = {});
void destroyTopLevelWindow(WindowHandle window);

// The desktop: every top-level window's parent. It is never listed, belongs
// to no process and is always found.
WindowHandle desktopWindow();

// Every live window, by owner and then in the order made. Windows of
// processes that died are dropped.
std::vector<TopLevelWindow> enumTopLevelWindows();
std::optional<TopLevelWindow> findTopLevelWindow(WindowHandle window);

// The first listed window of the class (compared without regard to ASCII
// case, as window classes are) and, when a title is given, of exactly that
// title; 0 when there is none.
WindowHandle findWindowByClass(std::string_view className,
                               std::optional<std::string_view> title = std::nullopt);

// Places the window above (or back among) the others; false when it is gone.
bool setWindowTopMost(WindowHandle window, bool topMost);
// Changes the title or the enabled flag; false when the window is gone.
bool setWindowTitle(WindowHandle window, std::string_view title);
bool setWindowEnabled(WindowHandle window, bool enabled);

} // namespace platform
