#pragma once

// Drawing is recorded, never rasterised: what a dialog procedure draws
// (bitmaps stretched into rectangles, texts in a font and colour, filled
// rectangles) is kept as a list of operations per window. A backend shows the
// list as it can; tests and the scripted user read it.

#include "platform/ui/Messages.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform::ui {

// 0x00BBGGRR.
using Colour = std::uint32_t;

constexpr Colour rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return static_cast<Colour>(r) | (static_cast<Colour>(g) << 8) | (static_cast<Colour>(b) << 16);
}
constexpr std::uint8_t redOf(Colour c) {
    return c & 0xFF;
}
constexpr std::uint8_t greenOf(Colour c) {
    return (c >> 8) & 0xFF;
}
constexpr std::uint8_t blueOf(Colour c) {
    return (c >> 16) & 0xFF;
}

// System colours by index.
inline constexpr int kColorWindow = 5;
inline constexpr int kColorWindowText = 8;
inline constexpr int kColor3dFace = 15;
inline constexpr int kColorGrayText = 17;
Colour systemColour(int index);

// A brush as a control-colour message answers it: 0 lets the layer paint
// as it would; otherwise a solid colour or nothing at all (hollow).
using Brush = LResult;
Brush solidBrush(Colour colour);
Brush hollowBrush();
Brush systemColourBrush(int index);
// The colour a solid brush fills with; nullopt for a hollow brush or 0.
std::optional<Colour> brushColour(Brush brush);

enum class BackgroundMode { Opaque, Transparent };

// Character sets a font may ask for.
inline constexpr int kAnsiCharset = 0;
inline constexpr int kDefaultCharset = 1;
inline constexpr int kChineseBig5Charset = 136;

inline constexpr int kFontWeightNormal = 400;
inline constexpr int kFontWeightBold = 700;

struct Font {
    std::u16string face;
    int height = 0; // character height in pixels
    int weight = kFontWeightNormal;
    int escapement = 0; // tenths of a degree
    int charset = kDefaultCharset;
    friend bool operator==(const Font&, const Font&) = default;
};

// drawText format bits.
inline constexpr std::uint32_t kDtLeft = 0x00;
inline constexpr std::uint32_t kDtCenter = 0x01;
inline constexpr std::uint32_t kDtRight = 0x02;
inline constexpr std::uint32_t kDtVCenter = 0x04;
inline constexpr std::uint32_t kDtWordBreak = 0x10;
inline constexpr std::uint32_t kDtSingleLine = 0x20;

struct DrawnBitmap {
    std::uint32_t id;
    Rect rect;
};
struct DrawnText {
    std::u16string text;
    Rect rect;
    Font font;
    Colour colour;
    bool transparent;
    Colour background; // when opaque
    std::uint32_t format;
};
struct FilledRect {
    Rect rect;
    Colour colour;
};
using DrawOp = std::variant<DrawnBitmap, DrawnText, FilledRect>;

// What a paint, an erase or an owner-draw request draws on. The state
// (font, colours, background mode) starts from the window's defaults.
class DrawContext {
public:
    explicit DrawContext(Font font = {}) : font_(std::move(font)) {}

    void setFont(Font font) { font_ = std::move(font); }
    const Font& font() const { return font_; }
    Colour setTextColour(Colour colour);
    Colour textColour() const { return textColour_; }
    BackgroundMode setBackgroundMode(BackgroundMode mode);
    BackgroundMode backgroundMode() const { return mode_; }
    Colour setBackgroundColour(Colour colour);
    Colour backgroundColour() const { return background_; }

    // Stretches a bitmap over the rectangle; false (and nothing drawn) when
    // the bitmap is absent.
    bool drawBitmap(std::uint32_t bitmapId, const Rect& rect);
    void drawText(std::u16string_view text, const Rect& rect, std::uint32_t format);
    // A hollow brush fills nothing; brush 0 fills nothing either.
    void fillRect(const Rect& rect, Brush brush);

    const std::vector<DrawOp>& ops() const { return ops_; }
    std::vector<DrawOp> takeOps() { return std::move(ops_); }

private:
    Font font_;
    Colour textColour_ = 0;
    Colour background_ = 0xFFFFFF;
    BackgroundMode mode_ = BackgroundMode::Opaque;
    std::vector<DrawOp> ops_;
};

// kWmDrawItem's lParam: an owner-drawn button to draw.
inline constexpr std::uint32_t kOdsSelected = 0x0001;
inline constexpr std::uint32_t kOdsDisabled = 0x0004;
inline constexpr std::uint32_t kOdsFocus = 0x0010;

struct DrawItem {
    int controlId = 0;
    Window item = 0;
    std::uint32_t state = 0; // kOds* bits
    Rect rect;               // the button's client area
    DrawContext* dc = nullptr;
};

// The context a paint or erase message's wParam carries.
inline DrawContext* drawContextOf(WParam wParam) {
    return reinterpret_cast<DrawContext*>(wParam);
}

} // namespace platform::ui
