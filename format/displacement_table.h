// The sixteen copy displacements of the pixel encoding, indexed by the high
// four bits of a command byte. dx counts pixels along the row (negative is
// towards the row's start), dy counts rows (negative is towards rows decoded
// earlier). The order is part of the format.
#ifndef TZF_FORMAT_DISPLACEMENT_TABLE_H
#define TZF_FORMAT_DISPLACEMENT_TABLE_H

#include <stdint.h>

struct Displacement {
  int32_t dx;
  int32_t dy;
};

inline constexpr Displacement kDisplacementTable[16] = {
    {3, -3}, {-4, -4}, {-4, -2}, {-2, -1}, {0, -2}, {-3, -1}, {-1, -1}, {0, -1},
    {0, -4}, {-4, 0},  {1, -1},  {0, -3},  {2, -1}, {-2, -2}, {-3, -3}, {-4, -1},
};

// Distance in pixels, in decoding order, from a run's pixel to its source.
inline int64_t displacement_offset(uint8_t command, int32_t width) {
  const Displacement& d = kDisplacementTable[command >> 4];
  return static_cast<int64_t>(d.dy) * width + d.dx;
}

// Pixels a command byte's run covers: 3 to 18.
inline uint32_t run_length(uint8_t command) { return (command & 0x0Fu) + 3u; }

#endif
