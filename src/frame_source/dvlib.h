// The DV decoder library: three C functions, called only by the frame source.
#pragma once

#include <cstdint>

extern "C" {

struct DvInfo {        // filled by dvstatus
    int32_t word[6];   // 0: DIF sequences per channel; 1: width in pixels; 2: height in lines;
                       // 3: bytes of one frame of this kind; 4: 1 for 625/50, 0 for 525/60; 5: 0
};

enum {
    DV_OUTPUT_RGB24 = 2,    // dvreadblock's format argument: packed red, green, blue, 2160-byte rows
    DV_QUALITY_FULL = 0,    // dvreadblock's flags argument: all coefficients, both fields, no downscaling
};

// Opens the decoder; call once before the other two.
int dvinit(void);
// Reads the frame's header into info: words 1 and 2 give the picture size, or 0 × 0 for data that is
// not a DV frame or a DV frame larger than the frame buffer. Returns 0 when the header is a DV frame.
int dvstatus(const uint8_t *frame, DvInfo *info);
// Decodes one DV frame into a 720 × 576 image in the given format. Returns 0 on success; on any
// failure, the image is left as it was.
int dvreadblock(const uint8_t *frame, uint8_t *image, int format, int flags);

}
