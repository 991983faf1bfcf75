// Preloaded into the real player by the memcheck test (memcheck.sh).
//
// Counts presentations by wrapping SDL_Flip and, after KORLAN_QUIT_AFTER_FLIPS of them, sends the
// process SIGTERM, which SDL turns into a quit request that the loop takes on its next poll. At
// exit the count goes to the file named by KORLAN_FLIP_LOG, so the test knows how many passes
// the player really made.
//
// Also stands in for one function of libhwy, which libavcodec pulls in through libjxl: its load
// calls it, and it executes RDTSCP, an instruction that valgrind refuses on CPUs that do not
// announce it. The player never uses libhwy.
#include <SDL.h>
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace hwy::platform {
uint64_t TimerResolution();
uint64_t TimerResolution()
{
    return 1;
}
}  // namespace hwy::platform

static long flips;

extern "C" int SDL_Flip(SDL_Surface *surface)
{
    using Flip = int (*)(SDL_Surface *);
    static Flip real = reinterpret_cast<Flip>(dlsym(RTLD_NEXT, "SDL_Flip"));
    static long quit_after = getenv("KORLAN_QUIT_AFTER_FLIPS") ? atol(getenv("KORLAN_QUIT_AFTER_FLIPS")) : 0;
    if (!real)
        abort();
    int result = real(surface);
    if (++flips == quit_after)
        kill(getpid(), SIGTERM);
    return result;
}

static FILE *flip_log;  // opened at load: the player confines itself before it ends, and then opens nothing to write

__attribute__((constructor)) static void open_log()
{
    const char *path = getenv("KORLAN_FLIP_LOG");
    flip_log = path ? fopen(path, "w") : nullptr;
}

__attribute__((destructor)) static void report_flips()
{
    if (flip_log) {
        fprintf(flip_log, "%ld\n", flips);
        fclose(flip_log);
    }
}
