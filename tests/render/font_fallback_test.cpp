// A face without bold is thickened for the HUD's bold with or without fontconfig's rules; without
// a Japanese font the HUD falls back to a monospace font, with a warning, instead of refusing to
// start; without any font the error says what to install. A process of its own: fontconfig's
// configuration is the test's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <fontconfig/fontconfig.h>

#include "render/gl/hud_font.h"

namespace orlith {
namespace {

TEST(HudFont, BoldIsMadeWithOrWithoutRulesAndMissingFontsFallBackOrSayWhatToInstall) {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("orlith-fonts-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "none");
    // The system's rules (or none), but only the fonts of one folder.
    auto onlyFontsOf = [&](const std::filesystem::path& fonts, bool rules = true) {
        std::ofstream(dir / "fonts.conf") << "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n<fontconfig>"
                                          << (rules ? "<include ignore_missing=\"yes\">/etc/fonts/conf.d</include>" : "")
                                          << "<dir>" << fonts.string() << "</dir><cachedir>"
                                          << (dir / "cache").string() << "</cachedir></fontconfig>\n";
        setenv("FONTCONFIG_FILE", (dir / "fonts.conf").c_str(), 1);
        FcInitReinitialize();
    };
    std::string failed, detail;
    // A face without bold is thickened for the HUD's bold, whether fontconfig's rules ask for it
    // or not: the glyph is as wide either way.
    int width[2] = {};
    for (bool rules : {true, false}) {
        onlyFontsOf("/usr/share/fonts/opentype/ipafont-gothic", rules);
        HudFont gothic;
        GlyphBitmap glyph;
        ASSERT_TRUE(gothic.open(24.0f, failed, detail) && gothic.rasterise(U'L', glyph)) << failed << ": " << detail;
        width[rules] = glyph.width;
    }
    EXPECT_EQ(width[false], width[true]);
    onlyFontsOf(dir / "none");
    EXPECT_FALSE(HudFont().open(24.0f, failed, detail));
    EXPECT_EQ(failed, "FcFontMatch (no font at all: install fonts-ipafont-gothic)");
    onlyFontsOf("/usr/share/fonts/truetype/dejavu");
    HudFont font;
    testing::internal::CaptureStderr();
    bool opened = font.open(24.0f, failed, detail);
    std::string warning = testing::internal::GetCapturedStderr();
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(opened) << failed << ": " << detail;
    EXPECT_NE(font.path().find("DejaVu"), std::string::npos) << font.path();
    EXPECT_NE(warning.find("warning: no Japanese Gothic font"), std::string::npos) << warning;
    GlyphBitmap glyph;
    EXPECT_TRUE(font.rasterise(U'L', glyph) && glyph.width > 0);
}

}  // namespace
}  // namespace orlith
