// The raw DV file: frame count, random access to one frame, the PAL check and decoding.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common.h"
#include "dvlib.h"

struct FrameFile {
    FILE *stream;   // opened "rb", unbuffered
    int32_t count;  // whole frames in the file, fixed at open
};

bool frame_file_open(const char *path, FrameFile *file);  // false when it cannot be read as a file
void frame_file_read(const FrameFile *file, int32_t index, DvFrame *frame);
void frame_file_close(FrameFile *file);

RgbImage *frame_image_alloc();  // the decoder's output, shared with its process; null when memory is short
// Decoder start-up: the decoder's process, before the file is opened and before SDL starts, writing
// its pictures into image (from frame_image_alloc). False when no process could be started.
bool frame_decoder_start(RgbImage *image);

bool frame_is_pal(const DvFrame *frame, DvInfo *info);
void frame_decode(const DvFrame *frame, RgbImage *image);

int32_t frame_count_for_size(int64_t bytes);  // whole frames in a file of that size
int64_t frame_offset(int32_t index);          // first byte of frame index
