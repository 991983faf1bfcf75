// Preloaded into the real player by the hostile-decoder test (robustness_e2e_test.cpp): a stand-in
// for a decoder that a hostile file has taken over, and a witness of what the player shows. It
// hooks avcodec_send_packet, which runs wherever frames are decoded (the decoder's own process),
// and SDL_Flip, which runs in the player. At decode 1 and 60, and at flip 1 and 60, it tries what
// a payload would there, then goes on as usual. Each round of tries is one line:
//   decoder N: create E append E remove E exec E tcp E ptrace E secret E x11 E dbus E signal E memory E fds F
//   player N: create E append E remove E exec E tcp E ptrace E thread E
// E is "ok" or the name of the error that stopped it; F the open descriptors ("0,3") or the error
// that kept it from asking. "thread" is a file created by a thread started at load, before the
// player confines itself, as libraries' threads are (Mesa's).
//
// The counters and the lines live in one shared page mapped at the player's exec, so that the
// decoder's processes, all forked from the player, count on across restarts and report without a
// descriptor (they have no standard error): the player writes out what is new at each flip and
// at exit. Also in the lines: "decoder N: crash" and "decoder N: hang" before HOSTILE_CRASH=N
// (SIGSEGV) and HOSTILE_HANG=N (a spin forever); "player: hang N ms", at the first flip after a
// hang, the time since it began; "player: flip N shows frame I for frame J" for a flip that does
// not show frame (N - 1) mod HOSTILE_FRAMES, as playing forward at speed 1 from the first does.
//
// HOSTILE_DIR holds "existing" (each process appends its name) and WHO.remove.N (removed);
// WHO.create.N and player.thread.N are made there. HOSTILE_PORT is a TCP listener's on 127.0.0.1
// (sent WHO), HOSTILE_PID another process of the user's (ptrace'd, sent SIGCONT), HOSTILE_SECRET a
// file of the user's (read), HOSTILE_WINDOW another X client's window on DISPLAY (focused and
// typed into through a new connection to the server's socket file), HOSTILE_BUS a session bus's
// socket file (asked to start org.korlan.Hostile).
#include <SDL.h>
#include <arpa/inet.h>
#include <dbus/dbus.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>

#include "clip.h"

extern "C" {
struct AVCodecContext;
struct AVPacket;
int avcodec_send_packet(AVCodecContext *codec, const AVPacket *packet);
}

constexpr long ROUNDS[] = {1, 60};       // the decodes and flips at which a payload tries
constexpr size_t MEMORY_BYTES = 1UL << 30;  // what the memory try maps
constexpr int FDS_ASKED = 1024;          // descriptors 0 to 1023
constexpr int KEY_A = 38;                // X keycode of "a" on Xvfb's keymap

struct Shared {
    std::atomic<long> decodes, flips;  // across every process
    std::atomic<long> hang_began_ns;   // CLOCK_MONOTONIC, 0 when no decoder hangs
    std::atomic<unsigned> reserved, committed;  // bytes of text taken by writers, and written
    char text[4000];
};
static_assert(sizeof(Shared) <= 4096, "one page");
static_assert(std::atomic<long>::is_always_lock_free, "shared between processes");

static Shared *shared;
static pid_t player;     // the process that loaded the shim; the decoder's are forked from it
static unsigned shown;   // bytes of the text that the player has written out
static char *forbidden;  // a page of no access: the crash writes there
static int (*real_send)(AVCodecContext *, const AVPacket *);
static int (*real_flip)(SDL_Surface *);

static long now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000L + t.tv_nsec;
}

// Any process appends; a writer waits for the one before it to finish copying.
static void report(const std::string &line)
{
    unsigned start = shared->reserved.fetch_add(static_cast<unsigned>(line.size()));
    for (size_t i = 0; i < line.size() && start + i < sizeof shared->text; i++)
        shared->text[start + i] = line[i];
    while (shared->committed.load() != start) {
    }
    shared->committed.store(start + static_cast<unsigned>(line.size()));
}

static void write_out()
{
    if (!shared || getpid() != player)
        return;
    unsigned end = std::min<unsigned>(shared->committed.load(), sizeof shared->text);
    if (end > shown && write(STDERR_FILENO, shared->text + shown, end - shown) > 0)
        shown = end;
}

static const char *outcome(bool done)
{
    const char *name = strerrorname_np(errno);
    return done ? "ok" : name ? name : "?";
}

static bool write_all(int fd, const std::string &text)
{
    ssize_t n = fd >= 0 ? write(fd, text.data(), text.size()) : -1;
    int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
    return n > 0;
}

static bool closed_after(int fd, bool done)
{
    int saved = errno;
    close(fd);
    errno = saved;
    return done;
}

// Whether a program ran: the exec's own error is posix_spawn's result. What it does then (under
// RLIMIT_NOFILE, fail to load its libraries) is the program's business.
static bool run_true()
{
    extern char **environ;
    const char *argv[] = {"/bin/true", nullptr};
    pid_t pid;
    int error = posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ);
    if (error == 0)
        waitpid(pid, nullptr, 0);
    errno = error;
    return error == 0;
}

static bool send_tcp(int port, const std::string &text)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        return closed_after(fd, false);
    return write_all(fd, text);
}

static bool attach(pid_t pid)
{
    if (ptrace(PTRACE_ATTACH, pid, nullptr, nullptr) != 0)
        return false;
    waitpid(pid, nullptr, __WALL);  // stopped: let it go again at once
    ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
    return true;
}

static bool read_secret(const char *path)
{
    char bytes[64];
    int fd = open(path, O_RDONLY);
    return fd >= 0 && closed_after(fd, read(fd, bytes, sizeof bytes) > 0);
}

// A new stream to a Unix socket by its file name, as a payload would reach a server of the user's.
static int connect_path(const std::string &path)
{
    sockaddr_un to = {};
    to.sun_family = AF_UNIX;
    snprintf(to.sun_path, sizeof to.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
        return fd;
    closed_after(fd, false);
    return -1;
}

// Gives the other client's window the focus and types "a" into it with XTest, as another user
// would at the keyboard (an xterm would run what is typed).
static bool type_into(const char *display, uint32_t window)
{
    const char *number = display ? strchr(display, ':') : nullptr;
    int fd = number ? connect_path("/tmp/.X11-unix/X" + std::to_string(atoi(number + 1))) : -1;
    if (fd < 0)
        return false;
    errno = EPROTO;  // unless the failing call says
    xcb_connection_t *x = xcb_connect_to_fd(fd, nullptr);  // it owns the descriptor now
    bool done = !xcb_connection_has_error(x) && xcb_get_extension_data(x, &xcb_test_id)->present &&
                !xcb_request_check(x, xcb_set_input_focus_checked(x, XCB_INPUT_FOCUS_POINTER_ROOT, window,
                                                                  XCB_CURRENT_TIME));
    for (uint8_t type : {XCB_KEY_PRESS, XCB_KEY_RELEASE})
        done = done && !xcb_request_check(x, xcb_test_fake_input_checked(x, type, KEY_A, XCB_CURRENT_TIME,
                                                                         XCB_NONE, 0, 0, 0));
    int saved = errno;
    xcb_disconnect(x);
    errno = saved;
    return done;
}

// Asks the bus to start a service, as a payload would to run a program of the user's; it does not
// wait for the answer, which comes once the service has taken its name or the bus has given up.
static bool start_service(const char *socket_path)
{
    errno = EPROTO;  // unless the failing call says
    std::string address = std::string("unix:path=") + socket_path;
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *bus = dbus_connection_open_private(address.c_str(), &error);
    DBusMessage *start = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                                      "StartServiceByName");
    const char *name = "org.korlan.Hostile";
    dbus_uint32_t flags = 0;
    bool done = bus && start && dbus_bus_register(bus, &error) &&
                dbus_message_append_args(start, DBUS_TYPE_STRING, &name, DBUS_TYPE_UINT32, &flags, DBUS_TYPE_INVALID) &&
                dbus_connection_send(bus, start, nullptr);
    int saved = errno;
    if (bus) {
        dbus_connection_flush(bus);
        dbus_connection_close(bus);
        dbus_connection_unref(bus);
    }
    if (start)
        dbus_message_unref(start);
    dbus_error_free(&error);
    errno = saved;
    return done;
}

static bool map_memory()
{
    void *memory = mmap(nullptr, MEMORY_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory != MAP_FAILED && munmap(memory, MEMORY_BYTES) == 0;
}

static std::string open_descriptors()
{
    std::string open;
    for (int fd = 0; fd < FDS_ASKED; fd++) {
        if (fcntl(fd, F_GETFD) >= 0)
            open += (open.empty() ? "" : ",") + std::to_string(fd);
        else if (errno != EBADF)
            return outcome(false);
    }
    return open.empty() ? "none" : open;
}

static sem_t early_go, early_done;  // to the early thread and back
static bool early_started;
static std::string early_path;
static bool early_created;
static int early_errno;

// Ends after the second try: LeakSanitizer, ptrace-ing from inside the player's Landlock domain
// at exit, could not stop a thread left outside it.
static void *early_thread(void *)
{
    for (size_t tries = 0; tries < std::size(ROUNDS); tries++) {
        while (sem_wait(&early_go) != 0) {
        }
        early_created = write_all(open(early_path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600), "x");
        early_errno = errno;
        sem_post(&early_done);
    }
    return nullptr;
}

static bool create_early(const std::string &path)
{
    errno = ESRCH;
    if (!early_started)
        return false;
    early_path = path;
    sem_post(&early_go);
    while (sem_wait(&early_done) != 0) {
    }
    errno = early_errno;
    return early_created;
}

// The tries both processes make; the decoder's line goes on with its own.
static std::string try_common(const char *who, long round, const std::string &dir, const char *port, const char *pid)
{
    std::string n = std::to_string(round), line = std::string(who) + " " + n + ":";
    auto note = [&line](const char *what, bool done) {
        const char *result = outcome(done);  // before anything else can touch errno
        line = line + " " + what + " " + result;
    };
    std::string mine = dir + "/" + who + ".";
    note("create", write_all(open((mine + "create." + n).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600), "x"));
    note("append", write_all(open((dir + "/existing").c_str(), O_WRONLY | O_APPEND), std::string(who) + "\n"));
    note("remove", unlink((mine + "remove." + n).c_str()) == 0);
    note("exec", run_true());
    note("tcp", send_tcp(atoi(port), std::string(who) + "\n"));
    note("ptrace", attach(atoi(pid)));
    if (!strcmp(who, "player"))
        note("thread", create_early(mine + "thread." + n));
    else {
        note("secret", read_secret(getenv("HOSTILE_SECRET")));
        note("x11", type_into(getenv("DISPLAY"), static_cast<uint32_t>(strtoul(getenv("HOSTILE_WINDOW"), nullptr, 0))));
        note("dbus", start_service(getenv("HOSTILE_BUS")));
        note("signal", kill(atoi(pid), SIGCONT) == 0);
        note("memory", map_memory());
        line += " fds " + open_descriptors();
    }
    return line + "\n";
}

static void try_all(const char *who, long round)
{
    const char *dir = getenv("HOSTILE_DIR"), *port = getenv("HOSTILE_PORT"), *pid = getenv("HOSTILE_PID");
    bool decoder_env = getenv("HOSTILE_SECRET") && getenv("HOSTILE_WINDOW") && getenv("HOSTILE_BUS");
    if (dir && port && pid && (decoder_env || !strcmp(who, "player")))
        report(try_common(who, round, dir, port, pid));
}

static bool is_round(long n)
{
    return n == ROUNDS[0] || n == ROUNDS[1];
}

static long number(const char *name)
{
    const char *value = getenv(name);
    return value ? atol(value) : 0;
}

extern "C" int avcodec_send_packet(AVCodecContext *codec, const AVPacket *packet)
{
    long decode = shared->decodes.fetch_add(1) + 1;
    if (decode == number("HOSTILE_CRASH")) {
        report("decoder " + std::to_string(decode) + ": crash\n");
        *static_cast<volatile char *>(forbidden) = 1;
    }
    if (decode == number("HOSTILE_HANG")) {
        report("decoder " + std::to_string(decode) + ": hang\n");
        shared->hang_began_ns.store(now_ns());
        for (volatile bool spin = true; spin;) {
        }
    }
    if (is_round(decode))
        try_all("decoder", decode);
    return real_send(codec, packet);
}

static int byte_of(Uint32 mask)
{
    return mask == 0xFF ? 0 : mask == 0xFF00 ? 1 : mask == 0xFF0000 ? 2 : 3;  // little-endian
}

static int shown_index(const SDL_Surface *screen)
{
    const SDL_PixelFormat *format = screen->format;
    if (format->BytesPerPixel != 4)
        return -1;
    return clip_read_index(static_cast<const uint8_t *>(screen->pixels), screen->pitch, 4, byte_of(format->Rmask),
                           byte_of(format->Gmask), byte_of(format->Bmask));
}

extern "C" int SDL_Flip(SDL_Surface *screen)
{
    long flip = shared->flips.fetch_add(1) + 1, frames = number("HOSTILE_FRAMES");
    int index = shown_index(screen);
    if (frames > 0 && index != (flip - 1) % frames)
        report("player: flip " + std::to_string(flip) + " shows frame " + std::to_string(index) + " for frame " +
               std::to_string((flip - 1) % frames) + "\n");
    long hang_began = shared->hang_began_ns.exchange(0);
    if (hang_began)
        report("player: hang " + std::to_string((now_ns() - hang_began) / 1000000) + " ms\n");
    int result = real_flip(screen);
    if (is_round(flip))
        try_all("player", flip);
    write_out();
    return result;
}

// In the player only: the programs it runs inherit the preload, and have neither function.
__attribute__((constructor)) static void load()
{
    real_send = reinterpret_cast<decltype(real_send)>(dlsym(RTLD_NEXT, "avcodec_send_packet"));
    real_flip = reinterpret_cast<decltype(real_flip)>(dlsym(RTLD_NEXT, "SDL_Flip"));
    if (!real_send || !real_flip)
        return;
    player = getpid();
    void *page = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    void *none = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED || none == MAP_FAILED)
        abort();
    shared = new (page) Shared();
    forbidden = static_cast<char *>(none);
    pthread_t thread;
    early_started = sem_init(&early_go, 0, 0) == 0 && sem_init(&early_done, 0, 0) == 0 &&
                    pthread_create(&thread, nullptr, early_thread, nullptr) == 0;
    if (early_started)
        pthread_detach(thread);
}

__attribute__((destructor)) static void unload()
{
    write_out();
}
