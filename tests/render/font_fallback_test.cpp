// Without a Japanese font the HUD falls back to a monospace font, with a warning, instead of
// refusing to start. A process of its own: fontconfig reads its configuration once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "render/gl/hud_font.h"

namespace orlith {
namespace {

TEST(HudFont, WithoutAJapaneseFontFallsBackToMonospaceWithAWarning) {
    // The system's rules, but only the DejaVu fonts.
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("orlith-fonts-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "fonts.conf") << "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
                                         "<fontconfig><include ignore_missing=\"yes\">/etc/fonts/conf.d</include>"
                                         "<dir>/usr/share/fonts/truetype/dejavu</dir><cachedir>"
                                      << (dir / "cache").string() << "</cachedir></fontconfig>\n";
    setenv("FONTCONFIG_FILE", (dir / "fonts.conf").c_str(), 1);

    HudFont font;
    std::string failed, detail;
    testing::internal::CaptureStderr();
    bool opened = font.open(24.0f, failed, detail);
    std::string warning = testing::internal::GetCapturedStderr();
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(opened) << failed << ": " << detail;
    EXPECT_NE(font.path().find("DejaVuSansMono"), std::string::npos) << font.path();
    EXPECT_NE(warning.find("warning: no Japanese Gothic font"), std::string::npos) << warning;
    GlyphBitmap glyph;
    EXPECT_TRUE(font.rasterise(U'L', glyph));
    EXPECT_GT(glyph.width, 0);
}

}  // namespace
}  // namespace orlith
