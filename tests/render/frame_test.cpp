// The frame as plain data: batches in pass order, which wall faces are drawn and in which
// order, the markers and the other players' arrows. The HUD layout: entries, rectangles and texts
// of both panels; texts kept within their slots. (The start's panel as the player sees it, texts,
// places and veil, is test_app's walls picture.)
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/text.h"
#include "game/game.h"
#include "maze/maze.h"
#include "render/render.h"
#include "support/fixtures.h"

namespace orlith {
namespace {

using Cell = std::tuple<int, int, int>;
using FaceKey = std::tuple<int, int, int, int>;  // cell and CubeFace

// A 5-cube of open, unseen cells; the given cells solid and seen; the eye where asked.
std::unique_ptr<GameState> box(std::initializer_list<Cell> solid, Float4 eye, int textured = 0) {
    auto s = makeGameState();
    s->sizeX = s->sizeY = s->sizeZ = 5;
    s->goalPos[0] = s->goalPos[1] = s->goalPos[2] = 1.0f;
    s->frameCounter = 1, s->texturedWalls = textured, s->cameraEye = eye;
    for (auto [x, y, z] : solid) s->cellGrid[cellIndex(x, y, z)] = -1, s->seenGrid[cellIndex(x, y, z)] = kSeen;
    return s;
}

FrameData frameOf(const GameState& s) {
    FrameData f;
    buildFrame(s, f);
    return f;
}
bool isWall(const DrawBatch& b) { return b.mesh == Mesh::wallCube || b.mesh == Mesh::texturedCube; }
int faceOf(const DrawBatch& b) { return b.firstVertex / b.vertexCount; }
const Mat4& world(const FrameData& f, const DrawBatch& b, int i) {
    return f.worlds[static_cast<size_t>(b.firstInstance + i)];
}

std::set<FaceKey> wallFaces(const FrameData& f) {
    std::set<FaceKey> faces;
    for (const DrawBatch& b : f.batches) {
        for (int i = 0; isWall(b) && i < b.instanceCount; ++i) {
            const float* t = world(f, b, i).m[3];
            faces.insert({static_cast<int>(t[0]), static_cast<int>(t[1]), static_cast<int>(t[2]), faceOf(b)});
        }
    }
    return faces;
}

int instancesOf(const FrameData& f, Mesh mesh) {
    int n = 0;
    for (const DrawBatch& b : f.batches) n += b.mesh == mesh ? b.instanceCount : 0;
    return n;
}


using Rect = std::array<float, 4>;
using Texts = std::vector<std::u16string>;
std::u16string textOf(const HudOp& op) { return std::u16string(op.text, static_cast<size_t>(textLength(op.text, 32))); }
Rect rectOf(const HudOp& op) { return {op.rect.left, op.rect.top, op.rect.right, op.rect.bottom}; }

// The HUD's entries, and the text of each.
std::pair<HudLayout, Texts> layoutOf(const GameState& s) {
    std::pair<HudLayout, Texts> out;
    buildHudLayout(s, out.first);
    for (int i = 0; i < out.first.count; ++i) out.second.push_back(textOf(out.first.ops[i]));
    return out;
}

TEST(Frame, BatchesFollowThePassOrderAndShareOneInstanceArray) {
    auto s = box({{0, 0, 0}, {0, 1, 0}}, {3, 3, 3, 0}, 1);
    s->guideOn = 1, s->cellGrid[cellIndex(2, 3, 3)] = 2, s->seenGrid[cellIndex(2, 3, 3)] = kSeen;  // left once: a trail mark
    s->seenGrid[cellIndex(3, 3, 3)] = kSeen;  // open but never left: none
    s->networkEnabled = 1, s->rankingCount = 1, s->rankingList[0] = RankingRecord{};
    s->rankingList[0].name[0] = u'x', s->rankingList[0].level = 1, s->viewMatrix = translationMatrix(1, 2, 3);
    FrameData f = frameOf(*s);
    std::vector<Mesh> meshes;
    int next = 0;
    for (const DrawBatch& b : f.batches) {
        meshes.push_back(b.mesh);
        EXPECT_EQ(b.pixelShader, isWall(b) ? PixelShader::texture : PixelShader::color);
        EXPECT_EQ(b.firstInstance, next);
        EXPECT_GT(b.instanceCount, 0);
        next += b.instanceCount;
    }
    // Faces x+, z+ and y+ of the two cubes, a batch each, then one batch per marker pass.
    EXPECT_EQ(meshes, (std::vector<Mesh>{Mesh::texturedCube, Mesh::texturedCube, Mesh::texturedCube,
                                         Mesh::guideMarker, Mesh::goalMarker, Mesh::orbiter, Mesh::gateBar,
                                         Mesh::playerArrow}));
    // The orbiter's faces: cyan across x, white across y, yellow across z.
    const MeshData orbiter = meshData(Mesh::orbiter);
    const float colours[3][3] = {{0, 1, 1}, {1, 1, 1}, {1, 1, 0}};
    for (int i = 0; i < orbiter.vertexCount; ++i) {
        const ColorVertex* face = static_cast<const ColorVertex*>(orbiter.vertices) + i / 6 * 6;
        int axis = 0;  // the coordinate the face's six vertices share
        while (axis < 2 && !std::all_of(face, face + 6, [&](const ColorVertex& v) { return v.position[axis] == face->position[axis]; })) ++axis;
        EXPECT_TRUE(std::equal(colours[axis], colours[axis] + 3, face[i % 6].color)) << "vertex " << i;
    }
    EXPECT_EQ(std::tuple(static_cast<size_t>(next), std::memcmp(&f.view, &s->viewMatrix, sizeof f.view), f.clearColor[0], f.hud.count),
              std::tuple(f.worlds.size(), 0, 0.7f, layoutOf(*s).first.count));
    // Trail marks only with the guide on, and only on seen cells.
    EXPECT_EQ(f.worlds[static_cast<size_t>(f.batches[3].firstInstance)].m[3][0], 2.0f);
    s->seenGrid[cellIndex(2, 3, 3)] = 0;
    const int unseen = instancesOf(frameOf(*s), Mesh::guideMarker);
    s->seenGrid[cellIndex(2, 3, 3)] = kSeen, s->guideOn = 0;
    EXPECT_EQ(std::pair(unseen, instancesOf(frameOf(*s), Mesh::guideMarker)), std::pair(0, 0));
}

// Beside the real maze below: the cube the eye is in, and an eye that is no number.
TEST(Frame, FacesThatCannotBeSeenAreLeftOut) {
    enum { zM = 0, xP, zP, xM, yP, yM };
    struct Case { const char* what; std::initializer_list<Cell> solid; Float4 eye; Cell cell; std::set<int> faces; };
    const Case cases[] = {
        {"the cube the eye is in shows all", {{2, 2, 2}, {3, 2, 2}}, {2, 2, 2, 0}, {2, 2, 2}, {zM, xP, zP, xM, yP, yM}},
        {"and its neighbours their faces towards it", {{2, 2, 2}, {3, 2, 2}}, {2, 2, 2, 0}, {3, 2, 2}, {xM}},
        {"a NaN eye turns nothing away", {{2, 2, 2}}, {NAN, NAN, NAN, 0}, {2, 2, 2}, {zM, xP, zP, xM, yP, yM}},
    };
    for (const Case& c : cases) {
        std::set<int> faces;
        for (auto [x, y, z, face] : wallFaces(frameOf(*box(c.solid, c.eye)))) {
            if (Cell{x, y, z} == c.cell) faces.insert(face);
        }
        EXPECT_EQ(faces, c.faces) << c.what;
    }
}

// A real maze from its start room and from outside: the faces drawn are exactly those of seen
// walls that border an open cell or the outside and are turned to the eye, nearest first.
TEST(Frame, InARealMazeTheVisibleFacesComeNearestFirst) {
    auto s = makeGameState();
    s->level = 3;
    newLevel(*s, *makeMazeWork());
    for (Float4 eye : {Float4{s->playerPos[0], s->playerPos[1], s->playerPos[2], 0}, Float4{4.3f, 12.2f, -6.1f, 0}}) {
        s->playerPos[0] = eye.x, s->playerPos[1] = eye.y, s->playerPos[2] = eye.z;
        s->cameraEye = eye;
        markSight(*s);
        auto solid = [&](int x, int y, int z) {
            return inMaze(*s, x, y, z) != 0 && s->cellGrid[cellIndex(x, y, z)] == -1 && !(x == 1 && y == 1 && z == 0);
        };
        std::set<FaceKey> expected;
        for (int x = 0; x < s->sizeX; ++x)
            for (int y = 0; y < s->sizeY; ++y)
                for (int z = 0; z < s->sizeZ; ++z) {
                    const bool drawn = solid(x, y, z) && s->seenGrid[cellIndex(x, y, z)] != 0;
                    for (int face = 0; face < kCubeFaces && drawn; ++face) {
                        const int* d = kFaceStep[face];
                        float towardsEye = (eye.x - static_cast<float>(x)) * static_cast<float>(d[0]) +
                                           (eye.y - static_cast<float>(y)) * static_cast<float>(d[1]) +
                                           (eye.z - static_cast<float>(z)) * static_cast<float>(d[2]);
                        if (!solid(x + d[0], y + d[1], z + d[2]) && towardsEye > 0.5f) expected.insert({x, y, z, face});
                    }
                }
        FrameData f = frameOf(*s);
        EXPECT_GT(expected.size(), 20u);
        EXPECT_EQ(wallFaces(f), expected);
        for (const DrawBatch& b : f.batches) {
            const int* d = kFaceStep[faceOf(b)];
            float last = 0;
            for (int i = 0; isWall(b) && i < b.instanceCount; ++i) {
                const float* t = world(f, b, i).m[3];
                Float4 r{t[0] + 0.5f * static_cast<float>(d[0]) - eye.x, t[1] + 0.5f * static_cast<float>(d[1]) - eye.y,
                         t[2] + 0.5f * static_cast<float>(d[2]) - eye.z, 0};
                EXPECT_GE(dot3(r, r), last);
                last = dot3(r, r);
            }
        }
    }
}

TEST(Frame, GoalOrbiterAndCurtain) {
    auto s = box({}, {3, 3, 3, 0});
    s->goalPos[0] = 1.9f, s->cycleFrame = 900;  // the goal truncated to its cell; a quarter of the orbiter's circle
    for (int frame : {0, 1, 2}) {
        s->frameCounter = frame;
        FrameData f = frameOf(*s);
        ASSERT_EQ(f.batches.size(), 3u);
        EXPECT_NEAR(transformPoint({0, 0, 0, 0}, f.worlds[1]).z, -10.0f, 1e-3);
        const DrawBatch& bars = f.batches[2];  // firstVertex: the colour variant
        EXPECT_EQ(std::tuple(bars.mesh, bars.instanceCount, bars.firstVertex, f.worlds[0].m[3][0], f.worlds[2].m[3][2]),
                  std::tuple(Mesh::gateBar, frame == 0 ? 13 : 12, 4 * frame, 1.0f, 0.49f));
        EXPECT_NEAR(f.worlds[2].m[3][1], 0.4f + static_cast<float>(frame) / 600.0f, 1e-5);
    }
}

TEST(Frame, ArrowRules) {
    struct Case { const char* what; const char16_t* name; int level, network; float x; int arrows; } cases[] = {
        {"another player on my level", u"you", 1, 1, 2, 1},  {"my own record", u"me", 1, 1, 2, 0},
        {"another level", u"you", 2, 1, 2, 0},               {"offline", u"you", 1, 0, 2, 0},
        {"within a tenth of the eye", u"you", 1, 1, 3.05f, 0}, {"just beyond a tenth", u"you", 1, 1, 3.11f, 1},
        {"a name that only starts like mine", u"mex", 1, 1, 2, 1},
    };
    for (const Case& c : cases) {
        auto s = box({}, {3, 3, 3, 0});
        s->networkEnabled = c.network, s->rankingCount = 1, std::memcpy(s->nickname, u"me", 6);
        RankingRecord& r = s->rankingList[0] = RankingRecord{};
        std::memcpy(r.name, c.name, 2 * std::char_traits<char16_t>::length(c.name));
        r.level = c.level, r.position[0] = c.x, r.position[1] = r.position[2] = 3, r.up[1] = 1, r.viewDirection[0] = 1;
        FrameData f = frameOf(*s);
        EXPECT_EQ(instancesOf(f, Mesh::playerArrow), c.arrows) << c.what;
        if (c.arrows == 1) {  // Scaling(0.1) x R x Translation: the nose points along the view
            Float4 nose = sub(transformPoint({0, 0, 1, 0}, f.worlds.back()), {c.x + 0.1f, 3, 3, 0});
            EXPECT_NEAR(dot3(nose, nose), 0.0f, 1e-9) << c.what;
        }
    }
}

TEST(Frame, ArrowRotationsAndTheirDegenerateCases) {
    struct Case { const char* what; Float4 up, view, fin, nose; } cases[] = {  // fin: +y, nose: +z
        {"upright, looking along +z: identity", {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}},
        {"all zeros: unrotated", {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}},
        {"upright, looking back: half turn about up", {0, 1, 0, 0}, {0, 0, -1, 0}, {0, 1, 0, 0}, {0, 0, -1, 0}},
        {"upside down: half turn about x first", {0, -1, 0, 0}, {0, 0, -1, 0}, {0, -1, 0, 0}, {0, 0, -1, 0}},
        {"upright, looking along +x", {0, 1, 0, 0}, {3, 0, 0, 0}, {0, 1, 0, 0}, {1, 0, 0, 0}},
        {"lying on its side", {1, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}},
        {"looking up, up tilted back", {0, 0, -1, 0}, {0, 2, 0, 0}, {0, 0, -1, 0}, {0, 1, 0, 0}},
    };
    for (const Case& c : cases) {
        float up[3] = {c.up.x, c.up.y, c.up.z}, view[3] = {c.view.x, c.view.y, c.view.z};
        Mat4 m = quaternionMatrix(arrowRotation(up, view));
        for (auto [from, to] : {std::pair{Float4{0, 1, 0, 0}, c.fin}, std::pair{Float4{0, 0, 1, 0}, c.nose}}) {
            Float4 r = sub(transformPoint(from, m), to);
            EXPECT_NEAR(dot3(r, r), 0.0f, 1e-9) << c.what;
        }
    }
}

TEST(Hud, EveryLineAtOnceMakesFourteenEntries) {
    auto s = test::levelState(1);
    s->networkEnabled = 1, s->hudMode = 1, s->showFps = 1, s->measuredFps = 59.94, std::memcpy(s->nickname, u"Kim", 8);
    s->nightmareTimer = s->movementNoticeTimer = s->guideNoticeTimer = s->horizontalNoticeTimer = s->verticalNoticeTimer = 5;
    s->progressNoticeTimer = s->rotateNoticeTimer = s->saveNoticeTimer = s->loadNoticeTimer = 5;
    s->movementMode = 2, s->horizontalSign = -1, s->guideOn = 1, s->rotateSpeed = 9;
    s->verticalSign = 7;  // anything but exactly 1 reads "reverse"
    auto [hud, texts] = layoutOf(*s);
    EXPECT_EQ(rectOf(hud.ops[0]), (Rect{30, 30, 230, 934}));
    EXPECT_EQ(texts, (Texts{u"", u"Name:", u"Kim", u"Level:", u"1", u"Position:", u"( 2, 2, 2)", u"Step Count:", u"0",
                            u"FPS:", u"59.9", u"Nightmare:", u"Break out!", u"Movement:", u"Fly 2", u"Guide:", u"On",
                            u"Horizontal:", u"reverse", u"Vertical:", u"reverse", u"Progress:", u"normal", u"Rotate:",
                            u"9", u"Data Save:", u"Success", u"Data Load:", u"Success"}));
}

TEST(Hud, TheModeSelectsThePanelsAndTheRankingShowsTheFirstEight) {
    struct Case { int mode, network, ops; };
    for (Case c : {Case{0, 1, 0}, Case{1, 1, 9}, Case{2, 1, 1}, Case{3, 1, 10}, Case{2, 0, 0}, Case{3, 0, 7}}) {
        auto s = test::levelState(1);
        s->hudMode = c.mode, s->networkEnabled = c.network;
        HudLayout hud = layoutOf(*s).first;
        EXPECT_EQ(hud.count, c.ops) << c.mode << " " << c.network;
        if (c.mode == 2 && c.network == 1) EXPECT_EQ(rectOf(hud.ops[0]), (Rect{794, 30, 994, 38}));  // empty
    }
    auto s = test::levelState(1);
    s->networkEnabled = 1, s->hudMode = 2, s->rankingCount = 9;
    for (int i = 0; i < 9; ++i) {
        RankingRecord& r = s->rankingList[i] = RankingRecord{};
        r.name[0] = static_cast<char16_t>(u'a' + i), r.level = 10 - i, r.goalDistance = i, r.stepCount = 100 + i;
    }
    auto [hud, texts] = layoutOf(*s);
    EXPECT_EQ(rectOf(hud.ops[0]), (Rect{794, 30, 994, 38 + 64 * 8}));
    EXPECT_EQ(texts, (Texts{u"", u"1st a", u"10-0-100", u"2nd b", u"9-1-101", u"3rd c", u"8-2-102", u"4th d",
                            u"7-3-103", u"5th e", u"6-4-104", u"6th f", u"5-5-105", u"7th g", u"4-6-106", u"8th h",
                            u"3-7-107"}));
    EXPECT_EQ(rectOf(hud.ops[15]), (Rect{804, 40 + 64 * 7, 984, 64 + 64 * 7}));
}

TEST(Hud, OverLongTextsAreShortenedWithinTheirSlot) {
    auto s = test::levelState(1);
    test::place(*s, -3.0e38f, 3.0e38f, std::nanf(""));
    s->networkEnabled = 1, s->rankingCount = 1, s->rankingList[0] = RankingRecord{};
    std::fill_n(s->rankingList[0].name, 31, u'W');
    const Texts texts = layoutOf(*s).second;
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
