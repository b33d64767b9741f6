// Dialog procedures of templates 102 and 103, and the message boxes.
#include "ui/win32/win32_dialogs.h"

#include <commctrl.h>

#include <string>

namespace orlith {

namespace {

constexpr RegistrationBox kBoxes[4] = {RegistrationBox::nickname, RegistrationBox::pin, RegistrationBox::server,
                                       RegistrationBox::port};
constexpr int kTickBox = 1001;
constexpr int kFirstTicked = 1002, kLastTicked = 1014;  // enabled only while the box is ticked
constexpr UINT_PTR kUnattendedTimer = 1;
constexpr UINT_PTR kPadTimer = 2;

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

std::u16string boxText(HWND dialog, int control) {
    HWND box = ::GetDlgItem(dialog, control);
    std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(box)) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(box, text.data(), static_cast<int>(text.size()))));
    return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

void enableTicked(HWND dialog, bool enabled) {
    for (int control = kFirstTicked; control <= kLastTicked; ++control)
        ::EnableWindow(::GetDlgItem(dialog, control), enabled ? TRUE : FALSE);
}

Win32Dialogs* dialogsOf(HWND dialog) { return reinterpret_cast<Win32Dialogs*>(::GetWindowLongPtrW(dialog, DWLP_USER)); }

}  // namespace

INT_PTR CALLBACK Win32Dialogs::registrationProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        Win32Dialogs* self = reinterpret_cast<Win32Dialogs*>(lParam);
        RegistrationForm& form = *self->form_;
        for (RegistrationBox box : kBoxes) {
            const int control = static_cast<int>(box);
            ::SendDlgItemMessageW(dialog, control, EM_LIMITTEXT, static_cast<WPARAM>(form.limit(box)), 0);
            ::SetDlgItemTextW(dialog, control, wide(form.text(box).c_str()));
        }
        ::CheckDlgButton(dialog, kTickBox, form.ticked() ? BST_CHECKED : BST_UNCHECKED);
        enableTicked(dialog, form.controlsEnabled());
        if (self->padStartPressed) ::SetTimer(dialog, kPadTimer, 50, nullptr);
        if (self->opened) self->opened(dialog);
        return TRUE;  // the system puts the focus on the first control in tab order
    }
    Win32Dialogs* self = dialogsOf(dialog);
    if (self != nullptr && message == WM_TIMER && wParam == kPadTimer) {
        if (self->padStartPressed()) ::SendMessageW(dialog, WM_COMMAND, IDOK, 0);
        return TRUE;
    }
    if (self == nullptr || message != WM_COMMAND) return FALSE;
    RegistrationForm& form = *self->form_;
    const int control = LOWORD(wParam);
    const int code = HIWORD(wParam);
    if (control == kTickBox && code == BN_CLICKED) {
        form.setTicked(::IsDlgButtonChecked(dialog, kTickBox) == BST_CHECKED);
        enableTicked(dialog, form.controlsEnabled());
        return TRUE;
    }
    for (RegistrationBox box : kBoxes) {
        if (control != static_cast<int>(box) || code != EN_CHANGE) continue;
        // The form keeps what its rules allow (a pasted letter in the PIN box goes again).
        std::u16string typed = boxText(dialog, control);
        form.edit(box, typed);
        if (form.text(box) != typed) ::SetDlgItemTextW(dialog, control, wide(form.text(box).c_str()));
        return TRUE;
    }
    if (control == IDOK) {
        // Refused silently until the boxes are complete.
        if (form.pressStart()) ::EndDialog(dialog, 1);
        return TRUE;
    }
    if (control == IDCANCEL) {  // the button, Escape and the title bar's close
        ::EndDialog(dialog, 2);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK Win32Dialogs::informationProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            Win32Dialogs* self = reinterpret_cast<Win32Dialogs*>(lParam);
            const InformationTable& table = *self->table_;
            RECT frame{};
            ::GetWindowRect(::GetDlgItem(dialog, kListFrameControl), &frame);
            POINT corner{frame.left, frame.top};
            ::ScreenToClient(dialog, &corner);
            HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT, corner.x,
                                          corner.y, frame.right - frame.left, frame.bottom - frame.top, dialog,
                                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListControl)), self->instance_,
                                          nullptr);
            for (int c = 0; c < InformationTable::kColumns; ++c) {
                LVCOLUMNW column{};
                column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
                column.fmt = LVCFMT_LEFT;
                column.cx = table.widths[c];
                column.pszText = const_cast<wchar_t*>(wide(table.headings[c]));
                column.iSubItem = c;
                ::SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&column));
            }
            for (int row = 0; row < table.rowCount; ++row) {
                LVITEMW item{};
                item.mask = LVIF_TEXT;
                item.iItem = row;
                item.pszText = const_cast<wchar_t*>(wide(table.cells[row][0]));
                ::SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
                for (int c = 1; c < InformationTable::kColumns; ++c) {
                    item.iSubItem = c;
                    item.pszText = const_cast<wchar_t*>(wide(table.cells[row][c]));
                    ::SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
                }
            }
            // Nobody is there to press OK: the table shows, then closes itself.
            if (self->unattended) ::SetTimer(dialog, kUnattendedTimer, 300, nullptr);
            if (self->opened) self->opened(dialog);
            return TRUE;
        }
        case WM_TIMER:
            if (wParam != kUnattendedTimer) return FALSE;
            ::KillTimer(dialog, kUnattendedTimer);
            ::EndDialog(dialog, 1);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) ::EndDialog(dialog, 1);
            return TRUE;  // IDCANCEL, Escape's command, does nothing
        case WM_CLOSE:    // the title bar's close button
            ::EndDialog(dialog, 2);
            return TRUE;
        default:
            return FALSE;
    }
}

int32_t Win32Dialogs::runRegistration(RegistrationForm& form) {
    form_ = &form;
    INT_PTR result = ::DialogBoxParamW(instance_, MAKEINTRESOURCEW(kRegistrationTemplate), owner, registrationProc,
                                       reinterpret_cast<LPARAM>(this));
    form_ = nullptr;
    return result == 1 ? 1 : 2;
}

int32_t Win32Dialogs::runInformation(const InformationTable& table) {
    table_ = &table;
    INT_PTR result = ::DialogBoxParamW(instance_, MAKEINTRESOURCEW(kInformationTemplate), owner, informationProc,
                                       reinterpret_cast<LPARAM>(this));
    table_ = nullptr;
    return result == 1 ? 1 : 2;
}

bool Win32Dialogs::runMessageBox(std::u16string_view text, MessageKind kind) {
    std::wstring terminated(reinterpret_cast<const wchar_t*>(text.data()), text.size());
    const UINT style =
        kind == MessageKind::question ? MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 : MB_OK | MB_ICONEXCLAMATION;
    return ::MessageBoxW(owner, terminated.c_str(), L"Orlith", style) == IDYES && kind == MessageKind::question;
}

}  // namespace orlith
