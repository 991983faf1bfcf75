// SDL's video start-up on the two SDL 1.2 implementations: how SDL 2 under sdl12-compat is to
// present on X11, and what happens when no display can be reached (their fallback drivers open no
// window, and classic SDL's may end the process inside SDL_Init). Start reading at
// display_sdl_starting().
#include <SDL.h>
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
// these settings ask for. Only its X11 driver has one, so under any other driver (Wayland itself)
// they are taken back before the window opens. SDL 1.2 programs hand SDL settings through the
// environment before SDL_Init; a user who set either has chosen how SDL 2 presents, and gets
// exactly that. Classic SDL does not know them.
static const char *const SDL2_X11_SETTINGS[][2] = {
    {"SDL_RENDER_DRIVER", "software"},
    {"SDL_FRAMEBUFFER_ACCELERATION", "0"},
};

// What SDL_Init runs under: true only while it runs, where standard output was before, and
// whether the player gave the settings above.
static struct {
    bool running;
    int kept_stdout;
    int null;
    bool offered;
} starting = {false, -1, -1, false};

static void offer_x11_settings()
{
    for (const auto &setting : SDL2_X11_SETTINGS)
        if (getenv(setting[0]))
            return;
    for (const auto &setting : SDL2_X11_SETTINGS)
        setenv(setting[0], setting[1], 0);
    starting.offered = true;
}

static void keep_x11_settings_for(const char *driver)
{
    if (!starting.offered || strcmp(driver, "x11") == 0)
        return;
    for (const auto &setting : SDL2_X11_SETTINGS)
        unsetenv(setting[0]);
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

// Classic SDL's terminal drivers write to standard output as soon as they start and again as they
// stop, so both happen with standard output on /dev/null: nothing reaches a terminal or a
// redirected file.
void display_sdl_starting()
{
    offer_x11_settings();
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
    keep_x11_settings_for(driver);
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
