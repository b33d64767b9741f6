// The most common PINs: the published top of the PIN-frequency studies of leaked and surveyed
// PINs (DataGenetics 2012, 3.4 million four-digit PINs; Bonneau, Preibusch and Anderson 2012;
// Wang et al. 2017 for six digits), then the classes those studies find dominant, in the order
// of their shares: repeated and paired digits, keypad lines, years, then dates (MMDD, DDMM).
// Written from the studies' published tables and findings, not copied from a list file.
#include "rules/weak_pins.h"

#include <cstdio>
#include <unordered_set>

#include "bridge/core_bridge.h"

namespace orlith::server {

namespace {

std::vector<std::string> makeList() {
    static const char* const kTop[] = {
        // four digits, most common first
        "1234", "1111", "0000", "1212", "7777", "1004", "2000", "4444", "2222", "6969", "9999", "3333", "5555",
        "6666", "1122", "1313", "8888", "4321", "2001", "1010", "2580", "0852", "1230", "0123", "5683", "2468",
        "1357", "1379", "1397", "7913", "1470", "3690", "0258", "7410", "9630", "1478", "3214", "7896", "1590",
        "5678", "6789", "3456", "4567", "2345", "9876", "8765", "7654", "6543", "5432", "3210", "0987", "1123",
        "1231", "1221", "2112", "1001", "1112", "1998", "1999", "2002", "2003", "2004", "2005",
        // longer, most common first
        "123456", "12345", "123456789", "12345678", "1234567", "654321", "111111", "000000", "123123", "666666",
        "121212", "112233", "789456", "159753", "987654321", "1234567890", "0123456789", "7777777", "11111111",
        "88888888", "696969", "555555", "987654", "101010", "131313", "147258369", "123321", "00000000",
        "222222", "333333", "444444", "777777", "888888", "999999", "159357", "147258", "258369", "456789",
        "520520", "521521", "5201314", "1314520", "123654", "147852", "741852963", "246810", "135790",
        "12341234", "11223344", "87654321", "1111111", "0000000", "12121212", "1234512345", "1111111111",
        "0000000000", "9876543210", "11111", "00000", "55555", "54321", "13579", "112358", "314159", "31415926",
        "12344321", "123123123", "100200", "010203", "102030", "696969696", "7654321", "147896325", "1212121212",
    };
    std::vector<std::string> out;
    std::unordered_set<std::string> seen;
    auto add = [&](const std::string& pin) {
        if (out.size() < kWeakPinCount && seen.insert(pin).second) out.push_back(pin);
    };
    for (const char* pin : kTop) add(pin);
    char buf[32];
    auto four = [&](int a, int b, int c, int d) {
        std::snprintf(buf, sizeof buf, "%d%d%d%d", a, b, c, d);
        add(buf);
    };
    for (int a = 0; a < 10; ++a) four(a, a, a, a);                                  // aaaa
    for (int a = 0; a < 10; ++a) for (int b = 0; b < 10; ++b) four(a, b, a, b);     // abab
    for (int a = 0; a < 10; ++a) for (int b = 0; b < 10; ++b) four(a, a, b, b);     // aabb
    for (int a = 0; a < 10; ++a) for (int b = 0; b < 10; ++b) four(a, b, b, a);     // abba
    for (int year = 2025; year >= 1940; --year) add(std::to_string(year));          // years, recent first
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int m = 1; m <= 12; ++m) {
        for (int d = 1; d <= kDays[m - 1]; ++d) {
            std::snprintf(buf, sizeof buf, "%02d%02d", m, d);                        // MMDD
            add(buf);
        }
    }
    for (int m = 1; m <= 12; ++m) {
        for (int d = 1; d <= kDays[m - 1]; ++d) {
            std::snprintf(buf, sizeof buf, "%02d%02d", d, m);                        // DDMM
            add(buf);
        }
    }
    for (int year = 1939; year >= 1900; --year) add(std::to_string(year));
    return out;
}

}  // namespace

const std::vector<std::string>& weakPins() {
    static const std::vector<std::string> list = makeList();
    return list;
}

bool hasWeakPin(std::u16string_view nickname, std::string_view hash) {
    for (const std::string& pin : weakPins()) {
        if (pinHashOf(nickname, std::u16string(pin.begin(), pin.end())) == hash) return true;
    }
    return false;
}

}  // namespace orlith::server
