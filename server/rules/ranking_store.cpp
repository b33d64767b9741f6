// The rules every ranking request passes, and the commits of registrations and rises.
#include "rules/ranking_store.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "players/names.h"
#include "rules/weak_pins.h"

namespace orlith::server {

namespace {

constexpr std::string_view kMaskedPin = "00000000";
constexpr const char* kNotWritable = "the database cannot be written now";

}  // namespace

RankingStore::RankingStore(Storage& storage, StoreOptions options)
    : storage_(storage),
      options_(options),
      wallOffsetMs_(wallNowMs() - std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch()).count()),
      levels_(storage, options.distanceFieldBytes),
      players_(options.liveMs, static_cast<size_t>(options.maxLines)),
      budgets_(options.budgets),
      views_(players_, {options.viewMaxAgeMs, options.topLines, options.maxLines}),
      writes_(storage, players_, options.liveMs, options.foreignQuietMs) {}

bool RankingStore::load(std::string& error) { return levels_.load(error) && writes_.load(error); }

size_t RankingStore::playerCount() {
    std::lock_guard lock(players_.mutex);
    return players_.count;
}

size_t RankingStore::livePlayerCount(int64_t nowMs) {
    std::lock_guard lock(players_.mutex);
    return players_.liveCount(nowMs);
}

Reply RankingStore::submit(const std::u16string& name, std::string_view stateValue, const Requester& who,
                           int64_t nowMs) {
    thread_local std::string own;  // the requester's line: copied into the reply, its capacity kept
    own.clear();
    Player* p = nullptr;
    int32_t level = 0;
    {
        std::lock_guard lock(players_.mutex);
        p = players_.find(name);
        if (!p) {
            if (const char* why = checkNewNickname(name)) return {400, why};
            // A new nickname starts as the game starts it: level 1, finite, no steps taken
            // below zero. Anything else would buy a place in the ranking with one request.
            Fields first = fieldsOf(stateValue);
            if (first.level != 1 || first.steps < 0 || !first.finite) return {409, "a new nickname must start at level 1"};
            if (const char* why = budgets_.newNicknameRefused(who.client, nowMs)) return {429, why};
            if (writes_.faulted()) return {503, kNotWritable};
            budgets_.spendNewNickname(who.client, nowMs);
            Reply reply;
            reply.commit = Commit{Commit::Kind::registration, name, std::string(stateValue), who, nowMs, false, {}};
            return reply;
        }
        // The common case, under one lock: the rules, then the requester's own line.
        Reply reply = applyLocked(*p, stateValue, who, nowMs);
        if (reply.status != 200 || reply.retryAtMs || reply.commit) return reply;
        ownLine(own, *p, kMaskedPin);
        level = p->level;
    }
    return rankingReply(p, own, level, who.gzip, nowMs);
}

// The view's blocks are immutable: the bulk of the reply points into them, uncopied.
Reply RankingStore::rankingReply(const Player* p, const std::string& own, int32_t level, bool gzip, int64_t nowMs) {
    Reply reply;
    views_.reply(views_.current(nowMs), p, own, static_cast<size_t>(options_.topLines), &level, gzip, reply.body);
    return reply;
}

std::optional<Commit> RankingStore::sharedJudgement(const Player& p, std::string_view stateOrPin, const Requester& who,
                                                    int64_t nowMs, bool check) const {
    // This instance's own budgets first: spent here, they are spent in the database too, and
    // a flood of guesses is refused without a transaction each.
    if (!storage_.sharedByInstances() || who.sharedJudged || budgets_.ownersOwn(p.budgets, who.client, who.connection, nowMs) ||
        !budgets_.mayJudge(p.budgets, who.client, who.connection, nowMs)) {
        return std::nullopt;
    }
    return Commit{Commit::Kind::judge, std::u16string(nameOf(p)), check ? std::string() : std::string(stateOrPin), who, nowMs,
                  check, check ? std::string(stateOrPin) : std::string()};
}

Reply RankingStore::applyLocked(Player& p, std::string_view stateValue, const Requester& who, int64_t nowMs) {
    uint8_t pin[4];
    toBytes(stateValue.substr(8, 8), pin, 4);
    bool right = std::memcmp(p.state + 4, pin, 4) == 0;
    if (auto judge = sharedJudgement(p, stateValue, who, nowMs, false)) {
        Reply asked;
        asked.commit = std::move(judge);
        return asked;
    }
    if (!budgets_.judged(p.budgets, right, who.client, who.connection, nowMs)) return {429, "too many wrong PIN hashes"};
    if (!right) return {403, "nickname is registered with another PIN hash"};
    // Once judged on the shared budgets (a new connection, on a commit's thread), answered at once.
    if (int64_t until = who.sharedJudged ? 0 : budgets_.heldUntil(p.budgets, nowMs)) {
        Reply paced;
        paced.retryAtMs = until;
        return paced;
    }
    // Counted only once the PIN hash matched: others cannot spend a player's budget.
    if (!budgets_.withinRate(p.budgets, nowMs)) return {429, "more than the allowed requests a second"};
    Fields next = fieldsOf(stateValue);
    if (!next.finite) return {409, "position or camera vector is not finite"};
    if (next.level < p.level) return {409, "level falls"};
    if (next.steps < p.steps) return {409, "step count falls"};
    // Refused before anything changes: nobody, thief or glitch, can push the record where
    // its owner's honest requests would fall behind it.
    if (const char* why = unreachableLocked(p, next, nowMs)) return {409, why};
    if (next.level > p.level) {
        // Judged here on what this instance knows, then committed by the database, which
        // judges it again: another instance sharing it may have raised the player meanwhile,
        // and then only the database knows the player's level.
        if (next.level > p.level + 1 && !storage_.sharedByInstances()) return {409, "level rises by more than 1"};
        if (next.level == p.level + 1) {
            if (const char* why = unplayedLocked(p, next.steps, nowMs)) return {409, why};
        }
        if (writes_.faulted()) return {503, kNotWritable};
        Reply rise;
        rise.commit = Commit{Commit::Kind::rise, std::u16string(nameOf(p)), std::string(stateValue), who, nowMs, false, {}};
        return rise;
    }
    acceptLocked(p, stateValue, nowMs);
    return {};
}

void RankingStore::acceptLocked(Player& p, std::string_view stateValue, int64_t nowMs) {
    uint8_t bytes[kStateBytes];
    toBytes(stateValue, bytes);
    bool changed = std::memcmp(p.state, bytes, kStateBytes) != 0;
    players_.update(p, stateValue, nowMs, wallNowMs(), nowMs);
    p.lastLocalMs = nowMs;
    if (changed) players_.markPending(p);
    budgets_.answered(p.budgets, nowMs);
    if (p.need < 0) {
        // Stored before marks were kept: timing starts here, from where the player stands.
        Fields f = fieldsOf(p.state);
        int32_t path = levels_.path(f.level);
        int32_t cells = cellsToGoalAtLeast(f.position, f.level);
        p.sinceWallMs = wallMs(nowMs);
        p.sinceSteps = f.steps;
        p.need = path >= 0 ? std::min(path, cells) : cells;
    }
}

// Why a rise from the player's level is refused, or null. Since the marks the step count must
// have grown by what the level still asked, and that must have taken the time to walk it.
const char* RankingStore::unplayedLocked(const Player& p, int32_t steps, int64_t nowMs) const {
    if (p.need < 0) return nullptr;  // timing starts with this request
    if (int64_t{steps} - p.sinceSteps < p.need) return "level rise with fewer steps than the level's shortest path";
    if (static_cast<double>(p.sinceWallMs) + p.need * msPerCell() > static_cast<double>(wallMs(nowMs))) {
        return "level rise sooner than its shortest path can be walked";
    }
    return nullptr;
}

const char* RankingStore::unreachableLocked(const Player& p, const Fields& next, int64_t nowMs) {
    const int64_t sinceMs =
        p.lastSeenMs > INT64_MIN / 2 ? p.lastSeenMs : int64_t{p.seenWallSec} * 1000 - wallOffsetMs_;
    const double allowed = options_.maxStepsPerSecond * static_cast<double>(std::max<int64_t>(0, nowMs - sinceMs) + options_.stepSlackMs) / 1000;
    if (static_cast<double>(next.steps) - p.steps > allowed) return "step count grows faster than play allows";
    // Within the level, from marks taken at its start (not from a position, as for a player
    // stored before marks were kept): the claimed cell must be within the cells walked.
    if (next.level != p.level || p.need < 0) return nullptr;
    const int32_t fromStart = levels_.cellsFromStart(p.level, next.position);
    if (fromStart > int64_t{next.steps} - p.sinceSteps && p.need == levels_.path(p.level)) {
        return "position farther from the level's start than the steps taken on it";
    }
    return nullptr;
}

Reply RankingStore::commit(const Commit& change) {
    if (writes_.faulted()) return {503, kNotWritable};
    switch (change.kind) {
        case Commit::Kind::rise: return commitRise(change);
        case Commit::Kind::judge: return commitJudge(change);
        case Commit::Kind::registration: break;
    }
    return commitRegistration(change);
}

// Instances sharing a database judge a PIN hash on budgets they keep together, so a guesser
// spreading over n instances gets the budgets once, not n times. The owner's own connection
// (and address, on its own budget) never gets here.
Reply RankingStore::commitJudge(const Commit& r) {
    bool right = false;
    {
        std::lock_guard lock(players_.mutex);
        const Player* p = players_.find(r.name);
        if (!p) return {503, "player row is missing"};
        std::string stored;
        appendHex(stored, p->state + 4, 4);
        right = (r.check ? std::string_view(r.pin) : std::string_view(r.state).substr(8, 8)) == stored;
    }
    const BudgetOptions& o = budgets_.options();
    std::vector<SharedBudget> shared = {{"n " + toUtf8(r.name), o.guessesPerName, o.guessNamePeriodMs}};
    if (uint64_t client = r.requester.client) {
        shared.push_back({"a " + std::to_string(client), o.guessesPerAddress, o.guessAddressPeriodMs});
        shared.push_back({"g " + std::to_string(addressGroup(client)), o.guessesPerGroup, o.guessGroupPeriodMs});
    }
    bool open = false;
    std::string error;
    if (!storage_.spendShared(shared, wallMs(r.nowMs), !right, open, error)) {
        writes_.writeFailed(error);
        return {503, "PIN budgets could not be read"};
    }
    if (!open) return {429, "too many wrong PIN hashes"};
    Requester who = r.requester;
    who.sharedJudged = true;
    Reply reply = r.check ? check(&r.name, r.pin, who, r.nowMs) : submit(r.name, r.state, who, r.nowMs);
    return reply.commit ? commit(*reply.commit) : reply;
}

// Instances sharing a database keep an address's and its group's new nicknames there too (the
// instance's own budgets are spent already), so registering through n instances does not give
// n times those budgets: asked before the row is inserted, spent once it was (a nickname found
// registered through another instance spends nothing). 0 when open; 429 when spent; 503 with
// error when the database failed.
int RankingStore::sharedNewNickname(uint64_t client, int64_t nowMs, bool spend, std::string& error) {
    if (!client || !storage_.sharedByInstances()) return 0;
    const BudgetOptions& o = budgets_.options();
    bool open = false;
    if (!storage_.spendShared({{"ra " + std::to_string(client), o.registrationsPerAddress, o.registrationPeriodMs},
                               {"rg " + std::to_string(addressGroup(client)), o.registrationsPerGroup, o.registrationGroupPeriodMs}},
                              wallMs(nowMs), spend, open, error)) {
        return 503;
    }
    return open ? 0 : 429;
}

Reply RankingStore::commitRegistration(const Commit& r) {
    players_.waitIndexed();
    uint64_t key = lookAlikeKey(r.name);
    // A thousand hashes (about 0.1 ms), here on the commit's thread rather than a loop's.
    const bool weak = hasWeakPin(r.name, std::string_view(r.state).substr(8, 8));
    bool reserved = false;
    {
        std::lock_guard lock(players_.mutex);
        if (!players_.find(r.name)) {
            if (weak) return {409, "PIN is one of the 1,000 most common; choose another"};
            if (players_.lookingLike(key) || pendingLookAlikes_.count(key)) return {409, "nickname looks like a registered one"};
            pendingLookAlikes_.insert(key);
            reserved = true;
        }
    }
    StoredPlayer existing;
    bool inserted = false;
    // A new game: level 1 from its start cell with no steps, begun at most the lag before its
    // first request arrived. Where the request says the player stands is not believed.
    int32_t path = levels_.path(1);
    LevelMarks marks{wallMs(r.nowMs) - options_.riseLagMs, 0, path >= 0 ? path : levelPathAtLeast(1)};
    levels_.path(2);  // ready by the first rise
    if (reserved) {
        // Committed before the reply, outside the players' lock: the commit waits for the disk.
        StoredPlayer row{toUtf8(r.name), r.state.substr(8, 8), r.state, 0, marks, key};
        std::string error;
        const int budget = sharedNewNickname(r.requester.client, r.nowMs, false, error);
        bool stored = budget == 0 && storage_.registerPlayer(row, inserted, existing, error);
        if (stored && inserted && sharedNewNickname(r.requester.client, r.nowMs, true, error) == 503) writes_.writeFailed(error);
        // Another instance registered a look-alike a moment ago: the database kept that one.
        const bool lookAlike = stored && !inserted && existing.name != row.name;
        if (!stored || lookAlike) {
            if (!stored && budget != 429) writes_.writeFailed(error);
            std::lock_guard lock(players_.mutex);
            pendingLookAlikes_.erase(key);
            return budget == 429 ? Reply{429, "too many new nicknames from this address or its block"}
                   : !stored     ? Reply{503, "registration could not be stored"}
                                 : Reply{409, "nickname looks like a registered one"};
        }
    }
    std::string own;
    Player* p = nullptr;
    int32_t level = 0;
    std::optional<Commit> judge;
    {
        std::lock_guard lock(players_.mutex);
        if (reserved) pendingLookAlikes_.erase(key);
        p = players_.find(r.name);
        if (!p) {
            // Registered here, or a moment ago through another instance sharing the database.
            const std::string& state = inserted ? r.state : existing.state;
            if (state.size() != static_cast<size_t>(kStateValueLength) || !isLowerHex(state)) {
                return {503, "stored player row is invalid"};
            }
            p = players_.add(r.name, state, r.nowMs, wallNowMs(), key, true);
            setMarks(*p, inserted ? std::optional(marks) : existing.marks);
        }
        p->budgets.nextReplyMs = std::min(p->budgets.nextReplyMs, r.nowMs);  // a registration is never held
        // The one who registered it owns it; a nickname registered meanwhile elsewhere is a
        // known one, its hash judged as any other (on the shared budgets, past this lock).
        Requester registrant = r.requester;
        registrant.sharedJudged = inserted;
        Reply reply = applyLocked(*p, r.state, registrant, r.nowMs);
        if (reply.commit && reply.commit->kind == Commit::Kind::judge) {
            judge = std::move(reply.commit);
        } else if (reply.status != 200 || reply.commit) {
            return reply.commit ? Reply{409, "level rises at registration"} : reply;
        } else {
            ownLine(own, *p, kMaskedPin);
            level = p->level;
        }
    }
    if (judge) return commitJudge(*judge);
    return rankingReply(p, own, level, r.requester.gzip, r.nowMs);
}

Reply RankingStore::commitRise(const Commit& r) {
    Fields next = fieldsOf(r.state);
    RiseWrite rise{toUtf8(r.name), r.state, {}, wallMs(r.nowMs), msPerCell()};
    // On a commit's thread, so the level's true path may be waited for: judged by the lower
    // bound instead, a rise on a busy server could come sooner than the level can be walked.
    int32_t path = levels_.waitFor(next.level);
    if (next.level < INT32_MAX) levels_.path(next.level + 1);  // ready by the next rise
    {
        // The new level began after every state this instance accepted before, and at most
        // the lag before this request: from there the player walks the whole level, from its
        // start cell. Where the request says the player stands is not believed.
        std::lock_guard lock(players_.mutex);
        Player* p = players_.find(r.name);
        if (!p) return {503, "player row is missing"};
        int64_t since = rise.nowMs - options_.riseLagMs;
        if (p->lastLocalMs > INT64_MIN / 2) since = std::max(since, wallMs(p->lastLocalMs));
        rise.marks = {since, p->steps, path >= 0 ? path : levelPathAtLeast(next.level)};
    }
    bool applied = false;
    StoredPlayer row;
    std::string error;
    if (!storage_.commitRise(rise, applied, row, error)) {
        writes_.writeFailed(error);
        return {503, "level rise could not be stored"};
    }
    std::string own;
    Player* p = nullptr;
    int32_t level = 0;
    {
        std::lock_guard lock(players_.mutex);
        p = players_.find(r.name);
        if (!p) return {503, "player row is missing"};
        if (applied) {
            setMarks(*p, rise.marks);
        } else {
            Fields stored = row.state.size() == static_cast<size_t>(kStateValueLength) && isLowerHex(row.state)
                                ? fieldsOf(row.state)
                                : Fields{};
            if (stored.level < next.level - 1) return {409, "level rises by more than 1"};
            if (stored.level > next.level) return {409, "level falls"};
            if (stored.level == next.level - 1) {
                const LevelMarks m = row.marks.value_or(LevelMarks{});
                return {409, int64_t{next.steps} - m.sinceSteps < m.need
                                 ? "level rise with fewer steps than the level's shortest path"
                                 : "level rise sooner than its shortest path can be walked"};
            }
            // Raised through another instance a moment ago: an ordinary state of that level.
            setMarks(*p, row.marks);
        }
        if (next.level < p->level) return {409, "level falls"};
        if (next.steps < p->steps) return {409, "step count falls"};
        acceptLocked(*p, r.state, r.nowMs);
        ownLine(own, *p, kMaskedPin);
        level = p->level;
    }
    return rankingReply(p, own, level, r.requester.gzip, r.nowMs);
}

Reply RankingStore::check(const std::u16string* name, std::string_view pin, const Requester& who, int64_t nowMs,
                          const std::u16string* orName) {
    std::shared_ptr<const View> view = views_.current(nowMs);
    Reply reply;
    std::string own;
    const Player* named = nullptr;
    {
        std::lock_guard lock(players_.mutex);
        if (name) {
            Player* p = players_.find(*name);
            if (!p && orName) p = players_.find(*orName);
            if (p) {
                if (auto judge = sharedJudgement(*p, pin, who, nowMs, true)) {
                    reply.commit = std::move(judge);
                    return reply;
                }
                std::string stored;
                appendHex(stored, p->state + 4, 4);
                bool right = pin == stored;
                if (!budgets_.judged(p->budgets, right, who.client, who.connection, nowMs)) {
                    return {429, "too many wrong PIN hashes"};
                }
                if (right) {
                    ownLine(own, *p, stored);
                } else {
                    // Differs from the given hash, so the game refuses the start; never the
                    // stored hash, so the check reveals nothing to someone guessing.
                    static constexpr std::string_view kStandIns[] = {"00000000", "11111111", "22222222"};
                    for (std::string_view s : kStandIns) {
                        if (s != pin && s != stored) {
                            ownLine(own, *p, s);
                            break;
                        }
                    }
                }
                named = p;
            }
        } else if (options_.legacyCheck) {
            // True hashes, for clients built to the original protocol: rare, built here.
            size_t n = 0;
            for (const Player& p : players_.rank) {
                if (n++ >= static_cast<size_t>(options_.maxLines)) break;
                std::string hash;
                appendHex(hash, p.state + 4, 4);
                ownLine(own, p, hash);
            }
            reply.body = std::move(own);
            return reply;
        }
    }
    views_.reply(view, named, own, static_cast<size_t>(options_.maxLines), nullptr, who.gzip, reply.body);
    return reply;
}

}  // namespace orlith::server
