// How a standard game controller plays the game: it fills the same input snapshot the keyboard
// fills, so the game never knows which the player used, and a demo recorded with a controller
// replays without one. The layout (the README shows it too):
//   left stick forward / back   Q / A, held past the dead zone (in Fly 2: faster / slower)
//   right stick                 the arrows' turns, in proportion to how far it leans
//   left / right shoulder       Z / X (Fly: turn)
//   A, B, X, Y                  M (mode), N (Nightmare), W (walls), G (guide)
//   d-pad up, down, left, right S (position or distance), F (frame rate), D (panels), I (ranking)
//   Back                        F4 (save)
//   Start                       the registration dialog's start button (the dialogs read it)
// Called by each platform's entry point after it has read its keys and its controller.
#pragma once

#include "state/input.h"

namespace orlith {

inline constexpr float kStickDeadZone = 0.25f;  // a stick leaning less than this holds nothing

// Adds the controller's keys and turns to the snapshot, beside the keyboard's. A controller
// that is not connected adds nothing, so one unplugged mid-game lets go of all it held.
void applyPad(const PadState& pad, InputSnapshot& input);

}  // namespace orlith
