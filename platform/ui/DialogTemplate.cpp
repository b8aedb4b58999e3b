#include "platform/ui/DialogTemplate.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

namespace platform::ui {
namespace {

struct Templates {
    std::mutex mutex;
    std::map<std::uint32_t, DialogTemplate> dialogs;
    std::map<std::pair<std::u16string, int>, BaseUnits> units;
    ScreenSize screen;
};

Templates& templates() {
    static Templates instance;
    return instance;
}

int scale(int value, int units, int divisor) {
    // Rounded as the platform's MulDiv rounds: half away from zero.
    const long long product = static_cast<long long>(value) * units;
    const long long half = divisor / 2;
    return static_cast<int>(product >= 0 ? (product + half) / divisor : (product - half) / divisor);
}

} // namespace

void registerDialogTemplate(DialogTemplate dialog) {
    auto& t = templates();
    std::lock_guard lock(t.mutex);
    const auto id = dialog.id;
    t.dialogs.insert_or_assign(id, std::move(dialog));
}

void unregisterDialogTemplate(std::uint32_t id) {
    auto& t = templates();
    std::lock_guard lock(t.mutex);
    t.dialogs.erase(id);
}

std::optional<DialogTemplate> findDialogTemplate(std::uint32_t id) {
    auto& t = templates();
    std::lock_guard lock(t.mutex);
    const auto it = t.dialogs.find(id);
    if (it == t.dialogs.end()) {
        return std::nullopt;
    }
    return it->second;
}

BaseUnits fontBaseUnits(const DialogFont& font) {
    auto& t = templates();
    {
        std::lock_guard lock(t.mutex);
        const auto it = t.units.find({font.face, font.pointSize});
        if (it != t.units.end()) {
            return it->second;
        }
    }
    // The cell height of the size at 96 pixels to the inch, a little
    // leading, and an average character half as wide.
    const int pixels = std::max(1, font.pointSize) * 96 / 72;
    return {(pixels + 1) / 2 + 1, pixels + 3};
}

void setFontBaseUnits(const DialogFont& font, BaseUnits units) {
    auto& t = templates();
    std::lock_guard lock(t.mutex);
    t.units.insert_or_assign({font.face, font.pointSize}, units);
}

Rect unitsToPixels(const UnitRect& rect, BaseUnits units) {
    const int left = scale(rect.x, units.x, 4);
    const int top = scale(rect.y, units.y, 8);
    return {left, top, left + scale(rect.width, units.x, 4), top + scale(rect.height, units.y, 8)};
}

ScreenSize screenSize() {
    auto& t = templates();
    std::lock_guard lock(t.mutex);
    return t.screen;
}

void setScreenSize(ScreenSize size) {
    auto& t = templates();
    std::lock_guard lock(t.mutex);
    t.screen = size;
}

} // namespace platform::ui
