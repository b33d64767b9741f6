// The server's calls into the game's core.
#include "core_bridge.h"

#include "base/text.h"
#include "game/game.h"
#include "ranking/ranking.h"

namespace orlith::server {

static_assert(kStateValueLength == orlith::kStateValueLength);

std::u16string toUtf16(std::string_view text) { return utf8ToUtf16(text); }
std::string toUtf8(std::u16string_view text) { return utf16ToUtf8(text); }
uint32_t checksumOf(std::u16string_view text) { return computeChecksum(text); }
int compareNicknames(const char16_t* a, const char16_t* b) { return compareNames(a, b); }

int32_t goalDistance(const float position[3]) {
    // Every level's goal room is cell (1,1,1).
    static constexpr float kGoal[3] = {1.0f, 1.0f, 1.0f};
    return distanceToGoal(kGoal, position);
}

}  // namespace orlith::server
