// The GIMP plug-in's reading of a TZF file into plain memory, apart from
// GIMP itself: the plug-in makes an image of the result, the fuzz target
// drives it from memory.
#ifndef TZF_GIMP_READ_H
#define TZF_GIMP_READ_H

#include <stddef.h>
#include <stdint.h>

#include "tzf/tzf.h"

// Where the file's bytes come from: `read` fills up to `count` bytes at `to`
// with the next bytes and returns how many it gave, 0 at the end, or
// TZF_READ_FAILED.
struct TzfGimpSource {
  size_t (*read)(void* user, void* to, size_t count);
  void* user;
};

// A picture read: 8-bit ones as palette indices with their colour table,
// 24-bit ones as red, green, blue.
struct TzfGimpPicture {
  uint32_t width, height;
  bool indexed;
  uint8_t palette[256][3];
  uint32_t palette_size;
  uint8_t* pixels;  // height rows of `stride` bytes, top row first (malloc)
  size_t stride;
  uint32_t rows_held;  // rows from the bottom the file held whole
  bool truncated;      // the file ended early: what was missing reads as zero
};

enum TzfGimpStatus {
  kTzfGimpOk = 0,
  kTzfGimpNotTzf,     // not a TZF picture
  kTzfGimpBadSize,    // width or height of 0 or less
  kTzfGimpTooLarge,   // over `max_side` or the library's default limits
  kTzfGimpNoMemory,   // an allocation failed
  kTzfGimpReadError,  // the source failed
  kTzfGimpCancelled,  // the progress callback asked to stop
  kTzfGimpFailed      // the library refused the picture otherwise
};

// Reads a picture from `source`: the header, GIMP's limit of `max_side`
// pixels a side and the library's default limits before anything is
// allocated, then only the bytes of the picture's usable extent (never more
// memory for them than the file holds), and decodes them. `progress` may be
// NULL. On failure `message` holds a sentence for the user and `picture`
// holds nothing to free. On success the caller frees it with
// tzf_gimp_free_picture.
TzfGimpStatus tzf_gimp_read_picture(const TzfGimpSource& source, uint32_t max_side,
                                    const tzf_progress* progress, TzfGimpPicture* picture,
                                    char* message, size_t message_size);

void tzf_gimp_free_picture(TzfGimpPicture* picture);

#endif
