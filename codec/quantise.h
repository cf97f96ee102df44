// Choosing a colour table for a true-colour picture and mapping its pixels
// onto a colour table, for 8-bit files. Pure computation on memory the
// caller hands in.
//
// Pixels are keys 0x00RRGGBB in decoding order: `width` pixels a row, row 0
// being the picture's bottom row.
#ifndef TZF_CODEC_QUANTISE_H
#define TZF_CODEC_QUANTISE_H

#include <stddef.h>
#include <stdint.h>

// Asked between steps of the work; false stops it.
struct QuantiseProgress {
  bool (*report)(void* user, uint32_t done, uint32_t total);
  void* user;
};

// Work bytes choose_palette and remap_pixels need for a picture of this
// size (at most; 0 never), or UINT64_MAX when that cannot be addressed.
uint64_t quantise_work_bytes(uint32_t width, uint32_t height);

// Chooses at most 256 colours for the picture's pixels, fills `palette`
// (red, green, blue) and returns how many it chose (1 .. 256), or 0 when
// cancelled.
uint32_t choose_palette(const uint32_t* keys, uint32_t width, uint32_t height,
                        uint8_t (*palette)[3], void* work, size_t work_size,
                        const QuantiseProgress& progress);

// Maps each pixel to an index of `palette` (palette_size entries, 1 ..
// 256): the nearest colour, or with serpentine error diffusion when
// `dither`. False when cancelled.
bool remap_pixels(const uint32_t* keys, uint32_t width, uint32_t height,
                  const uint8_t (*palette)[3], uint32_t palette_size, bool dither, uint8_t* indices,
                  void* work, size_t work_size, const QuantiseProgress& progress);

#endif
