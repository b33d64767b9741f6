// Ranking server, the game's own page (--web-root): the browser build's page, script, wasm and
// icon, read once at start-up and answered from memory with their type, the gzip copy for
// browsers that take gzip (the build's .gz beside a file, or compressed here once), and an ETag
// to revalidate with (Cache-Control: no-cache; 304 when unchanged). Only the regular files found
// under the root at start-up exist: no request reaches outside it, no directory is listed, no
// symbolic link or hidden file is served. Part of the HTTP side: these requests never reach the
// request handler, so no player's pacing or budget is spent on them.
// Called by: main (load), the HTTP session (answer) on the game port.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "rules/handler.h"

namespace orlith::server {

class StaticFiles {
public:
    static constexpr size_t kMaxBytes = 64u << 20;  // all the files together

    // Reads every file under root; false with the reason when the root cannot be read or holds
    // more than kMaxBytes.
    bool load(const std::string& root, std::string& error);
    size_t count() const { return files_.size(); }

    // The file's answer to a request, or nothing when the path names no file (the request then
    // goes to the handler). "/" is "/index.html"; the query is ignored. GET and HEAD only (405
    // otherwise). ifNoneMatch: the request's If-None-Match header, empty when it has none.
    std::optional<HttpResponse> answer(std::string_view method, std::string_view target, bool acceptGzip,
                                       std::string_view ifNoneMatch) const;

private:
    struct File {
        std::string plain;
        std::string gzip;        // empty: sent as it is
        const char* type;
        std::string plainTag, gzipTag;  // quoted strong ETags of the two forms
    };
    std::unordered_map<std::string, std::shared_ptr<const File>> files_;
};

}  // namespace orlith::server
