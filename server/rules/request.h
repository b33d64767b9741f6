// Ranking server, request side: splits the query of "/state/change.php" into its parts and
// checks them. Pure text handling, no sockets, so it is shared by the server, the tests and
// the fuzz target. Reads: the request target as bytes. Writes: nothing. Called by the handler.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/core_bridge.h"

namespace orlith::server {

inline constexpr std::string_view kRankingPath = "/state/change.php";

enum class QueryKind { invalid, legacyCheck, namedCheck, ranking };

struct ParsedQuery {
    QueryKind kind = QueryKind::invalid;
    std::u16string nickname;       // decoded, validated (check with a name, ranking)
    std::u16string rawNickname;    // named check: the text as it stands, when it differs
    std::string nicknameUtf8;      // the same nickname as UTF-8, as replies carry it
    std::string stateValue;        // ranking: the 104 lowercase hex digits
    std::string pin;               // named check: the 8 lowercase hex digits of "pin="
    const char* error = nullptr;   // invalid: why, for the log
};

// Splits "path?query" at the first '?'; an absolute-form target ("http://host/path?query")
// loses its scheme and host first.
void splitTarget(std::string_view target, std::string_view& path, std::string_view& query);

// Whether an Accept-Encoding header value accepts gzip (by name or "*", q above 0).
bool acceptsGzip(std::string_view acceptEncoding);

// Parses a query of "/state/change.php". A ranking query is read from its end, so a
// nickname may carry '&' and '='; its checksum is verified here against the game's own
// computation over "name=<nickname>&state=<value>" as UTF-16. The nickname is the
// percent-decoded text or, when that fails the checksum, the text as it stands (the game
// sends a typed '%' unescaped).
ParsedQuery parseQuery(std::string_view query);

// Percent-decodes %XX escapes; false when an escape is malformed.
bool percentDecode(std::string_view in, std::string& out);

}  // namespace orlith::server
