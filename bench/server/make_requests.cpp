// Prints valid ranking request targets of N players (one per line), built with the core's
// state value and checksum exactly as the game builds them: the benchmark's input.
// Usage: orlith-bench-requests N [first-index] [PIN, default 73915]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/text.h"
#include "ranking/ranking.h"

int main(int argc, char** argv) {
    int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    int first = argc > 2 ? std::atoi(argv[2]) : 0;
    const std::string typed = argc > 3 ? argv[3] : "73915";  // not one of the common PINs a new nickname may not have
    for (int i = first; i < first + n; ++i) {
        std::u16string name = orlith::utf8ToUtf16("player" + std::to_string(i));
        char16_t pin[9];
        orlith::makePinHash(name, orlith::utf8ToUtf16(typed), pin);
        // Anywhere in level 1's box once the steps reach every cell of it (26 at most);
        // before that, at its start cell, as the server checks.
        const bool anywhere = i % 1000 >= 26;
        float pos[3] = {anywhere ? static_cast<float>(1 + i % 5) : 3, anywhere ? 1.0f : 3, anywhere ? static_cast<float>(1 + i % 3) : 3};
        float view[3] = {0, 0, 1}, up[3] = {0, 1, 0};
        // Everyone on level 1, so every reply carries the full 256 lines.
        std::u16string query = u"name=" + name + u"&state=" +
                               orlith::formatStateValue(1700000000u, pin, 1, i % 1000, pos, view, up);
        query += orlith::makeChecksumTag(query);
        std::printf("/state/change.php?%s\n", orlith::utf16ToUtf8(query).c_str());
    }
    return 0;
}
