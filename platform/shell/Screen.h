#pragma once

// The screen: a synthetic image in the shell's state that tests provide
// (ShellDriver.h), captured as the display would be, and saved as PNG.
// Where the process shows its dialogs on an X display and no image was
// provided, the display's own screen is captured.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace platform::shell {

// Rows top to bottom, three bytes (red, green, blue) per pixel.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
    bool valid() const;
};

// The screen shown before any image is provided: black, of this size.
inline constexpr int kDefaultScreenWidth = 1024;
inline constexpr int kDefaultScreenHeight = 768;
// The largest side of an image the screen takes.
inline constexpr int kMaxScreenSide = 16384;

struct ScreenSize {
    int width = 0;
    int height = 0;
};
ScreenSize screenSize();

// What the screen shows now.
Image captureScreen();

// Writes the image as an 8-bit RGB PNG; false (and no file left) when it
// cannot.
bool savePng(const Image& image, const std::filesystem::path& path);

} // namespace platform::shell
