// The X server beneath either SDL: the handlers and the watch that end the player in one line when
// the server or the window goes, the deep-colour screens classic SDL cannot draw on, and the title
// and icon title as X keeps them. Start reading at display_x_handle_errors().
#include <SDL.h>
#include <SDL_syswm.h>  // brings Xlib
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "platform.h"

constexpr const char *TITLE_LOCALE = "C.UTF-8";  // paths are bytes; SDL reads the title as UTF-8

constexpr const char *X_LOST = "Lost the connection to display %s\n";  // with the display's name
constexpr const char *X_WINDOW_LOST = "Lost the window on display %s: %s\n";  // and X's reason
constexpr size_t X_EVENT_BYTES = 32;  // every event that an X server sends, in bytes
constexpr int SDL12_COMPAT_FIRST_PATCH = 50;  // sdl12-compat calls itself SDL 1.2.50 and later

// The window gone, on the connection `fd`. When the server goes, the window's errors and its end
// can arrive before the end of the connection (XWayland dying under its compositor): if the
// connection closes soon after, that is what the user is told. Otherwise the window was taken
// from under the player. Safe in a signal handler.
static void end_lost_window(int fd, const char *lost, const char *window)
{
    pollfd closed = {fd, POLLRDHUP, 0};
    display_end_with(poll(&closed, 1, X_CLOSE_WAIT_MS) > 0 ? lost : window);
}

// The display going away under the window (a logout, a crash, a dropped ssh -X) is fatal. Xlib's
// own handlers print (six lines for a protocol error) and call exit(), whose handlers then shut SDL
// down on the dead connection: classic SDL 1.2 gets through that, but SDL 2 under sdl12-compat
// loops on it at full CPU without end. So the player says so in one line and ends here, without
// the exit handlers.
static int display_lost(Display *x)
{
    char line[160];
    snprintf(line, sizeof line, X_LOST, DisplayString(x));
    display_end_with(line);
    return 0;
}

// An X protocol error that SDL does not filter itself, and that Xlib's own handler would end the
// process on; without the watch below (a server at its client limit) also the window's end.
static int display_error(Display *x, XErrorEvent *error)
{
    char text[80], lost[160], window[240];
    XGetErrorText(x, error->error_code, text, sizeof text);
    snprintf(lost, sizeof lost, X_LOST, DisplayString(x));
    snprintf(window, sizeof window, X_WINDOW_LOST, DisplayString(x), text);
    end_lost_window(ConnectionNumber(x), lost, window);
    return 0;
}

// Before SDL's start-up, so that SDL's own handlers pass the rest on to these: classic SDL 1.2's
// drops the errors of the XFree86-VidMode and DGA extensions, SDL 2's puts back a video mode it
// changed first. Set after SDL_Init, these would replace them: an error that classic SDL expects
// from those extensions, on a server that has them (Xorg, XWayland), would end the player. Xvfb has
// neither, XWayland sent none here, and the player changes no mode: no test here shows the order.
void display_x_handle_errors()
{
    XSetErrorHandler(display_error);
    XSetIOErrorHandler(display_lost);
}

// SDL's window and its connection, when SDL took X (either SDL, XWayland too).
static bool x_window(SDL_SysWMinfo *wm)
{
    SDL_VERSION(&wm->version);
    return SDL_GetWMInfo(wm) == 1 && wm->subsystem == SDL_SYSWM_X11;
}

static struct {
    int fd;
    size_t read;  // bytes so far
    char lost[160], destroyed[240];  // the lines for the server's end and the window's
} watch = {-1, 0, "", ""};

static void watch_woke(int)
{
    int saved = errno;
    unsigned char bytes[256];
    bool destroyed = false;
    ssize_t got;
    while ((got = recv(watch.fd, bytes, sizeof bytes, MSG_DONTWAIT)) > 0)
        for (ssize_t i = 0; i < got; i++, watch.read++)
            destroyed |= watch.read % X_EVENT_BYTES == 0 && (bytes[i] & 0x7F) == DestroyNotify;
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
        display_end_with(watch.lost);
    if (destroyed)
        end_lost_window(watch.fd, watch.lost, watch.destroyed);
    errno = saved;
}

static void end_watch() { signal(SIGIO, SIG_IGN); }  // SDL_Quit destroys the window

// Xlib sees the end of the connection or of the window only in a later call: SDL 2 and Mesa's
// software OpenGL under sdl12-compat can draw on for seconds before one (3 to 7.5 s seen, at full
// CPU, when XWayland died under them), or crash on the window gone; paused, classic SDL makes no
// call. So the display keeps a connection of its own, on which nothing is asked but the window's
// end: the server's raises SIGIO at once. Never closed: Xlib's close would end it at the server too.
void display_x_watch()
{
    SDL_SysWMinfo wm;
    if (!x_window(&wm))
        return;
    static Display *own;  // open to the end of the process
    own = XOpenDisplay(DisplayString(wm.info.x11.display));
    if (!own)
        return;
    char text[80];
    XGetErrorText(own, BadWindow, text, sizeof text);  // what any later request on it gets
    snprintf(watch.lost, sizeof watch.lost, X_LOST, DisplayString(own));
    snprintf(watch.destroyed, sizeof watch.destroyed, X_WINDOW_LOST, DisplayString(own), text);
    XSelectInput(own, wm.info.x11.window, StructureNotifyMask);  // classic SDL's is a child: it goes too
    XSync(own, False);
    watch.fd = ConnectionNumber(own);
    atexit(end_watch);  // registered after SDL_Quit, so run before it
    struct sigaction lost = {};
    lost.sa_handler = watch_woke;
    lost.sa_flags = SA_RESTART;  // it also wakes for the window's other changes
    sigaction(SIGIO, &lost, nullptr);
    fcntl(watch.fd, F_SETOWN, getpid());
    fcntl(watch.fd, F_SETFL, fcntl(watch.fd, F_GETFL) | O_ASYNC | O_NONBLOCK);
}

// Classic SDL 1.2 reads 10-bit colour masks (a 30-bit, deep-colour X screen) as if they had 8 bits and
// maps every colour to 0, a black window: refused where it cannot tell white from black in them. Left
// to SDL_SetVideoMode: palettes, and sdl12-compat, which draws 30 bits right whatever masks it reports.
bool display_x_screen_drawable()
{
    const SDL_VideoInfo *info = SDL_GetVideoInfo();
    const SDL_PixelFormat *format = info ? info->vfmt : nullptr;
    Uint32 masks = format ? format->Rmask | format->Gmask | format->Bmask : 0;
    if (masks == 0 || format->palette || SDL_MapRGB(format, 255, 255, 255) != SDL_MapRGB(format, 0, 0, 0) ||
        SDL_Linked_Version()->patch >= SDL12_COMPAT_FIRST_PATCH)
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
    if (!x_window(&wm))
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
