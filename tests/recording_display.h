// A display that records instead of drawing, and an SDL_Delay that records instead of waiting:
// the loop's tests link these in place of the real display, and see each pass as one record.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

struct PassRecord {
    uint32_t wait_ms;  // the pass idled this long; 0 when it presented a frame
    int32_t index;     // frame presented (the strip's index); -1 for the window refreshed as it was
    int32_t count;
    int picture;       // index read back from the picture's cells, -1 if none
};

// Called after every record with the records so far; pushes the events a test scripts.
using PassHook = std::function<void(const std::vector<PassRecord> &)>;

void recording_start(PassHook hook);
const std::vector<PassRecord> &recording_passes();
