// The Linux dialogs as the player sees them: each runs for real on a headless window, its picture
// is compared with a golden PNG (tests/ui/NAME.png, see support/golden_picture.h), and the key
// that ends it gives its answer.
#include <gtest/gtest.h>

#include <SDL.h>
#include <epoxy/gl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog_models.h"
#include "platform/sdl/sdl_gl_context.h"
#include "state/game_state.h"
#include "support/golden_picture.h"
#include "ui/imgui/imgui_dialogs.h"

namespace orlith {
namespace {

constexpr int kWidth = 640, kHeight = 480;
constexpr int kShotFrame = 3;  // an auto-sized window has its size by then

void pushKey(SDL_Scancode key) {
    for (Uint32 type : {SDL_KEYDOWN, SDL_KEYUP}) {
        SDL_Event e{};
        e.type = type, e.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
        e.key.keysym.scancode = key, e.key.keysym.sym = SDL_GetKeyFromScancode(key);
        SDL_PushEvent(&e);
    }
}

struct Case {
    const char* golden;
    SDL_Scancode key;
    int32_t answer;
    std::function<int32_t(ImGuiDialogs&)> run;
    int pictureWidth = 0, pictureHeight = 0;  // the last game picture under the dialog, if any
};

TEST(ImGuiDialogsTest, EachDialogShowsItsTemplateAndItsKeyGivesItsAnswer) {
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    SdlGlContext::requestCoreProfile();
    SDL_Window* window = SDL_CreateWindow("Orlith", 0, 0, kWidth, kHeight, SDL_WINDOW_OPENGL);
    ASSERT_NE(window, nullptr) << SDL_GetError();
    SdlPlatform platform;
    SdlGlContext context(window, platform);
    ASSERT_TRUE(context.create() && context.makeCurrent()) << SDL_GetError();

    std::unique_ptr<GameState> state = makeGameState();
    RegistrationModel form(*state);
    // Japanese names; 薔薇 is outside the font's Japanese set: only the rows bring it to the atlas.
    const char16_t* names[] = {u"迷宮の主", u"薔薇", u"player-3"};
    for (int k = 0; k < 3; ++k) {
        RankingRecord& r = state->rankingList[k];
        std::char_traits<char16_t>::copy(r.name, names[k], std::char_traits<char16_t>::length(names[k]) + 1);
        std::char_traits<char16_t>::copy(r.dateText, u"2026/12/07 01:23", 17);
        r.level = 12 - k * 5, r.goalDistance = 3 + k, r.stepCount = 400 * (k + 1);
    }
    state->rankingCount = 3;
    auto table = std::make_unique<InformationTable>();
    buildInformationTable(*state, *table);
    auto box = [](std::u16string_view text, MessageKind kind) {
        return [=](ImGuiDialogs& d) { return int32_t{d.runMessageBox(text, kind)}; };
    };
    const std::u16string_view question = u"ニックネームが登録済みで、\n暗証番号が違います。\n新しいニックネームでスタートしますか？";
    const Case cases[] = {
        {"registration", SDL_SCANCODE_RETURN, 1, [&](ImGuiDialogs& d) { return d.runRegistration(form); }},
        {"registration", SDL_SCANCODE_ESCAPE, 2, [&](ImGuiDialogs& d) { return d.runRegistration(form); }},
        // Letterboxed over the last game picture: a wide one (a 16:9 screen's) and a tall one.
        {"information", SDL_SCANCODE_RETURN, 1, [&](ImGuiDialogs& d) { return d.runInformation(*table); }, 1024, 576},
        {"error_box", SDL_SCANCODE_RETURN, 0, box(u"サーバーに接続できません — localhost:80", MessageKind::error), 480, 600},
        {"question_box", SDL_SCANCODE_Y, 1, box(question, MessageKind::question)},
        {"question_box", SDL_SCANCODE_N, 0, box(question, MessageKind::question)},
        {"question_box", SDL_SCANCODE_RETURN, 0, box(question, MessageKind::question)},
    };
    ImGuiDialogs dialogs(window);  // one for all, as in the game: the font grows for the rows
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.golden) + " with key " + SDL_GetScancodeName(c.key));
        SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
        dialogs.lastPicture = nullptr;
        if (const int w = c.pictureWidth, h = c.pictureHeight; w > 0) {  // a gradient: a picture placed wrong shows
            dialogs.lastPicture = [=](std::vector<uint8_t>& rgba, int& width, int& height) {
                rgba.assign(static_cast<size_t>(w) * h * 4, 96);
                for (size_t p = 0; p < rgba.size(); p += 4) rgba[p] = p / 4 % w * 255 / w, rgba[p + 1] = p / 4 / w * 255 / h;
                return width = w, height = h, true;
            };
        }
        DecodedImage picture{kWidth, kHeight, false, std::vector<uint8_t>(static_cast<size_t>(kWidth) * kHeight * 4)};
        int frames = 0;
        dialogs.frameDrawn = [&](int frame) {
            frames = frame + 1;
            if (frame == kShotFrame) {
                glPixelStorei(GL_PACK_ALIGNMENT, 1);
                for (int y = 0; y < kHeight; ++y) {  // top row first
                    glReadPixels(0, kHeight - 1 - y, kWidth, 1, GL_RGBA, GL_UNSIGNED_BYTE, &picture.rgba[y * kWidth * 4]);
                }
                pushKey(c.key);
            }
            SDL_Event quit{SDL_QUIT};  // the key did not end it: close the window rather than hang
            if (frame == 60) SDL_PushEvent(&quit);
        };
        EXPECT_EQ(c.run(dialogs), c.answer);
        EXPECT_LE(frames, kShotFrame + 3) << "the key did not end the dialog";
        for (size_t p = 3; p < picture.rgba.size(); p += 4) picture.rgba[p] = 255;  // opaque
        EXPECT_TRUE(test::matchesGolden(picture, std::string(ORLITH_SOURCE_DIR "/tests/ui/") + c.golden + ".png", 8, 4));
    }
    // Keys pressed in the given frames of the dialogs that follow.
    auto pressing = [&](std::vector<std::pair<int, SDL_Scancode>> keys) {
        dialogs.frameDrawn = [keys](int frame) { for (auto [at, key] : keys) if (frame == at) pushKey(key); };
    };
    // The focus starts on the check box: Space ticks it without a Tab first.
    pressing({{1, SDL_SCANCODE_SPACE}, {3, SDL_SCANCODE_ESCAPE}});
    EXPECT_EQ(dialogs.runRegistration(form), 2);
    EXPECT_TRUE(form.ticked());
    // A row of characters the atlas holds, and surrogate pairs (beyond 16 bits: the replacement
    // mark either way), opens the table without building the atlas again.
    std::char_traits<char16_t>::copy(table->cells[0][1], u"\U00010000\U0001F3FF迷", 6);
    const int builds = dialogs.atlasBuilds();
    pressing({{1, SDL_SCANCODE_RETURN}});
    EXPECT_EQ(dialogs.runInformation(*table), 1);
    EXPECT_EQ(dialogs.atlasBuilds(), builds);
    // An error box over the running game: a game frame under each of the box's.
    int gameFrames = 0;
    pressing({{5, SDL_SCANCODE_RETURN}});
    dialogs.runErrorBoxOverGame(u"line 3442 : error in HttpSendRequest\ncode = 7", [&] { return ++gameFrames, 0u; });
    EXPECT_EQ(gameFrames, 7);  // frames 0 to 5 drawn, and the one in which Return was read
    context.destroy();
    SDL_DestroyWindow(window);
    SDL_Quit();
}

}  // namespace
}  // namespace orlith
