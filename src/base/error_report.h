// The one error report: a fatal platform failure is shown to the player as
// "line %d : error in %s\ncode = %d" in a message box titled "Orlith". The number is fixed per
// call site and printed as it stands (it is the site's number in the error table, not a line
// of this source); the code is the platform's last error at the moment of the report.
#pragma once

#include "platform/platform.h"

namespace orlith {

// One place that can fail, as the player sees it named in the error box.
struct ErrorSite {
    int number;                  // printed after "line"
    const char16_t* operation;   // the failed operation's name
};

void reportError(Platform& platform, int number, const char16_t* operation);

// The error box's text with an explicit code, for reports that do not come from the platform's
// own last error (the network side has its client's).
void formatErrorText(char16_t (&text)[256], ErrorSite site, int code);
inline void reportError(Platform& platform, ErrorSite site) { reportError(platform, site.number, site.operation); }

}  // namespace orlith
