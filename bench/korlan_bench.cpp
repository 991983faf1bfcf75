// korlan_bench CLIP [benchmark flags]: the viewer's modules, each beside its peer in the same run.
// Needs an X server (DISPLAY): the display module opens its real window.
//   Decode      dvreadblock beside the ffmpeg command line decoding the same clip to rgb24 (run
//               Decode_SideBySide on its own: its counters differ from the others'); decoding in
//               the decoder's process as the player does (frame_decode), and its round trip alone
//               (frame_is_pal: the frame's copy, the request and the reply)
//   Pass        one pass of the loop through the modules (read, decode, present) against the same
//               calls made directly, with none of the modules' code around them
//   PassNoDecode   the same with decoding off
//   Parts       read, decode, and each SDL call of a presentation on its own: where a pass goes
// Most benchmarks also count the heap allocations they make per iteration (in the label).
#include <SDL.h>
#include <spawn.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "common.h"
#include "display.h"
#include "dvlib.h"
#include "frame_source.h"

extern char **environ;

static const char *clip_path;
static FrameFile clip;
static std::vector<DvFrame> clip_frames;  // the whole clip in memory, for decoding without reading
static DvFrame frame;
static RgbImage *image;  // shared with the decoder's process, as the player's
static SDL_Surface *screen;

// Heap allocations per iteration, as the label: counters would have to exist in every benchmark.
static void count_allocations(benchmark::State &state, uint64_t before)
{
    char label[64];
    snprintf(label, sizeof label, "allocs/iteration=%.2f",
             static_cast<double>(alloc_count() - before) / static_cast<double>(state.iterations()));
    state.SetLabel(label);
}

// --- Decoding ---

// Seconds the ffmpeg command line takes to decode `frames` frames of the clip to rgb24, from its
// exec to its exit; -1 when it fails.
static double ffmpeg_seconds(int frames)
{
    std::string count = std::to_string(frames);
    const char *argv[] = {"ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-i", clip_path, "-frames:v",
                          count.c_str(), "-pix_fmt", "rgb24", "-f", "null", "-", nullptr};
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took.count() : -1;
}

// ffmpeg's time for one frame, the middle one of three runs: what its start-up costs varies more
// from run to run than its decoding does.
static double ffmpeg_start_seconds()
{
    double runs[3];
    for (double &run : runs)
        run = ffmpeg_seconds(1);
    std::sort(runs, runs + 3);
    return runs[0] < 0 ? -1 : runs[1];
}

// Frames that each side decodes per repetition, from the start of the clip: short runs, so that
// both sides of a repetition meet the same machine (this one's speed drifts within seconds).
constexpr int32_t SIDE_BY_SIDE_FRAMES = 600;

// Seconds dvreadblock takes to decode the first `frames` frames of the clip, from memory.
static double dvreadblock_seconds(int32_t frames)
{
    auto start = std::chrono::steady_clock::now();
    for (int32_t i = 0; i < frames; i++)
        dvreadblock(clip_frames[i].bytes, image->pixels, DV_OUTPUT_RGB24, DV_QUALITY_FULL);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return took.count();
}

static bool dvreadblock_first;  // which side goes first alternates from one repetition to the next

// dvreadblock and the ffmpeg command line on the same frames, one right after the other in every
// repetition; the ratio is taken per repetition. ffmpeg's start-up is taken out by subtracting
// its time for one frame from its time for all of them.
static void Decode_SideBySide(benchmark::State &state)
{
    int32_t frames = std::min(clip.count, SIDE_BY_SIDE_FRAMES);
    for (auto _ : state) {
        double dv = dvreadblock_first ? dvreadblock_seconds(frames) : 0;
        double one = ffmpeg_start_seconds(), all = ffmpeg_seconds(frames);
        if (!dvreadblock_first)
            dv = dvreadblock_seconds(frames);
        dvreadblock_first = !dvreadblock_first;
        if (one < 0 || all < 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        double ffmpeg_fps = (frames - 1) / (all - one), dvreadblock_fps = frames / dv;
        state.SetIterationTime(dv);
        state.counters["ffmpeg_fps"] = ffmpeg_fps;
        state.counters["dvreadblock_fps"] = dvreadblock_fps;
        state.counters["ratio"] = dvreadblock_fps / ffmpeg_fps;
    }
}
BENCHMARK(Decode_SideBySide)->UseManualTime()->Iterations(1)->Repetitions(21)->Unit(benchmark::kMillisecond);

static void Decode_Dvreadblock(benchmark::State &state)
{
    size_t next = 0;
    uint64_t before = alloc_count();
    for (auto _ : state) {
        dvreadblock(clip_frames[next].bytes, image->pixels, DV_OUTPUT_RGB24, DV_QUALITY_FULL);
        next = (next + 1) % clip_frames.size();
    }
    count_allocations(state, before);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Decode_Dvreadblock)->UseRealTime()->MinTime(2)->Repetitions(3)->Unit(benchmark::kMicrosecond);

static void Decode_ReadInItsProcess(benchmark::State &state)
{
    int32_t next = 0;
    uint64_t before = alloc_count();
    for (auto _ : state) {
        frame_file_read(&clip, next, &frame);
        frame_decode(&frame, image);
        next = (next + 1) % clip.count;
    }
    count_allocations(state, before);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Decode_ReadInItsProcess)->UseRealTime()->MinTime(2)->Repetitions(3)->Unit(benchmark::kMicrosecond);

// The round trip to the decoder's process with next to no decoding in it.
static void Decode_ProcessRoundTrip(benchmark::State &state)
{
    DvInfo info;
    uint64_t before = alloc_count();
    for (auto _ : state)
        benchmark::DoNotOptimize(frame_is_pal(&clip_frames[0], &info));
    count_allocations(state, before);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Decode_ProcessRoundTrip)->UseRealTime()->MinTime(2)->Repetitions(3)->Unit(benchmark::kMicrosecond);

// --- One pass: the modules against the bare calls ---

// A presentation made directly with SDL, in the display's order.
static void bare_present(int32_t index)
{
    SDL_Surface *picture = SDL_CreateRGBSurfaceFrom(image->pixels, FRAME_WIDTH, FRAME_HEIGHT, RGB_DEPTH, RGB_ROW_BYTES,
                                                    0x0000FF, 0x00FF00, 0xFF0000, 0);
    SDL_BlitSurface(picture, nullptr, screen, nullptr);
    SDL_Rect strip = {0, FRAME_HEIGHT, FRAME_WIDTH, STRIP_HEIGHT};
    SDL_FillRect(screen, &strip, SDL_MapRGB(screen->format, 0, 0, 0));
    strip.w = static_cast<Uint16>(static_cast<double>(FRAME_WIDTH) * index / clip.count);
    SDL_FillRect(screen, &strip, SDL_MapRGB(screen->format, STRIP_FILL.r, STRIP_FILL.g, STRIP_FILL.b));
    SDL_UpdateRect(screen, 0, 0, FRAME_WIDTH, FRAME_HEIGHT + STRIP_HEIGHT);
    SDL_FreeSurface(picture);
    SDL_Flip(screen);
}

static void bare_read(int32_t index)
{
    fseeko(clip.stream, static_cast<off_t>(index) * DV_FRAME_BYTES, SEEK_SET);
    size_t got = fread(frame.bytes, 1, DV_FRAME_BYTES, clip.stream);
    benchmark::DoNotOptimize(got);
}

static void Pass_Modules(benchmark::State &state)
{
    int32_t next = 0;
    uint64_t before = alloc_count();
    for (auto _ : state) {
        frame_file_read(&clip, next, &frame);
        frame_decode(&frame, image);
        display_present(image, next, clip.count);
        next = (next + 1) % clip.count;
    }
    count_allocations(state, before);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Pass_Modules)->MinTime(3)->Repetitions(3)->Unit(benchmark::kMicrosecond);

static void Pass_BareCalls(benchmark::State &state)
{
    int32_t next = 0;
    uint64_t before = alloc_count();
    for (auto _ : state) {
        bare_read(next);
        dvreadblock(frame.bytes, image->pixels, DV_OUTPUT_RGB24, DV_QUALITY_FULL);
        bare_present(next);
        next = (next + 1) % clip.count;
    }
    count_allocations(state, before);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Pass_BareCalls)->MinTime(3)->Repetitions(3)->Unit(benchmark::kMicrosecond);

static void PassNoDecode_Modules(benchmark::State &state)
{
    int32_t next = 0;
    uint64_t before = alloc_count();
    for (auto _ : state) {
        frame_file_read(&clip, next, &frame);
        display_present(image, next, clip.count);
        next = (next + 1) % clip.count;
    }
    count_allocations(state, before);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(PassNoDecode_Modules)->MinTime(3)->Repetitions(3)->Unit(benchmark::kMicrosecond);

static void PassNoDecode_BareCalls(benchmark::State &state)
{
    int32_t next = 0;
    uint64_t before = alloc_count();
    for (auto _ : state) {
        bare_read(next);
        bare_present(next);
        next = (next + 1) % clip.count;
    }
    count_allocations(state, before);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(PassNoDecode_BareCalls)->MinTime(3)->Repetitions(3)->Unit(benchmark::kMicrosecond);

// --- The parts of a pass, one at a time ---

static void Part_Read(benchmark::State &state)
{
    int32_t next = 0;
    uint64_t before = alloc_count();
    for (auto _ : state) {
        frame_file_read(&clip, next, &frame);
        next = (next + 1) % clip.count;
    }
    count_allocations(state, before);
}
BENCHMARK(Part_Read)->Unit(benchmark::kMicrosecond);

// The wrapper surface, the 24-to-32-bit blit into the window, and freeing the wrapper.
static void Part_WrapAndBlit(benchmark::State &state)
{
    uint64_t before = alloc_count();
    for (auto _ : state) {
        SDL_Surface *picture = SDL_CreateRGBSurfaceFrom(image->pixels, FRAME_WIDTH, FRAME_HEIGHT, RGB_DEPTH,
                                                        RGB_ROW_BYTES, 0x0000FF, 0x00FF00, 0xFF0000, 0);
        SDL_BlitSurface(picture, nullptr, screen, nullptr);
        SDL_FreeSurface(picture);
    }
    count_allocations(state, before);
}
BENCHMARK(Part_WrapAndBlit)->Unit(benchmark::kMicrosecond);

static void Part_StripFills(benchmark::State &state)
{
    for (auto _ : state) {
        SDL_Rect strip = {0, FRAME_HEIGHT, FRAME_WIDTH, STRIP_HEIGHT};
        SDL_FillRect(screen, &strip, SDL_MapRGB(screen->format, 0, 0, 0));
        strip.w = FRAME_WIDTH / 2;
        SDL_FillRect(screen, &strip, SDL_MapRGB(screen->format, STRIP_FILL.r, STRIP_FILL.g, STRIP_FILL.b));
    }
}
BENCHMARK(Part_StripFills)->Unit(benchmark::kMicrosecond);

static void Part_UpdateRect(benchmark::State &state)
{
    uint64_t before = alloc_count();
    for (auto _ : state)
        SDL_UpdateRect(screen, 0, 0, WINDOW_WIDTH, WINDOW_HEIGHT);
    count_allocations(state, before);
}
BENCHMARK(Part_UpdateRect)->Unit(benchmark::kMicrosecond);

static void Part_Flip(benchmark::State &state)
{
    uint64_t before = alloc_count();
    for (auto _ : state)
        SDL_Flip(screen);
    count_allocations(state, before);
}
BENCHMARK(Part_Flip)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: korlan_bench CLIP [--benchmark_...]\n");
        return 2;
    }
    clip_path = argv[1];
    dvinit();  // for the direct calls; the modules' go to the decoder's process, as the player's
    image = frame_image_alloc();
    if (!image || !frame_decoder_start(image)) {
        fprintf(stderr, "korlan_bench: no decoder process\n");
        return 1;
    }
    if (!frame_file_open(clip_path, &clip) || clip.count < 2) {
        fprintf(stderr, "korlan_bench: %s is not a clip of two frames or more\n", clip_path);
        return 1;
    }
    clip_frames.resize(clip.count);
    for (int32_t i = 0; i < clip.count; i++)
        frame_file_read(&clip, i, &clip_frames[i]);
    frame_decode(&clip_frames[0], image);
    display_open(clip_path);
    screen = SDL_GetVideoSurface();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    frame_file_close(&clip);
    return 0;
}
