// The game's dialogs and message boxes on Linux: Dear ImGui in the game window, over the last
// picture, modal (each runs its own loop until it ends; the frame loop waits meanwhile). Layout
// from templates 102 and 103 in dialog units, the templates' own texts, font "ＭＳ Ｐゴシック" 9 pt through
// fontconfig. Owned by the app; main thread only; needs the window's OpenGL context current.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/dialogs.h"

struct ImFont;

namespace orlith {

class ImGuiDialogs final : public Dialogs {
public:
    explicit ImGuiDialogs(SDL_Window* window);
    ~ImGuiDialogs() override;
    ImGuiDialogs(const ImGuiDialogs&) = delete;
    ImGuiDialogs& operator=(const ImGuiDialogs&) = delete;

    // The picture under the dialogs: the last presented frame as RGBA rows, top to bottom.
    std::function<bool(std::vector<uint8_t>& rgba, int& width, int& height)> lastPicture;
    // Unattended runs: the information dialog closes after its first picture.
    bool unattended = false;
    // Tests answer by events: called with the frame's number after each picture is drawn, before
    // it is shown (so it can be read back). When set, the dialogs show on any video driver.
    std::function<void(int frame)> frameDrawn;

    bool canShow() override;
    int32_t runRegistration(RegistrationForm& form) override;
    int32_t runInformation(const InformationTable& table) override;
    bool runMessageBox(std::u16string_view text, MessageKind kind) override;
    // An error box over the running game, as a box of another thread stands over a Windows game:
    // gameFrame runs one frame of the game (without presenting it, and without the keyboard and
    // mouse, which the box has) and returns the milliseconds to its next one; each of its
    // pictures is shown under the box. Returns when the box is dismissed.
    void runErrorBoxOverGame(std::u16string_view text, const std::function<uint32_t()>& gameFrame);
    // How often the glyph atlas was built. Building it with the Japanese set takes a moment the
    // player sees, so a table is only built into it when a row holds a character it lacks.
    int atlasBuilds() const { return atlasBuilds_; }

private:
    // One modal dialog: draws frames until body returns an end code other than 0. With a game
    // frame, the game runs under it.
    int32_t runModal(const std::function<int32_t()>& body, const std::function<uint32_t()>& gameFrame = nullptr);
    int32_t messageBox(std::u16string_view text, MessageKind kind, const std::function<uint32_t()>& gameFrame);
    void loadBackground();
    bool ensureFont(const InformationTable* table);
    void drawBackground();
    float unitX(float dialogUnits) const;
    float unitY(float dialogUnits) const;

    SDL_Window* window_;
    void* context_ = nullptr;       // ImGuiContext
    ImFont* font_ = nullptr;
    std::string fontPath_;
    int fontIndex_ = 0;
    bool fontLooked_ = false;
    std::vector<uint16_t> glyphRanges_;  // ImWchar ranges of the atlas, kept while it lives
    float baseX_ = 6, baseY_ = 12;  // dialog base units of the font, pixels
    unsigned background_ = 0;       // GL texture of the last picture
    int backgroundWidth_ = 0, backgroundHeight_ = 0;
    bool quitSeen_ = false;         // the game window was closed during the dialog
    bool padStart_ = false;         // a game controller's Start in this frame's events
    int frame_ = 0;                 // pictures drawn by the running dialog
    int atlasBuilds_ = 0;
};

}  // namespace orlith
