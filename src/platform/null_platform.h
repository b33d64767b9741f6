// A platform with no machine behind it: no files, no message boxes, no calendar, a clock
// standing at 0. For tools, benchmarks and tests that run the core
// on its own.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace orlith {

class NullPlatform : public Platform {
public:
    uint32_t tickCount() override { return 0; }
    void sleepMs(uint32_t) override {}
    bool showMessage(std::u16string_view, MessageKind) override { return false; }
    int lastErrorCode() override { return 0; }
    uint32_t unixTime() override { return 0; }
    bool localTime(uint32_t, LocalDateTime&) const override { return false; }
    bool readFile(const std::string&, size_t, std::string&) override { return false; }
    FileFailure replaceFile(const std::string&, std::string_view) override { return FileFailure::create; }
    std::string pathInCurrentDirectory(std::string_view name) override { return std::string(name); }
};

}  // namespace orlith
