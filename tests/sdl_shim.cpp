// Preloaded into the real player by the robustness tests: SDL made to fail where a test needs it.
//   SHIM_VIDEO_MODE=fail   SDL_SetVideoMode gives no window ("refused by the test")
//   SHIM_SDL_QUIT=hang     SDL_Quit never comes back, spinning as SDL 2 does on a dead display
//   SHIM_SDL_QUIT=crash    SDL_Quit dies of SIGSEGV
//   SHIM_X_AFTER_WINDOW=refused  no X connection opened once the window is up, as on a server at
//                          its client limit (SDL opens its own through pointers that this misses)
//   SHIM_WAYLAND_BREAK=N   at the Nth SDL_Flip, the connections to the Wayland compositor that were
//                          open when the window came up (SDL's) shut down, the compositor staying
#include <SDL.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static bool shim(const char *name, const char *value)
{
    const char *set = getenv(name);
    return set && strcmp(set, value) == 0;
}

static bool window_up;
static std::vector<int> sdl_wayland;  // SDL's connections to the compositor

static void note_wayland_connections()
{
    const char *runtime = getenv("XDG_RUNTIME_DIR"), *name = getenv("WAYLAND_DISPLAY");
    if (!runtime || !name)
        return;
    std::string path = std::string(runtime) + "/" + name;
    for (int fd = 0; fd < 1024; fd++) {
        sockaddr_un peer = {};
        socklen_t size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) == 0 && path == peer.sun_path)
            sdl_wayland.push_back(fd);
    }
}

extern "C" int SDL_Flip(SDL_Surface *screen)
{
    using Flip = int (*)(SDL_Surface *);
    static Flip real = reinterpret_cast<Flip>(dlsym(RTLD_NEXT, "SDL_Flip"));
    static long flips, break_at = getenv("SHIM_WAYLAND_BREAK") ? atol(getenv("SHIM_WAYLAND_BREAK")) : 0;
    if (++flips == break_at)
        for (int fd : sdl_wayland)
            shutdown(fd, SHUT_RDWR);
    return real ? real(screen) : -1;
}

extern "C" SDL_Surface *SDL_SetVideoMode(int width, int height, int bpp, Uint32 flags)
{
    using SetVideoMode = SDL_Surface *(*)(int, int, int, Uint32);
    static SetVideoMode real = reinterpret_cast<SetVideoMode>(dlsym(RTLD_NEXT, "SDL_SetVideoMode"));
    if (shim("SHIM_VIDEO_MODE", "fail")) {
        SDL_SetError("refused by the test");
        return nullptr;
    }
    SDL_Surface *screen = real ? real(width, height, bpp, flags) : nullptr;
    window_up = screen != nullptr;
    note_wayland_connections();
    return screen;
}

extern "C" Display *XOpenDisplay(const char *name)
{
    using OpenDisplay = Display *(*)(const char *);
    static OpenDisplay real = reinterpret_cast<OpenDisplay>(dlsym(RTLD_NEXT, "XOpenDisplay"));
    if (window_up && shim("SHIM_X_AFTER_WINDOW", "refused"))
        return nullptr;
    return real ? real(name) : nullptr;
}

extern "C" void SDL_Quit()
{
    static volatile bool spinning = true;
    if (shim("SHIM_SDL_QUIT", "hang"))
        while (spinning) {
        }
    if (shim("SHIM_SDL_QUIT", "crash"))
        raise(SIGSEGV);
    using Quit = void (*)();
    static Quit real = reinterpret_cast<Quit>(dlsym(RTLD_NEXT, "SDL_Quit"));
    if (real)
        real();
}
