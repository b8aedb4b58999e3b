#pragma once

// Dialog templates as data. A template gives the dialog's size in dialog
// units, its font and caption, and its controls with their ids, rectangles,
// texts and styles. Dialog units turn into pixels through the font's base
// units (fixed per font, never measured, so every backend lays a dialog out
// alike): x pixels = x units * base x / 4, y pixels = y units * base y / 8.

#include "platform/ui/Messages.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::ui {

enum class ControlKind {
    Static,  // a text
    Button,  // a push button; owner-drawn with kStyleOwnerDraw
    Edit,    // a one-line entry field
    Picture, // a bitmap (the control's bitmap id)
    Group,   // a group box: a frame with a title
};

// Control styles, ORed.
inline constexpr std::uint32_t kStyleHidden = 0x0001;        // not visible at start
inline constexpr std::uint32_t kStyleDisabled = 0x0002;      // disabled at start
inline constexpr std::uint32_t kStyleTabStop = 0x0004;       // reached by Tab and initial focus
inline constexpr std::uint32_t kStyleBorder = 0x0008;        // a frame around the control
inline constexpr std::uint32_t kStylePassword = 0x0010;      // edit: shows the password character
inline constexpr std::uint32_t kStyleReadOnly = 0x0020;      // edit: typing is refused
inline constexpr std::uint32_t kStyleAutoHScroll = 0x0040;   // edit: scrolls with the caret
inline constexpr std::uint32_t kStyleVScroll = 0x0080;       // a vertical scroll bar
inline constexpr std::uint32_t kStyleHScroll = 0x0100;       // a horizontal scroll bar
inline constexpr std::uint32_t kStyleOwnerDraw = 0x0200;     // button: drawn by the dialog
inline constexpr std::uint32_t kStyleDefaultButton = 0x0400; // button: Enter presses it
inline constexpr std::uint32_t kStyleCenter = 0x0800;        // static: centred text
inline constexpr std::uint32_t kStyleRight = 0x1000;         // static: right-aligned text

// Dialog styles, ORed.
inline constexpr std::uint32_t kDialogCaption = 0x0001;   // a title bar
inline constexpr std::uint32_t kDialogTopMost = 0x0002;   // above all windows from the start
inline constexpr std::uint32_t kDialogInvisible = 0x0004; // a modeless dialog not shown at start

// A rectangle in dialog units: top-left corner and size.
struct UnitRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct ControlTemplate {
    ControlKind kind = ControlKind::Static;
    int id = 0;
    UnitRect rect;
    std::u16string text;
    std::uint32_t style = 0;
    std::uint32_t bitmap = 0; // Picture: the bitmap shown
};

struct DialogFont {
    std::u16string face;
    int pointSize = 9;
};

struct DialogTemplate {
    std::uint32_t id = 0;
    int width = 0; // dialog units
    int height = 0;
    DialogFont font;
    std::u16string caption;
    std::uint32_t style = kDialogCaption;
    std::vector<ControlTemplate> controls;
};

// Adds or replaces a template (the resources of a module).
void registerDialogTemplate(DialogTemplate dialog);
void unregisterDialogTemplate(std::uint32_t id);
std::optional<DialogTemplate> findDialogTemplate(std::uint32_t id);

struct BaseUnits {
    int x = 0; // pixels per 4 horizontal dialog units
    int y = 0; // pixels per 8 vertical dialog units
};

// The base units of a font: those set for its face and size, else a fixed
// rule from the point size (96 pixels to the inch).
BaseUnits fontBaseUnits(const DialogFont& font);
void setFontBaseUnits(const DialogFont& font, BaseUnits units);
Rect unitsToPixels(const UnitRect& rect, BaseUnits units);

// The primary screen, 1920 x 1080 unless set.
struct ScreenSize {
    int width = 1920;
    int height = 1080;
};
ScreenSize screenSize();
void setScreenSize(ScreenSize size);

// The frame a dialog adds around its client area, in pixels.
inline constexpr int kFrameBorder = 3;
inline constexpr int kCaptionHeight = 23;

} // namespace platform::ui
