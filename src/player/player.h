// The player: playback state, the key bindings and the playback loop.
#pragma once

#include <cstdint>

#include "common.h"
#include "frame_source.h"

constexpr int32_t SPEED_LIMIT = 1 << 30;  // frames per pass; doubling stops here, short of overflow

struct PlayerState {
    int32_t current;   // index of the frame the next pass handles
    int32_t shown;     // index handled by the latest pass; -1 before the first
    int32_t speed;     // frames added per quiet pass: 0 paused, negative backward
    int skip_decode;   // 1: new frames are not decoded, the picture keeps the last decoded one
};

constexpr PlayerState PLAYER_START = {0, -1, 1, 0};  // frame 0 is new; forward, one frame a pass

int32_t clamp_index(int64_t index, int32_t count);  // past the end: 0; before the start: count - 1
bool apply_key(PlayerState *state, int sym, int32_t count);  // true: quit
void run_playback(PlayerState *state, FrameFile *file, DvFrame *frame, RgbImage *image);
// For the rest of the run: no file written, created or removed, no program run, no network (confine.cpp).
void player_confine();
