// When the browser's copy of the game's files goes to IndexedDB: after every write, one flush
// at a time, and a write during a flush asks for one more when it ends, so the last write is
// always flushed and no two flushes overlap. Plain code, driven by the web platform.
#pragma once

#include <cstdint>

namespace orlith::web {

class FlushSchedule {
public:
    // A file was written: true when a flush is to start now.
    bool written() {
        if (flushing_) {
            again_ = true;
            return false;
        }
        flushing_ = true;
        return true;
    }
    // The flush ended (ok: stored): true when another is to start now.
    bool flushed(bool ok) {
        ok ? ++stored_ : ++failed_;
        if (again_) {
            again_ = false;
            return true;
        }
        flushing_ = false;
        return false;
    }
    bool idle() const { return !flushing_; }
    int32_t stored() const { return stored_; }  // flushes that ended stored
    int32_t failed() const { return failed_; }

private:
    bool flushing_ = false;
    bool again_ = false;
    int32_t stored_ = 0, failed_ = 0;
};

}  // namespace orlith::web
