// End to end: the built player in an X server of this binary's own (Xvfb), watched and driven the
// way a user and a window manager would: the window found by its title, screenshots read back for
// the frame index that each test clip carries, keys through XTest, closing by WM_DELETE_WINDOW.
#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool) would break gtest's templates.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "clip.h"
#include "x_session.h"

constexpr int FRAMES = SUITE_FRAMES;  // frames in the suite's clip


struct Korlan : PlayerSuite {
    static void SetUpTestSuite() { start_suite("e2e"); }
};

TEST_F(Korlan, OpensTitledWindowPlaysAndClosesWithStatusZero)
{
    std::string odd = work + "/a %n%s b.dv";  // printed literally, never used as a format
    ASSERT_TRUE(clip_write(odd.c_str(), FRAMES, CLIP_PAL));
    Window window = open_window(odd);
    ASSERT_NE(window, 0u) << "no window titled \"Korlan " << odd << "\"";
    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(session.x, window, &attributes));
    EXPECT_EQ(attributes.width, WIN_W);
    EXPECT_EQ(attributes.height, WIN_H);
    // The icon title comes in requests of its own after the title's: the server may answer
    // between them.
    std::string icon_title;
    EXPECT_TRUE(poll_until(WINDOW_TIMEOUT_MS, 10, [&] {
        char *icon = nullptr;
        if (XGetIconName(session.x, window, &icon) && icon) {
            icon_title = icon;
            XFree(icon);
        }
        return icon_title == "testwin";
    })) << "icon title \"" << icon_title << "\"";
    EXPECT_TRUE(poll_until(WINDOW_TIMEOUT_MS, 10,
                           [&] { return utf8_title(window, "_NET_WM_ICON_NAME") == "testwin"; }));

    expect_playing(window, 1, FRAMES);
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
    expect_paused_on(window, 0, FRAMES);
    press(XK_End);
    expect_paused_on(window, FRAMES - 1, FRAMES);
    press(XK_Prior);  // Page Up on the last frame wraps to the first
    expect_paused_on(window, 0, FRAMES);
    press(XK_Next);  // Page Down on the first wraps to the last
    expect_paused_on(window, FRAMES - 1, FRAMES);
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
    expect_playing(window, 4, FRAMES);
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
    ASSERT_TRUE(wait_frame(window, -1, FRAMES));
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
    expect_playing(window, 1, FRAMES);  // pictures follow the strip again
    close_window(window);
    EXPECT_EQ(player_exit(), 0);
}
