// The error box.
#include "base/error_report.h"

#include "base/text.h"

namespace orlith {

void reportError(Platform& platform, int number, const char16_t* operation) {
    char16_t text[256];
    int code = platform.lastErrorCode();
    formatText(text, 256, u"line %d : error in %s\ncode = %d", number, operation, code);
    platform.showMessage(text, MessageKind::error);
}

}  // namespace orlith
