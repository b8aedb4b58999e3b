// The screen: an image the session tool provides, captured as it is and
// saved as PNG (read back here through libpng itself).

#include "platform/shell/Screen.h"
#include "tests/shell/ShellFixture.h"

#include <cstring>
#include <png.h>

namespace {

using namespace shell_test;
using namespace platform::shell;
using testing_support::Sandbox;

namespace fs = std::filesystem;

// Every pixel different from its neighbours, all three channels in use.
Image pattern(int width, int height) {
    Image image;
    image.width = width;
    image.height = height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.rgb.push_back(static_cast<std::uint8_t>(x * 4));
            image.rgb.push_back(static_cast<std::uint8_t>(y * 5));
            image.rgb.push_back(static_cast<std::uint8_t>((x * 31 + y * 17) ^ 0xA5));
        }
    }
    return image;
}

fs::path writeRaw(const Sandbox& box, const Image& image, std::size_t drop = 0) {
    return box.write("screen.rgb",
                     std::string(image.rgb.begin(), image.rgb.end() - static_cast<long>(drop)));
}

// The PNG as libpng reads it back, in 8-bit RGB.
std::optional<Image> readPng(const fs::path& path) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&png, path.c_str()) == 0) {
        return std::nullopt;
    }
    png.format = PNG_FORMAT_RGB;
    Image image;
    image.width = static_cast<int>(png.width);
    image.height = static_cast<int>(png.height);
    image.rgb.resize(PNG_IMAGE_SIZE(png));
    if (png_image_finish_read(&png, nullptr, image.rgb.data(), 0, nullptr) == 0) {
        png_image_free(&png);
        return std::nullopt;
    }
    return image;
}

TEST(Screen, ASyntheticScreenRoundTripsThroughPngPixelForPixel) {
    Sandbox box;
    const Image screen = pattern(64, 48);
    ASSERT_EQ(runTool({"screen", "64", "48", writeRaw(box, screen).string()}).exitCode, 0);
    const auto size = screenSize();
    EXPECT_EQ(size.width, 64);
    EXPECT_EQ(size.height, 48);
    const Image captured = captureScreen();
    EXPECT_EQ(captured.width, 64);
    EXPECT_EQ(captured.height, 48);
    EXPECT_EQ(captured.rgb, screen.rgb);

    fs::create_directories(box.root() / "Desktop");
    const fs::path file = box.root() / "Desktop" / "VondelCorvantix Screenshots 2022-08-04.png";
    ASSERT_TRUE(savePng(captured, file));
    const auto back = readPng(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, 64);
    EXPECT_EQ(back->height, 48);
    ASSERT_EQ(back->rgb.size(), screen.rgb.size());
    for (std::size_t i = 0; i < screen.rgb.size(); ++i) {
        ASSERT_EQ(back->rgb[i], screen.rgb[i]) << "pixel " << i / 3 << " channel " << i % 3;
    }
    const auto entries = journalOf("");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(text(entries[0], "op"), "screen.set");
    EXPECT_EQ(text(entries[1], "op"), "screen.capture");
    EXPECT_EQ(text(entries[2], "op"), "png.save");
    EXPECT_EQ(text(entries[2], "path"), file.string());
    EXPECT_TRUE(flag(entries[2], "ok"));
}

TEST(Screen, BeforeAnyImageTheScreenIsBlack) {
    Sandbox box;
    const auto size = screenSize();
    EXPECT_EQ(size.width, kDefaultScreenWidth);
    EXPECT_EQ(size.height, kDefaultScreenHeight);
    const Image captured = captureScreen();
    ASSERT_TRUE(captured.valid());
    EXPECT_EQ(captured.width, kDefaultScreenWidth);
    EXPECT_EQ(captured.rgb.size(), std::size_t(kDefaultScreenWidth) * kDefaultScreenHeight * 3);
    EXPECT_TRUE(std::all_of(captured.rgb.begin(), captured.rgb.end(),
                            [](std::uint8_t b) { return b == 0; }));
}

TEST(Screen, ImagesThatDoNotFitAreRefusedAndAFailedSaveLeavesNoFile) {
    Sandbox box;
    const Image screen = pattern(8, 4);
    const auto raw = writeRaw(box, screen).string();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    const Case cases[] = {
        {{"screen", "8", "5", raw}, 1}, // more pixels than the file holds
        {{"screen", "4", "4", raw}, 1}, // fewer
        {{"screen", "0", "4", raw}, 1},
        {{"screen", "16385", "1", raw}, 1}, // beyond the largest side
        {{"screen", "8", "4"}, 1},
        {{"screen", "8", "4", (box.root() / "none.rgb").string()}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1] + "x" + c.args[2]);
        EXPECT_EQ(runTool(c.args).exitCode, c.exitCode);
    }
    EXPECT_EQ(screenSize().width, kDefaultScreenWidth); // unchanged

    const fs::path nowhere = box.root() / "no such folder" / "shot.png";
    EXPECT_FALSE(savePng(screen, nowhere));
    Image broken = screen;
    broken.rgb.pop_back();
    const fs::path refused = box.root() / "broken.png";
    EXPECT_FALSE(savePng(broken, refused));
    EXPECT_FALSE(fs::exists(refused));
    const auto saves = journalOf("png.save");
    ASSERT_EQ(saves.size(), 2u);
    EXPECT_FALSE(flag(saves[0], "ok"));
    EXPECT_FALSE(flag(saves[1], "ok"));
}

} // namespace
