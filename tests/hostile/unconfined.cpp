// The player without its own confinement, for the start-up benchmark (bench/confine.sh): linked in
// place of src/player/confine.cpp, so the player itself keeps no switch.
#include "player.h"

void player_confine() {}
