// Templates 102 and 103 and the message boxes, drawn with Dear ImGui.
#include "ui/imgui/imgui_dialogs.h"

#include <epoxy/gl.h>
#include <fontconfig/fontconfig.h>
#include <imgui.h>
#include <backends/imgui_impl_opengl3.h>
#include <backends/imgui_impl_sdl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/text.h"

namespace orlith {

namespace {

static_assert(sizeof(ImWchar) == sizeof(uint16_t), "the glyph ranges are kept as 16-bit characters");

enum class Kind { check, label, edit, defaultButton, button };

struct Control {
    int id;
    Kind kind;
    float x, y, width, height;  // dialog units
    const char* text;
};

// Template 102, in tab order.
constexpr Control kRegistration[] = {
    {1001, Kind::check, 6, 13, 168, 12, "ネットワークを使用する"},
    {1002, Kind::label, 6, 36, 174, 12, "※ここで入力する情報はネットワーク上に公開されます！"},
    {1003, Kind::label, 6, 48, 174, 12, "※特に暗証番号には、どうでもいい数字を入力して下さい！"},
    {1004, Kind::label, 6, 60, 174, 12, "※ニックネームに全角文字は使えません。"},
    {1005, Kind::label, 6, 72, 174, 12, "※ニックネームに半角記号は…、使えないものもあります。"},
    {1006, Kind::label, 6, 84, 174, 12, "※スタートすると、サーバーに情報が残って共有されます。"},
    {1007, Kind::label, 24, 108, 42, 12, "ニックネーム"},
    {1008, Kind::edit, 72, 108, 84, 12, ""},
    {1009, Kind::label, 24, 126, 42, 12, "暗証番号"},
    {1010, Kind::edit, 72, 126, 84, 12, ""},
    {1011, Kind::label, 24, 144, 42, 12, "サーバー"},
    {1012, Kind::edit, 72, 144, 84, 12, ""},
    {1013, Kind::label, 24, 162, 42, 12, "ポート番号"},
    {1014, Kind::edit, 72, 162, 84, 12, ""},
    {1, Kind::defaultButton, 35, 188, 50, 14, "スタート!!"},
    {2, Kind::button, 96, 188, 50, 14, "キャンセル"},
};
constexpr float kRegistrationWidth = 181, kRegistrationHeight = 216;
constexpr const char* kRegistrationTitle = "Orlith ニックネーム登録###102";

// Template 103: the OK button and the frame the list view covers.
constexpr Control kInformationOk{1, Kind::defaultButton, 252, 156, 48, 14, "OK"};
constexpr Control kInformationList{1015, Kind::label, 6, 8, 294, 142, ""};
constexpr float kInformationWidth = 307, kInformationHeight = 176;
constexpr const char* kInformationTitle = "Orlith インフォメーション###103";

// Everything else the dialogs write: the atlas needs these glyphs whatever the font's ranges.
constexpr const char* kOtherTexts = "Orlith インフォメーション ニックネーム登録 順位 レベル ゴール距離 移動累積 日時 はい(Y) いいえ(N) "
                                    "ニックネームが登録済みで、暗証番号が違います。新しいニックネームでスタートしますか？";

constexpr float kFontPixels = 12.0f;  // 9 points at 96 dots per inch

bool findDialogFont(std::string& path, int& index) {
    if (FcInit() == FcFalse) return false;
    FcPattern* pattern = FcPatternCreate();
    for (const char* family : {"ＭＳ Ｐゴシック", "MS PGothic", "IPAPGothic"}) {
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
    }
    FcLangSet* langs = FcLangSetCreate();
    FcLangSetAdd(langs, reinterpret_cast<const FcChar8*>("ja"));
    FcPatternAddLangSet(pattern, FC_LANG, langs);
    FcLangSetDestroy(langs);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    bool found = false;
    FcChar8* file = nullptr;
    FcLangSet* matchLangs = nullptr;
    if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
        FcPatternGetLangSet(match, FC_LANG, 0, &matchLangs) == FcResultMatch &&
        FcLangSetHasLang(matchLangs, reinterpret_cast<const FcChar8*>("ja")) == FcLangEqual) {
        path = reinterpret_cast<const char*>(file);
        FcPatternGetInteger(match, FC_INDEX, 0, &index);
        found = true;
    }
    if (match != nullptr) FcPatternDestroy(match);
    return found;
}

bool keyPressed(ImGuiKey key) { return ImGui::IsKeyPressed(ImGui::GetKeyIndex(key), false); }

// The default push button (Enter presses it) wears a heavier border, as in a Windows dialog.
bool defaultButton(const char* text, ImVec2 size) {
    ImGui::PushStyleVar(ImGuiStyleVar_FrameBorderSize, 2.0f);
    bool pressed = ImGui::Button(text, size);
    ImGui::PopStyleVar();
    return pressed;
}

bool enterPressed() { return keyPressed(ImGuiKey_Enter) || keyPressed(ImGuiKey_KeyPadEnter); }

struct EditBox {
    RegistrationForm* form;
    RegistrationBox box;
    char text[128];  // UTF-8: 16 characters of at most 4 bytes, and more
};

// The edit box's rules come from the form: characters it refuses are never typed, and after
// every edit the box keeps what the form keeps (the limit counts characters, not bytes).
int editCallback(ImGuiInputTextCallbackData* data) {
    auto* edit = static_cast<EditBox*>(data->UserData);
    if (data->EventFlag == ImGuiInputTextFlags_CallbackCharFilter) {
        return edit->form->takesCharacter(edit->box, data->EventChar) ? 0 : 1;
    }
    if (data->EventFlag == ImGuiInputTextFlags_CallbackEdit) {
        std::string_view typed(data->Buf, static_cast<size_t>(data->BufTextLen));
        edit->form->edit(edit->box, utf8ToUtf16(typed));
        std::string kept = utf16ToUtf8(edit->form->text(edit->box));
        if (kept != typed) {
            data->DeleteChars(0, data->BufTextLen);
            data->InsertChars(0, kept.c_str());
        }
    }
    return 0;
}

// The message box's icon: an exclamation triangle or a question disc, one line high.
void drawIcon(MessageKind kind, float size) {
    ImDrawList* list = ImGui::GetWindowDrawList();
    ImVec2 p = ImGui::GetCursorScreenPos();
    ImVec2 centre(p.x + size * 0.5f, p.y + size * 0.5f);
    const char* mark = kind == MessageKind::question ? "?" : "!";
    if (kind == MessageKind::question) {
        list->AddCircleFilled(centre, size * 0.5f, IM_COL32(40, 90, 200, 255));
    } else {
        list->AddTriangleFilled(ImVec2(centre.x, p.y), ImVec2(p.x + size, p.y + size), ImVec2(p.x, p.y + size),
                                IM_COL32(240, 190, 20, 255));
    }
    ImVec2 markSize = ImGui::CalcTextSize(mark);
    list->AddText(ImVec2(centre.x - markSize.x * 0.5f, centre.y - markSize.y * 0.4f),
                  kind == MessageKind::question ? IM_COL32_WHITE : IM_COL32_BLACK, mark);
    ImGui::Dummy(ImVec2(size, size));
}

}  // namespace

ImGuiDialogs::ImGuiDialogs(SDL_Window* window) : window_(window) {
    ImGuiContext* previous = ImGui::GetCurrentContext();
    context_ = ImGui::CreateContext();
    ImGui::SetCurrentContext(static_cast<ImGuiContext*>(context_));
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;  // nothing is stored: the dialogs open the same way every time
    io.LogFilename = nullptr;
    io.ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
    ImGui::StyleColorsLight();
    ImGuiStyle& style = ImGui::GetStyle();
    style.WindowRounding = 0;
    style.FrameBorderSize = 1;
    style.WindowPadding = ImVec2(0, 0);
    ImGui::SetCurrentContext(previous);
}

ImGuiDialogs::~ImGuiDialogs() { ImGui::DestroyContext(static_cast<ImGuiContext*>(context_)); }

bool ImGuiDialogs::canShow() {
    if (window_ == nullptr || SDL_GL_GetCurrentContext() == nullptr) return false;
    if (frameDrawn) return true;  // a test answers
    // Without a display nobody could answer a dialog: those runs use --start.
    const char* driver = SDL_GetCurrentVideoDriver();
    return driver == nullptr || std::strcmp(driver, "offscreen") != 0;
}

float ImGuiDialogs::unitX(float dialogUnits) const { return dialogUnits * baseX_ / 4.0f; }
float ImGuiDialogs::unitY(float dialogUnits) const { return dialogUnits * baseY_ / 8.0f; }

bool ImGuiDialogs::ensureFont(const InformationTable* table) {
    ImGui::SetCurrentContext(static_cast<ImGuiContext*>(context_));
    ImGuiIO& io = ImGui::GetIO();
    if (!fontLooked_) {
        fontLooked_ = true;
        if (!findDialogFont(fontPath_, fontIndex_)) {
            std::fputs("Orlith: no Japanese font for the dialogs (MS PGothic / IPAPGothic); install fonts-ipafont-gothic\n",
                       stderr);
        }
    }
    // The glyphs to have: the Japanese set, punctuation ("※", "…"), every text the dialogs write, and
    // the names and dates of the table about to be shown.
    ImFontGlyphRangesBuilder builder;
    builder.AddRanges(io.Fonts->GetGlyphRangesJapanese());
    static const ImWchar punctuation[] = {0x2000, 0x206F, 0};
    builder.AddRanges(punctuation);
    for (const Control& c : kRegistration) builder.AddText(c.text);
    builder.AddText(kOtherTexts);
    bool missing = font_ == nullptr;
    if (table != nullptr) {
        for (int32_t r = 0; r < table->rowCount; ++r) {
            for (int c = 0; c < InformationTable::kColumns; ++c) {
                for (const char16_t* p = table->cells[r][c]; *p != 0; ++p) {
                    if (*p >= 0xD800 && *p <= 0xDFFF) continue;  // beyond the 16-bit atlas
                    if (font_ != nullptr && font_->FindGlyphNoFallback(static_cast<ImWchar>(*p)) == nullptr) missing = true;
                    builder.AddChar(static_cast<ImWchar>(*p));
                }
            }
        }
    }
    if (!missing) return true;
    ImVector<ImWchar> ranges;
    builder.BuildRanges(&ranges);
    glyphRanges_.assign(ranges.begin(), ranges.end());
    io.Fonts->Clear();
    font_ = nullptr;
    if (!fontPath_.empty()) {
        ImFontConfig config;
        config.FontNo = fontIndex_;
        config.OversampleH = 2;
        font_ = io.Fonts->AddFontFromFileTTF(fontPath_.c_str(), kFontPixels, &config,
                                             reinterpret_cast<const ImWchar*>(glyphRanges_.data()));
    }
    if (font_ == nullptr) font_ = io.Fonts->AddFontDefault();  // shows the Latin texts at least
    io.Fonts->Build();
    ++atlasBuilds_;
    // Dialog base units as Windows takes them from the dialog font: the average width of the
    // Latin letters, and the font's height.
    const char* letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    baseX_ = static_cast<float>(static_cast<int>((font_->CalcTextSizeA(font_->FontSize, 1e9f, 0, letters).x + 26) / 52));
    baseY_ = font_->FontSize;
    ImGuiStyle& style = ImGui::GetStyle();
    style.FramePadding = ImVec2(3, (unitY(12) - font_->FontSize) * 0.5f);  // an edit box is 12 units high
    return true;
}

void ImGuiDialogs::drawBackground() {
    ImGuiIO& io = ImGui::GetIO();
    ImDrawList* list = ImGui::GetBackgroundDrawList();
    list->AddRectFilled(ImVec2(0, 0), io.DisplaySize, IM_COL32(0, 0, 0, 255));
    if (background_ == 0) return;
    // The picture keeps its shape; a bigger window (full screen) letterboxes it as the game does.
    float scale = std::min(io.DisplaySize.x / static_cast<float>(backgroundWidth_),
                           io.DisplaySize.y / static_cast<float>(backgroundHeight_));
    float w = static_cast<float>(backgroundWidth_) * scale, h = static_cast<float>(backgroundHeight_) * scale;
    ImVec2 p0((io.DisplaySize.x - w) * 0.5f, (io.DisplaySize.y - h) * 0.5f);
    list->AddImage(reinterpret_cast<ImTextureID>(static_cast<intptr_t>(background_)), p0, ImVec2(p0.x + w, p0.y + h));
}

void ImGuiDialogs::loadBackground() {
    std::vector<uint8_t> rgba;
    int width = 0, height = 0;
    if (!lastPicture || !lastPicture(rgba, width, height) || width <= 0 || height <= 0) return;
    if (background_ == 0 || width != backgroundWidth_ || height != backgroundHeight_) {
        if (background_ == 0) glGenTextures(1, &background_);
        glBindTexture(GL_TEXTURE_2D, background_);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        // RGB only: the picture is opaque whatever its alpha channel holds after the HUD's blend.
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        backgroundWidth_ = width;
        backgroundHeight_ = height;
    }
    glBindTexture(GL_TEXTURE_2D, background_);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
}

int32_t ImGuiDialogs::runModal(const std::function<int32_t()>& body, const std::function<uint32_t()>& gameFrame) {
    ImGui::SetCurrentContext(static_cast<ImGuiContext*>(context_));
    // The game's drawing state, given back as it was.
    GLint drawFramebuffer = 0, readFramebuffer = 0, texture = 0;
    GLfloat clearColor[4] = {};
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &drawFramebuffer);
    glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &readFramebuffer);
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture);
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clearColor);
    const bool srgb = glIsEnabled(GL_FRAMEBUFFER_SRGB) == GL_TRUE;

    loadBackground();
    glDisable(GL_FRAMEBUFFER_SRGB);  // ImGui's colours are already sRGB
    ImGui_ImplSDL2_InitForOpenGL(window_, SDL_GL_GetCurrentContext());
    ImGui_ImplOpenGL3_Init("#version 330 core");

    // Keys released while the game had the events (the Enter that closed the last dialog) would
    // otherwise stay down here, and their next press would not count.
    ImGuiIO& io = ImGui::GetIO();
    std::fill(std::begin(io.KeysDown), std::end(io.KeysDown), false);
    io.KeyCtrl = io.KeyShift = io.KeyAlt = io.KeySuper = false;
    quitSeen_ = false;
    frame_ = 0;
    int32_t end = 0;
    uint32_t wait = 16;
    while (end == 0) {
        // The game under the box runs its frame first, and its picture becomes the background.
        if (gameFrame) {
            wait = gameFrame();
            glDisable(GL_FRAMEBUFFER_SRGB);
            loadBackground();
        }
        // Sleep until something happens, but keep drawing about 60 times a second (or at the
        // game's pace). A key that went down ends the frame's events: ImGui 1.86 sees only the
        // state at the frame's start, so a quick tap whose release came in the same batch would
        // be lost.
        SDL_Event e;
        bool more = frame_ == 0 ? SDL_PollEvent(&e) != 0 : SDL_WaitEventTimeout(&e, static_cast<int>(wait)) != 0;
        padStart_ = false;
        while (more) {
            ImGui_ImplSDL2_ProcessEvent(&e);
            if (e.type == SDL_QUIT) quitSeen_ = true;
            // A game controller's Start presses the default button, as Enter does.
            if (e.type == SDL_CONTROLLERBUTTONDOWN && e.cbutton.button == SDL_CONTROLLER_BUTTON_START) padStart_ = true;
            more = e.type != SDL_KEYDOWN && SDL_PollEvent(&e) != 0;
        }
        ImGui_ImplOpenGL3_NewFrame();
        ImGui_ImplSDL2_NewFrame();
        ImGui::NewFrame();
        drawBackground();
        end = body();
        ImGui::Render();
        int width = 0, height = 0;
        SDL_GL_GetDrawableSize(window_, &width, &height);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glViewport(0, 0, width, height);
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
        if (frameDrawn) frameDrawn(frame_);
        SDL_GL_SwapWindow(window_);
        ++frame_;
    }

    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplSDL2_Shutdown();
    if (background_ != 0) glDeleteTextures(1, &background_);
    background_ = 0;
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(drawFramebuffer));
    glBindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(readFramebuffer));
    glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(texture));
    glClearColor(clearColor[0], clearColor[1], clearColor[2], clearColor[3]);
    if (srgb) glEnable(GL_FRAMEBUFFER_SRGB);
    if (quitSeen_) {
        // The window was closed while the dialog was up: the game sees it next.
        SDL_Event quit{};
        quit.type = SDL_QUIT;
        SDL_PushEvent(&quit);
    }
    return end;
}

int32_t ImGuiDialogs::runRegistration(RegistrationForm& form) {
    if (!canShow()) {
        std::fputs("Orlith: no display for the registration dialog (see --start in --help)\n", stderr);
        return 2;
    }
    ensureFont(nullptr);
    EditBox boxes[4];
    const RegistrationBox ids[4] = {RegistrationBox::nickname, RegistrationBox::pin, RegistrationBox::server,
                                    RegistrationBox::port};
    for (int k = 0; k < 4; ++k) {
        boxes[k].form = &form;
        boxes[k].box = ids[k];
        std::string text = utf16ToUtf8(form.text(ids[k]));
        std::snprintf(boxes[k].text, sizeof boxes[k].text, "%s", text.c_str());
    }
    return runModal([&]() -> int32_t {
        if (quitSeen_) return 2;  // closing the game window cancels, as the title-bar close does
        ImGuiIO& io = ImGui::GetIO();
        const float title = ImGui::GetFrameHeight();
        ImGui::SetNextWindowPos(ImVec2(io.DisplaySize.x * 0.5f, io.DisplaySize.y * 0.5f), ImGuiCond_Always,
                                ImVec2(0.5f, 0.5f));
        ImGui::SetNextWindowSize(ImVec2(unitX(kRegistrationWidth), title + unitY(kRegistrationHeight)));
        bool open = true;
        ImGui::Begin(kRegistrationTitle, &open,
                     ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoSavedSettings |
                         ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoScrollbar);
        int32_t end = 0;
        int edit = 0;
        for (const Control& c : kRegistration) {
            ImGui::SetCursorPos(ImVec2(unitX(c.x), title + unitY(c.y)));
            ImVec2 size(unitX(c.width), unitY(c.height));
            switch (c.kind) {
                case Kind::check: {
                    bool ticked = form.ticked();
                    // The focus starts on the box, first in tab order: Space ticks it at once.
                    if (frame_ == 0) ImGui::SetKeyboardFocusHere();
                    if (ImGui::Checkbox(c.text, &ticked)) form.setTicked(ticked);
                    ImGui::SetItemDefaultFocus();
                    ImGui::BeginDisabled(!form.controlsEnabled());
                    break;
                }
                case Kind::label:
                    // Static texts are centred vertically in their rectangle.
                    ImGui::SetCursorPosY(title + unitY(c.y) + (size.y - ImGui::GetFontSize()) * 0.5f);
                    ImGui::TextUnformatted(c.text);
                    break;
                case Kind::edit: {
                    EditBox& box = boxes[edit++];
                    ImGui::SetNextItemWidth(size.x);
                    char id[16];
                    std::snprintf(id, sizeof id, "##%d", c.id);
                    ImGui::InputText(id, box.text, sizeof box.text,
                                     ImGuiInputTextFlags_CallbackCharFilter | ImGuiInputTextFlags_CallbackEdit, editCallback,
                                     &box);
                    if (c.id == 1014) ImGui::EndDisabled();
                    break;
                }
                case Kind::defaultButton:
                    if ((defaultButton(c.text, size) || enterPressed() || padStart_) && form.pressStart()) end = 1;
                    break;
                case Kind::button:
                    if (ImGui::Button(c.text, size)) end = 2;
                    break;
            }
        }
        if (keyPressed(ImGuiKey_Escape) || !open) end = 2;
        ImGui::End();
        return end;
    });
}

int32_t ImGuiDialogs::runInformation(const InformationTable& table) {
    if (!canShow()) return 1;
    ensureFont(&table);
    // The cells as UTF-8, made once for the dialog's life.
    std::vector<std::string> cells(static_cast<size_t>(table.rowCount) * InformationTable::kColumns);
    for (int32_t r = 0; r < table.rowCount; ++r) {
        for (int c = 0; c < InformationTable::kColumns; ++c) {
            cells[static_cast<size_t>(r) * InformationTable::kColumns + c] = utf16ToUtf8(table.cells[r][c]);
        }
    }
    std::string headings[InformationTable::kColumns];
    for (int c = 0; c < InformationTable::kColumns; ++c) headings[c] = utf16ToUtf8(table.headings[c]);
    float widths[InformationTable::kColumns] = {};
    // Each column as wide as a list view's, its cell padding included (the table's width is
    // for content), and never narrower than its widest text, so the whole date shows. Measured
    // in the first frame, with the dialog font in place.
    auto measureColumns = [&] {
        const float padding = 2.0f * ImGui::GetStyle().CellPadding.x;
        for (int c = 0; c < InformationTable::kColumns; ++c) {
            widths[c] = std::max(static_cast<float>(table.widths[c]) - padding, ImGui::CalcTextSize(headings[c].c_str()).x);
            for (int32_t r = 0; r < table.rowCount; ++r) {
                const std::string& cell = cells[static_cast<size_t>(r) * InformationTable::kColumns + c];
                widths[c] = std::max(widths[c], ImGui::CalcTextSize(cell.c_str()).x);
            }
        }
    };
    return runModal([&]() -> int32_t {
        if (quitSeen_) return 2;
        if (unattended && frame_ >= 2) return 1;  // drawn, and nobody to read it
        if (frame_ == 0) measureColumns();
        ImGuiIO& io = ImGui::GetIO();
        const float title = ImGui::GetFrameHeight();
        ImGui::SetNextWindowPos(ImVec2(io.DisplaySize.x * 0.5f, io.DisplaySize.y * 0.5f), ImGuiCond_Always,
                                ImVec2(0.5f, 0.5f));
        ImGui::SetNextWindowSize(ImVec2(unitX(kInformationWidth), title + unitY(kInformationHeight)));
        bool open = true;
        ImGui::Begin(kInformationTitle, &open,
                     ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoSavedSettings |
                         ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoScrollbar);
        ImGui::SetCursorPos(ImVec2(unitX(kInformationList.x), title + unitY(kInformationList.y)));
        const ImGuiTableFlags flags = ImGuiTableFlags_Borders | ImGuiTableFlags_RowBg | ImGuiTableFlags_ScrollX |
                                      ImGuiTableFlags_ScrollY | ImGuiTableFlags_SizingFixedFit | ImGuiTableFlags_Resizable;
        if (ImGui::BeginTable("##1016", InformationTable::kColumns, flags,
                              ImVec2(unitX(kInformationList.width), unitY(kInformationList.height)))) {
            for (int c = 0; c < InformationTable::kColumns; ++c) {
                ImGui::TableSetupColumn(headings[c].c_str(), ImGuiTableColumnFlags_WidthFixed, widths[c]);
            }
            ImGui::TableSetupScrollFreeze(0, 1);
            ImGui::TableHeadersRow();
            ImGuiListClipper clipper;
            clipper.Begin(table.rowCount);
            while (clipper.Step()) {
                for (int r = clipper.DisplayStart; r < clipper.DisplayEnd; ++r) {
                    ImGui::TableNextRow();
                    for (int c = 0; c < InformationTable::kColumns; ++c) {
                        ImGui::TableSetColumnIndex(c);
                        ImGui::TextUnformatted(cells[static_cast<size_t>(r) * InformationTable::kColumns + c].c_str());
                    }
                }
            }
            ImGui::EndTable();
        }
        int32_t end = 0;
        ImGui::SetCursorPos(ImVec2(unitX(kInformationOk.x), title + unitY(kInformationOk.y)));
        if (defaultButton(kInformationOk.text, ImVec2(unitX(kInformationOk.width), unitY(kInformationOk.height))) ||
            enterPressed() || padStart_) {
            end = 1;
        }
        if (!open) end = 2;  // Escape does nothing here
        ImGui::End();
        return end;
    });
}

bool ImGuiDialogs::runMessageBox(std::u16string_view text, MessageKind kind) {
    const int32_t answer = messageBox(text, kind, nullptr);
    return kind == MessageKind::question && answer == 1;
}

void ImGuiDialogs::runErrorBoxOverGame(std::u16string_view text, const std::function<uint32_t()>& gameFrame) {
    messageBox(text, MessageKind::error, gameFrame);
}

int32_t ImGuiDialogs::messageBox(std::u16string_view text, MessageKind kind, const std::function<uint32_t()>& gameFrame) {
    ensureFont(nullptr);
    std::string message = utf16ToUtf8(text);
    const bool question = kind == MessageKind::question;
    return runModal([&]() -> int32_t {
        if (quitSeen_) return 2;
        ImGuiIO& io = ImGui::GetIO();
        ImGui::SetNextWindowPos(ImVec2(io.DisplaySize.x * 0.5f, io.DisplaySize.y * 0.5f), ImGuiCond_Always,
                                ImVec2(0.5f, 0.5f));
        bool open = true;
        ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(16, 12));
        // A Yes/No box has no close button and ignores Escape: it must be answered.
        ImGui::Begin("Orlith###box", question ? nullptr : &open,
                     ImGuiWindowFlags_AlwaysAutoResize | ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoSavedSettings |
                         ImGuiWindowFlags_NoMove);
        drawIcon(kind, ImGui::GetFrameHeight() * 1.5f);
        ImGui::SameLine(0, 12);
        ImGui::TextUnformatted(message.c_str());
        ImGui::Spacing();
        const ImVec2 button(unitX(50), unitY(14));
        // The buttons centred under the text.
        const float row = question ? button.x * 2 + ImGui::GetStyle().ItemSpacing.x : button.x;
        ImGui::SetCursorPosX(std::max(ImGui::GetStyle().WindowPadding.x, (ImGui::GetWindowWidth() - row) * 0.5f));
        int32_t end = 0;
        if (question) {
            // The SDL backend indexes keys by scancode: Y and N are the buttons' access keys.
            if (ImGui::Button("はい(Y)", button) || ImGui::IsKeyPressed(SDL_SCANCODE_Y, false)) end = 1;
            ImGui::SameLine();
            if (defaultButton("いいえ(N)", button) || ImGui::IsKeyPressed(SDL_SCANCODE_N, false) || enterPressed() ||
                padStart_) {
                end = 2;  // No is the default button
            }
            ImGui::SetItemDefaultFocus();  // and has the focus: Space answers No too
        } else {
            if (defaultButton("OK", button) || enterPressed() || padStart_ || keyPressed(ImGuiKey_Escape) || !open) end = 1;
        }
        ImGui::End();
        ImGui::PopStyleVar();
        return end;
    }, gameFrame);
}

}  // namespace orlith
