// Inside the frame source: the decoder's process (decoder_process.cpp for the player's side,
// decoder_spawner.cpp for the processes it starts) and how each confines itself
// (decoder_confine.cpp).
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "common.h"
#include "dvlib.h"

enum DecoderOp : int32_t { DECODER_STATUS, DECODER_READ };

struct DecoderRequest {  // player to decoder process, echoed back as the reply
    uint32_t serial;
    int32_t op;
};

struct DecoderShared {  // mapped before the fork: the player writes the frame, the decoder the rest
    alignas(64) DvFrame frame;
    DvInfo info;
    int32_t result;
};

enum SpawnerOrder : char { SPAWNER_STOP, SPAWNER_START };  // each answered once carried out

// With no decoder process started these call the decoder in this process, as tests do.
int frame_decoder_status(const DvFrame *frame, DvInfo *info);
int frame_decoder_read(const DvFrame *frame, RgbImage *image);

// The spawner's loop, on its end of the control socket; never returns.
[[noreturn]] void frame_spawner_run(int control, DecoderShared *shared, RgbImage *image);

// Each returns the descriptor its socket now has: the one it keeps open.
int frame_spawner_confine(int control);
int frame_decoder_confine(int channel);  // calls dvinit() inside its walls
