// HUD layout: entries, rectangles and texts of both panels; texts kept within their slots. (The
// start's panel as the player sees it, texts, places and veil, is test_app's walls picture.)
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "render/render.h"
#include "support/fixtures.h"

namespace orlith {
namespace {

using Rect = std::array<float, 4>;
using Texts = std::vector<std::u16string>;
std::u16string textOf(const HudOp& op) { return std::u16string(op.text, static_cast<size_t>(textLength(op.text, 32))); }
Rect rectOf(const HudOp& op) { return {op.rect.left, op.rect.top, op.rect.right, op.rect.bottom}; }

HudLayout layoutOf(const GameState& s, Texts& texts) {
    HudLayout hud;
    buildHudLayout(s, hud);
    texts.clear();
    for (int i = 0; i < hud.count; ++i) texts.push_back(textOf(hud.ops[i]));
    return hud;
}

std::unique_ptr<GameState> levelStart() { return test::levelState(1); }

TEST(Hud, EveryLineAtOnceMakesFourteenEntries) {
    auto s = levelStart();
    s->networkEnabled = 1, s->hudMode = 1, s->showFps = 1, s->measuredFps = 59.94;
    std::memcpy(s->nickname, u"Kim", 8);
    s->nightmareTimer = s->movementNoticeTimer = s->guideNoticeTimer = s->horizontalNoticeTimer = s->verticalNoticeTimer = 5;
    s->progressNoticeTimer = s->rotateNoticeTimer = s->saveNoticeTimer = s->loadNoticeTimer = 5;
    s->movementMode = 2, s->horizontalSign = -1, s->guideOn = 1, s->rotateSpeed = 9;
    s->verticalSign = 7;  // anything but exactly 1 reads "reverse"
    Texts texts;
    HudLayout hud = layoutOf(*s, texts);
    EXPECT_EQ(rectOf(hud.ops[0]), (Rect{30, 30, 230, 934}));
    EXPECT_EQ(texts, (Texts{u"", u"Name:", u"Kim", u"Level:", u"1", u"Position:", u"( 2, 2, 2)", u"Step Count:", u"0",
                            u"FPS:", u"59.9", u"Nightmare:", u"Break out!", u"Movement:", u"Fly 2", u"Guide:", u"On",
                            u"Horizontal:", u"reverse", u"Vertical:", u"reverse", u"Progress:", u"normal", u"Rotate:",
                            u"9", u"Data Save:", u"Success", u"Data Load:", u"Success"}));
}

TEST(Hud, TheModeSelectsThePanelsAndTheRankingShowsTheFirstEight) {
    struct Case { int mode, network, ops; };
    for (Case c : {Case{0, 1, 0}, Case{1, 1, 9}, Case{2, 1, 1}, Case{3, 1, 10}, Case{2, 0, 0}, Case{3, 0, 7}}) {
        auto s = levelStart();
        s->hudMode = c.mode, s->networkEnabled = c.network;
        Texts texts;
        HudLayout hud = layoutOf(*s, texts);
        EXPECT_EQ(hud.count, c.ops) << c.mode << " " << c.network;
        if (c.mode == 2 && c.network == 1) EXPECT_EQ(rectOf(hud.ops[0]), (Rect{794, 30, 994, 38}));  // empty
    }
    auto s = levelStart();
    s->networkEnabled = 1, s->hudMode = 2, s->rankingCount = 9;
    for (int i = 0; i < 9; ++i) {
        RankingRecord& r = s->rankingList[i] = RankingRecord{};
        r.name[0] = static_cast<char16_t>(u'a' + i), r.level = 10 - i, r.goalDistance = i, r.stepCount = 100 + i;
    }
    Texts texts;
    HudLayout hud = layoutOf(*s, texts);
    EXPECT_EQ(rectOf(hud.ops[0]), (Rect{794, 30, 994, 38 + 64 * 8}));
    EXPECT_EQ(texts, (Texts{u"", u"1st a", u"10-0-100", u"2nd b", u"9-1-101", u"3rd c", u"8-2-102", u"4th d",
                            u"7-3-103", u"5th e", u"6-4-104", u"6th f", u"5-5-105", u"7th g", u"4-6-106", u"8th h",
                            u"3-7-107"}));
    EXPECT_EQ(rectOf(hud.ops[15]), (Rect{804, 40 + 64 * 7, 984, 64 + 64 * 7}));
}

TEST(Hud, OverLongTextsAreShortenedWithinTheirSlot) {
    auto s = levelStart();
    test::place(*s, -3.0e38f, 3.0e38f, std::nanf(""));
    s->networkEnabled = 1, s->rankingCount = 1, s->rankingList[0] = RankingRecord{};
    std::fill_n(s->rankingList[0].name, 31, u'W');
    Texts texts;
    layoutOf(*s, texts);
    for (const std::u16string& text : texts) EXPECT_LE(text.size(), 31u);
    EXPECT_EQ(texts[6].substr(0, 12) + u"|" + texts[10].substr(0, 6), u"(-2147483649|1st WW");
}

TEST(Hud, TextsWiderThanTheirSlotWrapAsTheTextLayoutDoes) {
    // Every character 10 wide; the lines as texts, each with its width, '|' between lines.
    auto wrap = [](std::u16string_view text, float slot) {
        char16_t buffer[32] = {};
        copyText(buffer, 32, text);
        char32_t chars[kMaxTextLength];
        const int n = hudCharacters(buffer, chars);
        float advances[kMaxTextLength];
        std::fill_n(advances, n, 10.0f);
        TextLines lines;
        wrapText(chars, advances, n, slot, lines);
        std::u16string out;
        for (int l = 0; l < lines.count; ++l) {
            if (l > 0) out += u"|";
            for (int i = lines.start[l]; i < lines.start[l + 1]; ++i) out += static_cast<char16_t>(chars[i]);
            out += u"=" + utf8ToUtf16(std::to_string(static_cast<int>(lines.width[l])));
        }
        return out;
    };
    struct Case { std::u16string_view text; float slot; std::u16string_view lines; };
    const Case cases[] = {
        {u"Level:", 180, u"Level:=60"},                                  // fits
        {u"abcdefghi", 90, u"abcdefghi=90"},                             // exactly fits
        {u"abc def ghi", 70, u"abc def =70|ghi=30"},                     // at the space; it hangs
        {u"abc   defgh", 60, u"abc   =30|defgh=50"},                     // spaces hang, the next line starts after them
        {u"abcdefghij", 40, u"abcd=40|efgh=40|ij=20"},                   // no opportunity: where it does not fit
        {u"ab ＡＢＣＤ", 40, u"ab Ａ=40|ＢＣＤ=30"},                       // beside wide characters
        {u"日本語のなまえですよ", 35, u"日本語=30|のなま=30|えです=30|よ=10"},  // Japanese breaks anywhere
        {u"x", 5, u"x=10"},                                              // a line keeps one character
        {u"", 50, u""},
    };
    for (const Case& c : cases) EXPECT_EQ(wrap(c.text, c.slot), c.lines) << utf16ToUtf8(c.text);
}

}  // namespace
}  // namespace orlith
