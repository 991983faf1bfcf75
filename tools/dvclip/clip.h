// Test clips: raw DV streams whose every frame carries its own index as a row of large black and
// white cells, which survives DV compression and can be read back from decoded pixels.
#pragma once

#include <cstdint>

enum ClipKind {
    CLIP_PAL,   // 720 × 576, 4:2:0, 144000-byte frames
    CLIP_NTSC,  // 720 × 480, 4:1:1, 120000-byte frames
    CLIP_DV50,  // 720 × 576, 4:2:2, 288000-byte frames
};

constexpr int CLIP_INDEX_BITS = 16;  // cells in the row, most significant first

// Writes `frames` frames to path (truncating it). Returns false on failure.
bool clip_write(const char *path, int frames, ClipKind kind, int first_index = 0);
// Reads the index from a picture whose top-left pixel is at pixels and whose rows are `pitch`
// bytes apart; red, green and blue of a pixel are at offsets r, g, b of its `pixel_bytes` bytes.
// Returns -1 when the cells are not there.
int clip_read_index(const uint8_t *pixels, int pitch, int pixel_bytes, int r, int g, int b);
// The same for a packed RGB picture of rows of width × 3 bytes.
int clip_read_rgb(const uint8_t *rgb, int width);
