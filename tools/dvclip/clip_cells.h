// Where a test clip's frame carries its index: a row of cells, each one bit, black or white.
#pragma once

#include <cstdint>

constexpr int CELL = 32;          // pixels, side of one cell
constexpr int CELLS_X = 96;       // left edge of the first cell
constexpr int CELLS_Y = 64;       // top edge of the row
constexpr uint8_t LUMA_ONE = 235;  // white in limited range
constexpr uint8_t LUMA_ZERO = 16;  // black
constexpr uint8_t CHROMA_GREY = 128;
constexpr int THRESHOLD = 128;     // a cell's centre above this is a one
constexpr int MARGIN = 64;         // a centre within this of the threshold is no cell at all
