// The key bindings: what one key press does to the playback state. Pure: no I/O, no SDL calls,
// only the state, the key and the frame count. The table below is the whole keyboard.
#include <SDL.h>

#include "player.h"

enum KeyAction {
    QUIT,
    TOGGLE_DECODE,
    PLAY_FORWARD,
    PLAY_BACKWARD,
    PAUSE,
    STEP_FORWARD,
    STEP_BACK,
    FIRST_FRAME,
    LAST_FRAME,
    NORMAL_PLAY,
    FASTER,
    SLOWER,
};

struct KeyBinding {
    SDLKey sym;
    KeyAction action;
};

static const KeyBinding BINDINGS[] = {
    {SDLK_ESCAPE, QUIT},             // quit
    {SDLK_q, QUIT},                  // quit; Shift is not looked at
    {SDLK_F1, TOGGLE_DECODE},        // decoding off, or on again
    {SDLK_RIGHT, PLAY_FORWARD},      // forward at the same magnitude; 1 when paused
    {SDLK_LEFT, PLAY_BACKWARD},      // backward at the same magnitude; -1 when paused
    {SDLK_SPACE, PAUSE},             // speed 0
    {SDLK_PAGEUP, STEP_FORWARD},     // one frame forward, paused
    {SDLK_PAGEDOWN, STEP_BACK},      // one frame back, paused
    {SDLK_HOME, FIRST_FRAME},        // frame 0, paused
    {SDLK_END, LAST_FRAME},          // last frame, paused
    {SDLK_RETURN, NORMAL_PLAY},      // speed 1
    {SDLK_UP, FASTER},               // ... -2, -1, 0, 1, 2, 4 ...
    {SDLK_DOWN, SLOWER},             // ... 4, 2, 1, 0, -1, -2 ...
};

static int32_t magnitude(int32_t speed)
{
    return speed < 0 ? -speed : speed;  // speed never reaches INT32_MIN: it stays within SPEED_LIMIT
}

static int32_t doubled(int32_t speed)
{
    if (speed >= SPEED_LIMIT)
        return SPEED_LIMIT;
    if (speed <= -SPEED_LIMIT)
        return -SPEED_LIMIT;
    return speed * 2;
}

static int32_t faster(int32_t speed)  // one step up the scale of speeds through zero
{
    if (speed > 0)
        return doubled(speed);
    if (speed == 0)
        return 1;
    return speed / 2;
}

static int32_t slower(int32_t speed)  // one step down the scale
{
    if (speed > 0)
        return speed / 2;
    if (speed == 0)
        return -1;
    return doubled(speed);
}

bool apply_key(PlayerState *state, int sym, int32_t count)
{
    for (const KeyBinding &binding : BINDINGS) {
        if (binding.sym != sym)
            continue;
        switch (binding.action) {
        case QUIT: return true;
        case TOGGLE_DECODE: state->skip_decode = 1 - state->skip_decode; break;
        case PLAY_FORWARD: state->speed = state->speed == 0 ? 1 : magnitude(state->speed); break;
        case PLAY_BACKWARD: state->speed = state->speed == 0 ? -1 : -magnitude(state->speed); break;
        case PAUSE: state->speed = 0; break;
        case STEP_FORWARD: state->current++; state->speed = 0; break;  // the loop's next pass wraps it
        case STEP_BACK: state->current--; state->speed = 0; break;
        case FIRST_FRAME: state->current = 0; state->speed = 0; break;
        case LAST_FRAME: state->current = count - 1; state->speed = 0; break;
        case NORMAL_PLAY: state->speed = 1; break;
        case FASTER: state->speed = faster(state->speed); break;
        case SLOWER: state->speed = slower(state->speed); break;
        }
        return false;
    }
    return false;  // no binding: nothing changes
}
