// What the two dialogs decide, as plain code that any platform's dialogs drive: the registration
// dialog's model (edit buffers, typing limits, enabling, start refusal and results) and the
// information dialog's rows. Reads and writes GameState; drawn through platform/dialogs.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/dialogs.h"
#include "state/game_state.h"

namespace orlith {

inline constexpr std::u16string_view kDefaultRankingHost = u"localhost";

// Template 102's rules. Characters are counted as the Windows edit control counts them, in
// UTF-16 units; a character is never cut in half.
class RegistrationModel final : public RegistrationForm {
public:
    // Opening: networkEnabled 0, the box cleared, 1002-1014 disabled, the default host and "80".
    explicit RegistrationModel(GameState& state);

    bool ticked() const override { return ticked_; }
    void setTicked(bool ticked) override;  // networkEnabled follows the box
    bool controlsEnabled() const override { return ticked_; }
    const std::u16string& text(RegistrationBox box) const override;
    void edit(RegistrationBox box, std::u16string_view newText) override;
    bool takesCharacter(RegistrationBox box, char32_t c) const override;
    int32_t limit(RegistrationBox box) const override;
    // Unticked: ends, offline. Ticked: ends only when all four boxes hold text and the port reads
    // as a number from 1 to 65535; then nickname, server and port are copied and pinHash receives
    // the hash of nickname and PIN (the PIN itself is never stored).
    bool pressStart() override;

private:
    GameState& state_;
    bool ticked_ = false;
    std::u16string texts_[4];  // nickname, PIN, server, port
};

// What an edit box of template 102 keeps of a text: the characters it takes, up to its limit.
std::u16string keptByBox(RegistrationBox box, std::u16string_view text);

// The port text as the C runtime's _wtoi reads it: blanks, a sign, then digits; 0 when none.
int32_t portNumber(std::u16string_view text);

// Template 103's list: the six columns and one row per entry of rankingList, in its order.
void buildInformationTable(const GameState& state, InformationTable& table);

}  // namespace orlith
