// setting.ini: nine preferences in section "Setting", on a small profile-file reader/writer
// that behaves like the Windows profile API for the operations the game uses.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <vector>

#include "persist/persist.h"

namespace orlith {

namespace {

std::string_view trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Section name of a "[name]" line, if it is one.
bool sectionOf(std::string_view line, std::string_view& name) {
    std::string_view t = trim(line);
    if (t.empty() || t[0] != '[') return false;
    size_t close = t.find(']');
    name = trim(close == std::string_view::npos ? t.substr(1) : t.substr(1, close - 1));
    return true;
}

// Key and value of a "key=value" line, if it is one.
bool entryOf(std::string_view line, std::string_view& key, std::string_view& value) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = trim(line.substr(0, eq));
    value = trim(line.substr(eq + 1));
    return true;
}

bool readWholeFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        std::string_view line = text.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        pos = nl + 1;
    }
    return lines;
}

// Writes through a temporary file in the same directory and renames it over the target.
bool replaceFile(const std::string& path, const std::string& content) {
    std::string temp = path + ".tmp" + std::to_string(::getpid());
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = std::fflush(f) == 0 && ok;
    ok = ::fsync(::fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return true;
    int saved = errno;
    std::remove(temp.c_str());
    errno = saved;
    return false;
}

}  // namespace

int32_t parseLeadingInt(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                               text[i] == '\v' || text[i] == '\f'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1) v = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    return static_cast<int32_t>(v);
}

std::string pathInCurrentDirectory(std::string_view name) {
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::current_path(ec);
    if (ec) return std::string(name);
    return (dir / std::string(name)).string();
}

bool readProfileString(const std::string& path, std::string_view section, std::string_view key, std::string& value,
                       size_t capacity) {
    value.clear();
    std::string text;
    if (!readWholeFile(path, text)) return false;
    bool inSection = false;
    for (std::string_view line : splitLines(text)) {
        std::string_view name, k, v;
        if (sectionOf(line, name)) {
            if (inSection) return false;  // only the first matching section counts
            inSection = equalsNoCase(name, section);
        } else if (inSection && entryOf(line, k, v) && equalsNoCase(k, key)) {
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            if (capacity > 0 && v.size() > capacity - 1) v = v.substr(0, capacity - 1);
            value.assign(v);
            return true;
        }
    }
    return false;
}

bool writeProfileStrings(const std::string& path, std::string_view section,
                         const std::pair<std::string_view, std::string>* entries, size_t count) {
    std::string text;
    readWholeFile(path, text);  // a missing file is created
    const char* eol = text.find("\r\n") != std::string::npos || text.find('\n') == std::string::npos ? "\r\n" : "\n";
    std::vector<std::string_view> lines = splitLines(text);
    std::vector<std::string> out;
    out.reserve(lines.size() + count + 2);
    std::vector<bool> written(count, false);

    // Locate the first matching section and where its entries end.
    long sectionLine = -1, lastEntry = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view name, k, v;
        if (sectionOf(lines[i], name)) {
            if (sectionLine >= 0) break;
            if (equalsNoCase(name, section)) sectionLine = lastEntry = static_cast<long>(i);
        } else if (sectionLine >= 0 && entryOf(lines[i], k, v)) {
            lastEntry = static_cast<long>(i);
        }
    }
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        std::string_view name, k, v;
        bool replaced = false;
        if (sectionOf(line, name)) {
            inSection = static_cast<long>(i) == sectionLine;
        } else if (inSection && entryOf(line, k, v)) {
            for (size_t e = 0; e < count; ++e) {
                if (!written[e] && equalsNoCase(k, entries[e].first)) {
                    out.push_back(std::string(entries[e].first) + "=" + entries[e].second);
                    written[e] = true;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out.emplace_back(line);
        if (static_cast<long>(i) == lastEntry) {
            for (size_t e = 0; e < count; ++e) {
                if (!written[e]) {
                    out.push_back(std::string(entries[e].first) + "=" + entries[e].second);
                    written[e] = true;
                }
            }
        }
    }
    if (sectionLine < 0) {
        out.push_back("[" + std::string(section) + "]");
        for (size_t e = 0; e < count; ++e) out.push_back(std::string(entries[e].first) + "=" + entries[e].second);
    }
    std::string content;
    for (const std::string& line : out) {
        content += line;
        content += eol;
    }
    return replaceFile(path, content);
}

bool writeProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value) {
    std::pair<std::string_view, std::string> entry{key, std::string(value)};
    return writeProfileStrings(path, section, &entry, 1);
}

namespace {

struct SettingKey {
    const char* key;
    int32_t GameState::*field;
    enum Rule { range02, bool01, nonZero, sign, range19 } rule;
};

constexpr SettingKey kSettingKeys[9] = {
    {"Movement", &GameState::movementMode, SettingKey::range02},
    {"Wall", &GameState::texturedWalls, SettingKey::bool01},
    {"Status", &GameState::showDistance, SettingKey::bool01},
    {"FPS", &GameState::showFps, SettingKey::nonZero},
    {"Guide", &GameState::guideOn, SettingKey::nonZero},
    {"Horizontal", &GameState::horizontalSign, SettingKey::sign},
    {"Vertical", &GameState::verticalSign, SettingKey::sign},
    {"Progress", &GameState::progressSign, SettingKey::sign},
    {"Rotate", &GameState::rotateSpeed, SettingKey::range19},
};

}  // namespace

void readSettingsFile(GameState& state) {
    std::string path = pathInCurrentDirectory("setting.ini");
    std::string text;
    for (const SettingKey& k : kSettingKeys) {
        if (!readProfileString(path, "Setting", k.key, text) || text.empty()) continue;
        int32_t v = parseLeadingInt(text);
        int32_t& field = state.*k.field;
        switch (k.rule) {
            case SettingKey::range02:
                if (v >= 0 && v <= 2) field = v;
                break;
            case SettingKey::bool01:
                if (v == 0 || v == 1) field = v;
                break;
            case SettingKey::nonZero:
                field = v != 0 ? 1 : 0;
                break;
            case SettingKey::sign:
                if (v == 1 || v == -1) field = v;
                break;
            case SettingKey::range19:
                if (v >= 1 && v <= 9) field = v;
                break;
        }
    }
}

void writeSettingsFile(const GameState& state) {
    std::pair<std::string_view, std::string> entries[9];
    for (size_t i = 0; i < 9; ++i) entries[i] = {kSettingKeys[i].key, std::to_string(state.*kSettingKeys[i].field)};
    writeProfileStrings(pathInCurrentDirectory("setting.ini"), "Setting", entries, 9);
}

}  // namespace orlith
