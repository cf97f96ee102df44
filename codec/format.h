// The constants of the TZF format, in one place for the decoder, the
// encoder and the tools.
//
// A picture is, in this order with no gaps: the 64-byte header, the colour
// table (1024 bytes for 8-bit pictures, none for 24-bit), the flag stream,
// the command stream and the literal stream (every byte to the end of the
// data). Numbers are little-endian.
//
// Pixels are numbered in decoding order, row 0 being the bottom row of the
// picture. For every pixel that no run covers, the next flag bit (most
// significant first) chooses: 0 takes one literal pixel from the literal
// stream, 1 takes a command byte whose high four bits select a displacement
// (dx, dy) and whose low four bits give the run length - 3.
#ifndef TZF_CODEC_FORMAT_H
#define TZF_CODEC_FORMAT_H

#include <stddef.h>
#include <stdint.h>

inline constexpr uint8_t kMagic[4] = {'T', 'Z', 'F', 0};
inline constexpr uint32_t kFormatVersion = 3;  // 2 is read alike
inline constexpr uint32_t kHeaderLength = 64;
inline constexpr uint32_t kColourTableLength = 1024;   // 256 entries of B, G, R, 0
inline constexpr int32_t kPaletteStreamOffset = 1088;  // header + colour table
inline constexpr int32_t kTrueColourStreamOffset = 64;

// Where the header's fields lie; the other bytes are not interpreted.
enum HeaderField : size_t {
  kFieldMagic = 0,                // 4 bytes
  kFieldVersion = 4,              // uint32
  kFieldHeaderLength = 8,         // int32
  kFieldWidth = 12,               // int32
  kFieldHeight = 16,              // int32
  kFieldBitsPerPixel = 24,        // int16
  kFieldPixelStreamOffset = 40,   // int32
  kFieldFlagStreamLength = 48,    // uint32
  kFieldCommandStreamLength = 52  // uint32
};

inline constexpr uint32_t kMinRun = 3;
inline constexpr uint32_t kMaxRun = 18;

struct Displacement {
  int32_t dx;  // pixels along the row; negative is towards the row's start
  int32_t dy;  // rows; negative is towards rows decoded earlier
};

// The sixteen copy displacements, indexed by the high four bits of a command
// byte. The order is part of the format.
inline constexpr Displacement kDisplacementTable[16] = {
    {3, -3}, {-4, -4}, {-4, -2}, {-2, -1}, {0, -2}, {-3, -1}, {-1, -1}, {0, -1},
    {0, -4}, {-4, 0},  {1, -1},  {0, -3},  {2, -1}, {-2, -2}, {-3, -3}, {-4, -1},
};

// The functions below have internal linkage: the pixel decoder is compiled
// twice, for two processor levels, and an out-of-line copy shared between
// the two builds could run on a processor that lacks the newer one.

// Distance in pixels, in decoding order, from a run's pixel to its source.
static inline int64_t displacement_offset(uint8_t command, int32_t width) {
  const Displacement& d = kDisplacementTable[command >> 4];
  return static_cast<int64_t>(d.dy) * width + d.dx;
}

// Pixels a command byte's run covers: 3 to 18.
static inline uint32_t run_length(uint8_t command) { return (command & 0x0Fu) + kMinRun; }

// Pixels before which every source of every displacement lies inside the
// picture: four rows and four pixels.
static inline uint64_t farthest_source(uint64_t width) { return 4 * width + 4; }

#endif
