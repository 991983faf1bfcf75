// Reads back the index that a test clip's frame carries, from decoded pixels of any layout. Needs
// nothing but the pixels, so programs that only look at pictures can use it without FFmpeg.
#include "clip.h"
#include "clip_cells.h"

int clip_read_index(const uint8_t *pixels, int pitch, int pixel_bytes, int r, int g, int b)
{
    int index = 0;
    for (int bit = 0; bit < CLIP_INDEX_BITS; bit++) {
        const uint8_t *centre = pixels + (CELLS_Y + CELL / 2) * pitch + (CELLS_X + bit * CELL + CELL / 2) * pixel_bytes;
        int level = (centre[r] + centre[g] + centre[b]) / 3;
        if (level > THRESHOLD - MARGIN && level < THRESHOLD + MARGIN)
            return -1;
        index = index << 1 | (level > THRESHOLD);
    }
    return index;
}

int clip_read_rgb(const uint8_t *rgb, int width)
{
    return clip_read_index(rgb, width * 3, 3, 0, 1, 2);
}
