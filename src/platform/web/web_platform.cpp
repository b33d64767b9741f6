// The web platform: the browser's clock, storage, dialogs and events behind the Platform seam.
#include "platform/web/web_platform.h"

#include <emscripten.h>
#include <emscripten/html5.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "base/text.h"
#include "platform/native_files.h"

namespace orlith {

namespace {

WebPlatform* active = nullptr;  // the one platform the page's events go to
char exchangeBuffer[256];       // texts from the page: a key at 0, its code at 128

EM_ASYNC_JS(int, jsOpenStorage, (), { return await Module.orlithWeb.openStorage(); });
EM_JS(void, jsFlush, (), { Module.orlithWeb.flush(); });
EM_JS(void, jsDownload, (const char* path, const char* name), { Module.orlithWeb.download(path, name); });
EM_JS(void, jsInstall, (), { Module.orlithWeb.install(); });
EM_JS(void, jsShow, (int width, int height), { Module.orlithWeb.show(width, height); });
EM_JS(void, jsSignal, (const char* name, int value), { Module.orlithWeb.signal(UTF8ToString(name), value); });
EM_JS(int, jsViewWidth, (), { return window.innerWidth; });
EM_JS(int, jsViewHeight, (), { return window.innerHeight; });
// Connected, the two sticks' axes, then PadState's buttons in their order.
EM_JS(void, jsReadPad, (float* values), { Module.orlithWeb.readPad(values); });
EM_ASYNC_JS(void, jsAnimationFrame, (), { await new Promise(function (resolve) { requestAnimationFrame(resolve); }); });

constexpr std::string_view kStorage = "/orlith";  // web_platform.js mounts IndexedDB here

bool inStorage(const std::string& path) {
    return path.size() > kStorage.size() && path.compare(0, kStorage.size(), kStorage) == 0 && path[kStorage.size()] == '/';
}

bool endsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

WebPlatform::WebPlatform() { active = this; }

WebPlatform::~WebPlatform() {
    if (active == this) active = nullptr;
}

uint32_t WebPlatform::tickCount() { return static_cast<uint32_t>(static_cast<uint64_t>(emscripten_get_now())); }

void WebPlatform::sleepMs(uint32_t ms) { emscripten_sleep(ms); }

uint32_t WebPlatform::unixTime() { return native::unixTime(); }

bool WebPlatform::localTime(uint32_t unixSeconds, LocalDateTime& out) const { return native::localTime(unixSeconds, out); }

bool WebPlatform::readFile(const std::string& path, size_t maxBytes, std::string& bytes) {
    return native::readFile(path, maxBytes, bytes, lastError);
}

FileFailure WebPlatform::replaceFile(const std::string& given, std::string_view bytes) {
    FileFailure failure = native::replaceFile(given, bytes, lastError);
    const std::string path = given.empty() || given[0] == '/' ? given : native::pathInCurrentDirectory(given);
    if (failure != FileFailure::none || !inStorage(path)) return failure;
    if (endsWith(path, ".png")) {
        const std::string name = path.substr(kStorage.size() + 1);
        jsDownload(path.c_str(), name.c_str());
        std::remove(path.c_str());
        return failure;
    }
    storageWritten();
    return failure;
}

std::string WebPlatform::pathInCurrentDirectory(std::string_view name) { return native::pathInCurrentDirectory(name); }

bool WebPlatform::showMessage(std::u16string_view text, MessageKind kind) {
    std::string utf8 = utf16ToUtf8(text);
    std::fprintf(stderr, "Orlith: %s\n", utf8.c_str());
    if (unattended || dialogs == nullptr) return false;  // a script never waits for a click
    return dialogs->runMessageBox(text, kind);
}

bool WebPlatform::openStorage() {
    // Without IndexedDB (a private window may refuse it) the files live in memory.
    storage_ = jsOpenStorage() != 0;
    if (!storage_) std::fputs("Orlith: warning: the browser keeps no files for this page; nothing is saved\n", stderr);
    const std::string folder(kStorage);
    ::mkdir(folder.c_str(), 0755);  // the mount made it, unless there was none
    if (::chdir(folder.c_str()) != 0) std::fputs("Orlith: warning: no storage folder\n", stderr);
    jsInstall();
    return storage_;
}

void WebPlatform::sampleDevices(InputSnapshot& input, const KeyMap& map) {
    keys_.fill(input, map);
    for (int i = 0; i < pending_.eventCount; ++i) input.addPointerEvent(pending_.events[i]);
    pending_.clearEvents();
}

PadState WebPlatform::readPad() const {
    float values[1 + 4 + PadState::buttonCount] = {};
    jsReadPad(values);
    PadState pad;
    pad.connected = values[0] != 0;
    pad.leftX = values[1], pad.leftY = values[2], pad.rightX = values[3], pad.rightY = values[4];
    for (int b = 0; b < PadState::buttonCount; ++b) pad.buttons[b] = values[5 + b] != 0;
    return pad;
}

void WebPlatform::viewSize(int32_t& width, int32_t& height) const {
    width = jsViewWidth();
    height = jsViewHeight();
}

void WebPlatform::showCanvas(int width, int height) { jsShow(width, height); }

void WebPlatform::signal(const char* name, int32_t value) { jsSignal(name, value); }

void WebPlatform::waitAnimationFrame() { jsAnimationFrame(); }

int WebPlatform::keyEvent(bool down, std::string_view key, std::string_view code) {
    return down ? keys_.down(key, code) : keys_.up(code);
}

void WebPlatform::pointerEvent(PointerEvent event) { pending_.addPointerEvent(event); }

void WebPlatform::wheelEvent(double deltaY, int deltaMode, double wheelDeltaY) {
    const int32_t delta = wheel_.turn(deltaY, deltaMode, wheelDeltaY);
    if (delta != 0) pending_.addPointerEvent({PointerEvent::wheel, delta, 0});
}

void WebPlatform::focusEvent(bool focused) { keys_.setFocus(focused); }

void WebPlatform::storageWritten() {
    if (storage_ && flushes_.written()) jsFlush();
}

void WebPlatform::storageFlushed(bool ok) {
    if (flushes_.flushed(ok)) {
        jsFlush();
        return;
    }
    signal("flushed", flushes_.stored());
}

}  // namespace orlith

// The page's script calls these with its events.
extern "C" {

EMSCRIPTEN_KEEPALIVE char* orlith_web_buffer() { return orlith::exchangeBuffer; }

EMSCRIPTEN_KEEPALIVE int orlith_web_key(int down, int keyLength, int codeLength) {
    if (orlith::active == nullptr) return 0;
    std::string_view key(orlith::exchangeBuffer, static_cast<size_t>(keyLength));
    std::string_view code(orlith::exchangeBuffer + 128, static_cast<size_t>(codeLength));
    return orlith::active->keyEvent(down != 0, key, code);
}

EMSCRIPTEN_KEEPALIVE void orlith_web_pointer(int kind, int x, int y) {
    using orlith::PointerEvent;
    if (orlith::active == nullptr || kind < 0 || kind > 2) return;
    const PointerEvent::Kind kinds[3] = {PointerEvent::down, PointerEvent::up, PointerEvent::move};
    orlith::active->pointerEvent({kinds[kind], x, y});
}

EMSCRIPTEN_KEEPALIVE void orlith_web_wheel(double deltaY, int deltaMode, double wheelDeltaY) {
    if (orlith::active != nullptr) orlith::active->wheelEvent(deltaY, deltaMode, wheelDeltaY);
}

EMSCRIPTEN_KEEPALIVE void orlith_web_focus(int focused) {
    if (orlith::active != nullptr) orlith::active->focusEvent(focused != 0);
}

EMSCRIPTEN_KEEPALIVE void orlith_web_written() {
    if (orlith::active != nullptr) orlith::active->storageWritten();
}

EMSCRIPTEN_KEEPALIVE void orlith_web_close() {
    if (orlith::active != nullptr) orlith::active->closeEvent();
}

EMSCRIPTEN_KEEPALIVE void orlith_web_flushed(int ok) {
    if (orlith::active != nullptr) orlith::active->storageFlushed(ok != 0);
}

}  // extern "C"
