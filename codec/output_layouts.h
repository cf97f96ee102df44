// Turning decoded rows, as the picture stores them, into the caller's
// layout, in place.
#ifndef TZF_CODEC_OUTPUT_LAYOUTS_H
#define TZF_CODEC_OUTPUT_LAYOUTS_H

#include <stdint.h>

#include "tzf/tzf.h"

// Colours of the palette indices, each as the four output bytes R, G, B, 255.
struct PaletteColours {
  uint8_t rgba[256][4];
};

// Bytes per pixel of `format` for a picture of `bits_per_pixel`; 0 for an
// unknown format.
uint32_t format_bytes_per_pixel(int format, uint32_t bits_per_pixel);

// Rewrites the first `width` stored pixels of `row` (1 or 3 bytes each) as
// `format` (TZF_FORMAT_RGB or TZF_FORMAT_RGBA). The row must hold `width`
// pixels of the output format; a wider output pixel is written from the
// row's end backwards, so no stored pixel is overwritten before it is read.
void convert_row(uint8_t* row, uint32_t width, uint32_t stored_bytes, int format,
                 const PaletteColours& palette);

#endif
