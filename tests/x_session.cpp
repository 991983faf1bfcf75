// The X server, the player's process and its window, for the end-to-end tests.
#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool) would break gtest's templates.
#include "x_session.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "clip.h"

XSession session;

Clock::time_point in_ms(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }
void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &out, const std::string &err)
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

int wait_exit(pid_t pid, int timeout_ms)
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

void start_player(const std::vector<std::string> &args, const std::vector<std::string> &wrapper)
{
    std::vector<std::string> argv = wrapper;
    argv.push_back(session.binary);
    argv.insert(argv.end(), args.begin(), args.end());
    session.player = spawn(argv, session.out, session.err);
}

int player_exit()
{
    int code = wait_exit(session.player, EXIT_TIMEOUT_MS);
    session.player = -1;
    return code;
}

bool player_running()
{
    siginfo_t ended = {};  // looked at, not reaped: player_exit() still wants the status
    return waitid(P_PID, session.player, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == 0;
}

void kill_player()
{
    if (session.player > 0) {
        kill(session.player, SIGKILL);
        player_exit();
    }
}

static int ignore_x_error(Display *, XErrorEvent *) { return 0; }  // a window may vanish under us

pid_t spawn_x_server(std::string *display_name, int depth)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    std::vector<std::string> argv = {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                     "1024x768x" + std::to_string(depth), "-nolisten", "tcp", "-noreset"};
    pid_t xvfb = spawn(argv, "/dev/null", "/dev/null");
    close(fds[1]);
    std::string number;  // Xvfb writes the number of the display it took once it is ready
    pollfd ready = {fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&ready, 1, WINDOW_TIMEOUT_MS) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    *display_name = ":" + number;
    if (c != '\n') {
        kill(xvfb, SIGKILL);
        wait_exit(xvfb, EXIT_TIMEOUT_MS);
        return -1;
    }
    return xvfb;
}

bool enter_own_server(OwnServer *own, int depth)
{
    own->xvfb = spawn_x_server(&own->display, depth);
    Display *x = own->xvfb > 0 ? XOpenDisplay(own->display.c_str()) : nullptr;
    if (!x)
        return false;
    own->session_x = session.x;
    session.x = x;
    return true;
}

void leave_own_server(OwnServer *own, bool stop)
{
    XCloseDisplay(session.x);
    session.x = own->session_x;
    if (stop) {
        kill(own->xvfb, SIGTERM);
        wait_exit(own->xvfb, EXIT_TIMEOUT_MS);
    }
}

// Whether a compositor answers on the socket at `path`: its file appears before it takes clients.
static bool compositor_answers(const std::string &path)
{
    wl_display *client = wl_display_connect(path.c_str());  // an absolute path names the socket itself
    bool answers = client && wl_display_roundtrip(client) >= 0;
    if (client)
        wl_display_disconnect(client);
    return answers;
}

pid_t spawn_weston(const std::string &x_display, const std::string &runtime_dir, const std::string &socket,
                   bool xwayland, std::string *xwayland_display)
{
    std::filesystem::create_directories(runtime_dir);
    std::filesystem::permissions(runtime_dir, std::filesystem::perms::owner_all);
    std::string log = runtime_dir + "/" + socket + ".log";
    std::vector<std::string> argv = {"env", "DISPLAY=" + x_display, "XDG_RUNTIME_DIR=" + runtime_dir,
                                     "weston", "--backend=x11-backend.so", "--use-pixman", "--width=1024",
                                     "--height=768", "--socket=" + socket};
    if (xwayland)
        argv.push_back("--xwayland");
    pid_t weston = spawn(argv, "/dev/null", log);
    const std::string listening = "xserver listening on display ";  // XWayland starts at its first client
    bool ready = poll_until(WINDOW_TIMEOUT_MS, 20, [&] {
        if (!compositor_answers(runtime_dir + "/" + socket))
            return false;
        if (!xwayland)
            return true;
        std::string text = read_file(log);
        size_t at = text.find(listening);
        size_t end = text.find('\n', at);
        if (at == std::string::npos || end == std::string::npos)
            return false;
        *xwayland_display = text.substr(at + listening.size(), end - at - listening.size());
        return true;
    });
    if (!ready) {
        kill(weston, SIGKILL);
        wait_exit(weston, EXIT_TIMEOUT_MS);
        return -1;
    }
    return weston;
}

bool start_x_server()
{
    std::string display_name;
    session.xvfb = spawn_x_server(&display_name);
    int event, error, major, minor;
    Display *x = session.xvfb > 0 ? XOpenDisplay(display_name.c_str()) : nullptr;
    if (x && !XTestQueryExtension(x, &event, &error, &major, &minor)) {
        XCloseDisplay(x);
        x = nullptr;
    }
    session.x = x;
    if (!x)
        return false;
    XSetErrorHandler(ignore_x_error);
    XSelectInput(x, DefaultRootWindow(x), SubstructureNotifyMask);  // to see any window being created
    setenv("DISPLAY", display_name.c_str(), 1);  // for the players
    unsetenv("SDL_VIDEODRIVER");  // ctest's default for the other tests: here the window is real
    return true;
}

std::string make_work_dir(const std::string &name)
{
    std::string dir = std::string(TEST_WORK_DIR) + "/" + name + "-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    session.out = dir + "/out.txt";
    session.err = dir + "/err.txt";
    return dir;
}

std::string work, clip;

void start_suite(const std::string &name)
{
    work = make_work_dir(name);
    clip = work + "/ten.dv";
    if (clip_write(clip.c_str(), SUITE_FRAMES, CLIP_PAL))
        start_x_server();
}

void PlayerSuite::TearDown()
{
    kill_player();
}

void end_session(const std::string &work_dir)
{
    if (session.x)
        XCloseDisplay(session.x);
    session.x = nullptr;
    if (session.xvfb > 0) {
        kill(session.xvfb, SIGTERM);
        wait_exit(session.xvfb, EXIT_TIMEOUT_MS);
    }
    session.xvfb = -1;
    std::error_code ignored;
    std::filesystem::remove_all(work_dir, ignored);
}

static Atom atom(const char *name) { return XInternAtom(session.x, name, False); }

std::string utf8_title(Window window, const char *name)
{
    XTextProperty property = {};
    std::string title;
    if (XGetTextProperty(session.x, window, &property, atom(name)) && property.value) {
        if (property.encoding == atom("UTF8_STRING") && property.format == 8)
            title.assign(reinterpret_cast<const char *>(property.value), property.nitems);
        XFree(property.value);
    }
    return title;
}

static bool titled(Window window, const std::string &title)
{
    char *name = nullptr;
    bool same = false;
    if (XFetchName(session.x, window, &name) && name) {
        same = title == name;
        XFree(name);
    }
    return same || utf8_title(window) == title;
}

Window wait_window(const std::string &title)
{
    Display *x = session.x;
    for (Clock::time_point end = in_ms(WINDOW_TIMEOUT_MS); Clock::now() < end; sleep_ms(20)) {
        Window root, parent, *children = nullptr, found = 0;
        unsigned count = 0;
        XQueryTree(x, DefaultRootWindow(x), &root, &parent, &children, &count);
        for (unsigned i = 0; i < count && !found; i++)
            found = titled(children[i], title) ? children[i] : 0;
        if (children)
            XFree(children);
        if (found)
            return found;
        if (!player_running())
            return 0;
    }
    return 0;
}

bool wait_utf8_title(Window window, const std::string &title)
{
    return poll_until(WINDOW_TIMEOUT_MS, 20, [&] { return utf8_title(window) == title; });
}

Window open_window(const std::string &path)
{
    start_player({path});
    Window window = wait_window("Korlan " + path);
    if (window)
        XWarpPointer(session.x, None, window, 0, 0, 0, 0, WIN_W / 2, WIN_H / 2);
    XSync(session.x, False);
    return window;
}

void close_window(Window window)
{
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = atom("WM_PROTOCOLS");
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(atom("WM_DELETE_WINDOW"));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(session.x, window, False, NoEventMask, &event);
    XFlush(session.x);
}

int run_without_window(const std::vector<std::string> &args, bool *window_created,
                       const std::vector<std::string> &wrapper)
{
    XSync(session.x, True);  // drop older notifications
    start_player(args, wrapper);
    int code = player_exit();
    XSync(session.x, False);
    XEvent event;
    *window_created = XCheckTypedEvent(session.x, CreateNotify, &event);
    return code;
}

// Shift that brings the most significant bits of a channel's mask to bit 7 down: the top 8 of them,
// or all, in the top bits of a byte, when the channel has fewer (5 or 6 on a 16-bit screen).
static int top_byte_shift(unsigned long mask)
{
    int top = 0;
    while (mask >> (top + 1))
        top++;
    return top - 7;
}

// Every pixel of a true-colour image of 16 or 32 bits a pixel, as red, green, blue in the first three
// of 4 bytes, each the top bits of its channel: all of them on a 24-bit screen, 8 of 10 on a 30-bit
// one, 5 or 6 in the top bits on a 16-bit one. Rows of width * 4 bytes; empty for other images.
static std::vector<uint8_t> rgb_bytes(const XImage *image)
{
    int bytes = image->bits_per_pixel / 8;
    std::vector<uint8_t> rgb;
    if ((bytes != 2 && bytes != 4) || !image->red_mask || !image->green_mask || !image->blue_mask)
        return rgb;
    rgb.resize(size_t{4} * image->width * image->height);
    const unsigned long masks[3] = {image->red_mask, image->green_mask, image->blue_mask};
    const int shifts[3] = {top_byte_shift(masks[0]), top_byte_shift(masks[1]), top_byte_shift(masks[2])};
    uint8_t *out = rgb.data();
    for (int y = 0; y < image->height; y++) {
        const uint8_t *px = reinterpret_cast<const uint8_t *>(image->data) + y * image->bytes_per_line;
        for (int x = 0; x < image->width; x++, px += bytes, out += 4) {
            uint32_t value = 0;
            for (int i = 0; i < bytes; i++)
                value |= uint32_t{px[image->byte_order == LSBFirst ? i : bytes - 1 - i]} << (8 * i);
            for (int c = 0; c < 3; c++) {
                uint32_t channel = value & masks[c];
                out[c] = static_cast<uint8_t>(shifts[c] >= 0 ? channel >> shifts[c] : channel << -shifts[c]);
            }
        }
    }
    return rgb;
}

// Green width of the strip when every row of it is green from the left edge and black after, all
// rows alike; -1 otherwise. Pixels as rgb_bytes() gives them; a colour within 8 levels of each
// channel is the same colour, as a 16-bit screen keeps it.
static int strip_width(const std::vector<uint8_t> &rgb)
{
    int width = -1;
    for (int y = PICTURE_H; y < WIN_H; y++) {
        const uint8_t *row = rgb.data() + size_t{4} * WIN_W * y;
        auto is = [&](int px, int red, int green, int blue) {
            auto near = [](int seen, int wanted) { return seen > wanted - 8 && seen < wanted + 8; };
            return px < WIN_W && near(row[px * 4], red) && near(row[px * 4 + 1], green) &&
                   near(row[px * 4 + 2], blue);
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

Shot shoot(Window window)
{
    Shot shot = {-1, -1};
    XImage *image = XGetImage(session.x, window, 0, 0, WIN_W, WIN_H, AllPlanes, ZPixmap);
    if (!image)
        return shot;
    std::vector<uint8_t> rgb = rgb_bytes(image);  // a screen of 16, 24 or 30 bits
    XDestroyImage(image);
    if (!rgb.empty()) {
        shot.index = clip_read_index(rgb.data(), WIN_W * 4, 4, 0, 1, 2);
        shot.strip = strip_width(rgb);
    }
    return shot;
}

bool green_on_screen(int *x, int *y)
{
    Display *display = session.x;
    int width = DisplayWidth(display, 0), height = DisplayHeight(display, 0);
    XImage *image = XGetImage(display, DefaultRootWindow(display), 0, 0, width, height, AllPlanes, ZPixmap);
    if (!image)
        return false;
    std::vector<uint8_t> rgb = rgb_bytes(image);
    XDestroyImage(image);
    for (size_t at = 0; at < rgb.size(); at += 4) {
        if (rgb[at] == 0 && rgb[at + 1] == 255 && rgb[at + 2] == 128) {
            *x = static_cast<int>(at / 4 % width);
            *y = static_cast<int>(at / 4 / width);
            return true;
        }
    }
    return false;
}

int expected_strip(int index, int frames) { return static_cast<int>(int64_t{WIN_W} * index / frames); }

bool agrees(Shot shot, int frames)
{
    return shot.index >= 0 && shot.index < frames && shot.strip == expected_strip(shot.index, frames);
}

bool wait_shot(Window window, int index, int strip)
{
    return poll_until(FRAME_TIMEOUT_MS, 10, [&] {
        Shot shot = shoot(window);
        return (index < 0 || shot.index == index) && shot.strip == strip;
    });
}

bool wait_frame(Window window, int index, int frames)
{
    return poll_until(FRAME_TIMEOUT_MS, 10, [&] {
        Shot shot = shoot(window);
        return (index < 0 || shot.index == index) && agrees(shot, frames);
    });
}

void expect_paused_on(Window window, int index, int frames)
{
    ASSERT_TRUE(wait_frame(window, index, frames)) << "frame " << index << " never shown";
    sleep_ms(300);
    Shot later = shoot(window);
    EXPECT_EQ(later.index, index);
    EXPECT_EQ(later.strip, expected_strip(index, frames));
}

std::vector<Shot> sample(Window window, int shots)
{
    std::vector<Shot> taken;
    for (int i = 0; i < shots; i++, sleep_ms(15))
        taken.push_back(shoot(window));
    return taken;
}

void expect_playing(Window window, int speed, int frames)
{
    ASSERT_TRUE(wait_frame(window, -1, frames)) << "no frame shown";
    std::set<int> seen;
    for (Shot shot : sample(window, 16)) {
        EXPECT_TRUE(agrees(shot, frames)) << "picture " << shot.index << ", strip " << shot.strip;
        EXPECT_EQ(shot.index % speed, 0) << "frame " << shot.index << " at speed " << speed;
        seen.insert(shot.index);
    }
    EXPECT_GE(seen.size(), 2u) << "playback does not move";
}

void key_event(KeySym sym, bool down)
{
    KeyCode code = XKeysymToKeycode(session.x, sym);
    if (code == 0) {
        ADD_FAILURE() << "no key for " << XKeysymToString(sym);
        return;
    }
    XTestFakeKeyEvent(session.x, code, down ? True : False, CurrentTime);
    XFlush(session.x);
}

void press(KeySym sym)
{
    for (bool down : {true, false}) {  // apart in time, or SDL takes release and press for auto-repeat
        key_event(sym, down);
        sleep_ms(40);
    }
}
