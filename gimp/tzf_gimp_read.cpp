// Reading a TZF file for the GIMP plug-in: header, limits, the usable extent
// kept in a block that grows with the bytes that arrive, one decoding.
#include "gimp/tzf_gimp_read.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

// Bytes read from the source at a time.
constexpr size_t kReadChunk = size_t{1} << 16;
// The kept bytes' first block; it doubles as more arrive, up to the extent.
constexpr uint64_t kFirstKeptBlock = uint64_t{1} << 20;

// Reads until `count` bytes arrived or the source ended; the bytes read, or
// TZF_READ_FAILED.
size_t read_fully(const TzfGimpSource& source, uint8_t* to, size_t count) {
  size_t got = 0;
  while (got < count) {
    const size_t n = source.read(source.user, to + got, count - got);
    if (n == TZF_READ_FAILED) return TZF_READ_FAILED;
    if (n == 0) break;
    got += std::min(n, count - got);
  }
  return got;
}

TzfGimpStatus say(TzfGimpStatus status, char* message, size_t message_size, const char* text) {
  if (message != nullptr && message_size > 0) snprintf(message, message_size, "%s", text);
  return status;
}

// Grows `kept` to hold at least `needed` bytes, at most `limit`.
bool reserve(uint8_t** kept, uint64_t* capacity, uint64_t needed, uint64_t limit) {
  if (needed <= *capacity) return true;
  uint64_t grown = std::max(*capacity, kFirstKeptBlock);
  while (grown < needed) grown = grown > limit / 2 ? limit : grown * 2;
  grown = std::min(grown, limit);
  void* moved = realloc(*kept, static_cast<size_t>(grown));
  if (moved == nullptr) return false;
  *kept = static_cast<uint8_t*>(moved);
  *capacity = grown;
  return true;
}

}  // namespace

TzfGimpStatus tzf_gimp_read_picture(const TzfGimpSource& source, uint32_t max_side,
                                    const tzf_progress* progress, TzfGimpPicture* picture,
                                    char* message, size_t message_size) {
  uint8_t* chunk = nullptr;
  uint8_t* kept = nullptr;
  uint8_t* pixels = nullptr;
  TzfGimpStatus status = kTzfGimpOk;
  tzf_info info{};
  tzf_extent extent{};
  tzf_result result{};
  uint64_t capacity = 0;
  uint64_t held = 0;
  uint64_t at = 0;
  size_t stride = 0;
  size_t bytes = 0;
  int format = TZF_FORMAT_RGB;
  *picture = TzfGimpPicture{};

  chunk = static_cast<uint8_t*>(malloc(std::max<size_t>(kReadChunk, TZF_INFO_SIZE)));
  if (chunk == nullptr) {
    status = say(kTzfGimpNoMemory, message, message_size, "Not enough memory to read the file");
    goto done;
  }
  {
    const size_t got = read_fully(source, chunk, TZF_INFO_SIZE);
    if (got == TZF_READ_FAILED) {
      status = say(kTzfGimpReadError, message, message_size, "Could not read the file");
      goto done;
    }
    const int read = tzf_read_info(chunk, got, &info);
    if (read == TZF_ERROR_NOT_TZF) {
      status = say(kTzfGimpNotTzf, message, message_size, "Not a TZF picture");
      goto done;
    }
    if (read == TZF_ERROR_BAD_SIZE) {
      status = say(kTzfGimpBadSize, message, message_size,
                   "TZF picture with a width or height of 0 or less");
      goto done;
    }
    if (read != TZF_OK) {
      status = say(kTzfGimpFailed, message, message_size, tzf_status_text(read));
      goto done;
    }
    if (info.width > max_side || info.height > max_side) {
      if (message != nullptr && message_size > 0)
        snprintf(message, message_size,
                 "TZF picture of %u x %u pixels is larger than GIMP's limit of %u pixels a side",
                 info.width, info.height, max_side);
      status = kTzfGimpTooLarge;
      goto done;
    }
    // The limit every surface applies, for the RGB pixels of either depth.
    const int limits = tzf_check_limits(&info, TZF_FORMAT_RGB, nullptr);
    if (limits != TZF_OK) {
      if (message != nullptr && message_size > 0)
        snprintf(message, message_size,
                 "TZF picture of %u x %u pixels is larger than the limit of %u megapixels",
                 info.width, info.height, TZF_DEFAULT_MAX_PIXELS >> 20);
      status = kTzfGimpTooLarge;
      goto done;
    }
    format = info.bits_per_pixel == 8 ? TZF_FORMAT_NATIVE : TZF_FORMAT_RGB;
    const int sized = tzf_output_size(&info, format, &stride, &bytes);
    const int extent_status = sized == TZF_OK ? tzf_usable_extent(&info, &extent) : sized;
    if (extent_status != TZF_OK || extent.kept_bytes > SIZE_MAX) {
      status = say(kTzfGimpFailed, message, message_size,
                   extent_status != TZF_OK ? tzf_status_text(extent_status)
                                           : tzf_status_text(TZF_ERROR_TOO_LARGE));
      goto done;
    }
    // The kept bytes grow with what the file holds: a short file declaring a
    // large picture costs no more than its size here.
    // One byte at least, so that the decoding always has a block to read.
    if (!reserve(&kept, &capacity, std::max<uint64_t>(1, tzf_keep(&extent, 0, chunk, got, nullptr)),
                 std::max<uint64_t>(1, extent.kept_bytes))) {
      status = say(kTzfGimpNoMemory, message, message_size, "Not enough memory to read the file");
      goto done;
    }
    held = tzf_keep(&extent, 0, chunk, got, kept);
    at = got;
    bool more = got == TZF_INFO_SIZE;
    while (more && held < extent.kept_bytes) {
      const size_t n = source.read(source.user, chunk, kReadChunk);
      if (n == TZF_READ_FAILED) {
        status = say(kTzfGimpReadError, message, message_size, "Could not read the file");
        goto done;
      }
      if (n == 0) break;
      const size_t length = std::min(n, kReadChunk);
      if (!reserve(&kept, &capacity, tzf_keep(&extent, at, chunk, length, nullptr),
                   extent.kept_bytes)) {
        status = say(kTzfGimpNoMemory, message, message_size, "Not enough memory to read the file");
        goto done;
      }
      held = tzf_keep(&extent, at, chunk, length, kept);
      at += length;
    }
  }
  // Within the limits checked above; zeroed, so rows a cancelled decoding
  // never reached are black rather than whatever memory held.
  pixels = static_cast<uint8_t*>(calloc(bytes, 1));
  if (pixels == nullptr) {
    status = say(kTzfGimpNoMemory, message, message_size, "Not enough memory for the picture");
    goto done;
  }
  {
    const int decoded = tzf_decode_kept(&info, kept, static_cast<size_t>(held), format, pixels,
                                        static_cast<ptrdiff_t>(stride), progress, &result);
    if (decoded == TZF_ERROR_CANCELLED) {
      status = say(kTzfGimpCancelled, message, message_size, "Loading was cancelled");
      goto done;
    }
    if (decoded != TZF_OK) {
      status = say(kTzfGimpFailed, message, message_size, tzf_status_text(decoded));
      goto done;
    }
  }
  picture->width = info.width;
  picture->height = info.height;
  picture->indexed = info.bits_per_pixel == 8;
  memcpy(picture->palette, info.palette, sizeof picture->palette);
  picture->palette_size = picture->indexed ? info.palette_size : 0;
  picture->pixels = pixels;
  picture->stride = stride;
  picture->rows_held = result.rows_held;
  picture->truncated = result.truncated != 0;
  pixels = nullptr;

done:
  free(chunk);
  free(kept);
  free(pixels);
  return status;
}

void tzf_gimp_free_picture(TzfGimpPicture* picture) {
  if (picture == nullptr) return;
  free(picture->pixels);
  picture->pixels = nullptr;
}
