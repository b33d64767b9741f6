// The dialogs as page dialogs.
#include "ui/web/html_dialogs.h"

#include <emscripten.h>

#include <string>

#include "base/text.h"

namespace orlith {

namespace {

enum Event { kTick = 1, kEdit, kStart, kCancel, kOk, kYes, kNo, kClose };

// The next click or edit: its kind, the box it concerns and an edit's text (UTF-16, ended).
EM_ASYNC_JS(int, jsNextEvent, (int* box, char16_t* text, int capacity),
            { return await Module.orlithDialogs.nextPacked(box, text, capacity); });
EM_JS(void, jsRegistration, (int ticked, int enabled, const char16_t* a, const char16_t* b, const char16_t* c, const char16_t* d),
      { Module.orlithDialogs.showRegistration(ticked, enabled, [a, b, c, d]); });
EM_JS(void, jsInformation, (const char16_t* cells, int columns, int rows, const int* widths),
      { Module.orlithDialogs.showInformation(cells, columns, rows, widths); });
EM_JS(void, jsMessage, (const char16_t* text, int question), { Module.orlithDialogs.message(Module.orlithWeb.utf16(text), !!question); });
EM_JS(void, jsClose, (), { Module.orlithDialogs.close(); });
EM_JS(int, jsAnswered, (), { return Module.orlithDialogs.events.length > 0 ? 1 : 0; });
EM_ASYNC_JS(void, jsDialogAnimationFrame, (), { await new Promise(function (resolve) { requestAnimationFrame(resolve); }); });
EM_JS(void, jsPageHost, (char16_t* host, int hostCapacity, char16_t* port, int portCapacity),
      { Module.orlithDialogs.pageHost(host, hostCapacity, port, portCapacity); });

constexpr std::u16string_view kDefaultHost = u"localhost";  // the app's default, as the dialog opens
constexpr RegistrationBox kBoxes[4] = {RegistrationBox::nickname, RegistrationBox::pin, RegistrationBox::server,
                                       RegistrationBox::port};

void show(const RegistrationForm& form) {
    jsRegistration(form.ticked() ? 1 : 0, form.controlsEnabled() ? 1 : 0, form.text(kBoxes[0]).c_str(),
                   form.text(kBoxes[1]).c_str(), form.text(kBoxes[2]).c_str(), form.text(kBoxes[3]).c_str());
}

}  // namespace

int32_t HtmlDialogs::runRegistration(RegistrationForm& form) {
    char16_t host[64], port[16];
    jsPageHost(host, 64, port, 16);
    if (form.text(RegistrationBox::server) == kDefaultHost && form.text(RegistrationBox::port) == u"80" && host[0] != 0) {
        form.edit(RegistrationBox::server, host);
        form.edit(RegistrationBox::port, port);
    }
    show(form);
    int box = 0;
    char16_t text[64];
    for (;;) {
        switch (jsNextEvent(&box, text, 64)) {
            case kTick: form.setTicked(box != 0); break;
            case kEdit: form.edit(static_cast<RegistrationBox>(box), text); break;
            case kStart:
                if (form.pressStart()) return jsClose(), 1;
                break;
            case kCancel:
            case kClose: return jsClose(), 2;
            default: break;
        }
        show(form);
    }
}

int32_t HtmlDialogs::runInformation(const InformationTable& table) {
    // Headings, then the rows, one ended text after the other.
    std::u16string cells;
    for (const char16_t* heading : table.headings) (cells += heading) += u'\0';
    for (int32_t r = 0; r < table.rowCount; ++r) {
        for (int c = 0; c < InformationTable::kColumns; ++c) (cells += table.cells[r][c]) += u'\0';
    }
    jsInformation(cells.c_str(), InformationTable::kColumns, table.rowCount, table.widths);
    int box = 0;
    char16_t text[8];
    for (;;) {
        switch (jsNextEvent(&box, text, 8)) {
            case kOk: return jsClose(), 1;
            case kClose: return jsClose(), 2;
            default: break;  // Escape does nothing
        }
    }
}

bool HtmlDialogs::runMessageBox(std::u16string_view text, MessageKind kind) {
    const std::u16string shown(text);
    jsMessage(shown.c_str(), kind == MessageKind::question ? 1 : 0);
    int box = 0;
    char16_t ignored[8];
    for (;;) {
        switch (jsNextEvent(&box, ignored, 8)) {
            case kYes: return jsClose(), true;
            case kNo:
            case kOk:
            case kClose: return jsClose(), false;
            default: break;
        }
    }
}

void HtmlDialogs::runErrorBoxOverGame(std::u16string_view text, const std::function<void()>& gameFrame) {
    const std::u16string shown(text);
    jsMessage(shown.c_str(), 0);
    while (jsAnswered() == 0) {
        jsDialogAnimationFrame();
        gameFrame();
    }
    int box = 0;
    char16_t ignored[8];
    jsNextEvent(&box, ignored, 8);
    jsClose();
}

}  // namespace orlith
