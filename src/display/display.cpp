// The display: SDL's video start-up, the 720 × 596 window, and the presentation of one decoded
// picture with the progress strip beneath it. The window surface `screen` is this module's one
// value; SDL owns it and releases it at shutdown, which an exit handler registered in
// display_open() runs at every end of the process. Start reading at display_present().
#include "display.h"

#include <SDL.h>
#include <SDL_syswm.h>  // brings Xlib
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <wayland-client.h>

#include <bitset>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
constexpr const char *TITLE_LOCALE = "C.UTF-8";  // paths are bytes; SDL reads the title as UTF-8

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

int display_strip_width(int width, int32_t index, int32_t count)
{
    if (count <= 0 || index <= 0)
        return 0;
    if (index >= count)
        return width;
    return static_cast<int>(static_cast<double>(width) * index / count);  // product, then quotient
}

// SDL 1.2 hands the title to X through the C library's character type. In the "C" locale that the
// player runs in, it drops every byte beyond ASCII and sets no _NET_WM_NAME; under a UTF-8 one
// both name properties carry the path's bytes unchanged.
static void set_caption(const char *title)
{
    setlocale(LC_CTYPE, TITLE_LOCALE);
    SDL_WM_SetCaption(title, ICON_TITLE);
    setlocale(LC_CTYPE, "C");
}

// Video drivers that SDL falls back on when no display can be reached, and that open no window:
// classic SDL 1.2 draws the video as terminal graphics on standard output (libcaca, aalib), SDL 2
// under sdl12-compat plays into memory unseen. The dummy driver is not here: SDL takes it only
// when it is asked for by name.
static const char *const WINDOWLESS_DRIVERS[] = {"caca", "aalib", "offscreen"};

static bool opens_no_window(const char *driver)
{
    for (const char *windowless : WINDOWLESS_DRIVERS)
        if (strcmp(driver, windowless) == 0)
            return true;
    return false;
}

constexpr const char *INIT_FAILED = "Couldn't initialize SDL: %s\n";

static void refuse_windowless(const char *driver)
{
    SDL_SetError("no display to open a window on (SDL fell back to its %s video driver)", driver);
}

// True only while SDL_Init runs.
static bool starting_video;

// Classic SDL's terminal drivers start a terminal library, which calls exit(1) inside SDL_Init when
// TERM is unset (cron, systemd, ssh without a tty) or names a terminal that the terminfo database
// lacks (kitty's, alacritty's or foot's over ssh); SDL_Init never returns. This exit handler,
// registered before SDL_Init, ends such an exit with the player's own failure line instead.
static void end_failed_init()
{
    if (!starting_video)
        return;
    char driver[32] = "";
    if (SDL_VideoDriverName(driver, sizeof driver) && opens_no_window(driver))
        refuse_windowless(driver);
    else
        SDL_SetError("SDL's video start-up ended the process");
    report_sdl(INIT_FAILED, SDL_GetError());
    _exit(1);  // an exit handler has no other way to give its own status
}

// SDL_Init(SDL_INIT_VIDEO), refusing a driver that opens no window as a failed start-up. Classic
// SDL's terminal drivers write to standard output as soon as they start and again as they stop,
// so both happen with standard output on /dev/null: nothing reaches a terminal or a redirected file.
static int init_video()
{
    atexit(end_failed_init);  // display_open() runs once
    fflush(stdout);
    int kept = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    bool hidden = kept >= 0 && null >= 0 && dup2(null, STDOUT_FILENO) >= 0;
    starting_video = true;
    int result = SDL_Init(SDL_INIT_VIDEO);
    starting_video = false;
    char driver[32] = "";
    if (result >= 0 && SDL_VideoDriverName(driver, sizeof driver) && opens_no_window(driver)) {
        SDL_Quit();
        refuse_windowless(driver);
        result = -1;
    }
    if (hidden)
        dup2(kept, STDOUT_FILENO);
    close(kept);  // either may be -1: harmless
    close(null);
    return result;
}

// Classic SDL 1.2 reads 10-bit colour masks (a 30-bit, deep-colour X screen) as if they had 8 bits
// and maps every colour to 0: its window would stay black. So a screen whose masks SDL reports is
// refused when SDL cannot tell white from black in them. Left to SDL_SetVideoMode: a palette (8-bit
// screens, nearest colours on classic SDL) and a screen without masks (sdl12-compat on 30 bits,
// which draws there right).
static bool screen_drawable()
{
    const SDL_VideoInfo *info = SDL_GetVideoInfo();
    const SDL_PixelFormat *format = info ? info->vfmt : nullptr;
    Uint32 masks = format ? format->Rmask | format->Gmask | format->Bmask : 0;
    if (masks == 0 || format->palette || SDL_MapRGB(format, 255, 255, 255) != SDL_MapRGB(format, 0, 0, 0))
        return true;
    SDL_SetError("SDL cannot draw colours on this %d-bit colour screen",
                 static_cast<int>(std::bitset<32>(masks).count()));
    return false;
}

// The display going away under the window (a logout, a crash, a dropped ssh -X) is fatal. Xlib's
// own handlers print (six lines for a protocol error) and call exit(), whose handlers then shut SDL
// down on the dead connection: classic SDL 1.2 gets through that, but SDL 2 under sdl12-compat
// loops on it at full CPU without end. So the player says so in one line and ends here, without
// the exit handlers.
static int display_lost(Display *x)
{
    fprintf(stderr, "Lost the connection to display %s\n", DisplayString(x));
    _exit(1);
}

// An X protocol error that SDL does not filter itself, and that Xlib's own handler would end the
// process on. When the server goes, errors on requests it no longer carried out can arrive before
// the end of the connection (XWayland dying under its compositor): if the connection closes soon
// after, that is what the user is told. Otherwise the window was taken from under the player.
static int display_error(Display *x, XErrorEvent *error)
{
    pollfd closed = {ConnectionNumber(x), POLLRDHUP, 0};
    if (poll(&closed, 1, X_CLOSE_WAIT_MS) > 0)
        display_lost(x);
    char text[80];
    XGetErrorText(x, error->error_code, text, sizeof text);
    fprintf(stderr, "Lost the window on display %s: %s\n", DisplayString(x), text);
    _exit(1);
}

// Before SDL's start-up, so that SDL's own handlers (both SDLs install some, to ignore errors they
// expect) pass the rest on to these.
static void watch_x_connection()
{
    XSetErrorHandler(display_error);
    XSetIOErrorHandler(display_lost);
}

// Under X, the icon title, which sdl12-compat keeps to itself (classic SDL passes it to X as well;
// setting it twice is harmless), also as UTF-8 for the desktops that read only that.
static void set_x_icon_title()
{
    SDL_SysWMinfo wm;
    SDL_VERSION(&wm.version);
    if (SDL_GetWMInfo(&wm) != 1 || wm.subsystem != SDL_SYSWM_X11)
        return;
    // Classic SDL draws into a child of the managed window; sdl12-compat has only the one window,
    // and leaves wmwindow 0.
    Window managed = wm.info.x11.wmwindow ? wm.info.x11.wmwindow : wm.info.x11.window;
    Display *x = wm.info.x11.display;
    wm.info.x11.lock_func();
    XSetIconName(x, managed, ICON_TITLE);
    XChangeProperty(x, managed, XInternAtom(x, "_NET_WM_ICON_NAME", False),
                    XInternAtom(x, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(ICON_TITLE), strlen(ICON_TITLE));
    XFlush(x);
    wm.info.x11.unlock_func();
}

// Under Wayland (SDL 2 under sdl12-compat) the compositor going away reaches SDL 2 as a quit
// request, the same as the user's, or on SDL 2.26 with libdecor not at all: SDL_PollEvent then
// spins on the dead connection and never returns. So the display keeps a connection of its own to
// the compositor, on which nothing is ever asked: it turns readable only when the compositor
// closes it, and raises SIGIO then. A quit request goes on to the player only while the
// compositor still answers.
static const char COMPOSITOR_LOST[] = "Lost the connection to the Wayland compositor\n";

static void compositor_lost(int)
{
    ssize_t ignored = write(STDERR_FILENO, COMPOSITOR_LOST, sizeof COMPOSITOR_LOST - 1);
    (void)ignored;
    _exit(1);
}

static bool compositor_answers()
{
    wl_display *probe = wl_display_connect(nullptr);  // the compositor SDL took, as libwayland finds it
    bool answers = probe && wl_display_roundtrip(probe) >= 0;
    if (probe)
        wl_display_disconnect(probe);
    return answers;
}

static int pass_users_quit(const SDL_Event *event)
{
    if (event->type == SDL_QUIT && !compositor_answers())
        compositor_lost(0);
    return 1;
}

static void watch_compositor()
{
    char driver[32] = "";
    if (!SDL_VideoDriverName(driver, sizeof driver) || strcmp(driver, "wayland") != 0)
        return;
    wl_display *watch = wl_display_connect(nullptr);
    if (!watch)
        return;
    int fd = fcntl(wl_display_get_fd(watch), F_DUPFD_CLOEXEC, 0);  // open to the end of the process
    wl_display_disconnect(watch);
    struct sigaction lost = {};
    lost.sa_handler = compositor_lost;
    sigaction(SIGIO, &lost, nullptr);
    fcntl(fd, F_SETOWN, getpid());
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_ASYNC);
    SDL_SetEventFilter(pass_users_quit);
}

void display_open(const char *path)
{
    watch_x_connection();
    if (init_video() < 0)
        DIE_SDL(INIT_FAILED, SDL_GetError());
    atexit(SDL_Quit);
    if (screen_drawable())
        screen = SDL_SetVideoMode(WINDOW_WIDTH, WINDOW_HEIGHT, WINDOW_DEPTH, WINDOW_FLAGS);
    if (!screen)
        DIE_SDL("Couldn't set %dx%dx%d video mode: %s\n", WINDOW_WIDTH, WINDOW_HEIGHT, WINDOW_DEPTH,
                SDL_GetError());
    char title[DISPLAY_TITLE_BYTES];
    display_format_title(title, sizeof title, path);
    set_caption(title);
    set_x_icon_title();
    watch_compositor();
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
