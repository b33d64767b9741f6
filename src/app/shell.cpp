// Frame pacing, window size, the command-line switch and the shared frame hooks.
#include "app/shell.h"

#include <algorithm>
#include <cstdio>

#include "app/dialog_models.h"
#include "base/text.h"
#include "persist/persist.h"
#include "ranking/ranking.h"

namespace orlith {

void beginFrameTiming(GameState& s, uint32_t now) {
    if (s.groupFrameCount == 60) {
        uint32_t elapsed = now - s.groupStartTick;
        s.groupFrameCount = 0;
        // 60 frames in 0 ms has no finite rate; show 0 rather than infinity.
        s.measuredFps = elapsed == 0 ? 0.0 : static_cast<double>(1000.0f / static_cast<float>(elapsed) * 60.0f);
        s.groupStartTick = now;
    } else if (s.groupFrameCount == 0) {
        s.groupStartTick = now;
    }
}

uint32_t endFrameTiming(GameState& s, uint32_t now) {
    s.groupFrameCount += 1;
    auto target = static_cast<uint32_t>(s.groupFrameCount * 1000 / 60);
    uint32_t elapsed = now - s.groupStartTick;
    return target > elapsed ? target - elapsed : 0;
}

bool hasNetFpsSwitch(std::u16string_view commandLine) { return commandLine.find(u"NetFps") != std::u16string_view::npos; }

int32_t windowHeightForScreen(int32_t screenWidth, int32_t screenHeight) {
    if (screenWidth <= 0) return 0;
    return static_cast<int32_t>(static_cast<int64_t>(screenHeight) * 1024 / screenWidth);
}

void sizeWindow(GameState& s, int32_t screenWidth, int32_t screenHeight) {
    s.windowWidth = 1024;
    s.windowHeight = std::clamp(windowHeightForScreen(screenWidth, screenHeight), 1, 16384);
}

bool processorSupported(uint32_t highestLeaf, uint32_t leaf1Edx) {
    constexpr uint32_t kSseAndSse2 = (1u << 25) | (1u << 26);
    return highestLeaf >= 1 && (leaf1Edx & kSseAndSse2) == kSseAndSse2;
}

std::string reportText(const GameState& s, const std::vector<std::array<float, 3>>& arrows) {
    std::string text;
    char line[160];
    std::snprintf(line, sizeof line, "level %d\nsteps %d\nposition %.4f %.4f %.4f\nfps %.1f\nranking %d\n", s.level,
                  s.stepCount, s.playerPos[0], s.playerPos[1], s.playerPos[2], s.measuredFps, s.rankingCount);
    text += line;
    for (int k = 0; k < s.rankingCount; ++k) {
        const RankingRecord& r = s.rankingList[k];
        std::snprintf(line, sizeof line, "player %d %d %d ", r.level, r.goalDistance, r.stepCount);
        text += line + utf16ToUtf8(std::u16string_view(r.name, static_cast<size_t>(textLength(r.name, 31)))) + "\n";
    }
    for (const std::array<float, 3>& a : arrows) {
        std::snprintf(line, sizeof line, "arrow %.4f %.4f %.4f\n", a[0], a[1], a[2]);
        text += line;
    }
    return text;
}

void GameHooks::takeRankingUpdate(GameState& state) {
    if (network_ != nullptr) network_->takeRankingUpdate(state);
}

void GameHooks::writeSettings(GameState& state) { writeSettingsFile(state, platform_); }

int GameHooks::writeSave(GameState& state) { return writeSaveFile(state, platform_); }

void GameHooks::sendRankingRequest(GameState& state) {
    if (network_ != nullptr) network_->sendRankingRequest(state, platform_.unixTime());
}

void GameHooks::openInformationDialog(GameState& state) {
    if (dialogs_ == nullptr) return;
    if (!table_) table_ = std::make_unique<InformationTable>();
    buildInformationTable(state, *table_);
    dialogs_->runInformation(*table_);  // its end code means nothing to the game
}

}  // namespace orlith
