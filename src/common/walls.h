// The walls that confine the player and its decoder process, by name. Each is always up in the
// player; a test build of it takes single ones down, to show that every other wall holds on its own.
#pragma once

// "player-landlock", "player-seccomp", "decoder-fds", "decoder-nofile", "decoder-landlock",
// "decoder-seccomp", "decoder-memory".
bool common_wall_up(const char *name);
