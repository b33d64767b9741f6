// The registration dialog's rules and the information dialog's rows.
#include "app/dialog_models.h"

#include "base/text.h"
#include "ranking/ranking.h"

namespace orlith {

namespace {

int boxIndex(RegistrationBox box) {
    switch (box) {
        case RegistrationBox::nickname: return 0;
        case RegistrationBox::pin: return 1;
        case RegistrationBox::server: return 2;
        case RegistrationBox::port: return 3;
    }
    return 0;
}

constexpr int32_t kLimits[4] = {10, 16, 16, 5};  // set when the dialog opens

bool boxTakes(RegistrationBox box, char32_t c) {
    if (c < 0x20 || c == 0x7F) return false;  // edit boxes take no control characters
    return box != RegistrationBox::pin || (c >= U'0' && c <= U'9');
}

}  // namespace

RegistrationModel::RegistrationModel(GameState& state) : state_(state) {
    state_.networkEnabled = 0;
    texts_[2] = kDefaultRankingHost;
    texts_[3] = u"80";
}

void RegistrationModel::setTicked(bool ticked) {
    ticked_ = ticked;
    state_.networkEnabled = ticked ? 1 : 0;
}

const std::u16string& RegistrationModel::text(RegistrationBox box) const { return texts_[boxIndex(box)]; }

int32_t RegistrationModel::limit(RegistrationBox box) const { return kLimits[boxIndex(box)]; }

bool RegistrationModel::takesCharacter(RegistrationBox box, char32_t c) const { return boxTakes(box, c); }

std::u16string keptByBox(RegistrationBox box, std::u16string_view text) {
    std::u16string out;
    const size_t limit = static_cast<size_t>(kLimits[boxIndex(box)]);
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        size_t units = pair ? 2 : 1;
        char32_t code = pair ? 0x10000 + ((c - 0xD800u) << 10) + (text[i + 1] - 0xDC00u) : c;
        if (boxTakes(box, code)) {
            if (out.size() + units > limit) break;
            out.append(text.substr(i, units));
        }
        i += units - 1;
    }
    return out;
}

void RegistrationModel::edit(RegistrationBox box, std::u16string_view newText) { texts_[boxIndex(box)] = keptByBox(box, newText); }

bool RegistrationModel::pressStart() {
    state_.networkEnabled = ticked_ ? 1 : 0;
    if (!ticked_) return true;
    for (const std::u16string& t : texts_) {
        if (t.empty()) return false;
    }
    // A port the connection cannot carry (above 65535, or negative) would reach another port
    // than the one typed: refused like 0.
    const int32_t port = portNumber(texts_[3]);
    if (port < 1 || port > 65535) return false;
    copyText(state_.nickname, 32, texts_[0]);
    copyText(state_.serverName, 32, texts_[2]);
    copyText(state_.serverPort, 32, texts_[3]);
    char16_t hash[9];
    makePinHash(texts_[0], texts_[1], hash);
    copyText(state_.pinHash, 32, hash);
    return true;
}

int32_t portNumber(std::u16string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9' && value <= INT32_MAX; ++i) value = value * 10 + (text[i] - u'0');
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(negative ? -value : value);
}

void buildInformationTable(const GameState& state, InformationTable& table) {
    static constexpr const char16_t* kHeadings[InformationTable::kColumns] = {
        u"順位", u"ニックネーム", u"レベル", u"ゴール距離", u"移動累積", u"日時"};
    static constexpr int32_t kWidths[InformationTable::kColumns] = {50, 130, 65, 65, 65, 110};
    for (int c = 0; c < InformationTable::kColumns; ++c) {
        table.headings[c] = kHeadings[c];
        table.widths[c] = kWidths[c];
    }
    int32_t rows = state.rankingCount < 0 ? 0 : state.rankingCount;
    if (rows > InformationTable::kMaxRows) rows = InformationTable::kMaxRows;
    table.rowCount = rows;
    for (int32_t k = 0; k < rows; ++k) {
        const RankingRecord& r = state.rankingList[k];
        auto& row = table.cells[k];
        formatText(row[0], 32, u"%d", k + 1);
        copyText(row[1], 32, std::u16string_view(r.name, textLength(r.name, 31)));
        formatText(row[2], 32, u"%d", r.level);
        formatText(row[3], 32, u"%d", r.goalDistance);
        formatText(row[4], 32, u"%d", r.stepCount);
        copyText(row[5], 32, std::u16string_view(r.dateText, textLength(r.dateText, 31)));
    }
}

}  // namespace orlith
