// The built player in an X server of the test binary's own (Xvfb), watched and driven the way a
// user and a window manager would: the window found by its title, screenshots read back for the
// frame index that each test clip carries, keys through XTest, closing by WM_DELETE_WINDOW.
// Include after gtest: Xlib's macros (None, Bool) would break gtest's templates.
#pragma once

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

constexpr int WIN_W = 720, WIN_H = 596, PICTURE_H = 576;  // the window: picture, then the strip
constexpr int WINDOW_TIMEOUT_MS = 10000, EXIT_TIMEOUT_MS = 5000, FRAME_TIMEOUT_MS = 3000;

struct XSession {
    pid_t xvfb = -1;
    Display *x = nullptr;   // this process's connection to the X server
    pid_t player = -1;      // the running player; kill_player() ends it if a test leaves it running
    std::string out, err;   // files that take the player's standard output and standard error
    std::string binary = KORLAN_BINARY;  // the player that start_player() runs
};
extern XSession session;  // one X server for the whole test binary, one player at a time

struct Shot {
    int index;  // frame index read from the picture, -1 when the cells are not there
    int strip;  // green width of the progress strip, -1 when it is not green, then black
};

using Clock = std::chrono::steady_clock;
Clock::time_point in_ms(int ms);
void sleep_ms(int ms);
// Asks `ready` every `every_ms` until it says yes or `timeout_ms` have passed.
template <typename Ready>
bool poll_until(int timeout_ms, int every_ms, Ready ready)
{
    for (Clock::time_point end = in_ms(timeout_ms); Clock::now() < end; sleep_ms(every_ms))
        if (ready())
            return true;
    return false;
}
std::string read_file(const std::string &path);

// Forks and runs argv with stdin from /dev/null and stdout, stderr into the named files. The child
// dies with this process, so that a crashed test leaves nothing behind.
pid_t spawn(const std::vector<std::string> &argv, const std::string &out, const std::string &err);
// Exit code of the child, or -1 when it died of a signal or had to be killed after timeout_ms.
int wait_exit(pid_t pid, int timeout_ms);

// A scratch directory of this process's own, named after `name`, that also takes the player's output.
std::string make_work_dir(const std::string &name);
// Starts an Xvfb of a screen of `depth` bits and names its display; -1 when none came up.
pid_t spawn_x_server(std::string *display_name, int depth = 24);
// A fresh X server of `depth` bits for one player (an SDL 2 window keeps the X focus, and a classic
// SDL window opened later on the same server gets no keys), which the session's helpers watch
// until leave_own_server(); false when none came up. stop: the server ends there too.
struct OwnServer {
    pid_t xvfb = -1;
    std::string display;           // its name, as DISPLAY takes it
    Display *session_x = nullptr;  // the session's own connection, put back by leave_own_server()
};
bool enter_own_server(OwnServer *own, int depth = 24);
void leave_own_server(OwnServer *own, bool stop = true);
// weston in the X server `x_display` (its x11 backend shows the desktop in a window there), with its
// Wayland socket `socket` in the 0700 directory `runtime_dir`; with `xwayland`, XWayland too, its
// display named in *xwayland_display; `runtime_dir` absolute. -1 when it did not come up and answer a
// Wayland client.
pid_t spawn_weston(const std::string &x_display, const std::string &runtime_dir, const std::string &socket,
                   bool xwayland, std::string *xwayland_display);
bool start_x_server();  // the session's own, and DISPLAY for the players; false when there is no usable server
void end_session(const std::string &work_dir);  // stops the X server, removes the directory

// A test suite's scratch directory, its 10-frame PAL clip and its X server, shared by its tests.
constexpr int SUITE_FRAMES = 10;
extern std::string work;  // this process's own scratch directory
extern std::string clip;  // the suite's clip in it
void start_suite(const std::string &name);  // leaves session.x null when the clip or server failed
struct PlayerSuite : ::testing::Test {
    static void TearDownTestSuite() { end_session(work); }
    void SetUp() override { ASSERT_NE(session.x, nullptr) << "no test clip or no X server"; }
    void TearDown() override;  // ends a player the test left running
};

// The player on args, run through `wrapper` (a command that execs the rest, setpriv for one) if any.
void start_player(const std::vector<std::string> &args, const std::vector<std::string> &wrapper = {});
int player_exit();         // waits at most EXIT_TIMEOUT_MS
bool player_running();     // not ended yet; the status stays for player_exit()
void kill_player();        // if one is still running
// Runs the player to its end; returns its exit code, and whether any window was created meanwhile.
int run_without_window(const std::vector<std::string> &args, bool *window_created,
                       const std::vector<std::string> &wrapper = {});

// Polls the top-level windows for one titled `title` (WM_NAME or UTF-8 _NET_WM_NAME); 0 when none
// comes or the player ends first.
Window wait_window(const std::string &title);
// _NET_WM_NAME (or `property`) when it is a UTF8_STRING, else ""
std::string utf8_title(Window window, const char *property = "_NET_WM_NAME");
bool wait_utf8_title(Window window, const std::string &title);  // SDL sets it after WM_NAME
// Starts the player on `path` and returns its window, with the pointer over it: without a window
// manager the keyboard follows the pointer.
Window open_window(const std::string &path);
void close_window(Window window);  // what a window manager's close button does

Shot shoot(Window window);
// Whether the strip's green shows anywhere on the screen (a player inside a compositor's window),
// and where.
bool green_on_screen(int *x, int *y);
int expected_strip(int index, int frames);
bool agrees(Shot shot, int frames);  // picture and strip tell the same frame of a clip of `frames`
bool wait_shot(Window window, int index, int strip);        // this picture (any when -1) and strip
bool wait_frame(Window window, int index, int frames);      // frame `index` (any when -1) with its strip
void expect_paused_on(Window window, int index, int frames);  // shown, and still there 300 ms later
std::vector<Shot> sample(Window window, int shots);
// While playing at `speed` from frame 0: each screenshot's picture and strip tell the same frame,
// one that the speed reaches, and the frames move on.
void expect_playing(Window window, int speed, int frames);

void key_event(KeySym sym, bool down);  // one XTest event, sent at once
void press(KeySym sym);                 // down and up, 40 ms apart
