// The game's dialogs in the browser: the registration dialog (template 102), the information
// dialog (template 103) and the message boxes, as HTML over the canvas (dialogs.js). The page
// only draws them and reports clicks and edits; the rules are the app's (RegistrationForm).
// While one is open the game waits for it, yielding to the browser, so the page stays alive.
// Owned by the web entry point.
#pragma once

#include <functional>

#include "platform/dialogs.h"

namespace orlith {

class HtmlDialogs final : public Dialogs {
public:
    bool canShow() override { return true; }
    // The server and port boxes start with the page's own host and port, where the page's
    // requests need no cross-origin permission.
    int32_t runRegistration(RegistrationForm& form) override;
    int32_t runInformation(const InformationTable& table) override;
    bool runMessageBox(std::u16string_view text, MessageKind kind) override;
    // An error box over the running game: until it is answered, gameFrame runs at each of the
    // browser's animation frames (the game takes no input meanwhile).
    void runErrorBoxOverGame(std::u16string_view text, const std::function<void()>& gameFrame);
};

}  // namespace orlith
