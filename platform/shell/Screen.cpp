#include "platform/shell/Screen.h"

#include "platform/shell/ShellDriver.h"
#include "platform/shell/ShellState.h"
#include "platform/shell/X11Desktop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <png.h>
#include <unistd.h>

namespace platform::shell {

using namespace detail;

namespace {

namespace fs = std::filesystem;

// The screen's file: "CVXS", width and height (native u32s), then the pixels.
constexpr char kMagic[4] = {'C', 'V', 'X', 'S'};
constexpr std::size_t kHeaderBytes = 12;

fs::path screenFile() {
    return shellFolder() / "screen";
}

struct Header {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

std::optional<Header> readHeader(std::ifstream& in) {
    char bytes[kHeaderBytes];
    if (!in.read(bytes, sizeof bytes) || std::memcmp(bytes, kMagic, sizeof kMagic) != 0) {
        return std::nullopt;
    }
    Header header;
    std::memcpy(&header.width, bytes + 4, sizeof header.width);
    std::memcpy(&header.height, bytes + 8, sizeof header.height);
    if (header.width == 0 || header.height == 0 || header.width > kMaxScreenSide ||
        header.height > kMaxScreenSide) {
        return std::nullopt;
    }
    return header;
}

Image defaultScreen() {
    Image image;
    image.width = kDefaultScreenWidth;
    image.height = kDefaultScreenHeight;
    image.rgb.assign(static_cast<std::size_t>(image.width) * image.height * 3, 0);
    return image;
}

std::optional<Image> readScreen() {
    std::ifstream in(screenFile(), std::ios::binary);
    const auto header = in ? readHeader(in) : std::nullopt;
    if (!header) {
        return std::nullopt;
    }
    Image image;
    image.width = static_cast<int>(header->width);
    image.height = static_cast<int>(header->height);
    image.rgb.resize(static_cast<std::size_t>(image.width) * image.height * 3);
    if (!in.read(reinterpret_cast<char*>(image.rgb.data()),
                 static_cast<std::streamsize>(image.rgb.size()))) {
        return std::nullopt;
    }
    return image;
}

} // namespace

bool Image::valid() const {
    return width > 0 && height > 0 && width <= kMaxScreenSide && height <= kMaxScreenSide &&
           rgb.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
}

ScreenSize screenSize() {
    std::ifstream in(screenFile(), std::ios::binary);
    if (const auto header = in ? readHeader(in) : std::nullopt) {
        return {static_cast<int>(header->width), static_cast<int>(header->height)};
    }
    return x11ScreenSize().value_or(ScreenSize{kDefaultScreenWidth, kDefaultScreenHeight});
}

Image captureScreen() {
    // An image the session tool set stands for the screen; else the
    // display's own, where there is one.
    std::optional<Image> shown = readScreen();
    if (!shown) {
        shown = x11CaptureScreen();
    }
    Image image = shown ? std::move(*shown) : defaultScreen();
    JsonValue fields;
    fields.set("width", image.width);
    fields.set("height", image.height);
    journal("screen.capture", fields);
    return image;
}

bool savePng(const Image& image, const fs::path& path) {
    bool saved = false;
    if (image.valid()) {
        if (FILE* file = std::fopen(path.c_str(), "wb")) {
            png_image png;
            std::memset(&png, 0, sizeof png);
            png.version = PNG_IMAGE_VERSION;
            png.width = static_cast<png_uint_32>(image.width);
            png.height = static_cast<png_uint_32>(image.height);
            png.format = PNG_FORMAT_RGB;
            saved = png_image_write_to_stdio(&png, file, 0, image.rgb.data(), 0, nullptr) != 0;
            png_image_free(&png);
            saved = std::fclose(file) == 0 && saved;
            if (!saved) {
                ::unlink(path.c_str());
            }
        }
    }
    JsonValue fields;
    fields.set("path", path.string());
    fields.set("ok", saved);
    journal("png.save", fields);
    return saved;
}

bool setScreenImage(const Image& image) {
    if (!image.valid()) {
        return false;
    }
    const fs::path path = screenFile();
    const fs::path temp = path.string() + ".new";
    bool written = false;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        const std::uint32_t width = static_cast<std::uint32_t>(image.width);
        const std::uint32_t height = static_cast<std::uint32_t>(image.height);
        out.write(kMagic, sizeof kMagic);
        out.write(reinterpret_cast<const char*>(&width), sizeof width);
        out.write(reinterpret_cast<const char*>(&height), sizeof height);
        out.write(reinterpret_cast<const char*>(image.rgb.data()),
                  static_cast<std::streamsize>(image.rgb.size()));
        written = static_cast<bool>(out.flush());
    }
    std::error_code ec;
    if (written) {
        fs::rename(temp, path, ec);
    }
    if (!written || ec) {
        fs::remove(temp, ec);
        return false;
    }
    JsonValue fields;
    fields.set("width", image.width);
    fields.set("height", image.height);
    journal("screen.set", fields);
    return true;
}

} // namespace platform::shell
