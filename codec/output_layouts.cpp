#include "codec/output_layouts.h"

#include <string.h>

uint32_t format_bytes_per_pixel(int format, uint32_t bits_per_pixel) {
  switch (format) {
    case TZF_FORMAT_RGB:
      return 3;
    case TZF_FORMAT_RGBA:
      return 4;
    case TZF_FORMAT_NATIVE:
      return bits_per_pixel / 8;
    default:
      return 0;
  }
}

void convert_row(uint8_t* row, uint32_t width, uint32_t stored_bytes, int format,
                 const PaletteColours& palette) {
  const bool rgba = format == TZF_FORMAT_RGBA;
  if (stored_bytes == 1) {
    if (rgba) {
      for (uint32_t i = width; i-- != 0;)
        memcpy(row + 4 * static_cast<size_t>(i), palette.rgba[row[i]], 4);
    } else {
      for (uint32_t i = width; i-- != 0;) {
        const uint8_t* c = palette.rgba[row[i]];
        uint8_t* to = row + 3 * static_cast<size_t>(i);
        to[0] = c[0];
        to[1] = c[1];
        to[2] = c[2];
      }
    }
    return;
  }
  if (rgba) {
    for (uint32_t i = width; i-- != 0;) {
      const uint8_t* from = row + 3 * static_cast<size_t>(i);
      const uint8_t pixel[4] = {from[2], from[1], from[0], 255};
      memcpy(row + 4 * static_cast<size_t>(i), pixel, 4);
    }
  } else {
    for (uint32_t i = 0; i < width; ++i) {
      uint8_t* p = row + 3 * static_cast<size_t>(i);
      const uint8_t blue = p[0];
      p[0] = p[2];
      p[2] = blue;
    }
  }
}
