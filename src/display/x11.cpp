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

#include <atomic>
#include <bitset>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "platform.h"

constexpr const char *TITLE_LOCALE = "C.UTF-8";  // paths are bytes; SDL reads the title as UTF-8

constexpr const char *X_LOST = "Lost the connection to display %s\n";  // with the display's name

// The first of Xlib's handlers and the watch's signal to see the end says so; the other may be on
// its way in another thread at the same time.
static std::atomic_flag ending = ATOMIC_FLAG_INIT;

// From Xlib's handlers: SIGIO is blocked first, so that the watch cannot come in between here.
static void end_with(const char *line)
{
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    pthread_sigmask(SIG_BLOCK, &io, nullptr);
    if (ending.test_and_set())
        for (;;)
            pause();  // the watch, in another thread, is ending the process
    fputs(line, stderr);
    _exit(1);
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
    end_with(line);
    return 0;
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
    char text[80], line[240];
    XGetErrorText(x, error->error_code, text, sizeof text);
    snprintf(line, sizeof line, "Lost the window on display %s: %s\n", DisplayString(x), text);
    end_with(line);
    return 0;
}

// Before SDL's start-up, so that SDL's own handlers pass the rest on to these: classic SDL 1.2's
// drops the errors of the XFree86-VidMode and DGA extensions, SDL 2's puts the desktop's video mode
// back first. Set after SDL_Init, these would replace them, and a server that refuses those
// extensions to a client (as Xorg does over ssh -X) would end the player at start-up; Xvfb has
// neither extension, so no test here can show it.
void display_x_handle_errors()
{
    XSetErrorHandler(display_error);
    XSetIOErrorHandler(display_lost);
}

static struct {
    int fd;
    char line[160];
} watch = {-1, ""};

static void watch_woke(int)
{
    int saved = errno;
    char bytes[256];
    ssize_t got;
    while ((got = recv(watch.fd, bytes, sizeof bytes, MSG_DONTWAIT)) > 0)
        continue;  // events that every client gets (MappingNotify), never read otherwise
    if ((got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) && !ending.test_and_set()) {
        ssize_t ignored = write(STDERR_FILENO, watch.line, strlen(watch.line));
        (void)ignored;
        _exit(1);
    }
    errno = saved;
}

// Xlib sees the end of the connection only in its next call: when XWayland dies under sdl12-compat,
// SDL 2 and Mesa's software OpenGL can draw on for seconds before one (3 to 7.5 s seen, at full
// CPU). So the display keeps a connection of its own, on which nothing is ever asked: the server's
// end of it raises SIGIO at once. Never closed: Xlib's close would end it at the server too.
void display_x_watch()
{
    SDL_SysWMinfo wm;
    SDL_VERSION(&wm.version);
    if (SDL_GetWMInfo(&wm) != 1 || wm.subsystem != SDL_SYSWM_X11)
        return;
    static Display *own;  // open to the end of the process
    own = XOpenDisplay(DisplayString(wm.info.x11.display));
    if (!own)
        return;
    watch.fd = ConnectionNumber(own);
    snprintf(watch.line, sizeof watch.line, X_LOST, DisplayString(own));
    struct sigaction lost = {};
    lost.sa_handler = watch_woke;
    lost.sa_flags = SA_RESTART;  // it also wakes for events, which the process goes on after
    sigaction(SIGIO, &lost, nullptr);
    fcntl(watch.fd, F_SETOWN, getpid());
    fcntl(watch.fd, F_SETFL, fcntl(watch.fd, F_GETFL) | O_ASYNC | O_NONBLOCK);
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
