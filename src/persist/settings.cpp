// setting.ini: nine preferences in section "Setting", on a small profile-file reader/writer
// that behaves like the Windows profile API for the operations the game uses, including files
// saved in UTF-16 with a byte-order mark, as Windows editors write them.
#include <climits>
#include <vector>

#include "base/text.h"
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

constexpr size_t kMaxProfileBytes = 1 << 20;  // a settings file is a few hundred bytes

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

std::string decodeProfileText(std::string_view bytes, TextEncoding& encoding) {
    auto at = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    if (bytes.size() >= 2 && (at(0) == 0xFF && at(1) == 0xFE)) encoding = TextEncoding::utf16le;
    else if (bytes.size() >= 2 && (at(0) == 0xFE && at(1) == 0xFF)) encoding = TextEncoding::utf16be;
    else if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) encoding = TextEncoding::utf8Bom;
    else encoding = TextEncoding::ansi;
    switch (encoding) {
        case TextEncoding::ansi: return std::string(bytes);
        case TextEncoding::utf8Bom: return std::string(bytes.substr(3));
        default: break;
    }
    const int lowByte = encoding == TextEncoding::utf16le ? 0 : 1;
    std::u16string wide;
    wide.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        wide.push_back(static_cast<char16_t>(at(i + lowByte) | (at(i + 1 - lowByte) << 8)));
    return utf16ToUtf8(wide);
}

std::string encodeProfileText(std::string_view text, TextEncoding encoding) {
    switch (encoding) {
        case TextEncoding::ansi: return std::string(text);
        case TextEncoding::utf8Bom: return "\xEF\xBB\xBF" + std::string(text);
        default: break;
    }
    std::u16string wide = utf8ToUtf16(text);
    std::string bytes;
    bytes.reserve(2 + 2 * wide.size());
    const bool little = encoding == TextEncoding::utf16le;
    for (char16_t c : u"\xFEFF" + wide) {
        char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
        bytes.push_back(little ? lo : hi);
        bytes.push_back(little ? hi : lo);
    }
    return bytes;
}

bool findProfileValue(std::string_view text, std::string_view section, std::string_view key, std::string& value,
                      size_t capacity) {
    value.clear();
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

std::string setProfileValues(std::string_view text, std::string_view section,
                             const std::pair<std::string_view, std::string>* entries, size_t count) {
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
    return content;
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

void readSettingsFile(GameState& state, Platform& platform) {
    std::string bytes;
    if (!platform.readFile(platform.pathInCurrentDirectory("setting.ini"), kMaxProfileBytes, bytes)) return;
    TextEncoding encoding;
    std::string file = decodeProfileText(bytes, encoding);
    std::string text;
    for (const SettingKey& k : kSettingKeys) {
        if (!findProfileValue(file, "Setting", k.key, text) || text.empty()) continue;
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

void writeSettingsFile(const GameState& state, Platform& platform) {
    // The path is taken once: the read and the write go to the same file.
    std::string path = platform.pathInCurrentDirectory("setting.ini");
    std::string bytes;
    TextEncoding encoding = TextEncoding::ansi;
    std::string file;
    if (platform.readFile(path, kMaxProfileBytes, bytes)) file = decodeProfileText(bytes, encoding);
    std::pair<std::string_view, std::string> entries[9];
    for (size_t i = 0; i < 9; ++i) entries[i] = {kSettingKeys[i].key, std::to_string(state.*kSettingKeys[i].field)};
    platform.replaceFile(path, encodeProfileText(setProfileValues(file, "Setting", entries, 9), encoding));
}

bool writeKeyMap(const KeyMap& map, Platform& platform) {
    const std::string path = platform.pathInCurrentDirectory("setting.ini");
    std::string bytes;
    TextEncoding encoding = TextEncoding::ansi;
    std::string file;
    if (platform.readFile(path, kMaxProfileBytes, bytes)) file = decodeProfileText(bytes, encoding);
    std::pair<std::string_view, std::string> keys[std::size(kKeyActions)];
    for (size_t i = 0; i < std::size(kKeyActions); ++i) {
        keys[i] = {kKeyActions[i].name, keyNameOf(map.physical[kKeyActions[i].key])};
    }
    return platform.replaceFile(path, encodeProfileText(setProfileValues(file, "Keys", keys, std::size(keys)), encoding)) ==
           FileFailure::none;
}

bool readKeyMap(Platform& platform, KeyMap& map, std::string& problem) {
    map = KeyMap{};
    problem.clear();
    std::string bytes;
    if (!platform.readFile(platform.pathInCurrentDirectory("setting.ini"), kMaxProfileBytes, bytes)) return true;
    TextEncoding encoding;
    const std::string file = decodeProfileText(bytes, encoding);
    KeyMap read;
    std::string value;
    for (const KeyAction& a : kKeyActions) {
        if (!findProfileValue(file, "Keys", a.name, value) || value.empty()) continue;
        const int code = keyCodeOfName(value);
        if (code == 0) {
            problem = "setting.ini [Keys]: " + std::string(a.name) + "=" + value + " names no key; the standard keys are used";
            return false;
        }
        read.physical[a.key] = static_cast<uint8_t>(code);
    }
    // One key stands for one action, the ones left where they were included.
    for (size_t i = 0; i < std::size(kKeyActions); ++i) {
        for (size_t j = i + 1; j < std::size(kKeyActions); ++j) {
            if (read.physical[kKeyActions[i].key] == read.physical[kKeyActions[j].key]) {
                problem = "setting.ini [Keys]: " + keyNameOf(read.physical[kKeyActions[i].key]) + " stands for both " +
                          kKeyActions[i].name + " and " + kKeyActions[j].name + "; the standard keys are used";
                return false;
            }
        }
    }
    map = read;
    return true;
}

}  // namespace orlith
