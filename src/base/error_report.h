// The one error report: a fatal platform failure is shown to the player as
// "line %d : error in %s\ncode = %d" in a message box titled "Orlith". The number is fixed per
// call site and printed as it stands (it is the site's number in the error table, not a line
// of this source); the code is the platform's last error at the moment of the report.
#pragma once

namespace orlith {

// One place that can fail, as the player sees it named in the error box.
struct ErrorSite {
    int number;                  // printed after "line"
    const char16_t* operation;   // the failed operation's name
};

// The error box's text with this code (the platform's last error, or the network client's own).
void formatErrorText(char16_t (&text)[256], ErrorSite site, int code);

}  // namespace orlith
