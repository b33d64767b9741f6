// The Windows message boxes as the player meets them: a question with Yes and No, No the
// default (Return must never throw a nickname away), an error with OK alone; each answered
// by pressing one of its buttons.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "ui/win32/win32_dialogs.h"

namespace orlith {
namespace {

TEST(Win32Dialogs, AQuestionHasYesAndNoWithNoTheDefaultAndAnErrorOkAlone) {
    const struct {
        MessageKind kind;
        int press;
        bool answer;
        const char* buttons;  // the buttons shown, the default one last
    } cases[] = {
        {MessageKind::question, IDYES, true, "yes no, no"},
        {MessageKind::question, IDNO, false, "yes no, no"},
        {MessageKind::error, IDOK, false, "ok, ok"},
    };
    Win32Dialogs dialogs(::GetModuleHandleW(nullptr));
    for (const auto& c : cases) {
        std::string seen;
        // The player's hand: finds the box once it shows (a minute at most: a safety net for a
        // loaded machine), reads its buttons, and presses one.
        std::thread hand([&] {
            HWND box = nullptr;
            for (int i = 0; i < 6000 && box == nullptr; ++i) {
                box = ::FindWindowW(L"#32770", L"Orlith");
                if (box != nullptr && !::IsWindowVisible(box)) box = nullptr;  // still setting itself up
                if (box == nullptr) ::Sleep(10);
            }
            if (box == nullptr) return;
            const struct { int id; const char* name; } names[] = {{IDOK, "ok"}, {IDCANCEL, "cancel"}, {IDYES, "yes"}, {IDNO, "no"}};
            for (const auto& n : names) {
                if (::IsWindowVisible(::GetDlgItem(box, n.id))) seen += std::string(seen.empty() ? "" : " ") + n.name;
            }
            for (const auto& n : names) {
                const LONG_PTR style = ::GetWindowLongPtrW(::GetDlgItem(box, n.id), GWL_STYLE);
                if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) seen += std::string(", ") + n.name;
            }
            ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(c.press, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, c.press)));
        });
        EXPECT_EQ(dialogs.runMessageBox(u"サーバーに接続できません", c.kind), c.answer);
        hand.join();
        EXPECT_EQ(seen, c.buttons);
    }
}

}  // namespace
}  // namespace orlith
