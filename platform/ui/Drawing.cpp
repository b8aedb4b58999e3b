#include "platform/ui/Drawing.h"

#include "platform/ui/Resources.h"

#include <utility>

namespace platform::ui {
namespace {

// A brush packs its kind above the colour; 0 stays "no brush".
constexpr LResult kSolidTag = LResult(1) << 32;
constexpr LResult kHollowTag = LResult(2) << 32;

} // namespace

Colour systemColour(int index) {
    switch (index) {
    case kColorWindow:
        return rgb(255, 255, 255);
    case kColorWindowText:
        return rgb(0, 0, 0);
    case kColorGrayText:
        return rgb(109, 109, 109);
    case kColor3dFace:
    default:
        return rgb(240, 240, 240);
    }
}

Brush solidBrush(Colour colour) {
    return kSolidTag | static_cast<LResult>(colour & 0xFFFFFF);
}

Brush hollowBrush() {
    return kHollowTag;
}

Brush systemColourBrush(int index) {
    return solidBrush(systemColour(index));
}

std::optional<Colour> brushColour(Brush brush) {
    if ((brush & kSolidTag) != 0 && (brush & kHollowTag) == 0) {
        return static_cast<Colour>(brush & 0xFFFFFF);
    }
    return std::nullopt;
}

Colour DrawContext::setTextColour(Colour colour) {
    return std::exchange(textColour_, colour);
}

BackgroundMode DrawContext::setBackgroundMode(BackgroundMode mode) {
    return std::exchange(mode_, mode);
}

Colour DrawContext::setBackgroundColour(Colour colour) {
    return std::exchange(background_, colour);
}

bool DrawContext::drawBitmap(std::uint32_t bitmapId, const Rect& rect) {
    if (!findBitmap(bitmapId)) {
        return false;
    }
    ops_.push_back(DrawnBitmap{bitmapId, rect});
    return true;
}

void DrawContext::drawText(std::u16string_view text, const Rect& rect, std::uint32_t format) {
    ops_.push_back(DrawnText{std::u16string(text), rect, font_, textColour_,
                             mode_ == BackgroundMode::Transparent, background_, format});
}

void DrawContext::fillRect(const Rect& rect, Brush brush) {
    if (const auto colour = brushColour(brush)) {
        ops_.push_back(FilledRect{rect, *colour});
    }
}

} // namespace platform::ui
