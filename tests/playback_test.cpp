// The playback loop over real clips and SDL's real event queue (dummy video driver), with the
// display and SDL_Delay recorded: each test reads the loop as a trace of passes, such as
// "0 1 2 W 3", where a number is a presented frame and W a 40 ms wait.
#include <SDL.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "clip.h"
#include "player.h"
#include "recording_display.h"

static std::string clip_path(int frames)
{
    return std::string(TEST_WORK_DIR) + "/loop-" + std::to_string(frames) + ".dv";
}

struct Loop : ::testing::Test {
    static void SetUpTestSuite()
    {
        for (int frames : {10, 1}) {  // written aside, then renamed: other test processes may read
            std::string aside = clip_path(frames) + "." + std::to_string(getpid());
            ASSERT_TRUE(clip_write(aside.c_str(), frames, CLIP_PAL));
            ASSERT_EQ(rename(aside.c_str(), clip_path(frames).c_str()), 0);
        }
        ASSERT_EQ(dvinit(), 0);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0);
    }
    static void TearDownTestSuite() { SDL_Quit(); }
    void SetUp() override
    {
        SDL_Event stale;
        while (SDL_PollEvent(&stale)) {
        }
        image = static_cast<RgbImage *>(calloc(1, sizeof(RgbImage)));
    }
    void TearDown() override { free(image); }

    // Runs the loop from `state` on a clip of `frames` frames; `script` pushes events after a pass
    // (numbered from 1), and the run ends with a quit request after `passes` passes.
    std::string run(PlayerState state, int frames, size_t passes,
                    std::function<void(size_t)> script = nullptr)
    {
        FrameFile file;
        EXPECT_TRUE(frame_file_open(clip_path(frames).c_str(), &file));
        recording_start([&](const std::vector<PassRecord> &done) {
            if (script)
                script(done.size());
            if (done.size() == passes)
                push_type(SDL_QUIT);
        });
        run_playback(&state, &file, &frame, image);
        frame_file_close(&file);
        final = state;
        return trace();
    }
    // The same, with keys pressed after the given passes.
    std::string run_keys(PlayerState state, int frames, size_t passes,
                         std::vector<std::pair<size_t, SDLKey>> keys)
    {
        return run(state, frames, passes, [keys](size_t pass) {
            for (const auto &[after, key] : keys)
                if (pass == after)
                    push_key(key);
        });
    }
    static std::string trace()
    {
        std::string out;
        for (const PassRecord &pass : recording_passes()) {
            out += out.empty() ? "" : " ";
            if (pass.wait_ms)
                out += pass.wait_ms == IDLE_DELAY_MS ? "W" : "W" + std::to_string(pass.wait_ms);
            else if (pass.index < 0)
                out += "R";  // the window drawn again as it was
            else
                out += std::to_string(pass.index) +
                       (pass.picture == pass.index ? "" : "/" + std::to_string(pass.picture));
        }
        return out;
    }
    static void push_type(Uint8 type)
    {
        SDL_Event event = {};
        event.type = type;
        ASSERT_EQ(SDL_PushEvent(&event), 0);
    }
    static void push_key(SDLKey sym)
    {
        SDL_Event event = {};
        event.type = SDL_KEYDOWN;
        event.key.state = SDL_PRESSED;
        event.key.keysym.sym = sym;
        ASSERT_EQ(SDL_PushEvent(&event), 0);
    }

    DvFrame frame;
    RgbImage *image = nullptr;
    PlayerState final = {};
};

TEST_F(Loop, PlaysForwardAndWrapsAtTheEnd)
{
    EXPECT_EQ(run(PLAYER_START, 10, 13), "0 1 2 3 4 5 6 7 8 9 0 1 2");
    for (const PassRecord &pass : recording_passes())
        EXPECT_EQ(pass.count, 10);
}

TEST_F(Loop, BackwardFromFrameZeroContinuesAtTheLastFrame)
{
    EXPECT_EQ(run({0, -1, -1, 0}, 10, 3), "0 9 8");
}

TEST_F(Loop, OvershootPastTheEndIsDropped)
{
    EXPECT_EQ(run({8, -1, 4, 0}, 10, 4), "8 0 4 8");
}

TEST_F(Loop, OneFrameFileIsShownOnceThenIdles)
{
    EXPECT_EQ(run(PLAYER_START, 1, 4), "0 W W W");
}

// An uncovered window (SDL_VIDEOEXPOSE) is also drawn again as it was, and nothing decoded.
TEST_F(Loop, EachEventCostsOneIdlePass)
{
    EXPECT_EQ(run(PLAYER_START, 10, 9, [](size_t pass) {
                  if (pass == 3)
                      push_type(SDL_MOUSEMOTION);
                  if (pass == 5)
                      push_type(SDL_KEYUP);
                  if (pass == 7)
                      push_type(SDL_VIDEOEXPOSE);
              }),
              "0 1 2 W 3 W 4 R W");
}

TEST_F(Loop, QuitRequestEndsTheLoopAtOnce)
{
    EXPECT_EQ(run(PLAYER_START, 10, 2), "0 1");
    EXPECT_EQ(final.current, 1);  // the pass that took the request did not advance
}

TEST_F(Loop, QuitKeysEndTheLoop)
{
    for (SDLKey key : {SDLK_q, SDLK_ESCAPE}) {
        EXPECT_EQ(run_keys(PLAYER_START, 10, 100, {{2, key}}), "0 1");
    }
}

TEST_F(Loop, KeyPassDoesNotAdvanceAndTheChangeTakesEffectNext)
{
    // An unbound key only stalls the pass that takes it.
    EXPECT_EQ(run_keys(PLAYER_START, 10, 8, {{2, SDLK_a}, {4, SDLK_LEFT}}), "0 1 W 2 W 1 0 9");
}

// Page Down on frame 0 and Page Up on the last frame leave the index outside the file: the next
// pass shows the last frame and frame 0.
TEST_F(Loop, PausedPlayerIdlesAndStepsOnPageKeys)
{
    EXPECT_EQ(run_keys(PLAYER_START, 10, 10,
                       {{2, SDLK_SPACE}, {4, SDLK_HOME}, {6, SDLK_PAGEDOWN}, {8, SDLK_PAGEUP}}),
              "0 1 W W 0 W 9 W 0 W");
}

TEST_F(Loop, DecodingOffFreezesThePictureWhileTheStripMoves)
{
    EXPECT_EQ(run_keys(PLAYER_START, 10, 8, {{3, SDLK_F1}, {6, SDLK_F1}}), "0 1 2 W 3/2 4/2 W 5");
    EXPECT_EQ(final.skip_decode, 0);
}
