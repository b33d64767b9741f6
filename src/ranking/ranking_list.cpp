// The displayed ranking: each player's goal distance and the ranking order.
#include <cstring>

#include "maze/maze.h"
#include "ranking/ranking.h"

namespace orlith {

namespace {

char16_t foldCase(char16_t c) {
    if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c - u'A' + u'a');
    if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c - 0xFF21 + 0xFF41);  // full-width letters
    return c;
}

bool isUpper(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= 0xFF21 && c <= 0xFF3A); }

}  // namespace

int compareNames(const char16_t* a, const char16_t* b) {
    int i = 0;
    for (;; ++i) {
        char16_t fa = foldCase(a[i]), fb = foldCase(b[i]);
        if (fa != fb) return fa < fb ? -1 : 1;
        if (a[i] == 0) break;
    }
    // Same letters: lower case first, at the first place where case differs.
    for (int k = 0; a[k]; ++k) {
        if (a[k] != b[k]) return isUpper(a[k]) ? 1 : -1;
    }
    return 0;
}

int compareRankingRecords(const RankingRecord& a, const RankingRecord& b) {
    if (a.level != b.level) return a.level > b.level ? -1 : 1;
    if (a.goalDistance != b.goalDistance) return a.goalDistance < b.goalDistance ? -1 : 1;
    if (a.stepCount != b.stepCount) return a.stepCount < b.stepCount ? -1 : 1;
    return compareNames(a.name, b.name);
}

void prepareRankingList(GameState& state) {
    int n = state.rankingCount;
    RankingRecord* list = state.rankingList;
    for (int k = 0; k < n; ++k) list[k].goalDistance = distanceToGoal(state.goalPos, list[k].position);
    for (int gap = n / 2; gap > 0; gap /= 2) {
        for (int i = 0; i + gap < n; ++i) {
            for (int j = i; j >= 0; j -= gap) {
                if (compareRankingRecords(list[j], list[j + gap]) <= 0) break;
                RankingRecord t;
                std::memcpy(&t, &list[j], sizeof t);
                std::memcpy(&list[j], &list[j + gap], sizeof t);
                std::memcpy(&list[j + gap], &t, sizeof t);
            }
        }
    }
}

}  // namespace orlith
