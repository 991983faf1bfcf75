// Every frame after frame 0 reaches the decoder unchecked, so whatever a damaged tape holds must
// go through the PAL check and the decode without a fault. The input is cut or padded with zeros
// to exactly one DvFrame, in a heap block of exactly that size, so that a read past the frame
// lands in a redzone. The picture has a guard band after it: the conversion writes it from
// uninstrumented code, so a write past the picture is caught by the band, not by a redzone.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "frame_source.h"

constexpr size_t GUARD_BYTES = 4096;
constexpr uint8_t GUARD_FILL = 0xA5;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static uint8_t *picture;  // one RgbImage, then the guard band

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (dvinit() != 0)
        abort();
    picture = static_cast<uint8_t *>(malloc(sizeof(RgbImage) + GUARD_BYTES));
    if (!picture)
        abort();
    memset(picture, 0, sizeof(RgbImage));
    memset(picture + sizeof(RgbImage), GUARD_FILL, GUARD_BYTES);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    DvFrame *frame = static_cast<DvFrame *>(malloc(sizeof(DvFrame)));
    if (!frame)
        abort();
    size_t used = size < sizeof frame->bytes ? size : sizeof frame->bytes;
    memcpy(frame->bytes, data, used);
    memset(frame->bytes + used, 0, sizeof frame->bytes - used);

    DvInfo info;
    frame_is_pal(frame, &info);
    frame_decode(frame, reinterpret_cast<RgbImage *>(picture));
    for (size_t i = 0; i < GUARD_BYTES; i++)
        if (picture[sizeof(RgbImage) + i] != GUARD_FILL)
            abort();  // the decoder wrote past the picture
    free(frame);
    return 0;
}
