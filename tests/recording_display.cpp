// Recording stand-ins for the display and for SDL_Delay; see recording_display.h.
#include "recording_display.h"

#include <SDL.h>

#include "clip.h"
#include "display.h"

static std::vector<PassRecord> records;
static PassHook on_record;

void recording_start(PassHook hook)
{
    records.clear();
    on_record = std::move(hook);
}

const std::vector<PassRecord> &recording_passes()
{
    return records;
}

static void record(PassRecord pass)
{
    records.push_back(pass);
    if (on_record)
        on_record(records);
}

void display_open(const char *) {}

uint32_t display_map_rgb(uint8_t r, uint8_t g, uint8_t b)
{
    return uint32_t{r} << 16 | uint32_t{g} << 8 | b;
}

void display_present(const RgbImage *image, int32_t index, int32_t count)
{
    record({0, index, count, clip_read_rgb(image->pixels, FRAME_WIDTH)});
}

void display_refresh()
{
    record({0, -1, 0, -1});
}

void display_quit_requested() {}

extern "C" void SDL_Delay(Uint32 ms)
{
    record({ms, -1, 0, -1});
}
