// The playback loop, the viewer's only main loop: each pass reads the current frame, decodes and
// presents it when it is new or waits briefly when it is not, takes at most one event and moves
// the index by the speed. Start reading at run_playback().
#include <SDL.h>

#include "display.h"
#include "player.h"

int32_t clamp_index(int64_t index, int32_t count)
{
    if (index >= count)
        return 0;  // off the end: restart at the first frame, the overshoot is dropped
    if (index < 0)
        return count - 1;  // off the start: continue at the last frame
    return static_cast<int32_t>(index);
}

// Shows frame `current` if the previous pass did not; otherwise idles.
static void handle_frame(PlayerState *state, const FrameFile *file, DvFrame *frame, RgbImage *image)
{
    state->current = clamp_index(state->current, file->count);
    frame_file_read(file, state->current, frame);
    if (state->current == state->shown) {
        SDL_Delay(IDLE_DELAY_MS);
    } else {
        if (!state->skip_decode)
            frame_decode(frame, image);
        display_present(image, state->current, file->count);
    }
    state->shown = state->current;
}

void run_playback(PlayerState *state, FrameFile *file, DvFrame *frame, RgbImage *image)
{
    for (;;) {
        handle_frame(state, file, frame, image);
        SDL_Event event;
        if (!SDL_PollEvent(&event)) {
            state->current = clamp_index(int64_t{state->current} + state->speed, file->count);
            continue;
        }
        if (event.type == SDL_QUIT) {
            display_quit_requested();
            return;
        }
        if (event.type == SDL_KEYDOWN && apply_key(state, event.key.keysym.sym, file->count))
            return;
        if (event.type == SDL_VIDEOEXPOSE)
            display_refresh();  // the window lost its picture: the same again, not decoded anew
        // any other event: the next pass handles the same index
    }
}
