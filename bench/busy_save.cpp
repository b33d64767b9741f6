// Writes save.dat (and prints a demo) for the busy view of a level, so the game itself can be
// timed there: `busy_save 20 > look.demo`, then play look.demo in the same directory.
// `busy_save LEVEL X Y Z [PITCH]` stands at that cell instead (outside the maze too), looking
// straight ahead or up (90) or down (-90).
#include <cstdio>
#include <cstdlib>

#include "bench/busy_view.h"
#include "persist/persist.h"
#include "platform/native_files.h"
#include "platform/null_platform.h"

namespace {

class FilePlatform final : public orlith::NullPlatform {
public:
    orlith::FileFailure replaceFile(const std::string& path, std::string_view bytes) override {
        return orlith::native::replaceFile(path, bytes, error_);
    }
    int lastErrorCode() override { return error_; }

private:
    int error_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    int level = argc > 1 ? std::atoi(argv[1]) : 20;
    auto s = orlith::makeGameState();
    auto work = orlith::makeMazeWork();
    orlith::newLevel(*s, *work);
    orlith::restoreLevel(*s, *work, level, {});  // one generation from the level table
    orlith::bench::BusyView v;
    if (argc >= 5) {
        for (int i = 0; i < 3; ++i) v.cell[i] = std::atoi(argv[2 + i]);
        v.pitch = argc > 5 ? static_cast<float>(std::atof(argv[5])) : 0.0f;
    } else {
        v = orlith::bench::findBusyView(*s);
    }
    orlith::bench::enterView(*s, v);
    FilePlatform platform;
    if (orlith::writeSaveFile(*s, platform) == 0) return 1;
    std::fprintf(stderr, "level %d: cell (%d, %d, %d), pitch %.0f, %d walls in sight, shaft of %d\n", level,
                 v.cell[0], v.cell[1], v.cell[2], static_cast<double>(v.pitch), v.seenWalls, v.shaftLength);
    // The restored game starts level again at pitch 0: turn the view along the shaft (one
    // degree a frame), then hold still.
    std::printf("orlith-demo 1\n");
    for (int f = 0; f < 90 && v.pitch != 0; ++f) std::printf("1 %d\n", v.pitch > 0 ? 38 : 40);
    for (int f = 0; f < 600; ++f) std::printf("1 -\n");
    return 0;
}
