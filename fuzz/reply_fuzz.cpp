// libFuzzer target: any bytes as a ranking reply through the game's parser.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/null_platform.h"
#include "ranking/ranking.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static orlith::RankingRecord records[orlith::kMaxRankingRecords];
    int32_t count = -1;
    orlith::parseRankingReply(std::string_view(reinterpret_cast<const char*>(data), size), records, count, orlith::NullPlatform{});
    if (count < 0 || count > orlith::kMaxRankingRecords) __builtin_trap();
    for (int32_t i = 0; i < count; ++i) {
        if (records[i].name[31] != 0 || records[i].pinHash[8] != 0) __builtin_trap();  // always terminated
    }
    return 0;
}
