// The display: SDL's video start-up, the 720 × 596 window, and the presentation of one decoded
// picture with the progress strip beneath it. The window surface `screen` is this module's one
// value; SDL owns it and releases it at shutdown, which an exit handler registered in
// display_open() runs at every end of the process (shut_down_sdl()). Start reading at
// display_present().
#include "display.h"
#include "platform.h"

#include <SDL.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

// SDL reads a 24-bit pixel as a number in the machine's byte order; the picture's bytes are red,
// green, blue in memory on every machine. So the masks that say so depend on the byte order: red is
// the low byte on a little-endian machine (x86, arm64), the high one on a big-endian one (s390x).
#if SDL_BYTEORDER == SDL_LIL_ENDIAN
constexpr Uint32 RED_MASK = 0x0000FF;
constexpr Uint32 BLUE_MASK = 0xFF0000;
#else
constexpr Uint32 RED_MASK = 0xFF0000;
constexpr Uint32 BLUE_MASK = 0x0000FF;
#endif
constexpr Uint32 GREEN_MASK = 0x00FF00;
constexpr Uint32 ALPHA_MASK = 0;
constexpr Uint32 WINDOW_FLAGS = SDL_SWSURFACE;  // a software surface in an ordinary window
constexpr const char *TITLE_FORMAT = "Korlan %s";
constexpr const char *ICON_TITLE = "testwin";
constexpr const char *MODE_FAILED = "Couldn't set %dx%dx%d video mode: %s\n";  // with SDL_GetError()

static SDL_Surface *screen;

// Every message of the display goes to standard error with SDL's own explanation.
static void report_sdl(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

#define DIE_SDL(...) (report_sdl(__VA_ARGS__), exit(1))

void display_format_title(char *title, size_t size, const char *path)
{
    int full = snprintf(title, size, TITLE_FORMAT, path);
    if (full < 0 || static_cast<size_t>(full) < size)
        return;
    // Cut: never leave half of a UTF-8 sequence at the end.
    size_t end = strlen(title);
    size_t start = end;
    while (start > 0 && (static_cast<unsigned char>(title[start - 1]) & 0xC0) == 0x80)
        start--;  // continuation bytes
    if (start > 0) {
        unsigned char lead = static_cast<unsigned char>(title[start - 1]);
        size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (lead >= 0xC0 && end - (start - 1) < need)
            title[start - 1] = '\0';
    }
}

// The end of a shutdown that hangs or crashes, with the status the process was ending with:
// 1 after a fatal error, 0 after the user quit.
template <int STATUS>
static void end_anyway(int)
{
    _exit(STATUS);
}

static void *end_after_wait(void *status)
{
    timespec wait = {0, SDL_QUIT_WAIT_MS * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
    _exit(static_cast<int>(reinterpret_cast<intptr_t>(status)));
}

// SDL's shutdown, at every end once SDL has started. On a display whose connection is going or
// gone it may never come back: SDL 2.26 spins in it at full CPU after XWayland died, SDL 3 on
// native Wayland after a failed video mode; or it crashes on what is left. So the process ends
// all the same SDL_QUIT_WAIT_MS later, or at the crash, with the status exit() was given (glibc
// hands it to handlers registered with on_exit, in the same list as atexit's). A thread of its
// own waits, so that no signal SDL blocks or takes over can hold it up.
static void shut_down_sdl(int status, void *)
{
    for (int crash : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
        signal(crash, status == 0 ? end_anyway<0> : end_anyway<1>);
    pthread_t waiting;
    if (pthread_create(&waiting, nullptr, end_after_wait, reinterpret_cast<void *>(intptr_t{status})) == 0)
        pthread_detach(waiting);
    SDL_Quit();
}

int display_strip_width(int width, int32_t index, int32_t count)
{
    if (count <= 0 || index <= 0)
        return 0;
    if (index >= count)
        return width;
    return static_cast<int>(static_cast<double>(width) * index / count);  // product, then quotient
}

void display_open(const char *path)
{
    display_x_handle_errors();
    if (!display_sdl_screen_startable())
        DIE_SDL(MODE_FAILED, WINDOW_WIDTH, WINDOW_HEIGHT, WINDOW_DEPTH, SDL_GetError());
    display_sdl_starting();
    if (display_sdl_started(SDL_Init(SDL_INIT_VIDEO)) < 0)
        DIE_SDL(DISPLAY_INIT_FAILED, SDL_GetError());
    on_exit(shut_down_sdl, nullptr);
    if (display_x_screen_drawable())
        screen = SDL_SetVideoMode(WINDOW_WIDTH, WINDOW_HEIGHT, WINDOW_DEPTH, WINDOW_FLAGS);
    if (!screen)
        DIE_SDL(MODE_FAILED, WINDOW_WIDTH, WINDOW_HEIGHT, WINDOW_DEPTH, SDL_GetError());
    char title[DISPLAY_TITLE_BYTES];
    display_format_title(title, sizeof title, path);
    display_x_set_caption(title, ICON_TITLE);
    display_x_watch();
    display_wayland_watch();
    display_sdl_draw_once(screen);
}

uint32_t display_map_rgb(uint8_t r, uint8_t g, uint8_t b)
{
    return SDL_MapRGB(screen->format, r, g, b);
}

static void fill_strip(SDL_Rect *strip, Rgb colour)
{
    SDL_FillRect(screen, strip, display_map_rgb(colour.r, colour.g, colour.b));
}

void display_present(const RgbImage *image, int32_t index, int32_t count)
{
    // SDL only reads through the wrapper; its pointer is not const.
    SDL_Surface *picture = SDL_CreateRGBSurfaceFrom(const_cast<uint8_t *>(image->pixels), FRAME_WIDTH,
                                                    FRAME_HEIGHT, RGB_DEPTH, RGB_ROW_BYTES, RED_MASK,
                                                    GREEN_MASK, BLUE_MASK, ALPHA_MASK);
    if (!picture) {
        report_sdl("CreateRGBSurfaceFrom error: %s\n", SDL_GetError());
        return;
    }
    if (SDL_BlitSurface(picture, nullptr, screen, nullptr) < 0)
        report_sdl("BlitSurface error: %s\n", SDL_GetError());

    SDL_Rect strip;
    strip.x = 0;
    strip.y = static_cast<Sint16>(picture->h);
    strip.w = static_cast<Uint16>(picture->w);
    strip.h = STRIP_HEIGHT;
    fill_strip(&strip, STRIP_BACKGROUND);  // the whole strip, so the green part also shrinks
    strip.w = static_cast<Uint16>(display_strip_width(picture->w, index, count));
    fill_strip(&strip, STRIP_FILL);  // a width of 0 paints nothing

    SDL_UpdateRect(screen, 0, 0, picture->w, picture->h + STRIP_HEIGHT);
    SDL_FreeSurface(picture);
    SDL_Flip(screen);
}

// X without a compositor keeps nothing of a window that another covered or that was unmapped.
// Classic SDL 1.2 repaints it from `screen` by itself; sdl12-compat only reports it
// (SDL_VIDEOEXPOSE) and leaves the other window's remains, or black, until the next frame is
// presented, which for a paused player never comes.
void display_refresh()
{
    SDL_UpdateRect(screen, 0, 0, 0, 0);
}
