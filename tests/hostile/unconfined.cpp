// The player without its confinement, for the hostile-decoder test's control run and the start-up
// benchmark: linked in place of src/player/confine.cpp, so the player itself keeps no switch.
#include "player.h"

void player_confine() {}
