// The browser as the game's platform (Emscripten, single-threaded, ASYNCIFY): the clock, message
// boxes as page dialogs, the files kept in IndexedDB (IDBFS, flushed after each write), the
// page's keys, pointer, wheel and focus gathered into the frame's snapshot, and the signals the
// page shows and scripts wait for. Waiting (sleepMs, a dialog, storage, an animation frame)
// yields to the browser, so the page never blocks. Owned by the web entry point; the page's
// script (web_platform.js) calls in with its events.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/dialogs.h"
#include "platform/platform.h"
#include "platform/web/input_rules.h"
#include "platform/web/storage_flush.h"
#include "state/input.h"

namespace orlith {

class WebPlatform final : public Platform {
public:
    WebPlatform();
    ~WebPlatform() override;
    WebPlatform(const WebPlatform&) = delete;
    WebPlatform& operator=(const WebPlatform&) = delete;

    uint32_t tickCount() override;
    void sleepMs(uint32_t ms) override;  // yields to the browser meanwhile
    // Always on the console. Then, unless unattended, as a page dialog the game waits for.
    bool showMessage(std::u16string_view text, MessageKind kind) override;
    int lastErrorCode() override { return lastError; }
    uint32_t unixTime() override;
    bool localTime(uint32_t unixSeconds, LocalDateTime& out) const override;
    bool readFile(const std::string& path, size_t maxBytes, std::string& bytes) override;
    // In the storage folder, each write is flushed to IndexedDB; a PNG written there (a
    // screenshot) is offered to the player as a download instead of being kept.
    FileFailure replaceFile(const std::string& path, std::string_view bytes) override;
    std::string pathInCurrentDirectory(std::string_view name) override;

    // The storage folder, loaded from IndexedDB, becomes the current directory. False when the
    // browser keeps no IndexedDB (the files then last as long as the page).
    bool openStorage();
    // The page's events since the last frame, and the keys (each the game reads from the key
    // the map puts in its place) and focus now.
    void sampleDevices(InputSnapshot& input, const KeyMap& map);
    // The first of the browser's standard gamepads, as it stands now.
    PadState readPad() const;
    // The size of the page's view in CSS pixels, for the window size rule.
    void viewSize(int32_t& width, int32_t& height) const;
    // Makes the canvas the picture's size and shows it, fitted to the page.
    void showCanvas(int width, int height);
    // Tells the page (and scripts waiting on it) a named moment: started, ended, ...
    void signal(const char* name, int32_t value);
    // Waits for the browser's next animation frame.
    void waitAnimationFrame();
    // Whether the page asked the game to end, as closing the window does on the desktop.
    bool closeRequested() const { return closeRequested_; }

    int lastError = 0;             // code shown by the next error report
    Dialogs* dialogs = nullptr;    // the page's dialogs, once the page can show them
    bool unattended = false;       // --start: every box is dismissed at once (No to a question)

    // The page's events (called by its script through the exported functions).
    int keyEvent(bool down, std::string_view key, std::string_view code);
    void pointerEvent(PointerEvent event);
    void wheelEvent(double deltaY, int deltaMode, double wheelDeltaY);
    void focusEvent(bool focused);
    void storageWritten();
    void storageFlushed(bool ok);
    void closeEvent() { closeRequested_ = true; }

private:
    web::KeyTracker keys_;
    web::WheelConverter wheel_;
    web::FlushSchedule flushes_;
    InputSnapshot pending_;  // pointer events waiting for the next frame
    bool storage_ = false;
    bool closeRequested_ = false;
};

}  // namespace orlith
