// The web root's files, answered from memory.
#include "static_files.h"

#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "rules/request.h"

namespace orlith::server {

namespace {

namespace fs = std::filesystem;

struct Type {
    std::string_view extension;
    const char* type;
    bool compressible;
};
constexpr Type kTypes[] = {
    {".html", "text/html; charset=utf-8", true},   {".js", "text/javascript; charset=utf-8", true},
    {".wasm", "application/wasm", true},           {".css", "text/css; charset=utf-8", true},
    {".json", "application/json", true},           {".txt", "text/plain; charset=utf-8", true},
    {".svg", "image/svg+xml", true},               {".png", "image/png", false},
    {".ico", "image/x-icon", true},                {".gz", "application/gzip", false},
};
const Type kOther{"", "application/octet-stream", false};

const Type& typeOf(std::string_view name) {
    for (const Type& t : kTypes) {
        if (name.size() > t.extension.size() && name.substr(name.size() - t.extension.size()) == t.extension) return t;
    }
    return kOther;
}

// A path segment a URL carries as it is: letters, digits, '.', '-', '_', not hidden.
bool plainSegment(const std::string& s) {
    if (s.empty() || s[0] == '.') return false;
    for (char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::string gzipped(const std::string& bytes) {
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&z, static_cast<uLong>(bytes.size())) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const bool done = deflate(&z, Z_FINISH) == Z_STREAM_END;
    out.resize(done ? z.total_out : 0);
    deflateEnd(&z);
    return out;
}

std::string tagOf(const std::string& bytes, const char* form) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a, 64 bits
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    char text[40];
    std::snprintf(text, sizeof text, "\"%016llx%s\"", static_cast<unsigned long long>(h), form);
    return text;
}

bool readWhole(const fs::path& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Whether the If-None-Match list names the tag (weak or strong), or is "*".
bool matches(std::string_view list, std::string_view tag) {
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item.substr(0, 2) == "W/") item.remove_prefix(2);
        if (item == "*" || item == tag) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

bool StaticFiles::load(const std::string& root, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        error = "--web-root " + root + " is not a directory";
        return false;
    }
    size_t total = 0;
    std::unordered_map<std::string, std::string> bytesOf;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path relative = it->path().lexically_relative(root);
        bool plain = !it->is_symlink(ec);
        for (const fs::path& segment : relative) plain = plain && plainSegment(segment.string());
        if (!plain) {
            if (it->is_directory(ec)) it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(ec)) continue;
        std::string bytes;
        if (!readWhole(it->path(), bytes)) {
            error = "cannot read " + it->path().string();
            return false;
        }
        total += bytes.size();
        if (total > kMaxBytes) {
            error = "--web-root " + root + " holds more than 64 MiB";
            return false;
        }
        bytesOf.emplace("/" + relative.generic_string(), std::move(bytes));
    }
    if (ec) {
        error = "cannot read --web-root " + root + ": " + ec.message();
        return false;
    }
    for (auto& [path, bytes] : bytesOf) {
        // A .gz beside its file is that file's gzip copy, not a file of its own.
        if (path.size() > 3 && path.substr(path.size() - 3) == ".gz" && bytesOf.count(path.substr(0, path.size() - 3))) continue;
        auto file = std::make_shared<File>();
        const Type& type = typeOf(path);
        file->type = type.type;
        file->plain = bytes;
        auto copy = bytesOf.find(path + ".gz");
        if (copy != bytesOf.end()) {
            file->gzip = copy->second;
        } else if (type.compressible) {
            file->gzip = gzipped(bytes);
        }
        if (file->gzip.size() >= file->plain.size()) file->gzip.clear();  // no gain
        file->plainTag = tagOf(file->plain, "");
        file->gzipTag = tagOf(file->plain, "-gz");
        files_.emplace(path, std::move(file));
    }
    return true;
}

std::optional<HttpResponse> StaticFiles::answer(std::string_view method, std::string_view target, bool acceptGzip,
                                                std::string_view ifNoneMatch) const {
    std::string_view path, query;
    splitTarget(target, path, query);
    if (path == "/") path = "/index.html";
    if (path == kRankingPath) return std::nullopt;  // the game's requests are the handler's
    auto found = files_.find(std::string(path));
    if (found == files_.end()) return std::nullopt;
    const std::shared_ptr<const File>& file = found->second;
    HttpResponse r;
    if (method != "GET" && method != "HEAD") {
        r.status = 405;
        r.body = "only GET and HEAD are served\r\n";
        r.headers = "Allow: GET, HEAD\r\n";
        return r;
    }
    const bool gzip = acceptGzip && !file->gzip.empty();
    const std::string& tag = gzip ? file->gzipTag : file->plainTag;
    r.contentType = file->type;
    // The names carry no version, so a browser asks each time and gets 304 while unchanged.
    r.headers = "ETag: " + tag + "\r\nCache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\n";
    if (!ifNoneMatch.empty() && matches(ifNoneMatch, tag)) {
        r.status = 304;
        return r;
    }
    r.body.keep = file;
    r.body.addShared(gzip ? file->gzip : file->plain);
    r.body.gzip = gzip;
    return r;
}

}  // namespace orlith::server
