// The game's dialogs and message boxes on Windows: modal dialog boxes from the program's
// templates 102 (registration) and 103 (information, with a SysListView32 made over control
// 1015 when it opens), and MessageBoxW. The dialogs only draw and forward: what the boxes take
// and what start does is the form's (app/dialog_models.h). Owned by the app; main thread only.
#pragma once

#include <windows.h>

#include <functional>

#include "platform/dialogs.h"

namespace orlith {

inline constexpr int kRegistrationTemplate = 102;
inline constexpr int kInformationTemplate = 103;
inline constexpr int kListFrameControl = 1015;  // where the list view goes
inline constexpr int kListControl = 1016;

class Win32Dialogs final : public Dialogs {
public:
    explicit Win32Dialogs(HINSTANCE instance) : instance_(instance) {}

    HWND owner = nullptr;     // mainWindow
    bool unattended = false;  // the information dialog closes itself once it is up
    // Runs when a dialog has opened (after its own set-up): tests drive the dialog from here.
    std::function<void(HWND dialog)> opened;
    // Whether a game controller's Start went down since the last call: the registration
    // dialog asks 20 times a second and takes it for its start button.
    std::function<bool()> padStartPressed;

    bool canShow() override { return true; }
    int32_t runRegistration(RegistrationForm& form) override;
    int32_t runInformation(const InformationTable& table) override;
    bool runMessageBox(std::u16string_view text, MessageKind kind) override;

private:
    static INT_PTR CALLBACK registrationProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK informationProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE instance_;
    RegistrationForm* form_ = nullptr;
    const InformationTable* table_ = nullptr;
};

}  // namespace orlith
