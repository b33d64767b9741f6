// The game's modal dialogs as a platform draws them: the nickname registration dialog (template
// 102), the information dialog (template 103) and the message boxes. A platform only draws the
// controls and hands the player's input to the forms below; what may be typed and what a button
// does is decided by the app (app/dialog_models.h). Win32: dialog boxes from the resource
// templates; Linux: Dear ImGui in the game window (ui/).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace orlith {

// The edit boxes of template 102, by control id, in tab order.
enum class RegistrationBox : int32_t { nickname = 1008, pin = 1010, server = 1012, port = 1014 };

class RegistrationForm {
public:
    virtual ~RegistrationForm() = default;
    virtual bool ticked() const = 0;               // check box 1001
    virtual void setTicked(bool ticked) = 0;       // 1001 clicked
    virtual bool controlsEnabled() const = 0;      // controls 1002 to 1014
    virtual const std::u16string& text(RegistrationBox box) const = 0;
    // An edit by the player: the box keeps what its rules allow of the new text (its typing
    // limit in characters; the PIN box digits only).
    virtual void edit(RegistrationBox box, std::u16string_view newText) = 0;
    // Whether the box takes this typed character at all (the PIN box: digits only).
    virtual bool takesCharacter(RegistrationBox box, char32_t c) const = 0;
    virtual int32_t limit(RegistrationBox box) const = 0;  // characters
    // Start button or Enter: true when the dialog ends with 1, false when it stays open.
    virtual bool pressStart() = 0;
};

// The rows of the information dialog's list view, ready to show.
struct InformationTable {
    static constexpr int kColumns = 6;
    static constexpr int kMaxRows = 256;
    const char16_t* headings[kColumns] = {};  // column headings, left-aligned
    int32_t widths[kColumns] = {};            // column widths in pixels
    int32_t rowCount = 0;
    char16_t cells[kMaxRows][kColumns][32] = {};  // terminated texts
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Whether a dialog can be drawn now (a window and its drawing exist).
    virtual bool canShow() = 0;
    // Registration: 1 when started, 2 when cancelled (button, Escape, title-bar close).
    virtual int32_t runRegistration(RegistrationForm& form) = 0;
    // Information: 1 for OK or Enter, 2 for the title-bar close; Escape does nothing.
    virtual int32_t runInformation(const InformationTable& table) = 0;
    // Message box titled "Orlith" (error: OK; question: Yes and No, No the default); true for Yes.
    virtual bool runMessageBox(std::u16string_view text, MessageKind kind) = 0;
};

}  // namespace orlith
