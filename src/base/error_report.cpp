// The error box.
#include "base/error_report.h"

#include "base/text.h"

namespace orlith {

void formatErrorText(char16_t (&text)[256], ErrorSite site, int code) {
    formatText(text, 256, u"line %d : error in %s\ncode = %d", site.number, site.operation, code);
}

}  // namespace orlith
