// End to end: the built player in an X server of this binary's own (Xvfb), watched and driven the
// way a user and a window manager would: the window found by its title, screenshots read back for
// the frame index that each test clip carries, keys through XTest, closing by WM_DELETE_WINDOW.
#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool) would break gtest's templates.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "clip.h"

constexpr int WIN_W = 720, WIN_H = 596, PICTURE_H = 576;  // the window: picture, then the strip
constexpr int FRAMES = 10;                                 // frames in the test clip
constexpr int WINDOW_TIMEOUT_MS = 10000, EXIT_TIMEOUT_MS = 5000, FRAME_TIMEOUT_MS = 3000;

static pid_t xvfb_pid = -1;
static pid_t player_pid = -1;  // the running player, killed by TearDown if a test leaves it running
static Display *x = nullptr;
static std::string work;  // this process's own scratch directory
static std::string clip;  // a 10-frame PAL clip in it

struct Shot {
    int index;  // frame index read from the picture, -1 when the cells are not there
    int strip;  // green width of the progress strip, -1 when it is not green, then black
};

using Clock = std::chrono::steady_clock;
static Clock::time_point in_ms(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }
static void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
static int expected_strip(int index) { return WIN_W * index / FRAMES; }

static std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Forks and runs argv with stdin from /dev/null and stdout, stderr into the named files. The child
// dies with this process, so that a crashed test leaves nothing behind.
static pid_t spawn(const std::vector<std::string> &argv, const std::string &out, const std::string &err)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!freopen("/dev/null", "r", stdin) || !freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr))
        _exit(127);
    execvp(args[0], args.data());
    _exit(127);
}

// Exit code of the child, or -1 when it died of a signal or had to be killed after timeout_ms.
static int wait_exit(pid_t pid, int timeout_ms)
{
    int status = 0;
    pid_t ended;
    for (Clock::time_point end = in_ms(timeout_ms); (ended = waitpid(pid, &status, WNOHANG)) == 0; sleep_ms(10)) {
        if (Clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
    }
    return ended == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static void start_player(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {KORLAN_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    player_pid = spawn(argv, work + "/out.txt", work + "/err.txt");
}

static int player_exit()
{
    int code = wait_exit(player_pid, EXIT_TIMEOUT_MS);
    player_pid = -1;
    return code;
}

static int ignore_x_error(Display *, XErrorEvent *) { return 0; }  // a window may vanish under us

static void start_x_server()
{
    int fds[2];
    if (pipe(fds) != 0)
        return;
    std::vector<std::string> argv = {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                     "1024x768x24", "-nolisten", "tcp"};
    xvfb_pid = spawn(argv, "/dev/null", "/dev/null");
    close(fds[1]);
    std::string number;  // Xvfb writes the number of the display it took once it is ready
    pollfd ready = {fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&ready, 1, WINDOW_TIMEOUT_MS) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    std::string display_name = ":" + number;
    int event, error, major, minor;
    x = c == '\n' ? XOpenDisplay(display_name.c_str()) : nullptr;
    if (x && !XTestQueryExtension(x, &event, &error, &major, &minor)) {
        XCloseDisplay(x);
        x = nullptr;
    }
    if (!x)
        return;
    XSetErrorHandler(ignore_x_error);
    XSelectInput(x, DefaultRootWindow(x), SubstructureNotifyMask);  // to see any window being created
    setenv("DISPLAY", display_name.c_str(), 1);  // for the players
    unsetenv("SDL_VIDEODRIVER");  // ctest's default for the other tests: here the window is real
}

// Polls the top-level windows for one titled `title`; 0 when none comes or the player ends first.
static Window wait_window(const std::string &title)
{
    for (Clock::time_point end = in_ms(WINDOW_TIMEOUT_MS); Clock::now() < end; sleep_ms(20)) {
        Window root, parent, *children = nullptr, found = 0;
        unsigned count = 0;
        XQueryTree(x, DefaultRootWindow(x), &root, &parent, &children, &count);
        for (unsigned i = 0; i < count && !found; i++) {
            char *name = nullptr;
            if (XFetchName(x, children[i], &name) && name) {
                found = title == name ? children[i] : 0;
                XFree(name);
            }
        }
        if (children)
            XFree(children);
        if (found)
            return found;
        siginfo_t ended = {};  // looked at, not reaped: player_exit() still wants the status
        if (waitid(P_PID, player_pid, &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid != 0)
            return 0;
    }
    return 0;
}

static int byte_of(unsigned long mask, int byte_order)
{
    int shift = 0;
    for (; mask && !(mask & 1); mask >>= 1)
        shift++;
    return byte_order == LSBFirst ? shift / 8 : 3 - shift / 8;
}

// Green width of the strip when every row of it is green from the left edge and black after, all
// rows alike; -1 otherwise.
static int strip_width(const XImage *image, int r, int g, int b)
{
    int width = -1;
    for (int y = PICTURE_H; y < WIN_H; y++) {
        const uint8_t *row = reinterpret_cast<const uint8_t *>(image->data) + y * image->bytes_per_line;
        auto is = [&](int px, int red, int green, int blue) {
            return px < WIN_W && row[px * 4 + r] == red && row[px * 4 + g] == green && row[px * 4 + b] == blue;
        };
        int px = 0;
        while (is(px, 0, 255, 128))
            px++;
        int green = px;
        while (is(px, 0, 0, 0))
            px++;
        if (px != WIN_W || (width >= 0 && green != width))
            return -1;
        width = green;
    }
    return width;
}

static Shot shoot(Window window)
{
    Shot shot = {-1, -1};
    XImage *image = XGetImage(x, window, 0, 0, WIN_W, WIN_H, AllPlanes, ZPixmap);
    if (!image)
        return shot;
    if (image->bits_per_pixel == 32) {  // a 24-bit screen
        int r = byte_of(image->red_mask, image->byte_order);
        int g = byte_of(image->green_mask, image->byte_order);
        int b = byte_of(image->blue_mask, image->byte_order);
        const uint8_t *pixels = reinterpret_cast<const uint8_t *>(image->data);
        shot.index = clip_read_index(pixels, image->bytes_per_line, 4, r, g, b);
        shot.strip = strip_width(image, r, g, b);
    }
    XDestroyImage(image);
    return shot;
}

static bool agrees(Shot shot)
{
    return shot.index >= 0 && shot.index < FRAMES && shot.strip == expected_strip(shot.index);
}

// Screenshots until one shows frame `index` (any frame when -1) with its strip.
static bool wait_frame(Window window, int index)
{
    for (Clock::time_point end = in_ms(FRAME_TIMEOUT_MS); Clock::now() < end; sleep_ms(10)) {
        Shot shot = shoot(window);
        if ((index < 0 || shot.index == index) && agrees(shot))
            return true;
    }
    return false;
}

// Frame `index` is shown and stays: playback is paused on it.
static void expect_paused_on(Window window, int index)
{
    ASSERT_TRUE(wait_frame(window, index)) << "frame " << index << " never shown";
    sleep_ms(300);
    Shot later = shoot(window);
    EXPECT_EQ(later.index, index);
    EXPECT_EQ(later.strip, expected_strip(index));
}

static std::vector<Shot> sample(Window window, int shots)
{
    std::vector<Shot> taken;
    for (int i = 0; i < shots; i++, sleep_ms(15))
        taken.push_back(shoot(window));
    return taken;
}

// While playing at `speed` from frame 0: each screenshot's picture and strip tell the same frame,
// one that the speed reaches, and the frames move on.
static void expect_playing(Window window, int speed)
{
    ASSERT_TRUE(wait_frame(window, -1)) << "no frame shown";
    std::set<int> seen;
    for (Shot shot : sample(window, 16)) {
        EXPECT_TRUE(agrees(shot)) << "picture " << shot.index << ", strip " << shot.strip;
        EXPECT_EQ(shot.index % speed, 0) << "frame " << shot.index << " at speed " << speed;
        seen.insert(shot.index);
    }
    EXPECT_GE(seen.size(), 2u) << "playback does not move";
}

static void press(KeySym sym)
{
    KeyCode code = XKeysymToKeycode(x, sym);
    ASSERT_NE(code, 0) << "no key for " << XKeysymToString(sym);
    for (Bool down : {True, False}) {  // apart in time, or SDL takes release and press for auto-repeat
        XTestFakeKeyEvent(x, code, down, CurrentTime);
        XFlush(x);
        sleep_ms(40);
    }
}

static Atom atom(const char *name) { return XInternAtom(x, name, False); }

// What a window manager's close button does.
static void close_window(Window window)
{
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = atom("WM_PROTOCOLS");
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(atom("WM_DELETE_WINDOW"));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(x, window, False, NoEventMask, &event);
    XFlush(x);
}

// Starts the player on `path` and returns its window, with the pointer over it: without a window
// manager the keyboard follows the pointer.
static Window open_window(const std::string &path)
{
    start_player({path});
    Window window = wait_window("Korlan " + path);
    if (window)
        XWarpPointer(x, None, window, 0, 0, 0, 0, WIN_W / 2, WIN_H / 2);
    XSync(x, False);
    return window;
}

// Runs the player to its end; returns its exit code, and whether any window was created meanwhile.
static int run_without_window(const std::vector<std::string> &args, bool *window_created)
{
    XSync(x, True);  // drop older notifications
    start_player(args);
    int code = player_exit();
    XSync(x, False);
    XEvent event;
    *window_created = XCheckTypedEvent(x, CreateNotify, &event);
    return code;
}

struct Korlan : ::testing::Test {
    static void SetUpTestSuite()
    {
        work = std::string(TEST_WORK_DIR) + "/e2e-" + std::to_string(getpid());
        std::filesystem::create_directories(work);
        clip = work + "/ten.dv";
        if (clip_write(clip.c_str(), FRAMES, CLIP_PAL))
            start_x_server();
    }
    static void TearDownTestSuite()
    {
        if (x)
            XCloseDisplay(x);
        x = nullptr;
        if (xvfb_pid > 0) {
            kill(xvfb_pid, SIGTERM);
            wait_exit(xvfb_pid, EXIT_TIMEOUT_MS);
        }
        std::error_code ignored;
        std::filesystem::remove_all(work, ignored);
    }
    void SetUp() override { ASSERT_NE(x, nullptr) << "no test clip or no X server"; }
    void TearDown() override
    {
        if (player_pid > 0) {
            kill(player_pid, SIGKILL);
            player_exit();
        }
    }
};

TEST_F(Korlan, OpensTitledWindowPlaysAndClosesWithStatusZero)
{
    std::string odd = work + "/a %n%s b.dv";  // printed literally, never used as a format
    ASSERT_TRUE(clip_write(odd.c_str(), FRAMES, CLIP_PAL));
    Window window = open_window(odd);
    ASSERT_NE(window, 0u) << "no window titled \"Korlan " << odd << "\"";
    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(x, window, &attributes));
    EXPECT_EQ(attributes.width, WIN_W);
    EXPECT_EQ(attributes.height, WIN_H);
    char *icon = nullptr;
    ASSERT_TRUE(XGetIconName(x, window, &icon) && icon);
    EXPECT_STREQ(icon, "testwin");
    XFree(icon);

    expect_playing(window, 1);
    close_window(window);
    EXPECT_EQ(player_exit(), 0);
    EXPECT_EQ(read_file(work + "/out.txt"), "");
}

TEST_F(Korlan, BadInputPrintsOneLineAndOpensNoWindow)
{
    std::string ntsc = work + "/ntsc.dv", empty = work + "/empty.dv", missing = work + "/missing.dv";
    ASSERT_TRUE(clip_write(ntsc.c_str(), 3, CLIP_NTSC));
    std::ofstream(empty).close();
    struct Case {
        std::string path, out;
    } cases[] = {
        {missing, missing + " not found\n"},
        {work, work + " not found\n"},  // a directory
        {ntsc, "Not a PAL format video\n"},
        {empty, "Not a PAL format video\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        bool created = true;
        EXPECT_EQ(run_without_window({c.path}, &created), 1);
        EXPECT_FALSE(created);
        EXPECT_EQ(read_file(work + "/out.txt"), c.out);
    }

    bool created = true;
    EXPECT_EQ(run_without_window({}, &created), 1);
    EXPECT_FALSE(created);
    std::string err = read_file(work + "/err.txt");
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "not one line: " << err;
}

TEST_F(Korlan, JumpAndStepKeysShowExactFramePaused)
{
    Window window = open_window(clip);
    ASSERT_NE(window, 0u);
    press(XK_space);
    press(XK_Home);
    expect_paused_on(window, 0);
    press(XK_End);
    expect_paused_on(window, FRAMES - 1);
    press(XK_Prior);  // Page Up on the last frame wraps to the first
    expect_paused_on(window, 0);
    press(XK_Next);  // Page Down on the first wraps to the last
    expect_paused_on(window, FRAMES - 1);
    close_window(window);
    EXPECT_EQ(player_exit(), 0);
}

TEST_F(Korlan, UpTwiceFromNormalPlayShowsEveryFourthFrame)
{
    Window window = open_window(clip);
    ASSERT_NE(window, 0u);
    for (KeySym key : {XK_Home, XK_Return, XK_Up, XK_Up})
        press(key);
    sleep_ms(150);  // at most three frames to the first wrap, which drops the overshoot: 0, 4, 8, 0
    expect_playing(window, 4);
    close_window(window);
    EXPECT_EQ(player_exit(), 0);
}

TEST_F(Korlan, QAndEscapeQuitWithStatusZero)
{
    for (KeySym key : {XK_q, XK_Escape}) {
        SCOPED_TRACE(XKeysymToString(key));
        ASSERT_NE(open_window(clip), 0u);
        press(key);
        EXPECT_EQ(player_exit(), 0);
    }
}

TEST_F(Korlan, F1FreezesPictureWhileStripMoves)
{
    Window window = open_window(clip);
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_frame(window, -1));
    press(XK_F1);
    sleep_ms(100);
    std::vector<Shot> frozen = sample(window, 12);
    std::set<int> widths;
    for (Shot shot : frozen) {
        EXPECT_EQ(shot.index, frozen[0].index) << "the picture moves with decoding off";
        EXPECT_GE(shot.strip, 0);
        widths.insert(shot.strip);
    }
    EXPECT_GE(frozen[0].index, 0);
    EXPECT_GE(widths.size(), 2u) << "the strip stands still with decoding off";

    press(XK_F1);
    sleep_ms(100);
    expect_playing(window, 1);  // pictures follow the strip again
    close_window(window);
    EXPECT_EQ(player_exit(), 0);
}
