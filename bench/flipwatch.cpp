// flipwatch.so: watches a program that draws with SDL 1.2 without that program's help. Loaded with
// LD_PRELOAD, it stands in for SDL_Init, SDL_SetVideoMode, SDL_Flip, SDL_PollEvent,
// SDL_CreateRGBSurfaceFrom and SDL_FreeSurface, hands every call on to SDL unchanged, and notes
// what it saw: the steps of start-up up to the first frame on the screen, the rate of flips, the
// resident memory and the heap allocations of each part of a pass, and what the screen showed
// after a scripted key. It can also press keys and close the window by putting SDL events in the
// program's queue, the same events that X would have put there.
//
// It is steered by environment variables (the player itself reads none):
//   KB_T0_NS       CLOCK_MONOTONIC time of the exec in nanoseconds (kb_launch sets it)
//   KB_REPORT      file that gets the report, "name value" lines, when the process ends
//   KB_QUIT_AFTER  N: once N frames have been flipped, the next SDL_PollEvent returns SDL_QUIT
//   KB_QUIT_AT     P: the P-th call of SDL_PollEvent returns SDL_QUIT, flipped or not
//   KB_KEYS        "P:SYM,P:SYM...": the P-th call of SDL_PollEvent (from 1) returns a press of SYM
//   KB_WINDOW      "A:B": rate, allocations and resident memory between flip A and flip B
//
// A pass of the player is one SDL_PollEvent; its presentation runs from SDL_CreateRGBSurfaceFrom
// to SDL_FreeSurface, then SDL_Flip. Allocations are split along those lines: "rest" (reading,
// decoding, the event poll), "present" (wrapper, blit, strip, update, free) and "flip".
#include <SDL.h>
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc_count.h"
#include "clip.h"
#include "common.h"

constexpr int MAX_KEYS = 16;
constexpr int STRIP_ROW = FRAME_HEIGHT + STRIP_HEIGHT / 2;  // a row through the middle of the strip

struct KeyPress {
    long pass;       // SDL_PollEvent call that returns it
    int sym;
    long flip_pass;  // pass of the first flip after it, 0 before that flip
    double after_ms;   // from the press to the end of that flip
    int strip;       // green pixels in the strip at that flip
    int picture;     // index read from the picture's cells, -1 when there are none
};

struct Watch {
    long t0_ns;
    FILE *report;  // opened at load: the player confines itself before it ends, and then opens nothing to write
    long quit_after;
    long quit_at;
    long window_from, window_to;
    KeyPress keys[MAX_KEYS];
    int key_count;

    long passes, flips;
    double init_ms, mode_ms, first_wrap_ms;  // start-up: SDL_Init called, window open, first frame decoded
    double first_flip_ms, window_from_ms, window_to_ms;
    long rss_from_kb, rss_to_kb;
    bool quit_sent;

    uint64_t mark;          // allocation count at the last boundary
    uint64_t rest, present, flip;  // allocations inside the window, by part of the pass
    SDL_Surface *wrapper;   // the last surface made by SDL_CreateRGBSurfaceFrom
};

static Watch watch;

static long now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000L + t.tv_nsec;
}

static double since_exec_ms()
{
    return (now_ns() - watch.t0_ns) / 1e6;
}

static long resident_kb()
{
    long pages = 0, resident = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    if (!statm)
        return -1;
    if (fscanf(statm, "%ld %ld", &pages, &resident) != 2)
        resident = -1;
    fclose(statm);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

static bool in_window()
{
    return watch.window_to > 0 && watch.flips >= watch.window_from && watch.flips < watch.window_to;
}

// Adds the allocations since the last boundary to one part of the pass.
static void close_part(uint64_t *part)
{
    uint64_t count = alloc_count();
    if (in_window())
        *part += count - watch.mark;
    watch.mark = count;
}

template <typename F>
static F next_symbol(const char *name)
{
    void *symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        fprintf(stderr, "flipwatch: %s not found\n", name);
        abort();
    }
    return reinterpret_cast<F>(symbol);
}

static void parse_keys(const char *text)
{
    while (text && *text && watch.key_count < MAX_KEYS) {
        KeyPress *key = &watch.keys[watch.key_count];
        char *end = nullptr;
        key->pass = strtol(text, &end, 10);
        if (*end != ':')
            break;
        key->sym = static_cast<int>(strtol(end + 1, &end, 10));
        watch.key_count++;
        text = *end == ',' ? end + 1 : nullptr;
    }
}

__attribute__((constructor)) static void watch_start()
{
    const char *t0 = getenv("KB_T0_NS");
    watch.t0_ns = t0 ? atol(t0) : now_ns();
    const char *report = getenv("KB_REPORT");
    watch.report = report ? fopen(report, "w") : nullptr;
    const char *quit = getenv("KB_QUIT_AFTER");
    watch.quit_after = quit ? atol(quit) : 0;
    const char *quit_pass = getenv("KB_QUIT_AT");
    watch.quit_at = quit_pass ? atol(quit_pass) : 0;
    const char *window = getenv("KB_WINDOW");
    if (window && sscanf(window, "%ld:%ld", &watch.window_from, &watch.window_to) != 2)
        watch.window_to = 0;
    parse_keys(getenv("KB_KEYS"));
    watch.init_ms = watch.mode_ms = watch.first_wrap_ms = watch.first_flip_ms = -1;
}

static int byte_of(Uint32 mask)
{
    return mask == 0xFF ? 0 : mask == 0xFF00 ? 1 : mask == 0xFF0000 ? 2 : 3;  // little-endian
}

static int strip_green(const SDL_Surface *screen)
{
    const uint8_t *row = static_cast<const uint8_t *>(screen->pixels) + STRIP_ROW * screen->pitch;
    Uint32 green = SDL_MapRGB(screen->format, STRIP_FILL.r, STRIP_FILL.g, STRIP_FILL.b);
    int x = 0;
    while (x < screen->w && reinterpret_cast<const Uint32 *>(row)[x] == green)
        x++;
    return x;
}

static void note_keys_shown(const SDL_Surface *screen)
{
    for (int i = 0; i < watch.key_count; i++) {
        KeyPress *key = &watch.keys[i];
        if (key->flip_pass != 0 || watch.passes < key->pass)
            continue;
        const SDL_PixelFormat *format = screen->format;
        key->flip_pass = watch.passes + 1;  // the flip ends the pass after the last poll
        key->after_ms = since_exec_ms() - key->after_ms;
        key->strip = strip_green(screen);
        key->picture = format->BytesPerPixel == 4
                           ? clip_read_index(static_cast<const uint8_t *>(screen->pixels), screen->pitch, 4,
                                             byte_of(format->Rmask), byte_of(format->Gmask), byte_of(format->Bmask))
                           : -1;
    }
}

extern "C" int SDL_Flip(SDL_Surface *screen)
{
    static auto real = next_symbol<int (*)(SDL_Surface *)>("SDL_Flip");
    int result = real(screen);
    watch.flips++;
    if (watch.flips == 1)
        watch.first_flip_ms = since_exec_ms();
    if (watch.flips == watch.window_from) {
        watch.window_from_ms = since_exec_ms();
        watch.rss_from_kb = resident_kb();
    }
    close_part(&watch.flip);
    if (watch.flips == watch.window_to) {
        watch.window_to_ms = since_exec_ms();
        watch.rss_to_kb = resident_kb();
    }
    note_keys_shown(screen);
    return result;
}

extern "C" int SDL_Init(Uint32 flags)
{
    static auto real = next_symbol<int (*)(Uint32)>("SDL_Init");
    if (watch.init_ms < 0)
        watch.init_ms = since_exec_ms();
    return real(flags);
}

extern "C" SDL_Surface *SDL_SetVideoMode(int width, int height, int bpp, Uint32 flags)
{
    static auto real = next_symbol<SDL_Surface *(*)(int, int, int, Uint32)>("SDL_SetVideoMode");
    SDL_Surface *screen = real(width, height, bpp, flags);
    if (watch.mode_ms < 0)
        watch.mode_ms = since_exec_ms();
    return screen;
}

extern "C" SDL_Surface *SDL_CreateRGBSurfaceFrom(void *pixels, int width, int height, int depth, int pitch,
                                                 Uint32 rmask, Uint32 gmask, Uint32 bmask, Uint32 amask)
{
    static auto real = next_symbol<SDL_Surface *(*)(void *, int, int, int, int, Uint32, Uint32, Uint32, Uint32)>(
        "SDL_CreateRGBSurfaceFrom");
    close_part(&watch.rest);
    if (watch.first_wrap_ms < 0)
        watch.first_wrap_ms = since_exec_ms();
    watch.wrapper = real(pixels, width, height, depth, pitch, rmask, gmask, bmask, amask);
    return watch.wrapper;
}

extern "C" void SDL_FreeSurface(SDL_Surface *surface)
{
    static auto real = next_symbol<void (*)(SDL_Surface *)>("SDL_FreeSurface");
    real(surface);
    if (surface && surface == watch.wrapper) {
        watch.wrapper = nullptr;
        close_part(&watch.present);
    }
}

static void push_key(int sym)
{
    SDL_Event event;
    memset(&event, 0, sizeof event);
    event.type = SDL_KEYDOWN;
    event.key.state = SDL_PRESSED;
    event.key.keysym.sym = static_cast<SDLKey>(sym);
    SDL_PushEvent(&event);
}

extern "C" int SDL_PollEvent(SDL_Event *event)
{
    static auto real = next_symbol<int (*)(SDL_Event *)>("SDL_PollEvent");
    watch.passes++;
    for (int i = 0; i < watch.key_count; i++) {
        if (watch.keys[i].pass == watch.passes) {
            push_key(watch.keys[i].sym);
            watch.keys[i].after_ms = since_exec_ms();  // the start; note_keys_shown() makes it a span
        }
    }
    bool done = (watch.quit_after > 0 && watch.flips >= watch.quit_after) || watch.passes == watch.quit_at;
    if (done && !watch.quit_sent) {
        SDL_Event quit;
        memset(&quit, 0, sizeof quit);
        quit.type = SDL_QUIT;
        SDL_PushEvent(&quit);
        watch.quit_sent = true;
    }
    return real(event);
}

__attribute__((destructor)) static void watch_report()
{
    FILE *out = watch.report;
    if (!out)
        return;
    fprintf(out, "init_ms %.3f\nmode_ms %.3f\nfirst_wrap_ms %.3f\n", watch.init_ms, watch.mode_ms, watch.first_wrap_ms);
    fprintf(out, "first_flip_ms %.3f\n", watch.first_flip_ms);
    fprintf(out, "flips %ld\npasses %ld\n", watch.flips, watch.passes);
    if (watch.window_to > 0 && watch.flips >= watch.window_to) {
        long frames = watch.window_to - watch.window_from;
        fprintf(out, "window_flips %ld\n", frames);
        fprintf(out, "window_ms %.3f\n", watch.window_to_ms - watch.window_from_ms);
        fprintf(out, "window_fps %.3f\n", frames * 1000.0 / (watch.window_to_ms - watch.window_from_ms));
        fprintf(out, "rss_from_kb %ld\nrss_to_kb %ld\n", watch.rss_from_kb, watch.rss_to_kb);
        fprintf(out, "allocs_rest_per_flip %.3f\n", static_cast<double>(watch.rest) / frames);
        fprintf(out, "allocs_present_per_flip %.3f\n", static_cast<double>(watch.present) / frames);
        fprintf(out, "allocs_flip_per_flip %.3f\n", static_cast<double>(watch.flip) / frames);
    }
    for (int i = 0; i < watch.key_count; i++) {
        const KeyPress *key = &watch.keys[i];
        fprintf(out, "key%d_sym %d\nkey%d_pass %ld\nkey%d_flip_pass %ld\n", i, key->sym, i, key->pass, i,
                key->flip_pass);
        fprintf(out, "key%d_after_ms %.3f\nkey%d_strip %d\nkey%d_picture %d\n", i, key->flip_pass ? key->after_ms : -1.0,
                i, key->strip, i, key->picture);
    }
    fclose(out);
}
