// Sizes, colours and buffer types shared by every module of the viewer.
#pragma once

#include <cstdint>

constexpr int FRAME_WIDTH = 720;                            // pixels in one row of a PAL picture
constexpr int FRAME_HEIGHT = 576;                           // lines in a PAL picture
constexpr int STRIP_HEIGHT = 20;                            // pixels, the progress strip under the picture
constexpr int WINDOW_WIDTH = FRAME_WIDTH;                   // pixels
constexpr int WINDOW_HEIGHT = FRAME_HEIGHT + STRIP_HEIGHT;  // 596 pixels
constexpr int WINDOW_DEPTH = 32;                            // bits per pixel of the window surface
constexpr int RGB_BYTES_PER_PIXEL = 3;                      // red, green, blue
constexpr int RGB_DEPTH = RGB_BYTES_PER_PIXEL * 8;          // 24 bits per pixel
constexpr int RGB_ROW_BYTES = FRAME_WIDTH * RGB_BYTES_PER_PIXEL;  // 2160, no gap between rows
constexpr int RGB_IMAGE_BYTES = RGB_ROW_BYTES * FRAME_HEIGHT;     // 1,244,160
constexpr int DV_FRAME_BYTES = 144000;  // one 625-line DV25 frame: 12 DIF sequences of 150 blocks of 80 bytes
constexpr int IDLE_DELAY_MS = 40;       // wait of a pass that shows no new frame
constexpr int DECODER_REPLY_MS = 1000;  // the longest wait for the decoder process to answer for a frame
constexpr long DECODER_MEMORY_ROOM = 256L << 20;  // bytes the decoder process may map beyond its start-up size
constexpr int X_CLOSE_WAIT_MS = 500;    // after a fatal X error, for the server's end of the connection to close
constexpr int SDL_QUIT_WAIT_MS = 500;   // for SDL's shutdown at the end of the process to come back

static_assert(WINDOW_HEIGHT == 596, "the window is the picture plus the strip");
static_assert(RGB_ROW_BYTES == 2160, "rows of packed RGB");
static_assert(RGB_IMAGE_BYTES == 1244160, "one decoded picture");
static_assert(DV_FRAME_BYTES == 12 * 150 * 80, "DIF sequences × blocks × bytes");

struct Rgb {
    uint8_t r, g, b;
};
constexpr Rgb STRIP_BACKGROUND = {0, 0, 0};  // black
constexpr Rgb STRIP_FILL = {0, 255, 128};    // light green: the part of the file before the shown frame

struct DvFrame {  // one raw DV frame exactly as stored in the file
    uint8_t bytes[DV_FRAME_BYTES];
};

struct RgbImage {  // one decoded picture, top row first, red-green-blue per pixel
    uint8_t pixels[RGB_IMAGE_BYTES];
};
