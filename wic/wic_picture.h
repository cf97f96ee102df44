// The format-independent half of the WIC decoder: reads a TZF picture from a
// byte source into the bytes decoding can use, and serves any rectangle of
// its pixels. No COM types here, so the native tests and the fuzz target
// build it on any platform.
#ifndef TZF_WIC_PICTURE_H
#define TZF_WIC_PICTURE_H

#include <tzf/tzf.h>

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace tzf_wic {

// The largest picture the decoder accepts: 128 megapixels and 512 MiB of
// decoded pixels, which a 32-bit host process can still hold beside the
// picture's data. Larger pictures are refused before anything is allocated.
inline constexpr uint64_t kMaxPixels = uint64_t{1} << 27;
inline constexpr uint64_t kMaxOutputBytes = uint64_t{512} << 20;

// What went wrong, mapped to an HRESULT by the COM glue.
enum class Status {
  ok,
  not_tzf,             // the data does not start like a TZF picture
  bad_header,          // width or height 0 or less
  too_large,           // over the limits above
  out_of_memory,       // an allocation failed
  read_failed,         // the byte source reported an error
  bad_image,           // the decoder refused the data
  invalid_argument,    // a rectangle outside the frame, a null pointer
  insufficient_buffer  // too small a stride or buffer
};

// Reads up to `count` bytes into `to`; returns the bytes given (0 at the end
// of the data) or -1 on a read error.
using ReadFunction = int64_t (*)(void* user, void* to, size_t count);

// A picture read from a byte source. Zero-initialise, fill with
// read_picture, release with free_picture. After reading, everything but the
// cached pixels is read-only, so threads may serve rectangles at once.
struct Picture {
  tzf_info info;
  tzf_extent extent;
  uint8_t* kept;  // the kept bytes held, in a block grown as the data arrived
  uint64_t held;  // kept bytes the data held; fewer means it ended early
  int format;     // TZF_FORMAT_NATIVE: 1 byte (index) or 3 bytes (blue, green, red)
  uint32_t pixel_bytes;
  std::mutex* cache_lock;
  uint8_t* cache;  // the whole frame, decoded on the first partial request
};

// Reads the picture from `read`, which starts at the picture's first byte.
// Data that ends early is no error: the missing bytes read as zero, as every
// other surface of the library shows such a picture.
Status read_picture(ReadFunction read, void* user, Picture* picture);

void free_picture(Picture* picture);

// Copies the rectangle (x, y, width, height) of the frame into `out`, rows
// `stride` bytes apart, top row first: the checks and results of
// IWICBitmapSource::CopyPixels. A whole-frame request decodes straight into
// `out`; others decode the frame once into the cache.
Status copy_pixels(Picture* picture, int64_t x, int64_t y, int64_t width, int64_t height,
                   uint64_t stride, uint64_t buffer_size, uint8_t* out);

}  // namespace tzf_wic

#endif
