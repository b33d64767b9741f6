// Demo lines and command-line options.
#include "app/demo.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "app/dialog_models.h"
#include "app/shell.h"
#include "base/text.h"

namespace orlith {
namespace {

// Whole-token decimal integer within [lo, hi].
bool parseInt(const std::string& text, int64_t lo, int64_t hi, int64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
    }
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || v < lo || v > hi) return false;
    value = v;
    return true;
}

bool parsePair(const std::string& text, int32_t& x, int32_t& y) {
    size_t comma = text.find(',');
    int64_t a = 0, b = 0;
    if (comma == std::string::npos || !parseInt(text.substr(0, comma), -32768, 32767, a) ||
        !parseInt(text.substr(comma + 1), -32768, 32767, b)) {
        return false;
    }
    x = static_cast<int32_t>(a);
    y = static_cast<int32_t>(b);
    return true;
}

}  // namespace

std::string formatDemoLine(const InputSnapshot& frame) {
    std::string line = frame.focus != 0 ? "1 " : "0 ";
    bool any = false;
    for (int code = 0; code < 256; ++code) {
        if (frame.keysDown[code] == 0) continue;
        if (any) line += ',';
        line += std::to_string(code);
        any = true;
    }
    if (!any) line += '-';
    const int16_t* turn = frame.arrowAmount;
    if (turn[0] != 0 || turn[1] != 0 || turn[2] != 0 || turn[3] != 0) {
        line += " t:" + std::to_string(turn[0]) + "," + std::to_string(turn[1]) + "," + std::to_string(turn[2]) + "," +
                std::to_string(turn[3]);
    }
    for (int k = 0; k < frame.eventCount; ++k) {
        const PointerEvent& e = frame.events[k];
        switch (e.kind) {
            case PointerEvent::down: line += " d:" + std::to_string(e.x) + "," + std::to_string(e.y); break;
            case PointerEvent::up: line += " u"; break;
            case PointerEvent::move: line += " m:" + std::to_string(e.x) + "," + std::to_string(e.y); break;
            case PointerEvent::wheel: line += " w:" + std::to_string(e.x); break;
        }
    }
    return line;
}

bool parseDemoLine(const std::string& line, InputSnapshot& frame, std::string& error) {
    frame = InputSnapshot{};
    std::vector<std::string> tokens;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t start = line.find_first_not_of(" \t\r", pos);
        if (start == std::string::npos) break;
        size_t end = line.find_first_of(" \t\r", start);
        if (end == std::string::npos) end = line.size();
        tokens.push_back(line.substr(start, end - start));
        pos = end;
    }
    if (tokens.size() < 2 || (tokens[0] != "0" && tokens[0] != "1")) {
        error = "expected focus (0 or 1) and keys";
        return false;
    }
    frame.focus = tokens[0] == "1" ? 1 : 0;
    if (tokens[1] != "-") {
        size_t start = 0;
        while (start <= tokens[1].size()) {
            size_t comma = tokens[1].find(',', start);
            if (comma == std::string::npos) comma = tokens[1].size();
            int64_t code = 0;
            if (!parseInt(tokens[1].substr(start, comma - start), 0, 255, code)) {
                error = "bad key code list '" + tokens[1] + "'";
                return false;
            }
            frame.keysDown[code] = 1;
            start = comma + 1;
        }
    }
    for (size_t t = 2; t < tokens.size(); ++t) {
        const std::string& tok = tokens[t];
        PointerEvent e{};
        int64_t delta = 0;
        if (tok.rfind("t:", 0) == 0) {
            // Four amounts 0..1000, comma-separated.
            size_t start = 2;
            for (int k = 0; k < 4; ++k) {
                size_t end = k < 3 ? tok.find(',', start) : tok.size();
                int64_t amount = 0;
                if (end == std::string::npos || !parseInt(tok.substr(start, end - start), 0, 1000, amount)) {
                    error = "bad arrow amounts '" + tok + "'";
                    return false;
                }
                frame.arrowAmount[k] = static_cast<int16_t>(amount);
                start = end + 1;
            }
            continue;
        }
        if (tok == "u") {
            e.kind = PointerEvent::up;
        } else if (tok.rfind("d:", 0) == 0 && parsePair(tok.substr(2), e.x, e.y)) {
            e.kind = PointerEvent::down;
        } else if (tok.rfind("m:", 0) == 0 && parsePair(tok.substr(2), e.x, e.y)) {
            e.kind = PointerEvent::move;
        } else if (tok.rfind("w:", 0) == 0 && parseInt(tok.substr(2), -32768, 32767, delta)) {
            e.kind = PointerEvent::wheel;
            e.x = static_cast<int32_t>(delta);
        } else {
            error = "bad pointer event '" + tok + "'";
            return false;
        }
        frame.addPointerEvent(e);
    }
    return true;
}

bool parseDemoText(std::string_view text, std::vector<InputSnapshot>& frames, std::string& error) {
    frames.clear();
    int lineNumber = 0;
    bool header = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string line(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (!header) {
            if (line != kDemoHeader) {
                error = "line " + std::to_string(lineNumber) + ": expected '" + kDemoHeader + "'";
                return false;
            }
            header = true;
            continue;
        }
        InputSnapshot& frame = frames.emplace_back();
        std::string reason;
        if (!parseDemoLine(line, frame, reason)) {
            error = "line " + std::to_string(lineNumber) + ": " + reason;
            return false;
        }
    }
    if (!header) {
        error = "empty demo (no '" + std::string(kDemoHeader) + "' line)";
        return false;
    }
    return true;
}

bool readDemoFile(const std::string& path, std::vector<InputSnapshot>& frames, std::string& error) {
    // Opened for shared reading (the platform's file seam reads the save file exclusively, as
    // designed): two games may replay one demo at once.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > kMaxDemoBytes) {
        error = "larger than " + std::to_string(kMaxDemoBytes >> 20) + " MiB";
        return false;
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!in.seekg(0).read(bytes.data(), size)) {
        error = "cannot read " + path;
        return false;
    }
    return parseDemoText(bytes, frames, error);
}

const char* usageText() {
    return "usage: orlith [options] [NetFps]\n"
           "  --record FILE      write every frame's input to FILE (a demo)\n"
           "  --play FILE        replay the demo FILE instead of the keyboard and mouse; ends with it\n"
           "  --frames N         end after N frames\n"
           "  --screenshot FILE  write the last presented frame to FILE as PNG at the end\n"
           "  --report FILE      write the end state to FILE as text: level, steps, position, FPS, the\n"
           "                     ranking and the other players' arrows drawn in the last frame\n"
           "  --screen WxH       size the window as for a WxH screen (default: the real screen)\n"
           "  --no-pacing        run frames back to back instead of 60 per second\n"
           "  --nickname NAME    registration dialog: the nickname (up to 10 characters); ticks the network box\n"
           "  --pin DIGITS       the PIN (up to 16 digits); ticks the box\n"
           "  --server HOST      the ranking server (up to 16 characters; default localhost); ticks the box\n"
           "  --port N           its port, 1 to 65535 (up to 5 characters; default 80); ticks the box\n"
           "  --offline          leave the network box unticked, whatever else is given\n"
           "  --start            press start without showing the dialog and answer Yes to the\n"
           "                     new-nickname question; every message box then goes to stderr and is\n"
           "                     dismissed at once, and a refused start exits with status 1\n"
           "  --write-keys       write every key that can be moved into setting.ini's [Keys] section (as\n"
           "                     it stands: the standard keys, or those the file moved) and end\n"
           "  --help             show this text\n"
           "Keys: Q/A forward/back, arrows turn, Z/X turn (fly), M mode, N nightmare, W walls, S position/\n"
           "distance, D HUD, F FPS, G guide, H/V/P reverse turning/vertical/forward, R turning rate,\n"
           "F4 save, F12 screenshot, Alt+Enter full screen; drag with the left button to look, wheel to step.\n"
           "A game controller plays too: left stick Q/A, right stick turns, shoulders Z/X, A B X Y = M N W G,\n"
           "d-pad S F D I, Back F4, Start starts (see README).\n";
}

bool parseOptions(int argc, const char* const* argv, Options& o, std::string& error) {
    o = Options{};
    std::u16string commandLine;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        commandLine += std::u16string(arg.begin(), arg.end()) + u" ";
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            commandLine += std::u16string(out.begin(), out.end()) + u" ";
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--record") {
            if (!value(o.recordPath)) return false;
        } else if (arg == "--play") {
            if (!value(o.playPath)) return false;
        } else if (arg == "--screenshot") {
            if (!value(o.screenshotPath)) return false;
        } else if (arg == "--report") {
            if (!value(o.reportPath)) return false;
        } else if (arg == "--frames") {
            if (!value(text)) return false;
            if (!parseInt(text, 0, INT64_C(1000000000000), o.frames)) {
                error = "--frames needs a count, not '" + text + "'";
                return false;
            }
        } else if (arg == "--screen") {
            if (!value(text)) return false;
            size_t x = text.find('x');
            int64_t w = 0, h = 0;
            if (x == std::string::npos || !parseInt(text.substr(0, x), 320, 16384, w) ||
                !parseInt(text.substr(x + 1), 200, 16384, h)) {
                error = "--screen needs WxH (320x200 to 16384x16384), not '" + text + "'";
                return false;
            }
            o.screenWidth = static_cast<int32_t>(w);
            o.screenHeight = static_cast<int32_t>(h);
        } else if (arg == "--no-pacing") {
            o.pacing = false;
        } else if (arg == "--nickname" || arg == "--pin" || arg == "--server" || arg == "--port") {
            if (!value(text)) return false;
            std::u16string wide = utf8ToUtf16(text);
            RegistrationBox box = arg == "--nickname" ? RegistrationBox::nickname
                                  : arg == "--pin"    ? RegistrationBox::pin
                                  : arg == "--server" ? RegistrationBox::server
                                                      : RegistrationBox::port;
            // Only what a player could type into the box: a script should not get a silently cut name.
            if (wide.empty() || keptByBox(box, wide) != wide) {
                const char* digits = box == RegistrationBox::pin ? "digits only, " : "";
                error = arg + " '" + text + "' does not fit its box (" + digits + "see --help for the lengths)";
                return false;
            }
            std::u16string& field = box == RegistrationBox::nickname ? o.nickname
                                    : box == RegistrationBox::pin    ? o.pin
                                    : box == RegistrationBox::server ? o.server
                                                                     : o.port;
            field = wide;
        } else if (arg == "--offline") {
            o.offline = true;
        } else if (arg == "--start") {
            o.start = true;
        } else if (arg == "--write-keys") {
            o.writeKeys = true;
        } else if (arg.rfind("--", 0) == 0) {
            error = "unknown option " + arg;
            return false;
        }
        // Anything else is free text, where the NetFps switch may stand.
    }
    if (!o.recordPath.empty() && !o.playPath.empty() && o.recordPath == o.playPath) {
        error = "--record and --play name the same file";
        return false;
    }
    o.netFps = hasNetFpsSwitch(commandLine);
    return true;
}

}  // namespace orlith
