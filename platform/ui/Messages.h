#pragma once

// The dialog layer's basic types and the numbers its callers share: window
// messages and their notification codes, command ids, virtual keys. The
// numbers are those the dialogs written on this layer were designed around,
// so a message's meaning never depends on which backend shows the window.

#include "platform/windowlist/WindowList.h"

#include <cstdint>
#include <functional>

namespace platform::ui {

// A dialog or a control. Dialogs are top-level windows of the shared window
// list; controls are known to their process only. 0 is no window.
using Window = platform::WindowHandle;
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

// A window or dialog procedure. A dialog procedure answers true (1) for a
// message it handled and false (0) for one the layer should handle; for the
// control-colour messages it answers the brush (see Drawing.h).
using WindowProc = std::function<LResult(Window, std::uint32_t message, WParam, LParam)>;
using DialogProc = WindowProc;

struct Point {
    int x = 0;
    int y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

// Pixels, right and bottom exclusive.
struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool contains(Point p) const {
        return p.x >= left && p.x < right && p.y >= top && p.y < bottom;
    }
    friend bool operator==(const Rect&, const Rect&) = default;
};

constexpr WParam makeWParam(std::uint16_t low, std::uint16_t high) {
    return static_cast<WParam>(low) | (static_cast<WParam>(high) << 16);
}
constexpr LParam makeLParam(std::uint16_t low, std::uint16_t high) {
    return static_cast<LParam>(static_cast<std::uint32_t>(low) |
                               (static_cast<std::uint32_t>(high) << 16));
}
constexpr std::uint16_t lowWord(std::uintptr_t value) {
    return static_cast<std::uint16_t>(value & 0xFFFF);
}
constexpr std::uint16_t highWord(std::uintptr_t value) {
    return static_cast<std::uint16_t>((value >> 16) & 0xFFFF);
}

// Messages.
inline constexpr std::uint32_t kWmNull = 0x0000;
inline constexpr std::uint32_t kWmDestroy = 0x0002;
inline constexpr std::uint32_t kWmActivate = 0x0006;     // wParam: kWaInactive or kWaActive
inline constexpr std::uint32_t kWmSetFocus = 0x0007;     // wParam: the window that lost it
inline constexpr std::uint32_t kWmKillFocus = 0x0008;    // wParam: the window that gets it
inline constexpr std::uint32_t kWmSetText = 0x000C;      // lParam: const char16_t*, zero-ended
inline constexpr std::uint32_t kWmPaint = 0x000F;        // draw with beginPaint()
inline constexpr std::uint32_t kWmClose = 0x0010;        // the window's close box
inline constexpr std::uint32_t kWmQuit = 0x0012;         // never dispatched: getMessage() answers 0
inline constexpr std::uint32_t kWmEraseBkgnd = 0x0014;   // wParam: DrawContext*
inline constexpr std::uint32_t kWmDrawItem = 0x002B;     // lParam: DrawItem*
inline constexpr std::uint32_t kWmKeyDown = 0x0100;      // wParam: virtual key
inline constexpr std::uint32_t kWmKeyUp = 0x0101;        // wParam: virtual key
inline constexpr std::uint32_t kWmChar = 0x0102;         // wParam: the UTF-16 unit typed
inline constexpr std::uint32_t kWmInitDialog = 0x0110;   // wParam: control to focus; lParam: init
inline constexpr std::uint32_t kWmCommand = 0x0111;      // wParam: id | code << 16; lParam: control
inline constexpr std::uint32_t kWmTimer = 0x0113;        // wParam: timer id
inline constexpr std::uint32_t kWmCtlColorEdit = 0x0133; // wParam: DrawContext*; lParam: control
inline constexpr std::uint32_t kWmCtlColorBtn = 0x0135;
inline constexpr std::uint32_t kWmCtlColorDlg = 0x0136;
inline constexpr std::uint32_t kWmCtlColorStatic = 0x0138; // statics, read-only and disabled edits
inline constexpr std::uint32_t kWmMouseMove = 0x0200;      // lParam: x | y << 16, client
inline constexpr std::uint32_t kWmLButtonDown = 0x0201;
inline constexpr std::uint32_t kWmLButtonUp = 0x0202;
inline constexpr std::uint32_t kWmLButtonDblClk = 0x0203;
inline constexpr std::uint32_t kWmRButtonDown = 0x0204;
inline constexpr std::uint32_t kWmRButtonUp = 0x0205;
inline constexpr std::uint32_t kWmDeviceChange = 0x0219; // wParam: event; lParam: data
inline constexpr std::uint32_t kWmMouseLeave = 0x02A3;   // after trackMouseLeave()
inline constexpr std::uint32_t kWmUser = 0x0400;
inline constexpr std::uint32_t kWmApp = 0x8000;

inline constexpr WParam kWaInactive = 0;
inline constexpr WParam kWaActive = 1;

// Edit control messages.
inline constexpr std::uint32_t kEmGetSel = 0x00B0; // wParam, lParam: std::uint32_t* or 0
inline constexpr std::uint32_t kEmSetSel = 0x00B1; // wParam start, lParam end (-1: to the end)
inline constexpr std::uint32_t kEmSetPasswordChar = 0x00CC; // wParam: the unit, 0 shows the text
inline constexpr std::uint32_t kEmGetPasswordChar = 0x00D2;
inline constexpr std::uint32_t kEmReplaceSel = 0x00C2; // lParam: const char16_t*, zero-ended
inline constexpr std::uint32_t kEmLimitText = 0x00C5;  // wParam: units, 0 for no limit
inline constexpr std::uint32_t kEmGetLimitText = 0x00D5;
inline constexpr std::uint32_t kEmSetReadOnly = 0x00CF; // wParam: true or false

// Notification codes in the high word of kWmCommand's wParam.
inline constexpr std::uint16_t kBnClicked = 0;
inline constexpr std::uint16_t kEnChange = 0x0300;

// Command ids of the standard buttons; message boxes answer them.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdAbort = 3;
inline constexpr int kIdRetry = 4;
inline constexpr int kIdIgnore = 5;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// Virtual keys the layer itself knows.
inline constexpr std::uint32_t kVkBack = 0x08;
inline constexpr std::uint32_t kVkTab = 0x09;
inline constexpr std::uint32_t kVkReturn = 0x0D;
inline constexpr std::uint32_t kVkCapital = 0x14;
inline constexpr std::uint32_t kVkEscape = 0x1B;
inline constexpr std::uint32_t kVkSpace = 0x20;
inline constexpr std::uint32_t kVkEnd = 0x23;
inline constexpr std::uint32_t kVkHome = 0x24;
inline constexpr std::uint32_t kVkLeft = 0x25;
inline constexpr std::uint32_t kVkRight = 0x27;
inline constexpr std::uint32_t kVkDelete = 0x2E;

// Thread last-error codes set by this layer.
inline constexpr std::uint32_t kErrorInvalidWindowHandle = 1400;
inline constexpr std::uint32_t kErrorResourceNameNotFound = 1814;
inline constexpr std::uint32_t kErrorWrongThread = 1408; // the window belongs to another thread
inline constexpr std::uint32_t kErrorInvalidParameter = 87;

// The calling thread's last error, as the layer's calls leave it.
std::uint32_t lastError();
void setLastError(std::uint32_t error);

} // namespace platform::ui
