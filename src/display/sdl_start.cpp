// SDL's video start-up on the SDL 1.2 implementations (classic SDL, sdl12-compat over SDL 2 or over
// SDL 3): how SDL 2 or 3 beneath sdl12-compat is to present on X11, the screens SDL 3 cannot start
// on, and what happens when no display can be reached (the fallback drivers open no window, and
// classic SDL's may end the process inside SDL_Init). Start reading at display_sdl_starting().
#include <SDL.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

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

static void refuse_windowless(const char *driver)
{
    SDL_SetError("no display to open a window on (SDL fell back to its %s video driver)", driver);
}

// SDL 2 under sdl12-compat presents each frame through an SDL 2 renderer: without a GPU (a virtual
// machine, a missing driver) that is Mesa's software OpenGL, at half classic SDL's frame rate with
// four times its memory and three times its start-up. Under X11 (XWayland too) SDL 2 can present
// through a software framebuffer of its own instead, shared-memory images with a SIMD blit, which
// these hints ask for. Only its X11 driver has one (on Wayland they leave SDL no way to present),
// so they are given once SDL_Init has picked the driver, before the window opens, through SDL 2's
// own interface: SDL 3 beneath sdl2-compat reads a copy of the environment taken at its start, which
// no later setenv or unsetenv reaches. SDL 3's framebuffer takes a 30-bit X screen for HDR10 and
// converts every colour to it (white shows as grey): there, SDL 3 keeps its renderer. A user who
// set either has chosen how SDL 2 presents, and gets exactly that. Classic SDL loads no SDL 2.
static const char *const SDL2_X11_HINTS[][2] = {
    {"SDL_RENDER_DRIVER", "software"},
    {"SDL_FRAMEBUFFER_ACCELERATION", "0"},
};
constexpr const char *SDL2_LIBRARY = "libSDL2-2.0.so.0";  // what sdl12-compat loads: SDL 2 or sdl2-compat
constexpr const char *SDL3_LIBRARY = "libSDL3.so.0";      // what sdl2-compat loads as it is loaded

constexpr int SDL3_FRAMEBUFFER_MAX_DEPTH = 24;  // bits of the deepest X screen SDL 3's framebuffer draws right

// What SDL_Init runs under: true only while it runs, where standard output was before, whether
// the user set any of the hints above, and the depth of the X screen beneath SDL 3 (0: not SDL 3).
static struct {
    bool running;
    int kept_stdout;
    int null;
    bool users_own;
    int sdl3_x_depth;
} starting = {false, -1, -1, false, 0};

static void keep_users_hints()
{
    for (const auto &hint : SDL2_X11_HINTS)
        starting.users_own |= getenv(hint[0]) != nullptr;
}

static void give_x11_hints_for(const char *driver)
{
    if (starting.users_own || strcmp(driver, "x11") != 0 || starting.sdl3_x_depth > SDL3_FRAMEBUFFER_MAX_DEPTH)
        return;
    void *sdl2 = dlopen(SDL2_LIBRARY, RTLD_LAZY | RTLD_NOLOAD);  // only the one SDL already loaded
    if (!sdl2)
        return;
    using SetHint = int (*)(const char *name, const char *value);  // SDL_bool SDL_SetHint()
    auto set_hint = reinterpret_cast<SetHint>(dlsym(sdl2, "SDL_SetHint"));
    for (const auto &hint : SDL2_X11_HINTS)
        if (set_hint)
            set_hint(hint[0], hint[1]);
    dlclose(sdl2);  // the reference that dlopen took; sdl12-compat keeps its own
}

// Classic SDL's terminal drivers start a terminal library, which calls exit(1) inside SDL_Init when
// TERM is unset (cron, systemd, ssh without a tty) or names a terminal that the terminfo database
// lacks (kitty's, alacritty's or foot's over ssh); SDL_Init never returns. This exit handler,
// registered before SDL_Init, ends such an exit with the player's own failure line instead.
static void end_failed_init()
{
    if (!starting.running)
        return;
    char driver[32] = "";
    if (SDL_VideoDriverName(driver, sizeof driver) && opens_no_window(driver))
        refuse_windowless(driver);
    else
        SDL_SetError("SDL's video start-up ended the process");
    fprintf(stderr, DISPLAY_INIT_FAILED, SDL_GetError());
    _exit(1);  // an exit handler has no other way to give its own status
}

// SDL 3's X11 driver cannot start on a palette screen (8 bits, a visual without true colour), and
// the clean-up after its failed start frees what it never made: the process dies of a segmentation
// fault inside SDL_Init (SDL 3.2). SDL 2 starts there and refuses the mode; classic SDL shows the
// nearest colours. So, beneath SDL 3 only, such a screen is refused before SDL_Init, and the
// screen's depth is kept for the hints above.
bool display_sdl_screen_startable()
{
    const char *driver = getenv("SDL_VIDEODRIVER");
    if (!getenv("DISPLAY") || (driver && strcmp(driver, "x11") != 0))
        return true;
    void *sdl3 = dlopen(SDL3_LIBRARY, RTLD_LAZY | RTLD_NOLOAD);
    if (!sdl3)
        return true;
    dlclose(sdl3);
    Display *x = XOpenDisplay(nullptr);
    if (!x)
        return true;  // SDL_Init says why
    int depth = starting.sdl3_x_depth = DefaultDepth(x, DefaultScreen(x));
    int kind = DefaultVisual(x, DefaultScreen(x))->c_class;
    XCloseDisplay(x);
    if (kind == TrueColor || kind == DirectColor)
        return true;
    SDL_SetError("SDL 3 cannot open a window on this %d-bit palette screen", depth);
    return false;
}

// Classic SDL's terminal drivers write to standard output as soon as they start and again as they
// stop, so both happen with standard output on /dev/null: nothing reaches a terminal or a
// redirected file.
void display_sdl_starting()
{
    keep_users_hints();
    display_wayland_quiet(true);
    atexit(end_failed_init);  // the display opens once
    fflush(stdout);
    starting.kept_stdout = dup(STDOUT_FILENO);
    starting.null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (starting.kept_stdout >= 0 && starting.null >= 0)
        dup2(starting.null, STDOUT_FILENO);
    starting.running = true;
}

// A driver that opens no window is a failed start-up.
int display_sdl_started(int result)
{
    starting.running = false;
    char driver[32] = "";
    if (result >= 0)
        SDL_VideoDriverName(driver, sizeof driver);
    display_wayland_quiet(false);
    give_x11_hints_for(driver);
    if (opens_no_window(driver)) {
        SDL_Quit();
        refuse_windowless(driver);
        result = -1;
    }
    if (starting.kept_stdout >= 0 && starting.null >= 0)
        dup2(starting.kept_stdout, STDOUT_FILENO);
    close(starting.kept_stdout);  // either may be -1: harmless
    close(starting.null);
    return result;
}

// SDL 2 over Mesa (native Wayland, or OpenGL asked for by the user) compiles its drawing code at
// the first update and keeps it in Mesa's shader cache on disk, which the player cannot add to once
// it has confined itself: each start would compile it again, 80 ms in software. So the black
// window is drawn once here, while the process may still write; elsewhere it costs 0.1 ms.
void display_sdl_draw_once(SDL_Surface *screen)
{
    SDL_UpdateRect(screen, 0, 0, 0, 0);
}
