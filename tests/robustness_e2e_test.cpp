// The built player against what a real desktop throws at it: an hour of tape in a sparse file, a
// file cut and regrown while it plays, awkward paths, a storm of key presses through XTest, and a
// decoder taken over by a hostile file.
#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool) would break gtest's templates.
#include "x_session.h"

#include <X11/Xutil.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "clip.h"

constexpr int FRAMES = SUITE_FRAMES;  // frames in the suite's clip
constexpr int64_t FRAME_BYTES = 144000;   // one PAL DV frame in the file
// For SDL's queue to empty after a storm of keys: its 128 events take a pass of at least 40 ms
// each (5.3 to 5.9 s seen, also at a load of 10 on 2 cores). Only a bound: a player starved for
// seconds on a loaded machine may need a few times that.
constexpr int DRAIN_TIMEOUT_MS = 60000;


static bool write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);  // same inode: the player sees it
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

// Return, then a strip that moves between six screenshots in a row: a pass advances only when no
// event is pending, so the player has taken every event queued before.
static bool plays_freely(Window window)
{
    press(XK_Return);
    Shot last = shoot(window);
    int moves = 0;  // in a row
    for (Clock::time_point end = in_ms(1000); moves < 6 && Clock::now() < end;) {
        sleep_ms(15);
        Shot shot = shoot(window);
        moves = shot.strip != last.strip ? moves + 1 : 0;
        last = shot;
    }
    return moves == 6;
}

// The player ends with status 1 and this one line on standard output, and opens no window.
static void expect_refused(const std::string &path, const std::string &out,
                           const std::vector<std::string> &wrapper = {})
{
    SCOPED_TRACE(path);
    bool created = true;
    EXPECT_EQ(run_without_window({path}, &created, wrapper), 1);  // -1 after EXIT_TIMEOUT_MS: a hang
    EXPECT_FALSE(created);
    EXPECT_EQ(read_file(session.out), out);
}

struct Robust : PlayerSuite {
    static void SetUpTestSuite() { start_suite("robust"); }
};

TEST_F(Robust, HourOfSparseTapePlaysAndJumpsToItsRealEnds)
{
    constexpr int64_t TAPE_FRAMES = 91000;  // over an hour at 25 frames a second, past 13 GB
    constexpr int LAST_MARK = 4242;         // the index that the last whole frame carries
    std::string tape = work + "/hour.dv", last = work + "/last.dv";
    ASSERT_TRUE(clip_write(tape.c_str(), 1, CLIP_PAL));
    ASSERT_TRUE(clip_write(last.c_str(), 1, CLIP_PAL, LAST_MARK));
    std::string frame = read_file(last);
    ASSERT_EQ(static_cast<int64_t>(frame.size()), FRAME_BYTES);
    int fd = open(tape.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    bool written = ftruncate(fd, TAPE_FRAMES * FRAME_BYTES + 5) == 0 &&  // zeros between, a stray tail
                   pwrite(fd, frame.data(), frame.size(), (TAPE_FRAMES - 1) * FRAME_BYTES) == FRAME_BYTES;
    close(fd);
    ASSERT_TRUE(written);

    Window window = open_window(tape);
    ASSERT_NE(window, 0u);
    // The decoder takes none of the zero frames: the picture stays on frame 0 while the strip moves.
    // The first green pixel is 127 frames in: at speed 8, so that slow checked builds get there too.
    for (int i = 0; i < 3; i++)
        press(XK_Up);
    Shot shot = {-1, -1};
    for (Clock::time_point end = in_ms(FRAME_TIMEOUT_MS); Clock::now() < end && shot.strip < 1; sleep_ms(20))
        shot = shoot(window);
    EXPECT_EQ(shot.index, 0);
    EXPECT_GE(shot.strip, 1) << "playback does not move through the tape";
    press(XK_End);
    EXPECT_TRUE(wait_shot(window, LAST_MARK, WIN_W - 1)) << "the last whole frame, 64-bit offset, 719 green";
    press(XK_Home);
    EXPECT_TRUE(wait_shot(window, 0, 0));
    close_window(window);
    EXPECT_EQ(player_exit(), 0);
    EXPECT_EQ(read_file(session.out), "");
    std::filesystem::remove(tape);
}

TEST_F(Robust, FileCutAndRegrownWhilePlaying)
{
    std::string path = work + "/cut.dv", whole = read_file(clip);
    ASSERT_TRUE(write_file(path, whole));
    Window window = open_window(path);
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_frame(window, -1, FRAMES));

    ASSERT_EQ(truncate(path.c_str(), 2 * FRAME_BYTES + FRAME_BYTES / 2), 0);  // two frames and a half
    sleep_ms(400);  // playing through the half frame and past the end, over and over
    ASSERT_TRUE(player_running());
    press(XK_space);
    press(XK_Home);
    expect_paused_on(window, 0, FRAMES);
    press(XK_End);  // nothing to read: the buffer keeps frame 0, the strip says 9
    EXPECT_TRUE(wait_shot(window, 0, expected_strip(FRAMES - 1, FRAMES)));

    ASSERT_TRUE(write_file(path, whole));
    press(XK_Prior);
    press(XK_Next);
    expect_paused_on(window, FRAMES - 1, FRAMES);
    press(XK_Return);
    expect_playing(window, 1, FRAMES);
    close_window(window);
    EXPECT_EQ(player_exit(), 0);
}

TEST_F(Robust, LongAndUtf8PathsNameTheWindow)
{
    std::string deep = work + "/" + std::string(200, 'd') + "/" + std::string(200, 'e');
    std::filesystem::create_directories(deep);  // a name has at most 255 bytes, a path more
    std::string paths[] = {deep + "/" + std::string(120, 'f') + ".dv", work + "/Grüße — 日本.dv"};
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(clip_write(path.c_str(), FRAMES, CLIP_PAL));
        std::string title = ("Korlan " + path).substr(0, 499);  // the 500-byte title buffer
        start_player({path});
        Window window = wait_window(title);
        ASSERT_NE(window, 0u) << "no window titled " << title;
        EXPECT_TRUE(wait_utf8_title(window, title)) << "_NET_WM_NAME: " << utf8_title(window);
        EXPECT_TRUE(wait_frame(window, -1, FRAMES));
        close_window(window);
        EXPECT_EQ(player_exit(), 0);
    }
}

TEST_F(Robust, FifoAndDeviceAreRefusedWithoutWindow)
{
    std::string fifo = work + "/pipe.dv";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    expect_refused(fifo, fifo + " not found\n");  // no writer: opening must not wait for one
    expect_refused("/dev/null", "Not a PAL format video\n");
}

TEST_F(Robust, UnreadableFileIsNotFoundForAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "running the player as user nobody needs root";
    // The checkout may live where nobody cannot go (root's home is 0700): the player and the files
    // go to a directory of their own that nobody can reach. LSan's suppression list stays in the
    // checkout; these runs end before any display library is loaded, so none is needed.
    char dir[] = "/tmp/korlan-nobody-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_EQ(chmod(dir, 0755), 0);
    const std::vector<std::string> nobody = {"env", "-u", "LSAN_OPTIONS", "setpriv", "--reuid=65534",
                                             "--regid=65534", "--clear-groups"};
    std::string player = std::string(dir) + "/korlan", locked = std::string(dir) + "/locked.dv",
                empty = std::string(dir) + "/empty.dv";
    std::filesystem::copy_file(KORLAN_BINARY, player);
    ASSERT_EQ(chmod(player.c_str(), 0755), 0);
    ASSERT_TRUE(clip_write(locked.c_str(), FRAMES, CLIP_PAL));
    ASSERT_EQ(chmod(locked.c_str(), 0200), 0);
    ASSERT_TRUE(write_file(empty, ""));
    session.binary = player;
    expect_refused(empty, "Not a PAL format video\n", nobody);  // nobody reaches the directory
    expect_refused(locked, locked + " not found\n", nobody);
    session.binary = KORLAN_BINARY;
    std::filesystem::remove_all(dir);
}

// The SDL 1.2 implementations the host can run the player on: its default, sdl12-compat beside
// a classic default (Debian 12), and sdl12-compat over SDL 3 where sdl2-compat is installed beside
// SDL 2 (Debian 13). Only those over SDL 2 or 3 have a Wayland driver.
struct Sdl {
    const char *name;
    std::vector<std::string> env;  // for `env`, to run the player on it
    bool over_sdl2;                // SDL 2 beneath, or SDL 3 through sdl2-compat
};

static std::vector<Sdl> host_sdls()
{
    const char *libraries = getenv("LD_LIBRARY_PATH");  // the suite itself run on one of them
    auto run_on = [&](const char *dir) { return libraries && strstr(libraries, dir); };
    bool over_sdl2 = SDL_DEFAULT_OVER_SDL2 || run_on(SDL12_COMPAT_DIR) || run_on(SDL2_COMPAT_DIR);
    // SDL 2 leaves memory at exit in libdbus and in modules already unloaded, which no suppression
    // can name: in the sanitizer build, leaks are checked on classic SDL only.
    const std::string no_leak_check = "LSAN_OPTIONS=detect_leaks=0";
    std::vector<Sdl> sdls = {{"default SDL", {}, over_sdl2}};
    if (over_sdl2)
        sdls[0].env.push_back(no_leak_check);
    else if (std::filesystem::exists(SDL12_COMPAT_DIR))
        sdls.push_back({"sdl12-compat", {"LD_LIBRARY_PATH=" SDL12_COMPAT_DIR, no_leak_check}, true});
    // Where SDL 2 itself is sdl2-compat (Debian unstable), that folder only links to it.
    std::error_code none;
    bool sdl3_beside = std::filesystem::exists(SDL2_COMPAT_DIR) &&
                       !std::filesystem::equivalent(SDL2_COMPAT_DIR "/libSDL2-2.0.so.0",
                                                    SDL2_COMPAT_DIR "/../libSDL2-2.0.so.0", none);
    if (sdl3_beside && !run_on(SDL2_COMPAT_DIR))
        sdls.push_back({"sdl12-compat over SDL 3",
                        {"LD_LIBRARY_PATH=" SDL2_COMPAT_DIR ":" SDL12_COMPAT_DIR, no_leak_check}, true});
    return sdls;
}

// What preloads tests/sdl_shim.cpp into the player, for `env`; its settings follow.
static std::vector<std::string> sdl_shim()
{
    const char *asan = getenv("ASAN_OPTIONS");
    return {"LD_PRELOAD=" SDL_SHIM,
            std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};  // the shim loads first
}

// The player, killed server or compositor under it, ends with status 1 within a second, and `line`
// is all it says on standard error; SDL 2 on Wayland may have said more as it started (libdecor,
// about its plugins), never after.
static void expect_lost(pid_t server, const std::string &line, bool wayland = false)
{
    ASSERT_TRUE(player_running());
    kill(server, SIGKILL);
    wait_exit(server, EXIT_TIMEOUT_MS);
    EXPECT_EQ(wait_exit(session.player, 1000), 1) << "-1: still running a second after";
    session.player = -1;
    std::string err = read_file(session.err);
    if (wayland && err.size() > line.size() && err.find(line) == err.size() - line.size())
        err = err.substr(err.size() - line.size());
    EXPECT_EQ(err, line);
}

static std::string x_error_text(Display *x, int code)
{
    char text[80];
    XGetErrorText(x, code, text, sizeof text);
    return text;
}

// The window destroyed by another X client (`xdotool windowclose`, not a window manager's polite
// close), then the X server ending under a playing player (a logout, a crash, a dropped ssh -X):
// each ends it with status 1 and one line that says which, on each SDL. With no display to reach
// at all it refuses to start, as for any failed SDL start-up, and writes nothing on standard output
// (a text-mode fallback would draw the video there).
TEST_F(Robust, LostOrMissingDisplayEndsWithOneLine)
{
    const std::vector<std::string> shim = sdl_shim();
    for (const Sdl &sdl : host_sdls()) {
        SCOPED_TRACE(sdl.name);
        OwnServer own;
        ASSERT_TRUE(enter_own_server(&own)) << "no second X server";
        const std::string &display = own.display;
        // No XDG_RUNTIME_DIR, as under cron or su: SDL 3 tries Wayland first, and libwayland says
        // so, but nothing reaches standard error.
        std::vector<std::string> env = {"env", "-u", "XDG_RUNTIME_DIR", "DISPLAY=" + display};
        env.insert(env.end(), sdl.env.begin(), sdl.env.end());
        // The window destroyed while playing; while paused, when nothing is drawn and no request
        // fails, so that only the display's own watch on the window sees it; and while playing with
        // no further connection to be had for that watch (a server at its client limit), so that
        // only Xlib's error handler sees it. Then the server killed under a fourth run.
        enum { PLAYING, PAUSED, NO_WATCH, SERVER_KILLED };
        bool played = true;
        for (int run = PLAYING; run <= SERVER_KILLED && played; run++) {
            SCOPED_TRACE(run);
            std::vector<std::string> with = env;
            if (run == NO_WATCH) {
                with.insert(with.end(), shim.begin(), shim.end());
                with.push_back("SHIM_X_AFTER_WINDOW=refused");
            }
            start_player({clip}, with);
            Window window = wait_window("Korlan " + clip);
            played = window && wait_frame(window, -1, FRAMES);
            if (played && run == PAUSED) {
                XWarpPointer(session.x, None, window, 0, 0, 0, 0, WIN_W / 2, WIN_H / 2);
                press(XK_End);
                expect_paused_on(window, FRAMES - 1, FRAMES);
            }
            if (!played || run == SERVER_KILLED)
                break;
            XDestroyWindow(session.x, window);
            XSync(session.x, False);
            // The server stays: within a second (SDL 2 and Mesa could draw on for seconds, or crash,
            // before a request on the window failed), the window's end or its failed requests.
            EXPECT_EQ(wait_exit(session.player, 1000), 1) << "-1: still running a second after";
            session.player = -1;
            std::string err = read_file(session.err), lost = "Lost the window on display " + display + ": ";
            EXPECT_TRUE(err == lost + x_error_text(session.x, BadDrawable) + "\n" ||
                        err == lost + x_error_text(session.x, BadWindow) + "\n") << err;
        }
        leave_own_server(&own, false);
        ASSERT_TRUE(played) << "no frame shown on " << display;
        expect_lost(own.xvfb, "Lost the connection to display " + display + "\n");
    }

    // A display that no server serves, then none named at all, whatever the terminal: classic SDL
    // falls back to terminal drivers, whose terminal library ends the process itself when TERM is
    // unset or unknown to it; SDL 2 to its windowless one, after no Wayland compositor either; SDL 3's
    // start-up fails. Not the dead server's number: a test running beside this one may have started
    // its Xvfb on it since.
    for (const Sdl &sdl : host_sdls()) {
        SCOPED_TRACE(sdl.name);
        auto with = [&](const std::string &term) {  // options before the SDL's variables
            std::vector<std::string> env = {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "XDG_RUNTIME_DIR"};
            if (!term.empty())
                env.push_back(term);
            env.insert(env.end(), sdl.env.begin(), sdl.env.end());
            return env;
        };
        // Classic SDL's terminal library may say more before it, SDL 2 nothing; the line names the
        // driver that SDL fell back to: classic SDL's first terminal driver that it was built with.
        auto expect_init_failure = [&](const std::string &text) {
            size_t line = text.rfind('\n', text.empty() ? 0 : text.size() - 2);
            std::string last = text.substr(line == std::string::npos ? 0 : line + 1);
            const std::string fell_back =
                "Couldn't initialize SDL: no display to open a window on (SDL fell back to its ";
            if (sdl.over_sdl2)  // SDL 3 has no windowless fallback: its own start-up fails
                EXPECT_TRUE(text == fell_back + "offscreen video driver)\n" ||
                            text == "Couldn't initialize SDL: No available video device\n") << text;
            else
                EXPECT_TRUE(last == fell_back + "caca video driver)\n" || last == fell_back + "aalib video driver)\n")
                    << text;
        };
        for (const char *term : {"DISPLAY=:7999", "", "-uTERM", "TERM=dumb", "TERM=no-such-terminal"}) {
            SCOPED_TRACE(term);  // -displayfd takes the lowest free display
            std::vector<std::string> env = with(term);
            bool created = true;
            EXPECT_EQ(run_without_window({clip}, &created, env), 1);
            EXPECT_FALSE(created);
            EXPECT_EQ(read_file(session.out), "");
            expect_init_failure(read_file(session.err));
        }

        // On a terminal (a pty), with standard error on it as well: its modes are the same after.
        for (const char *term : {"TERM=xterm", "-uTERM"}) {
            SCOPED_TRACE(term);
            std::string pty = work + "/pty.txt";
            std::vector<std::string> argv = with(term);
            argv.insert(argv.end(), {"PLAYER=" KORLAN_BINARY, "CLIP=" + clip, "OUT=" + session.out, "script", "-qec",
                                     "stty -g; \"$PLAYER\" \"$CLIP\" >\"$OUT\"; echo $?; stty -g", "/dev/null"});
            ASSERT_EQ(wait_exit(spawn(argv, pty, "/dev/null"), EXIT_TIMEOUT_MS), 0);
            EXPECT_EQ(read_file(session.out), "");
            std::string seen = read_file(pty);  // the terminal turns each \n into \r\n
            seen.erase(std::remove(seen.begin(), seen.end(), '\r'), seen.end());
            size_t modes_end = seen.find('\n'), status = seen.rfind("\n1\n");
            ASSERT_NE(status, std::string::npos) << seen;
            EXPECT_EQ(seen.substr(0, modes_end + 1), seen.substr(status + 3)) << "terminal modes changed";
            expect_init_failure(seen.substr(modes_end + 1, status - modes_end));
        }
    }
}

// The window's pixels as the X server has them; "" when it has none (unmapped).
static std::string window_pixels(Window window)
{
    XImage *image = XGetImage(session.x, window, 0, 0, WIN_W, WIN_H, AllPlanes, ZPixmap);
    if (!image)
        return "";
    std::string pixels(image->data, static_cast<size_t>(image->bytes_per_line) * image->height);
    XDestroyImage(image);
    return pixels;
}

// X without a compositor keeps nothing of a covered window. A paused picture laid over by another
// window, then unmapped and mapped again, comes back exactly as it was, without a new frame, on
// each SDL (sdl12-compat only reports the loss, classic SDL repaints by itself).
TEST_F(Robust, PausedPictureComesBackAfterBeingCovered)
{
    for (const Sdl &sdl : host_sdls()) {
        SCOPED_TRACE(sdl.name);
        OwnServer own;
        ASSERT_TRUE(enter_own_server(&own)) << "no second X server";
        std::vector<std::string> env = {"env", "DISPLAY=" + own.display};
        env.insert(env.end(), sdl.env.begin(), sdl.env.end());
        start_player({clip}, env);
        Window window = wait_window("Korlan " + clip);
        if (window) {
            Display *x = session.x;
            XWarpPointer(x, None, window, 0, 0, 0, 0, WIN_W / 2, WIN_H / 2);
            press(XK_End);
            expect_paused_on(window, FRAMES - 1, FRAMES);
            const std::string paused = window_pixels(window);
            int left = 0, top = 0;
            Window child;
            XTranslateCoordinates(x, window, DefaultRootWindow(x), 0, 0, &left, &top, &child);
            Window cover = XCreateSimpleWindow(x, DefaultRootWindow(x), left, top, WIN_W, WIN_H, 0,
                                               WhitePixel(x, 0), WhitePixel(x, 0));
            XMapRaised(x, cover);
            XSync(x, False);
            EXPECT_TRUE(poll_until(FRAME_TIMEOUT_MS, 10, [&] { return window_pixels(window) != paused; }))
                << "never covered";
            XDestroyWindow(x, cover);
            XSync(x, False);
            EXPECT_TRUE(poll_until(FRAME_TIMEOUT_MS, 10, [&] { return window_pixels(window) == paused; }))
                << "not drawn again once uncovered: " << shoot(window).index;
            XUnmapWindow(x, window);
            XSync(x, False);
            EXPECT_TRUE(poll_until(FRAME_TIMEOUT_MS, 10, [&] { return window_pixels(window).empty(); }));
            XMapWindow(x, window);
            XSync(x, False);
            EXPECT_TRUE(poll_until(FRAME_TIMEOUT_MS, 10, [&] { return window_pixels(window) == paused; }))
                << "not drawn again once mapped: " << shoot(window).index;
            close_window(window);
        }
        EXPECT_EQ(player_exit(), 0);
        leave_own_server(&own);
        ASSERT_NE(window, 0u);
    }
}

// SDL's shutdown at the end hanging or crashing, as SDL 2 and 3 can on a display that is going
// (SDL 3 spun in it at full CPU after a failed video mode on native Wayland): the player ends all
// the same within a second, after the fatal error's line with status 1, after the user's quit
// (SIGTERM) with status 0 and no word, on each SDL.
TEST_F(Robust, ShutdownThatHangsOrCrashesStillEnds)
{
    for (const Sdl &sdl : host_sdls()) {
        for (std::string quit : {"hang", "crash"}) {
            SCOPED_TRACE(std::string(sdl.name) + ", SDL_Quit made to " + quit);
            std::vector<std::string> env = sdl_shim();
            env.insert(env.begin(), "env");
            env.push_back("SHIM_SDL_QUIT=" + quit);
            env.insert(env.end(), sdl.env.begin(), sdl.env.end());
            std::vector<std::string> failing = env;
            failing.push_back("SHIM_VIDEO_MODE=fail");
            start_player({clip}, failing);
            const std::string line = "Couldn't set 720x596x32 video mode: refused by the test\n";
            EXPECT_TRUE(poll_until(EXIT_TIMEOUT_MS, 5, [&] { return read_file(session.err) == line; }))
                << read_file(session.err);
            EXPECT_EQ(wait_exit(session.player, 1000), 1) << "-1: still running a second after, or a signal";
            session.player = -1;

            start_player({clip}, env);
            Window window = wait_window("Korlan " + clip);
            ASSERT_NE(window, 0u);
            ASSERT_TRUE(wait_frame(window, -1, FRAMES));
            kill(session.player, SIGTERM);
            EXPECT_EQ(wait_exit(session.player, 1000), 0) << "-1: still running a second after, or a signal";
            session.player = -1;
            EXPECT_EQ(read_file(session.err), "");
        }
    }
}

// Screens of other depths than 24: 16 bits, 30 (deep colour, 10 bits a channel) and 8 (a palette).
// The picture in the screen's colours where SDL can draw there, else a refusal in one line, status
// 1 and no window ever shown: classic SDL 1.2 cannot map 30-bit colours, SDL 2 has no renderer for a
// palette screen, and SDL 3 would crash in its start-up on one. Classic SDL shows a palette's
// nearest colours, which screenshots here do not read.
TEST_F(Robust, ScreenDepthsShowThePictureOrRefuse)
{
    for (const Sdl &sdl : host_sdls()) {
        for (int depth : {16, 30, 8}) {
            SCOPED_TRACE(std::string(sdl.name) + " on " + std::to_string(depth) + " bits");
            bool refused = depth == 30 ? !sdl.over_sdl2 : depth == 8 && sdl.over_sdl2;
            OwnServer own;
            ASSERT_TRUE(enter_own_server(&own, depth)) << "no X server of that depth";
            XSelectInput(session.x, DefaultRootWindow(session.x), SubstructureNotifyMask);
            std::vector<std::string> env = {"env", "DISPLAY=" + own.display};
            env.insert(env.end(), sdl.env.begin(), sdl.env.end());
            start_player({clip}, env);
            Window window = refused ? 0 : wait_window("Korlan " + clip);
            if (window && depth != 8)
                expect_playing(window, 1, FRAMES);  // moving frames: an all-black window reads as frame 0
            if (window)
                close_window(window);
            int code = player_exit();
            XSync(session.x, False);
            XEvent event;  // classic SDL creates its windows at start-up, unmapped until the mode is set
            bool mapped = XCheckTypedEvent(session.x, MapNotify, &event);
            leave_own_server(&own);
            std::string err = read_file(session.err);
            if (!refused) {
                EXPECT_NE(window, 0u) << err;
                EXPECT_EQ(code, 0);
                continue;
            }
            EXPECT_EQ(code, 1) << "-1: a crash or a hang";
            EXPECT_FALSE(mapped);
            EXPECT_EQ(err.rfind("Couldn't set 720x596x32 video mode: ", 0), 0u) << err;
            EXPECT_EQ(err.find('\n'), err.size() - 1) << "not one line: " << err;
            if (depth == 30) {
                EXPECT_NE(err.find("30-bit"), std::string::npos) << err;
            }
        }
    }
}

// SDL 2 under sdl12-compat on an X server presents through its own software framebuffer and loads
// no OpenGL, which without a GPU is Mesa drawing in software at most of the CPU; a user who sets
// SDL 2's renderer gets it. The picture is the same either way: checked to the byte by hand.
TEST_F(Robust, Sdl2OnXPresentsWithoutOpenGLUnlessTheUserAsks)
{
    auto maps_opengl = [](pid_t pid) {
        std::string maps = read_file("/proc/" + std::to_string(pid) + "/maps");
        for (const char *library : {"/libGL", "_dri.so", "libgallium"})
            if (maps.find(library) != std::string::npos)
                return true;
        return false;
    };
    for (const Sdl &sdl : host_sdls()) {
        if (!sdl.over_sdl2)
            continue;
        for (bool users_renderer : {false, true}) {
            SCOPED_TRACE(std::string(sdl.name) + (users_renderer ? ", SDL 2's renderer asked for" : ""));
            OwnServer own;
            ASSERT_TRUE(enter_own_server(&own)) << "no second X server";
            std::vector<std::string> env = {"env", "DISPLAY=" + own.display};
            env.insert(env.end(), sdl.env.begin(), sdl.env.end());
            if (users_renderer)
                env.push_back("SDL_FRAMEBUFFER_ACCELERATION=1");
            start_player({clip}, env);
            Window window = wait_window("Korlan " + clip);
            if (window) {
                expect_playing(window, 1, FRAMES);
                EXPECT_EQ(maps_opengl(session.player), users_renderer);
                close_window(window);
            }
            EXPECT_EQ(player_exit(), 0);
            leave_own_server(&own);
            ASSERT_NE(window, 0u);
        }
    }
}

static bool runs(const std::vector<std::string> &argv)
{
    return wait_exit(spawn(argv, "/dev/null", "/dev/null"), EXIT_TIMEOUT_MS) == 0;
}

// A Wayland compositor (weston, in an X server of its own) ending under a playing player, on its
// Wayland socket and on its XWayland: status 1 and one line within a second. SDL 2 takes the
// broken Wayland connection for a quit request, so the user's quits are checked there too: q, and
// SIGTERM, which SDL turns into the same request; and SDL's own connection broken while the
// compositor stays (one that drops a client) ends with the line and status 1 too.
TEST_F(Robust, CompositorGoingAwayEndsWithOneLine)
{
    if (!runs({"weston", "--version"}) || !runs({"Xwayland", "-version"}))
        GTEST_SKIP() << "needs weston and XWayland";
    const std::string runtime = work + "/runtime", socket = "korlan-test";
    int x = 0, y = 0;
    auto shown = [&] { return poll_until(WINDOW_TIMEOUT_MS, 50, [&] { return green_on_screen(&x, &y); }); };
    auto gone = [&] { return poll_until(WINDOW_TIMEOUT_MS, 50, [&] { return !green_on_screen(&x, &y); }); };
    for (const Sdl &sdl : host_sdls()) {
        for (bool xwayland : {false, true}) {
            if (!xwayland && !sdl.over_sdl2)
                continue;
            SCOPED_TRACE(std::string(sdl.name) + (xwayland ? " on XWayland" : " on Wayland"));
            OwnServer own;  // the compositor's window, watched and typed into
            ASSERT_TRUE(enter_own_server(&own)) << "no second X server";
            std::string xwayland_display;
            pid_t weston = spawn_weston(own.display, runtime, socket, xwayland, &xwayland_display);
            std::vector<std::string> env = {"env", "-u", xwayland ? "WAYLAND_DISPLAY" : "DISPLAY",
                                            "XDG_RUNTIME_DIR=" + runtime};
            env.push_back(xwayland ? "DISPLAY=" + xwayland_display : "WAYLAND_DISPLAY=" + socket);
            env.insert(env.end(), sdl.env.begin(), sdl.env.end());
            bool played = weston > 0;
            for (int quit = xwayland ? 2 : 0; played && quit < 2; quit++) {
                start_player({clip}, env);
                played = shown();
                XWarpPointer(session.x, None, DefaultRootWindow(session.x), 0, 0, 0, 0, x, y);
                if (quit == 0)
                    press(XK_q);
                else
                    kill(session.player, SIGTERM);
                EXPECT_EQ(player_exit(), 0) << (quit == 0 ? "q" : "SIGTERM");
                EXPECT_TRUE(gone());
            }
            if (played && !xwayland) {  // SDL's own connection broken, the compositor staying
                std::vector<std::string> breaking = env, shim = sdl_shim();
                breaking.insert(breaking.end(), shim.begin(), shim.end());
                breaking.push_back("SHIM_WAYLAND_BREAK=30");
                start_player({clip}, breaking);
                played = shown();
                EXPECT_EQ(player_exit(), 1) << "the user did not quit";
                const std::string line = "Lost the connection to the Wayland compositor\n", err = read_file(session.err);
                EXPECT_TRUE(err.size() >= line.size() && err.substr(err.size() - line.size()) == line) << err;
                EXPECT_TRUE(gone());
            }
            if (played) {
                start_player({clip}, env);
                played = shown();
            }
            leave_own_server(&own, false);
            if (played)
                expect_lost(weston, xwayland ? "Lost the connection to display " + xwayland_display + "\n"
                                             : "Lost the connection to the Wayland compositor\n", !xwayland);
            kill(weston, SIGKILL);
            kill(own.xvfb, SIGTERM);
            wait_exit(weston, EXIT_TIMEOUT_MS);
            wait_exit(own.xvfb, EXIT_TIMEOUT_MS);
            ASSERT_GT(weston, 0) << "no weston";
            ASSERT_TRUE(played) << "no frame shown in weston; the player's standard error:\n" << read_file(session.err);
        }
    }
}

// What a decoder taken over by a hostile file can reach (tests/hostile: a shim over the decoder's
// avcodec_send_packet and the player's SDL_Flip): the user's files, a program, TCP, ptrace, from
// the player and a thread it started early too, and from the decoder process also a file to read,
// the X server (typing into another client), a session bus that starts services, a signal, memory
// and its descriptors. Files, bus and listener are the test's own.
struct HostileWorld {
    std::string dir;  // the shim's HOSTILE_DIR, the bus's socket and its service
    int listener = -1;
    pid_t other = -1, bus = -1;
    std::vector<std::string> env;  // for `env`: the shim and where its tries go
};

static bool start_hostile_world(HostileWorld *world)
{
    char dir[] = "/tmp/korlan-hostile-XXXXXX";  // short: a socket's name has at most 107 bytes
    if (!mkdtemp(dir))
        return false;
    world->dir = dir;
    std::filesystem::create_directories(world->dir + "/services");
    bool written =
        write_file(world->dir + "/secret", "the user's\n") &&
        write_file(world->dir + "/services/org.korlan.Hostile.service",
                   "[D-BUS Service]\nName=org.korlan.Hostile\nExec=/usr/bin/touch " + world->dir + "/started\n") &&
        write_file(world->dir + "/bus.conf",
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                   " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig>\n"
                   "<listen>unix:path=" + world->dir + "/bus</listen>\n<servicedir>" + world->dir +
                   "/services</servicedir>\n<auth>EXTERNAL</auth>\n"
                   // The service never takes its name: the bus gives up soon and starts it anew for the next run.
                   "<limit name=\"service_start_timeout\">200</limit>\n<policy context=\"default\">\n"
                   "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>\n"
                   "</policy>\n</busconfig>\n");
    world->listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // port 0: any free one
    socklen_t size = sizeof address;
    sockaddr *at = reinterpret_cast<sockaddr *>(&address);
    if (!written || world->listener < 0 || bind(world->listener, at, size) != 0 || listen(world->listener, 8) != 0 ||
        getsockname(world->listener, at, &size) != 0)
        return false;
    world->other = spawn({"sleep", "600"}, "/dev/null", "/dev/null");
    const std::string address_file = world->dir + "/bus.address";  // written once the bus listens
    world->bus = spawn({"dbus-daemon", "--config-file=" + world->dir + "/bus.conf", "--print-address=1"},
                       address_file, "/dev/null");
    const char *asan = getenv("ASAN_OPTIONS");
    world->env = {"env", "LD_PRELOAD=" HOSTILE_SHIM, "HOSTILE_DIR=" + world->dir,
                  "HOSTILE_PID=" + std::to_string(world->other),
                  "HOSTILE_PORT=" + std::to_string(ntohs(address.sin_port)), "HOSTILE_SECRET=" + world->dir + "/secret",
                  "HOSTILE_BUS=" + world->dir + "/bus", "HOSTILE_FRAMES=" + std::to_string(FRAMES),
                  std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};  // the shim loads first
    return poll_until(EXIT_TIMEOUT_MS, 20, [&] { return !read_file(address_file).empty(); });
}

static void stop_hostile_world(HostileWorld *world)
{
    close(world->listener);
    for (pid_t pid : {world->other, world->bus}) {
        kill(pid, SIGKILL);
        wait_exit(pid, EXIT_TIMEOUT_MS);
    }
    std::filesystem::remove_all(world->dir);
}

static int landlock_abi()
{
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);  // 1: LANDLOCK_CREATE_RULESET_VERSION
    return abi < 1 ? 0 : static_cast<int>(abi);
}

// Whether the kernel's Yama keeps this user from ptrace-ing a process that is not its descendant,
// whatever the player does (scope 1 for all but root, 3 for everyone; Debian ships 0).
static bool yama_stops_ptrace()
{
    int scope = atoi(read_file("/proc/sys/kernel/yama/ptrace_scope").c_str());
    return scope == 3 || (scope >= 1 && geteuid() != 0);
}

using Walls = std::set<std::string>;  // the walls up, by the names the player's build knows
const Walls ALL_WALLS = {"player-landlock", "player-seccomp", "decoder-fds", "decoder-nofile",
                         "decoder-landlock", "decoder-seccomp", "decoder-memory"};

// The outcome of each of the player's tries with the walls `up`, on a kernel of Landlock ABI `abi`.
static std::string player_outcomes(const Walls &up, int abi)
{
    bool landlock = up.count("player-landlock") && abi >= 1, seccomp = up.count("player-seccomp");
    std::string files = landlock || seccomp ? "EACCES" : "ok";  // the filter denies with EACCES too
    return "create " + files + " append " + files + " remove " + files + " exec " + files + " tcp " +
           (seccomp || (landlock && abi >= 4) ? "EACCES" : "ok") +
           // The filter leaves ptrace alone: Landlock's domain alone keeps the player from others.
           " ptrace " + (landlock || yama_stops_ptrace() ? "EPERM" : "ok") +
           // Landlock binds the thread that confines itself and those it starts later, not a
           // library's thread from before: only the filter stops that one.
           " thread " + (seccomp ? "EACCES" : "ok");
}

// The same for the decoder process; "fds *" where its descriptors are whatever it inherited.
static std::string decoder_outcomes(const Walls &up, int abi)
{
    bool landlock = up.count("decoder-landlock") && abi >= 1, nofile = up.count("decoder-nofile");
    std::string memory = up.count("decoder-memory") ? "ENOMEM" : "ok";  // mmap is on the allowlist
    if (up.count("decoder-seccomp"))  // before any other wall: every call off the list ends there
        return "create EPERM append EPERM remove EPERM exec EPERM tcp EPERM ptrace EPERM secret EPERM x11 EPERM "
               "dbus EPERM signal EPERM memory " + memory + " fds EPERM";
    // RLIMIT_NOFILE stops only what makes a descriptor, and before Landlock looks at the path:
    // unlink, exec, ptrace and signals get past it.
    auto making = [nofile](bool denied) { return std::string(nofile ? "EMFILE" : denied ? "EACCES" : "ok"); };
    auto by = [](bool denied, const char *error) { return std::string(denied ? error : "ok"); };
    return "create " + making(landlock) + " append " + making(landlock) + " remove " + by(landlock, "EACCES") +
           " exec " + by(landlock, "EACCES") + " tcp " + making(landlock && abi >= 4) + " ptrace " +
           by(landlock || yama_stops_ptrace(), "EPERM") + " secret " + making(landlock) +
           // Landlock has no right over connecting to a Unix socket by its file name: alone, it
           // lets the payload reach the X server and the session bus.
           " x11 " + making(false) + " dbus " + making(false) + " signal " + by(landlock && abi >= 6, "EPERM") +
           " memory " + memory + " fds " + (up.count("decoder-fds") ? "0" : "*");
}

static std::map<std::string, std::string> outcome_pairs(const std::string &outcomes)
{
    std::map<std::string, std::string> pairs;
    std::istringstream words(outcomes);
    for (std::string what, result; words >> what >> result;)
        pairs[what] = result;
    return pairs;
}

struct HostileRun {
    std::vector<std::string> lines;  // the player's standard error
    std::string received;            // at the TCP listener
    bool typed = false;              // a key reached the test's own X client
    int code = -1;
};

// The player (`binary`, `env` after the world's) under the shim from its start to q, in an X
// server of its own where the test's client waits for keys; past the 60th decode and flip, it
// must still play the right frames, its seccomp filter there or not as `filtered` says.
static void run_hostile(const HostileWorld &world, const std::string &binary, const std::vector<std::string> &env,
                        bool filtered, HostileRun *run)
{
    for (const char *who : {"player", "decoder"})
        for (const char *n : {"1", "60"}) {
            std::string mine = world.dir + "/" + who + ".";
            std::filesystem::remove(mine + "create." + n);
            std::filesystem::remove(mine + "thread." + n);
            ASSERT_TRUE(write_file(mine + "remove." + n, ""));
        }
    std::filesystem::remove(world.dir + "/started");
    ASSERT_TRUE(write_file(world.dir + "/existing", "mine\n"));
    OwnServer own;
    ASSERT_TRUE(enter_own_server(&own)) << "no second X server";
    Window target = XCreateSimpleWindow(session.x, DefaultRootWindow(session.x), WIN_W + 20, 0, 64, 64, 0, 0, 0);
    XSelectInput(session.x, target, KeyPressMask);
    XMapWindow(session.x, target);
    XSync(session.x, False);
    std::vector<std::string> argv = world.env;
    argv.insert(argv.end(), {"DISPLAY=" + own.display, "HOSTILE_WINDOW=" + std::to_string(target)});
    argv.insert(argv.end(), env.begin(), env.end());
    session.binary = binary;
    start_player({clip}, argv);
    session.binary = KORLAN_BINARY;
    Window window = wait_window("Korlan " + clip);
    if (window) {
        XWarpPointer(session.x, None, window, 0, 0, 0, 0, WIN_W / 2, WIN_H / 2);
        EXPECT_TRUE(poll_until(WINDOW_TIMEOUT_MS, 20, [] {
            std::string err = read_file(session.err);
            return err.find("decoder 60:") != std::string::npos && err.find("player 60:") != std::string::npos;
        })) << "no 60th decode and flip:\n" << read_file(session.err);
        expect_playing(window, 1, FRAMES);
        std::string status = read_file("/proc/" + std::to_string(session.player) + "/status");
        EXPECT_EQ(status.find("\nSeccomp:\t2\n") != std::string::npos, filtered) << "the player's seccomp filter";
        XSetInputFocus(session.x, window, RevertToPointerRoot, CurrentTime);  // the payload took it
        press(XK_q);
    }
    run->code = player_exit();
    XEvent event;
    run->typed = XCheckWindowEvent(session.x, target, KeyPressMask, &event);
    leave_own_server(&own);
    ASSERT_NE(window, 0u);
    std::istringstream err(read_file(session.err));
    for (std::string line; std::getline(err, line);)
        run->lines.push_back(line);
    for (int peer; (peer = accept(world.listener, nullptr, nullptr)) >= 0; close(peer))
        for (char c; read(peer, &c, 1) == 1;)
            run->received += c;
}

static int count(const std::string &text, const std::string &part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

// Each process said the outcomes that `player` and `decoder` expect at both rounds, and what it
// says it did is what happened: on disk, at the listener, in the X server and on the bus. Lines
// beyond those rounds are left in *others.
static void expect_outcomes(const HostileWorld &world, const HostileRun &run, const std::string &player,
                            const std::string &decoder, std::vector<std::string> *others)
{
    std::string existing = read_file(world.dir + "/existing");
    for (const std::string &who : {std::string("player"), std::string("decoder")}) {
        SCOPED_TRACE(who);
        std::string expected = who == "player" ? player : decoder;
        int appended = 0, sent = 0, typed = 0, started = 0;
        for (const std::string &n : {std::string("1"), std::string("60")}) {
            std::string head = who + " " + n + ": ";
            auto line = std::find_if(run.lines.begin(), run.lines.end(),
                                     [&](const std::string &l) { return l.rfind(head, 0) == 0; });
            ASSERT_NE(line, run.lines.end()) << "no line " << head;
            std::string outcomes = line->substr(head.size());
            std::map<std::string, std::string> said = outcome_pairs(outcomes), wanted = outcome_pairs(expected);
            if (wanted.count("fds") && wanted["fds"] == "*")
                wanted["fds"] = said["fds"];
            EXPECT_EQ(said, wanted) << head << outcomes;
            std::string mine = world.dir + "/" + who + ".";
            EXPECT_EQ(std::filesystem::exists(mine + "create." + n), said["create"] == "ok") << n;
            EXPECT_EQ(std::filesystem::exists(mine + "remove." + n), said["remove"] != "ok") << n;
            if (who == "player") {
                EXPECT_EQ(std::filesystem::exists(mine + "thread." + n), said["thread"] == "ok") << n;
            }
            appended += said["append"] == "ok";
            sent += said["tcp"] == "ok";
            typed += said["x11"] == "ok";
            started += said["dbus"] == "ok";
        }
        EXPECT_EQ(count(existing, who + "\n"), appended);
        EXPECT_EQ(count(run.received, who + "\n"), sent);
        if (who == "decoder") {
            EXPECT_EQ(run.typed, typed > 0) << "a key in the test's X client";
            // The bus starts it after the payload has asked.
            bool made = started ? poll_until(EXIT_TIMEOUT_MS, 20, [&] { return std::filesystem::exists(world.dir + "/started"); })
                                : std::filesystem::exists(world.dir + "/started");
            EXPECT_EQ(made, started > 0) << "a service the bus started";
        }
    }
    for (const std::string &line : run.lines)
        if (line.find(" 1: ") == std::string::npos && line.find(" 60: ") == std::string::npos)
            others->push_back(line);
}

// Every wall up, on each SDL: every try fails in both processes and changes nothing, and the
// player plays on. So does it when the decoder process crashes, and when it hangs (the player waits
// a second for it): that frame keeps the picture before it, and the frames after are right. Then
// each wall on its own, and the test build with every wall down, whose tries all get through: each
// outcome here is the one wall's.
TEST_F(Robust, HostileDecoderGetsNothing)
{
    constexpr int CRASH = 5, HANG = 20;  // decodes, each shown by the flip of the same number
    const int abi = landlock_abi();
    const std::string no_landlock = abi ? "" : strerror(errno);
    HostileWorld world;
    bool started = start_hostile_world(&world);
    if (!started)
        stop_hostile_world(&world);
    ASSERT_TRUE(started) << "no listener, no bus or no files for the hostile decoder";
    for (const Sdl &sdl : host_sdls()) {
        SCOPED_TRACE(sdl.name);
        std::vector<std::string> env = sdl.env;
        env.insert(env.end(), {"HOSTILE_CRASH=" + std::to_string(CRASH), "HOSTILE_HANG=" + std::to_string(HANG)});
        HostileRun run;
        run_hostile(world, KORLAN_BINARY, env, true, &run);
        if (HasFatalFailure())
            break;
        EXPECT_EQ(run.code, 0);
        std::vector<std::string> others;
        expect_outcomes(world, run, player_outcomes(ALL_WALLS, abi), decoder_outcomes(ALL_WALLS, abi), &others);
        auto kept = [](int decode) {  // the flip of the failed decode, showing the frame before it
            return "player: flip " + std::to_string(decode) + " shows frame " + std::to_string((decode - 2) % FRAMES) +
                   " for frame " + std::to_string((decode - 1) % FRAMES);
        };
        auto hang = std::find_if(others.begin(), others.end(),
                                 [](const std::string &l) { return l.rfind("player: hang ", 0) == 0; });
        if (hang == others.end()) {
            ADD_FAILURE() << "no flip after the hang";
        } else {
            // The second that the player waits for a reply, and a new decoder process.
            EXPECT_LT(atoi(hang->c_str() + strlen("player: hang ")), 2000) << *hang;
            others.erase(hang);
        }
        std::sort(others.begin(), others.end());
        std::vector<std::string> failures = {"decoder " + std::to_string(CRASH) + ": crash",
                                             "decoder " + std::to_string(HANG) + ": hang", kept(CRASH), kept(HANG)};
        std::sort(failures.begin(), failures.end());
        EXPECT_EQ(others, failures) << "nothing else on standard error";
    }

    struct Alone {
        Walls up;
        const char *why;
    };
    std::vector<Alone> alone = {{{}, "no wall: every try is real"},
                                {{"player-landlock", "decoder-landlock"}, "Landlock"},
                                {{"player-seccomp", "decoder-seccomp"}, "seccomp"},
                                {{"decoder-nofile"}, "RLIMIT_NOFILE"},
                                {{"decoder-memory"}, "RLIMIT_AS"},
                                {{"decoder-fds"}, "inherited descriptors closed"}};
    for (const Alone &walls : alone) {
        SCOPED_TRACE(walls.why);
        if (walls.up.count("decoder-landlock") && abi == 0) {
            std::cerr << "no Landlock in this kernel (" << no_landlock << "): its walls alone are not checked\n";
            continue;
        }
        std::string down;
        for (const std::string &wall : ALL_WALLS)
            if (!walls.up.count(wall))
                down += (down.empty() ? "" : ",") + wall;
        std::vector<std::string> env = host_sdls()[0].env;
        env.push_back("KORLAN_WALLS_DOWN=" + down);
        HostileRun run;
        run_hostile(world, KORLAN_WALLS, env, walls.up.count("player-seccomp") > 0, &run);
        if (HasFatalFailure())
            break;
        EXPECT_EQ(run.code, 0);
        std::vector<std::string> others;
        expect_outcomes(world, run, player_outcomes(walls.up, abi), decoder_outcomes(walls.up, abi), &others);
        // Other lines can come from the program it runs (under RLIMIT_NOFILE, the loader's on
        // the player's standard error, which the decoder process keeps): none from the shim.
        for (const std::string &line : others)
            EXPECT_TRUE(line.rfind("player", 0) != 0 && line.rfind("decoder", 0) != 0) << line;
    }
    stop_hostile_world(&world);
}

TEST_F(Robust, KeyStormLeavesPlayerResponsive)
{
    constexpr int PRESSES = 400;
    const KeySym keys[] = {XK_F1,     XK_Right, XK_Left, XK_space, XK_Prior, XK_Next, XK_Home, XK_End,
                           XK_Return, XK_Up,    XK_Down, XK_a,     XK_b,     XK_x,    XK_z};  // not q, Escape
    Window window = open_window(clip);
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_frame(window, -1, FRAMES));
    std::mt19937 random(61834);  // fixed, so that a failure replays
    std::uniform_int_distribution<size_t> pick(0, std::size(keys) - 1);
    std::uniform_int_distribution<int> gap_ms(2, 5);
    KeySym previous = NoSymbol;
    for (int i = 0; i < PRESSES; i++) {
        KeySym key;
        do
            key = keys[pick(random)];
        while (key == previous);  // SDL takes a release and press of one key for auto-repeat
        previous = key;
        for (bool down : {true, false}) {
            key_event(key, down);
            sleep_ms(gap_ms(random));
        }
    }
    ASSERT_TRUE(player_running()) << "the storm ended the player";

    bool drained = false;  // SDL's queue keeps at most 128 events, one taken a pass
    for (Clock::time_point end = in_ms(DRAIN_TIMEOUT_MS); !drained && Clock::now() < end;)
        drained = plays_freely(window);
    ASSERT_TRUE(drained) << "the player never played on after the storm";
    press(XK_space);
    press(XK_Home);
    ASSERT_TRUE(wait_shot(window, -1, 0)) << "Home not taken after the storm";
    if (shoot(window).index != 0) {  // the storm left decoding off: on again, and show frame 0 anew
        press(XK_F1);
        press(XK_Prior);
        press(XK_Next);
    }
    expect_paused_on(window, 0, FRAMES);
    press(XK_q);
    EXPECT_EQ(player_exit(), 0);
    EXPECT_EQ(read_file(session.out), "");
}
