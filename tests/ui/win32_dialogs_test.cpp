// The Windows dialogs as the player meets them: a question box with Yes and No, No the default
// (Return must never throw a nickname away), an error box with OK alone, each answered by
// pressing one of its buttons; the information list with each cell under its heading.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <memory>
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

TEST(Win32Dialogs, TheInformationListShowsEachCellUnderItsHeading) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
    ASSERT_TRUE(::InitCommonControlsEx(&controls));
    auto table = std::make_unique<InformationTable>();
    const char16_t* headings[InformationTable::kColumns] = {u"A", u"B", u"C", u"D", u"E", u"F"};
    table->rowCount = 2;
    for (int c = 0; c < InformationTable::kColumns; ++c) {
        table->headings[c] = headings[c], table->widths[c] = 60;
        for (int r = 0; r < table->rowCount; ++r) table->cells[r][c][0] = static_cast<char16_t>(u'a' + c), table->cells[r][c][1] = u'0' + r;
    }
    // Each column as the list shows it: its heading, then the texts of the sub-item it shows.
    std::string seen;
    Win32Dialogs dialogs(::GetModuleHandleW(nullptr));
    dialogs.opened = [&](HWND dialog) {
        HWND list = ::GetDlgItem(dialog, kListControl);
        wchar_t text[32];
        for (int c = 0; c < InformationTable::kColumns; ++c) {
            LVCOLUMNW column{};
            column.mask = LVCF_TEXT | LVCF_SUBITEM, column.pszText = text, column.cchTextMax = 32;
            if (!::SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&column))) break;
            seen += std::string(seen.empty() ? "" : " ") + static_cast<char>(text[0]);
            for (int r = 0; r < table->rowCount; ++r) {
                LVITEMW item{};
                item.iSubItem = column.iSubItem, item.pszText = text, item.cchTextMax = 32;
                ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(r), reinterpret_cast<LPARAM>(&item));
                seen += std::string(":") + static_cast<char>(text[0]) + static_cast<char>(text[1]);
            }
        }
        ::PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    };
    EXPECT_EQ(dialogs.runInformation(*table), 1);
    EXPECT_EQ(seen, "A:a0:a1 B:b0:b1 C:c0:c1 D:d0:d1 E:e0:e1 F:f0:f1");
}

}  // namespace
}  // namespace orlith
