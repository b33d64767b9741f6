// The game state's one allocation.
#include "state/game_state.h"

namespace orlith {

std::unique_ptr<GameState> makeGameState() { return std::make_unique<GameState>(); }

}  // namespace orlith
