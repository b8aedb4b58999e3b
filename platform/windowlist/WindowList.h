#pragma once

// The user's top-level windows: owner process, title and top-most flag. The
// list is shared by every process of the user (one small file per window in
// the run folder), so a program can see and raise another program's windows
// the way the desktop lets it. The dialog layer creates its windows here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace platform {

using WindowHandle = std::uint64_t; // 0 is no window

struct TopLevelWindow {
    WindowHandle handle = 0;
    pid_t owner = 0;
    std::string title;
    bool topMost = false;
};

// Registers a window of the calling process; 0 when it cannot.
WindowHandle createTopLevelWindow(std::string_view title);
void destroyTopLevelWindow(WindowHandle window);

// Every live window, by owner and then in the order made. Windows of
// processes that died are dropped.
std::vector<TopLevelWindow> enumTopLevelWindows();
std::optional<TopLevelWindow> findTopLevelWindow(WindowHandle window);

// Places the window above (or back among) the others; false when it is gone.
bool setWindowTopMost(WindowHandle window, bool topMost);

} // namespace platform
