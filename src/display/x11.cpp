// The X server beneath either SDL: the handlers that end the player in one line when the server or
// the window goes, the deep-colour screens classic SDL cannot draw on, and the title and icon title
// as X keeps them. Start reading at display_x_handle_errors().
#include <SDL.h>
#include <SDL_syswm.h>  // brings Xlib
#include <poll.h>
#include <unistd.h>

#include <bitset>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "platform.h"

constexpr const char *TITLE_LOCALE = "C.UTF-8";  // paths are bytes; SDL reads the title as UTF-8

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
void display_x_handle_errors()
{
    XSetErrorHandler(display_error);
    XSetIOErrorHandler(display_lost);
}

// Classic SDL 1.2 reads 10-bit colour masks (a 30-bit, deep-colour X screen) as if they had 8 bits
// and maps every colour to 0: its window would stay black. So a screen whose masks SDL reports is
// refused when SDL cannot tell white from black in them. Left to SDL_SetVideoMode: a palette (8-bit
// screens, nearest colours on classic SDL) and a screen without masks (sdl12-compat on 30 bits,
// which draws there right).
bool display_x_screen_drawable()
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

// Under X, the icon title, which sdl12-compat keeps to itself (classic SDL passes it to X as well;
// setting it twice is harmless), also as UTF-8 for the desktops that read only that.
static void set_x_icon_title(const char *icon_title)
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
    XSetIconName(x, managed, icon_title);
    XChangeProperty(x, managed, XInternAtom(x, "_NET_WM_ICON_NAME", False),
                    XInternAtom(x, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(icon_title), strlen(icon_title));
    XFlush(x);
    wm.info.x11.unlock_func();
}

// SDL 1.2 hands the title to X through the C library's character type. In the "C" locale that the
// player runs in, it drops every byte beyond ASCII and sets no _NET_WM_NAME; under a UTF-8 one
// both name properties carry the path's bytes unchanged.
void display_x_set_caption(const char *title, const char *icon_title)
{
    setlocale(LC_CTYPE, TITLE_LOCALE);
    SDL_WM_SetCaption(title, icon_title);
    setlocale(LC_CTYPE, "C");
    set_x_icon_title(icon_title);
}
