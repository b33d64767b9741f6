// The error box.
#include "base/error_report.h"

#include "base/text.h"

namespace orlith {

void formatErrorText(char16_t (&text)[256], ErrorSite site, int code) {
    formatText(text, 256, u"line %d : error in %s\ncode = %d", site.number, site.operation, code);
}

void reportError(Platform& platform, int number, const char16_t* operation) {
    char16_t text[256];
    formatErrorText(text, {number, operation}, platform.lastErrorCode());
    platform.showMessage(text, MessageKind::error);
}

}  // namespace orlith
