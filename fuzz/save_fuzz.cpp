// libFuzzer target: any bytes as a save file through the game's reader.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "persist/persist.h"
#include "platform/null_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orlith::RankingRecord record;
    std::memset(&record, 0, sizeof record);
    int ok = orlith::parseSaveBytes(data, size, record, orlith::NullPlatform{});
    if (ok != 0 && ok != 1) __builtin_trap();
    return 0;
}
