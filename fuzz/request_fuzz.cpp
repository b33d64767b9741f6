// libFuzzer target: any bytes as a request target through the parser and the whole request
// handling (an in-memory store), which must answer with a status and never crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "rules/handler.h"
#include "rules/request.h"

using namespace orlith::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto storage = makeMemoryStorage();
    static RankingStore store(*storage, [] { StoreOptions o; o.viewMaxAgeMs = 0; return o; }());
    static Metrics metrics;
    static RefusalLog log(0);
    static int64_t now = 0;
    static HandlerContext ctx{store, metrics, log, [] { return now; }, [] { return Metrics::Gauges{}; }};
    now += 7;
    std::string input(reinterpret_cast<const char*>(data), size);
    ParsedQuery q = parseQuery(input);
    if (q.kind == QueryKind::ranking && (q.stateValue.size() != 104 || q.nickname.empty() || q.nickname.size() > 31)) {
        __builtin_trap();
    }
    Decision d = handleRequest({"GET", "/state/change.php?" + input}, ctx);
    HttpResponse r = d.commit ? commitChange(*d.commit, ctx) : std::move(d.response);
    if (r.status < 200 || r.status > 599) __builtin_trap();
    // A reply never holds more than 256 lines or a control character inside a line.
    size_t lines = 0;
    std::string text = r.body.str();
    for (size_t i = 0; i + 1 < text.size(); ++i) lines += text[i] == '\r' && text[i + 1] == '\n';
    if (r.status == 200 && lines > 256) __builtin_trap();
    return 0;
}
