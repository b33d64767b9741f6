// Ranking server, budgets and pacing: how soon a player is answered again, how many requests
// a nickname may make a second, how many new nicknames an address, its group and everyone
// together may register, and how many wrong PIN hashes are judged (per nickname, address and group) (the owner told apart by where it comes
// from, never by the hash). A budget of `burst` events refilled one per period is kept as one
// time, the moment at which it is full again.
// Owns: the per-address budgets (new nicknames, wrong hashes) and the count of new nicknames
// this second; a player's own budgets live in its record (PlayerBudgets). Reads/writes nothing
// else. Called by: the rules, under the players' lock (there is no lock here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace orlith::server {

struct BudgetOptions {
    int32_t ratePerSecond = 120;         // ranking requests per nickname per second
    int64_t minIntervalMs = 50;          // replies to one player at least this far apart
    int32_t registrationsPerSecond = 200;   // new nicknames per second, all addresses together
    int32_t registrationsPerAddress = 20;   // new nicknames one address may register at once,
    int64_t registrationPeriodMs = 6000;    // then one per this
    int32_t registrationsPerGroup = 40;     // ... one address group (IPv4 /24, IPv6 /64) at once,
    int64_t registrationGroupPeriodMs = 1000;  // then one per this
    int32_t guessesPerName = 5;          // wrong PIN hashes against one nickname, from anywhere
    int64_t guessNamePeriodMs = 1200000;
    int32_t guessesPerAddress = 5;       // from one address, against any nickname
    int64_t guessAddressPeriodMs = 600000;
    int32_t guessesPerGroup = 20;        // from one address group, against any nickname
    int64_t guessGroupPeriodMs = 120000;
    int32_t guessesFromOwner = 3;        // from the address the owner last played from
    int64_t guessOwnerPeriodMs = 1200000;
};

// Whether a budget kept as the moment it is full again (fullAt) has an event left at now:
// while that moment is less than burst - 1 periods away.
inline bool budgetOpen(int64_t fullAt, int64_t now, int32_t burst, int64_t period) {
    return fullAt - now <= static_cast<int64_t>(burst - 1) * period;
}

// The group of an address key (see addressKey): an IPv4 address's /24, an IPv6 key as it
// stands (already its /64), so that a block of addresses counts as one. 0 stays 0.
inline uint64_t addressGroup(uint64_t client) {
    if (client == 0 || client >> 63) return client;
    return ((client - 1) >> 8) | (uint64_t{1} << 62);
}

// One player's own budgets, in its record.
struct PlayerBudgets {
    int64_t nextReplyMs = 0;         // pacing: no reply before this
    int32_t rateSecond = -1;         // the second counted, and the requests in it
    int32_t rateCount = 0;
    int64_t nameGuessAt = 0;         // wrong-hash budget of this nickname
    int64_t ownerGuessAt = 0;        // ... of the owner's own address
    uint64_t ownerClient = 0;        // address that last presented the right hash
    uint64_t ownerConnection = 0;    // connection that last presented it
};

// Per-address budgets: only spent ones are kept, and full ones are dropped as the map grows,
// so an address costs memory only while its budget is spent. Client 0 (unknown) is never held.
struct AddressBudgets {
    std::unordered_map<uint64_t, int64_t> fullAt;
    size_t pruneAt = 4096;

    bool open(uint64_t client, int64_t now, int32_t burst, int64_t period) const;
    bool full(uint64_t client, int64_t now) const;
    void spend(uint64_t client, int64_t now, int64_t period);
};

class Budgets {
public:
    explicit Budgets(const BudgetOptions& options) : options_(options) {}

    // Whether the hash of a request naming the player is judged at all (false: refused with
    // 429 unjudged, so a refusal never tells a right hash from a wrong one); a judged wrong
    // hash is spent, a right one makes this connection and address the owner's. The owner's
    // own connection is always judged; its last address on a small budget of its own.
    bool judged(PlayerBudgets& p, bool right, uint64_t client, uint64_t connection, int64_t now);
    // Whether the owner is told apart here without the nickname's and the address's budgets:
    // its own connection, or its last address while that address's own budget is open.
    bool ownersOwn(const PlayerBudgets& p, uint64_t client, uint64_t connection, int64_t now) const {
        if (connection != 0 && p.ownerConnection == connection) return true;
        return client != 0 && p.ownerClient == client &&
               budgetOpen(p.ownerGuessAt, now, options_.guessesFromOwner, options_.guessOwnerPeriodMs);
    }
    // Whether judged would judge the hash at all (nothing spent).
    bool mayJudge(const PlayerBudgets& p, uint64_t client, uint64_t connection, int64_t now) const;
    const BudgetOptions& options() const { return options_; }
    // Pacing: 0 when the player may be answered at now, else the time it may.
    int64_t heldUntil(const PlayerBudgets& p, int64_t now) const { return now < p.nextReplyMs ? p.nextReplyMs : 0; }
    void answered(PlayerBudgets& p, int64_t now) const { p.nextReplyMs = now + options_.minIntervalMs; }
    // One more request of the owner this second; false beyond the nickname's rate.
    bool withinRate(PlayerBudgets& p, int64_t now) const;
    // Why one more new nickname from client is refused now (429), or null. The address's budget
    // is asked first, so one address cannot use up everyone's; spend it once the nickname goes
    // on to be registered.
    const char* newNicknameRefused(uint64_t client, int64_t now);
    void spendNewNickname(uint64_t client, int64_t now) {
        newByAddress_.spend(client, now, options_.registrationPeriodMs);
        newByGroup_.spend(addressGroup(client), now, options_.registrationGroupPeriodMs);
    }

private:
    BudgetOptions options_;
    AddressBudgets newByAddress_;        // new nicknames
    AddressBudgets newByGroup_;
    AddressBudgets wrongByAddress_;      // wrong PIN hashes
    AddressBudgets wrongByGroup_;
    int64_t registrationSecond_ = -1;
    // This second's new nicknames: [0] from addresses whose budget is full (a newcomer's
    // first), [1] from the others, each up to registrationsPerSecond, so many addresses
    // registering again and again never crowd out the newcomers.
    int32_t registrationsThisSecond_[2] = {0, 0};
};

}  // namespace orlith::server
