// HUD layout: the status and ranking panels as veil boxes and texts in their rectangles.
#include <algorithm>
#include <cmath>
#include <iterator>

#include "game/game.h"
#include "base/text.h"
#include "render/render.h"

namespace orlith {
namespace {

// trunc(v + 0.5) - 1 without undefined behaviour for positions far outside the maze (a
// restored record can hold any float): out-of-range values saturate, NaN shows 0.
int64_t positionNumber(float v) {
    float t = std::trunc(v + 0.5f);
    if (std::isnan(t)) return 0;
    if (t >= 2147483648.0f) return INT32_MAX - 1LL;
    if (t < -2147483648.0f) return INT32_MIN - 1LL;
    return static_cast<int64_t>(t) - 1;
}

struct PanelBuilder {
    HudLayout& layout;
    float left;
    int boxOp;
    int entries = 0;

    PanelBuilder(HudLayout& l, float boxLeft) : layout(l), left(boxLeft), boxOp(l.count) {
        HudOp& box = layout.ops[layout.count++];
        box.kind = HudOp::veilBox;
        box.align = HudAlign::leading;
        box.text[0] = 0;
    }
    HudOp& next(HudAlign align, float top) {
        HudOp& op = layout.ops[layout.count++];
        op.kind = HudOp::textLine;
        op.align = align;
        op.rect = {left + 10.0f, top, left + 190.0f, top + 24.0f};
        return op;
    }
    // Label at 40 + 64k, value 28 lower: the moving layout rectangle in closed form.
    HudOp& label() { return next(HudAlign::leading, 40.0f + 64.0f * static_cast<float>(entries)); }
    HudOp& value() {
        HudOp& op = next(HudAlign::trailing, 68.0f + 64.0f * static_cast<float>(entries));
        ++entries;
        return op;
    }
    void entry(const char16_t* labelText, const char16_t* valueText) {
        copyText(label().text, 32, labelText);
        copyText(value().text, 32, valueText);
    }
    void finish() {
        layout.ops[boxOp].rect = {left, 30.0f, left + 200.0f, 38.0f + 64.0f * static_cast<float>(entries)};
    }
};

const char16_t* normalOrReverse(int32_t sign) { return sign == 1 ? u"normal" : u"reverse"; }

}  // namespace

void buildHudLayout(const GameState& s, HudLayout& layout) {
    layout.count = 0;
    if ((s.hudMode & 1) != 0) {
        PanelBuilder p(layout, 30.0f);
        char16_t value[32];
        if (s.networkEnabled != 0) {
            copyText(p.label().text, 32, u"Name:");
            formatText(p.value().text, 32, u"%s", s.nickname);
        }
        copyText(p.label().text, 32, u"Level:");
        formatText(p.value().text, 32, u"%d", s.level);
        if (s.showDistance == 0) {
            copyText(p.label().text, 32, u"Position:");
            // Three numbers of up to 11 characters each can exceed the slot; formatText cuts.
            formatText(p.value().text, 32, u"(%2ld,%2ld,%2ld)", static_cast<long long>(positionNumber(s.playerPos[0])),
                       static_cast<long long>(positionNumber(s.playerPos[1])),
                       static_cast<long long>(positionNumber(s.playerPos[2])));
        } else {
            copyText(p.label().text, 32, u"Distance:");
            formatText(p.value().text, 32, u"%d", distanceToGoal(s.goalPos, s.playerPos));
        }
        copyText(p.label().text, 32, u"Step Count:");
        formatText(p.value().text, 32, u"%d", s.stepCount);
        if (s.showFps != 0) {
            formatText(value, 32, u"%.1f", s.measuredFps);
            p.entry(u"FPS:", value);
        }
        if (s.nightmareTimer != 0) p.entry(u"Nightmare:", u"Break out!");
        if (s.movementNoticeTimer != 0) {
            p.entry(u"Movement:", s.movementMode == 0 ? u"Walk" : s.movementMode == 1 ? u"Fly 1" : u"Fly 2");
        }
        if (s.guideNoticeTimer != 0) p.entry(u"Guide:", s.guideOn != 0 ? u"On" : u"Off");
        if (s.horizontalNoticeTimer != 0) p.entry(u"Horizontal:", normalOrReverse(s.horizontalSign));
        if (s.verticalNoticeTimer != 0) p.entry(u"Vertical:", normalOrReverse(s.verticalSign));
        if (s.progressNoticeTimer != 0) p.entry(u"Progress:", normalOrReverse(s.progressSign));
        if (s.rotateNoticeTimer != 0) {
            formatText(value, 32, u"%d", s.rotateSpeed);
            p.entry(u"Rotate:", value);
        }
        if (s.saveNoticeTimer != 0) p.entry(u"Data Save:", u"Success");
        if (s.loadNoticeTimer != 0) p.entry(u"Data Load:", u"Success");
        p.finish();
    }
    if (s.networkEnabled != 0 && (s.hudMode & 2) != 0) {
        PanelBuilder p(layout, 794.0f);
        static constexpr FormatString<FormatKind::int32, FormatKind::text> kOrdinal[8] = {
            u"%dst %s", u"%dnd %s", u"%drd %s", u"%dth %s", u"%dth %s", u"%dth %s", u"%dth %s", u"%dth %s"};
        for (int i = 0; i < s.rankingCount && i < 8; ++i) {
            const RankingRecord& r = s.rankingList[i];
            char16_t name[32];
            copyText(name, 32, std::u16string_view(r.name, static_cast<size_t>(textLength(r.name, 31))));
            formatText(p.label().text, 32, kOrdinal[i], i + 1, name);
            formatText(p.value().text, 32, u"%d-%d-%d", r.level, r.goalDistance, r.stepCount);
        }
        p.finish();
    }
}

namespace {

// Characters beside which Japanese text may break a line: the wide ones of East Asian scripts
// (kana, ideographs, Hangul, full-width forms and their punctuation).
bool isWide(char32_t c) {
    static constexpr char32_t kRanges[][2] = {{0x1100, 0x115F}, {0x2E80, 0xA4CF}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF},
                                              {0xFE30, 0xFE4F}, {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6}, {0x20000, 0x3FFFD}};
    return std::any_of(std::begin(kRanges), std::end(kRanges), [c](const auto& r) { return c >= r[0] && c <= r[1]; });
}

}  // namespace

int hudCharacters(const char16_t* text, char32_t out[kMaxTextLength]) {
    int n = 0;
    for (int i = 0; i < kMaxTextLength && text[i] != 0; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < kMaxTextLength && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        }
        out[n++] = c;
    }
    return n;
}

void wrapText(const char32_t* chars, const float* advances, int length, float slotWidth, TextLines& lines) {
    lines.count = 0;
    int begin = 0;
    while (begin < length) {
        float width = 0;     // of begin .. i - 1
        int end = begin;     // the line so far ends before end
        int lastBreak = -1;  // the latest opportunity seen: the line may end before it
        float widthAtBreak = 0;
        for (; end < length; ++end) {
            const bool opportunity = end > begin && (chars[end - 1] == u' ' || isWide(chars[end - 1]) || isWide(chars[end]));
            if (opportunity) lastBreak = end, widthAtBreak = width;
            // A space never makes a line too wide: at its end it hangs outside.
            if (chars[end] != u' ' && width + advances[end] > slotWidth && end > begin) break;
            width += advances[end];
        }
        if (end < length && lastBreak > begin) end = lastBreak, width = widthAtBreak;
        // Spaces at the line's end hang: not counted, and the next line starts after them.
        int shown = end;
        while (shown > begin && chars[shown - 1] == u' ') width -= advances[--shown];
        while (end < length && chars[end] == u' ') ++end;
        lines.start[lines.count] = begin;
        lines.width[lines.count] = width;
        ++lines.count;
        begin = end;
    }
    lines.start[lines.count] = length;
}

}  // namespace orlith
