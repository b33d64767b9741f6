// The budgets of the ranking server: refilling budgets kept as the time they are full again.
#include "budgets/budgets.h"

#include <algorithm>

namespace orlith::server {

namespace {

void spend(int64_t& fullAt, int64_t now, int64_t period) { fullAt = std::max(fullAt, now) + period; }

}  // namespace

bool AddressBudgets::open(uint64_t client, int64_t now, int32_t burst, int64_t period) const {
    auto it = fullAt.find(client);
    return client == 0 || it == fullAt.end() || budgetOpen(it->second, now, burst, period);
}

bool AddressBudgets::full(uint64_t client, int64_t now) const {
    auto it = fullAt.find(client);
    return it == fullAt.end() || it->second <= now;
}

void AddressBudgets::spend(uint64_t client, int64_t now, int64_t period) {
    if (client == 0) return;
    auto [it, added] = fullAt.try_emplace(client, 0);
    if (added && fullAt.size() >= pruneAt) {
        std::erase_if(fullAt, [&](const auto& kv) { return kv.second <= now && kv.first != client; });
        pruneAt = std::max<size_t>(4096, 2 * fullAt.size());
        it = fullAt.find(client);
    }
    server::spend(it->second, now, period);
}

bool Budgets::mayJudge(const PlayerBudgets& p, uint64_t client, uint64_t connection, int64_t now) const {
    const BudgetOptions& o = options_;
    if (ownersOwn(p, client, connection, now)) return true;
    return budgetOpen(p.nameGuessAt, now, o.guessesPerName, o.guessNamePeriodMs) &&
           wrongByAddress_.open(client, now, o.guessesPerAddress, o.guessAddressPeriodMs) &&
           wrongByGroup_.open(addressGroup(client), now, o.guessesPerGroup, o.guessGroupPeriodMs);
}

bool Budgets::judged(PlayerBudgets& p, bool right, uint64_t client, uint64_t connection, int64_t now) {
    const BudgetOptions& o = options_;
    bool ownAddress = client != 0 && p.ownerClient == client;
    if (!mayJudge(p, client, connection, now)) return false;
    if (right) {
        p.ownerConnection = connection;
        if (client) p.ownerClient = client;
        return true;
    }
    spend(p.nameGuessAt, now, o.guessNamePeriodMs);
    wrongByAddress_.spend(client, now, o.guessAddressPeriodMs);
    wrongByGroup_.spend(addressGroup(client), now, o.guessGroupPeriodMs);
    if (ownAddress) spend(p.ownerGuessAt, now, o.guessOwnerPeriodMs);
    return true;
}

bool Budgets::withinRate(PlayerBudgets& p, int64_t now) const {
    int32_t second = static_cast<int32_t>(now / 1000);
    if (p.rateSecond != second) {
        p.rateSecond = second;
        p.rateCount = 0;
    }
    return ++p.rateCount <= options_.ratePerSecond;
}

const char* Budgets::newNicknameRefused(uint64_t client, int64_t now) {
    if (!newByAddress_.open(client, now, options_.registrationsPerAddress, options_.registrationPeriodMs)) {
        return "too many new nicknames from this address";
    }
    if (!newByGroup_.open(addressGroup(client), now, options_.registrationsPerGroup, options_.registrationGroupPeriodMs)) {
        return "too many new nicknames from this address block";
    }
    int32_t second = static_cast<int32_t>(now / 1000);
    if (registrationSecond_ != second) {
        registrationSecond_ = second;
        registrationsThisSecond_[0] = registrationsThisSecond_[1] = 0;
    }
    int32_t& count = registrationsThisSecond_[newByAddress_.full(client, now) ? 0 : 1];
    if (++count > options_.registrationsPerSecond) return "too many new nicknames this second";
    return nullptr;
}

}  // namespace orlith::server
