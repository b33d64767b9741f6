// The players of the ranking server and the rules every ranking request passes.
#include "ranking_store.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "game/game.h"
#include "game/text.h"
#include "ranking/ranking.h"
#include "request.h"

namespace orlith::server {

namespace {

constexpr std::string_view kMaskedPin = "00000000";

// Every level's goal room is at cell (1,1,1), so one goal serves every requester and the
// order of the whole ranking is the same for all of them.
const GameState& goalState() {
    static const GameState* state = [] {
        auto* s = new GameState;  // default-initialised: the grids are never touched
        s->goalPos[0] = s->goalPos[1] = s->goalPos[2] = 1.0f;
        return s;
    }();
    return *state;
}

void readState(RankingRecord& rec, std::string_view state) {
    char16_t wide[kStateValueLength + 1] = {};
    for (int k = 0; k < kStateValueLength && static_cast<size_t>(k) < state.size(); ++k) {
        wide[k] = static_cast<unsigned char>(state[static_cast<size_t>(k)]);
    }
    parseStateValue(rec, wide);
    rec.goalDistance = distanceToGoal(goalState(), rec.position);
}

bool allFinite(const RankingRecord& r) {
    for (int k = 0; k < 3; ++k) {
        if (!std::isfinite(r.position[k]) || !std::isfinite(r.viewDirection[k]) || !std::isfinite(r.up[k])) return false;
    }
    return true;
}

}  // namespace

struct RankingStore::Player {
    std::u16string name;
    std::string nameUtf8;
    char pin[8];                   // the registered PIN hash
    char state[kStateValueLength]; // last accepted state value, as submitted
    RankingRecord rec;             // the same, parsed, with goalDistance: the ranking order's input
    int64_t lastSeenMs = INT64_MIN / 2;  // last update, this instance or another
    int64_t lastLocalMs = INT64_MIN / 2; // last update through this instance
    int64_t rateWindow = -1;       // second of the rate count
    int32_t rateCount = 0;
    bool dirty = false;            // state not yet written to the database
};

struct RankingStore::Block {
    std::string text;
    std::vector<uint32_t> offsets{0};  // line i is text[offsets[i], offsets[i+1])
    std::vector<const Player*> who;
};

struct RankingStore::View {
    int64_t builtMs = 0;
    uint64_t changes = 0;
    std::vector<const Player*> ranked;  // global order, first maxLines players
    Block top;                          // first topLines of ranked, PIN hashes masked
    std::unordered_map<int32_t, Block> liveByLevel;  // live players outside the top, by level
};

RankingStore::RankingStore(Storage& storage, StoreOptions options) : storage_(storage), options_(options) {}
RankingStore::~RankingStore() = default;

RankingStore::Player* RankingStore::find(std::u16string_view name) {
    auto it = index_.find(name);
    return it == index_.end() ? nullptr : it->second;
}

RankingStore::Player* RankingStore::addLocked(const std::u16string& name, const std::string& nameUtf8,
                                              std::string_view state, int64_t lastSeenMs) {
    auto p = std::make_unique<Player>();
    p->name = name;
    p->nameUtf8 = nameUtf8;
    std::memcpy(p->pin, state.data() + 8, 8);
    std::memcpy(p->state, state.data(), kStateValueLength);
    std::memset(&p->rec, 0, sizeof p->rec);
    copyText(p->rec.name, 32, name);
    readState(p->rec, state);
    p->lastSeenMs = lastSeenMs;
    Player* raw = p.get();
    players_.push_back(std::move(p));
    index_.emplace(std::u16string_view(raw->name), raw);
    changes_.fetch_add(1);
    return raw;
}

bool RankingStore::load(std::string& error) {
    std::vector<StoredPlayer> rows;
    if (!storage_.loadAll(rows, error)) return false;
    std::lock_guard lock(mutex_);
    for (const StoredPlayer& row : rows) {
        std::u16string name;
        // A row that this server could not have written means the database is not ours or
        // is damaged; refuse to start rather than serve a partial ranking.
        if (!strictUtf8ToUtf16(row.name, name) || checkNickname(name) != nullptr ||
            row.state.size() != static_cast<size_t>(kStateValueLength) || !isLowerHex(row.state) ||
            row.pinHash.size() != 8 || row.state.compare(8, 8, row.pinHash) != 0) {
            error = "database holds an invalid player row (nickname \"" + row.name.substr(0, 64) + "\")";
            return false;
        }
        if (!find(name)) addLocked(name, row.name, row.state, INT64_MIN / 2);
    }
    return true;
}

Reply RankingStore::applyLocked(Player& p, std::string_view stateValue, int64_t nowMs) {
    if (std::memcmp(p.pin, stateValue.data() + 8, 8) != 0) {
        return {403, "nickname is registered with another PIN hash", {}};
    }
    // Counted only once the PIN hash matched: others cannot spend a player's budget.
    int64_t window = nowMs / 1000;
    if (p.rateWindow != window) {
        p.rateWindow = window;
        p.rateCount = 0;
    }
    if (++p.rateCount > options_.ratePerSecond) return {429, "more than the allowed requests a second", {}};

    RankingRecord next;
    std::memset(&next, 0, sizeof next);
    std::memcpy(next.name, p.rec.name, sizeof next.name);
    readState(next, stateValue);
    if (!allFinite(next)) return {409, "position or camera vector is not finite", {}};
    if (next.level < p.rec.level) return {409, "level falls", {}};
    if (next.level > p.rec.level + 1) return {409, "level rises by more than 1", {}};
    if (next.stepCount < p.rec.stepCount) return {409, "step count falls", {}};

    // The view is rebuilt only for what it shows: a new state, or a player turning live. A
    // player resending the same state while live changes nothing a reply lists.
    bool visible = nowMs - p.lastSeenMs >= options_.liveMs;
    if (std::memcmp(p.state, stateValue.data(), kStateValueLength) != 0) {
        std::memcpy(p.state, stateValue.data(), kStateValueLength);
        p.rec = next;
        if (!p.dirty) ++dirtyCount_;
        p.dirty = true;
        visible = true;
    }
    p.lastSeenMs = p.lastLocalMs = nowMs;
    if (visible) changes_.fetch_add(1);
    return {};
}

Reply RankingStore::submit(const std::u16string& name, const std::string& nameUtf8, std::string_view stateValue,
                           int64_t nowMs) {
    Reply reply;
    Player* p = nullptr;
    int32_t level = 0;
    {
        std::lock_guard lock(mutex_);
        p = find(name);
        if (!p) {
            // A new nickname starts as the game starts it: level 1, finite, no steps taken
            // below zero. Anything else would buy a place in the ranking with one request.
            RankingRecord first;
            std::memset(&first, 0, sizeof first);
            readState(first, stateValue);
            if (first.level != 1 || first.stepCount < 0 || !allFinite(first)) {
                return {409, "a new nickname must start at level 1", {}};
            }
            int64_t window = nowMs / 1000;
            if (registrationWindow_ != window) {
                registrationWindow_ = window;
                registrationsInWindow_ = 0;
            }
            if (++registrationsInWindow_ > options_.registrationsPerSecond) {
                return {429, "too many new nicknames this second", {}};
            }
            reply.registration = Registration{name, nameUtf8, std::string(stateValue), nowMs};
            return reply;
        }
        // The common case, under one lock: the rules, then the requester's own line.
        reply = applyLocked(*p, stateValue, nowMs);
        if (reply.status != 200) return reply;
        appendLine(reply.body.own, *p, kMaskedPin);
        level = p->rec.level;
    }
    // The view's blocks are immutable: the bulk of the reply points into them, uncopied.
    rankingBody(currentView(nowMs), p, level, reply.body);
    return reply;
}

Reply RankingStore::commit(const Registration& r) {
    StoredPlayer row{r.nameUtf8, r.state.substr(8, 8), r.state, 0};
    StoredPlayer existing;
    bool inserted = false;
    std::string error;
    // Committed before the reply, outside the player lock: the commit waits for the disk.
    if (!storage_.registerPlayer(row, inserted, existing, error)) {
        return {503, "registration could not be stored", {}};
    }
    Reply reply;
    Player* p = nullptr;
    int32_t level = 0;
    {
        std::lock_guard lock(mutex_);
        if (!find(r.name)) {
            // Registered here, or a moment ago through another instance sharing the database.
            if (inserted) addLocked(r.name, r.nameUtf8, r.state, r.nowMs);
            else if (existing.state.size() == static_cast<size_t>(kStateValueLength)) {
                addLocked(r.name, r.nameUtf8, existing.state, r.nowMs);
            } else {
                return {503, "stored player row is invalid", {}};
            }
        }
        p = find(r.name);
        reply = applyLocked(*p, r.state, r.nowMs);
        if (reply.status != 200) return reply;
        appendLine(reply.body.own, *p, kMaskedPin);
        level = p->rec.level;
    }
    rankingBody(currentView(r.nowMs), p, level, reply.body);
    return reply;
}

void RankingStore::appendLine(std::string& out, const Player& p, std::string_view pin) const {
    out.append(p.state, 8);
    out.append(pin);
    out.append(p.state + 16, kStateValueLength - 16);
    out.append(p.nameUtf8);
    out.append("\r\n");
}

void RankingStore::rankingBody(const std::shared_ptr<const View>& view, const Player* requester, int32_t level,
                              ReplyText& out) const {
    out.keep = view;
    int lines = 1;  // the requester's own line comes first
    // Whole runs of lines at a time, at most two per block (before and after the requester's
    // own line, which is not repeated): four slices in all.
    auto appendBlock = [&](const Block& b) {
        size_t n = b.who.size();
        size_t skip = std::find(b.who.begin(), b.who.end(), requester) - b.who.begin();
        size_t i = 0;
        while (i < n && lines < options_.maxLines) {
            if (i == skip) ++i;
            size_t end = std::min({n, skip > i ? skip : n, i + static_cast<size_t>(options_.maxLines - lines)});
            if (end <= i) break;
            out.slices[out.sliceCount++] =
                std::string_view(b.text).substr(b.offsets[i], b.offsets[end] - b.offsets[i]);
            lines += static_cast<int>(end - i);
            i = end;
        }
    };
    appendBlock(view->top);
    auto it = view->liveByLevel.find(level);
    if (it != view->liveByLevel.end()) appendBlock(it->second);
}

std::shared_ptr<const RankingStore::View> RankingStore::currentView(int64_t nowMs) {
    auto stale = [&](const std::shared_ptr<const View>& v) {
        if (!v) return true;
        // Rebuilt after changes, and at least once a second so quiet players stop being live.
        return (v->changes != changes_.load() && nowMs - v->builtMs >= options_.viewMaxAgeMs) ||
               nowMs - v->builtMs >= 1000;
    };
    std::shared_ptr<const View> v;
    {
        std::lock_guard lock(viewMutex_);
        v = view_;
    }
    if (!stale(v)) return v;
    std::unique_lock rebuild(rebuildMutex_, std::try_to_lock);
    if (!rebuild.owns_lock()) {
        if (v) return v;  // someone is rebuilding; the previous view is a few ms old
        rebuild.lock();
    }
    {
        std::lock_guard lock(viewMutex_);
        v = view_;
    }
    if (!stale(v)) return v;
    {
        std::lock_guard lock(mutex_);
        v = buildViewLocked(nowMs);
    }
    std::lock_guard lock(viewMutex_);
    view_ = v;
    return v;
}

std::shared_ptr<const RankingStore::View> RankingStore::buildViewLocked(int64_t nowMs) {
    auto view = std::make_shared<View>();
    view->builtMs = nowMs;
    view->changes = changes_.load();
    auto before = [](const Player* a, const Player* b) { return compareRankingRecords(a->rec, b->rec) < 0; };

    std::vector<const Player*> all(players_.size());
    for (size_t i = 0; i < players_.size(); ++i) all[i] = players_[i].get();
    size_t k = std::min(all.size(), static_cast<size_t>(options_.maxLines));
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k), all.end(), before);
    view->ranked.assign(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k));

    auto addTo = [&](Block& b, const Player* p) {
        appendLine(b.text, *p, kMaskedPin);
        b.offsets.push_back(static_cast<uint32_t>(b.text.size()));
        b.who.push_back(p);
    };
    std::unordered_set<const Player*> inTop;
    for (size_t i = 0; i < k && i < static_cast<size_t>(options_.topLines); ++i) {
        addTo(view->top, view->ranked[i]);
        inTop.insert(view->ranked[i]);
    }
    std::unordered_map<int32_t, std::vector<const Player*>> live;
    for (const auto& p : players_) {
        if (nowMs - p->lastSeenMs < options_.liveMs && !inTop.count(p.get())) live[p->rec.level].push_back(p.get());
    }
    for (auto& [level, list] : live) {
        size_t n = std::min(list.size(), static_cast<size_t>(options_.maxLines));
        std::partial_sort(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(n), list.end(), before);
        Block& b = view->liveByLevel[level];
        for (size_t i = 0; i < n; ++i) addTo(b, list[i]);
    }
    return view;
}

Reply RankingStore::check(const std::u16string* name, std::string_view pin, int64_t nowMs) {
    std::shared_ptr<const View> view = currentView(nowMs);
    Reply reply;
    std::string& out = reply.body.own;
    std::lock_guard lock(mutex_);
    const Player* named = name ? find(*name) : nullptr;
    int lines = 0;
    if (named) {
        std::string_view stored(named->pin, 8);
        if (pin == stored) {
            appendLine(out, *named, stored);
        } else {
            reply.wrongPin = true;
            // Differs from the given hash, so the game refuses the start; never the stored
            // hash, so the check reveals nothing to someone guessing.
            static constexpr std::string_view kStandIns[] = {"00000000", "11111111", "22222222"};
            for (std::string_view s : kStandIns) {
                if (s != pin && s != stored) {
                    appendLine(out, *named, s);
                    break;
                }
            }
        }
        ++lines;
    }
    bool truePins = name == nullptr && options_.legacyCheck;
    for (const Player* p : view->ranked) {
        if (lines >= options_.maxLines) break;
        if (p == named) continue;
        appendLine(out, *p, truePins ? std::string_view(p->pin, 8) : kMaskedPin);
        ++lines;
    }
    return reply;
}

bool RankingStore::flush(std::string& error) {
    std::vector<StateWrite> batch;
    {
        std::lock_guard lock(mutex_);
        batch.reserve(dirtyCount_);
        for (const auto& p : players_) {
            if (!p->dirty) continue;
            batch.push_back({p->nameUtf8, std::string(p->state, kStateValueLength)});
            p->dirty = false;
        }
        dirtyCount_ = 0;
    }
    if (storage_.writeStates(batch, error)) return true;
    // Pending again: the next flush retries them (a newer state, if any, is already there).
    std::lock_guard lock(mutex_);
    for (const StateWrite& w : batch) {
        std::u16string name = utf8ToUtf16(w.name);
        if (Player* p = find(name); p && !p->dirty) {
            p->dirty = true;
            ++dirtyCount_;
        }
    }
    return false;
}

bool RankingStore::pull(int64_t nowMs, std::string& error) {
    if (!storage_.sharedByInstances()) return true;
    std::vector<StoredPlayer> rows;
    int64_t dbNow = 0;
    // Overlap the previous pull: a batch committed late may carry an earlier clock value.
    int64_t since = pulledUpToMs_ == 0 ? 0 : pulledUpToMs_ - 5000;
    if (!storage_.changedSince(since, rows, dbNow, error)) return false;
    std::lock_guard lock(mutex_);
    pulledUpToMs_ = dbNow;
    for (const StoredPlayer& row : rows) {
        std::u16string name;
        if (!strictUtf8ToUtf16(row.name, name) || checkNickname(name) != nullptr ||
            row.state.size() != static_cast<size_t>(kStateValueLength) || !isLowerHex(row.state)) {
            continue;
        }
        int64_t seen = nowMs - std::max<int64_t>(0, dbNow - row.updatedMs);
        Player* p = find(name);
        if (!p) {
            addLocked(name, row.name, row.state, seen);
            continue;
        }
        // The instance that serves a player right now holds its newest state; a row from
        // elsewhere wins only after this instance has not heard from the player for a while.
        if (nowMs - p->lastLocalMs < options_.foreignQuietMs) continue;
        if (std::memcmp(p->state, row.state.data(), kStateValueLength) == 0) continue;
        if (row.state.compare(8, 8, std::string_view(p->pin, 8)) != 0) continue;
        std::memcpy(p->state, row.state.data(), kStateValueLength);
        readState(p->rec, row.state);
        p->lastSeenMs = std::max(p->lastSeenMs, seen);
        changes_.fetch_add(1);
    }
    return true;
}

bool RankingStore::clientLimited(uint64_t client, int64_t nowMs) {
    // Every ranking request asks; nearly always no address is limited, and that needs no lock.
    if (client == 0 || limitedWindow_.load(std::memory_order_relaxed) != nowMs / options_.wrongPinWindowMs) {
        return false;
    }
    std::lock_guard lock(clientMutex_);
    if (nowMs / options_.wrongPinWindowMs != wrongPinWindow_) return false;
    auto it = wrongPins_.find(client);
    return it != wrongPins_.end() && it->second >= options_.wrongPinsPerClient;
}

void RankingStore::wrongPinFrom(uint64_t client, int64_t nowMs) {
    if (client == 0) return;
    std::lock_guard lock(clientMutex_);
    int64_t window = nowMs / options_.wrongPinWindowMs;
    if (window != wrongPinWindow_) {
        wrongPinWindow_ = window;
        wrongPins_.clear();
    }
    if (++wrongPins_[client] >= options_.wrongPinsPerClient) limitedWindow_.store(window, std::memory_order_relaxed);
}

size_t RankingStore::playerCount() {
    std::lock_guard lock(mutex_);
    return players_.size();
}

size_t RankingStore::livePlayerCount(int64_t nowMs) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& p : players_) n += nowMs - p->lastSeenMs < options_.liveMs;
    return n;
}

size_t RankingStore::pendingWrites() {
    std::lock_guard lock(mutex_);
    return dirtyCount_;
}

}  // namespace orlith::server
