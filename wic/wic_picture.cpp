#include "wic/wic_picture.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace tzf_wic {
namespace {

constexpr size_t kChunkBytes = 256 * 1024;

// Reads until `count` bytes arrived or the data ended; -1 on a read error.
int64_t read_fully(ReadFunction read, void* user, uint8_t* to, size_t count) {
  size_t got = 0;
  while (got < count) {
    const int64_t n = read(user, to + got, count - got);
    if (n < 0 || static_cast<uint64_t>(n) > count - got) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(got);
}

// Makes room for `needed` kept bytes, growing the block by doubling up to the
// extent's size: the kept bytes grow with what the data holds, so a short
// stream that declares large parts costs no more than its own length.
bool reserve_kept(Picture* picture, uint64_t needed, uint64_t* capacity) {
  if (needed <= *capacity) return true;
  const uint64_t limit = picture->extent.kept_bytes;
  uint64_t grown = *capacity > 0 ? *capacity : kChunkBytes;
  while (grown < needed) grown = grown > limit / 2 ? limit : grown * 2;
  if (grown > limit) grown = limit;
  void* moved = std::realloc(picture->kept, static_cast<size_t>(grown));
  if (moved == nullptr) return false;
  picture->kept = static_cast<uint8_t*>(moved);
  *capacity = grown;
  return true;
}

Status decode_into(const Picture* picture, uint8_t* out, ptrdiff_t stride) {
  const int status =
      tzf_decode_kept(&picture->info, picture->kept, static_cast<size_t>(picture->held),
                      picture->format, out, stride, nullptr, nullptr);
  if (status == TZF_OK) return Status::ok;
  return status == TZF_ERROR_TOO_LARGE || status == TZF_ERROR_LIMIT ? Status::too_large
                                                                    : Status::bad_image;
}

}  // namespace

Status read_picture(ReadFunction read, void* user, Picture* picture) {
  if (read == nullptr || picture == nullptr) return Status::invalid_argument;
  uint8_t* head = nullptr;
  uint8_t* chunk = nullptr;
  Status result = Status::ok;
  do {
    head = static_cast<uint8_t*>(std::calloc(TZF_INFO_SIZE, 1));
    if (head == nullptr) {
      result = Status::out_of_memory;
      break;
    }
    const int64_t head_size = read_fully(read, user, head, TZF_INFO_SIZE);
    if (head_size < 0) {
      result = Status::read_failed;
      break;
    }
    const size_t head_bytes = static_cast<size_t>(head_size);
    if (!tzf_is_tzf(head, head_bytes)) {
      result = Status::not_tzf;
      break;
    }
    const int info_status = tzf_read_info(head, head_bytes, &picture->info);
    if (info_status != TZF_OK) {
      result = info_status == TZF_ERROR_BAD_SIZE ? Status::bad_header : Status::not_tzf;
      break;
    }
    picture->format = TZF_FORMAT_NATIVE;
    picture->pixel_bytes = picture->info.bits_per_pixel == 8 ? 1 : 3;
    tzf_limits limits{};
    limits.max_pixels = kMaxPixels;
    limits.max_output_bytes = kMaxOutputBytes;
    if (tzf_check_limits(&picture->info, picture->format, &limits) != TZF_OK ||
        tzf_usable_extent(&picture->info, &picture->extent) != TZF_OK ||
        picture->extent.kept_bytes > SIZE_MAX) {
      result = Status::too_large;
      break;
    }
    uint64_t capacity = 0;
    picture->kept = static_cast<uint8_t*>(std::malloc(1));
    picture->cache_lock = new (std::nothrow) std::mutex;
    if (picture->kept == nullptr || picture->cache_lock == nullptr ||
        !reserve_kept(picture, tzf_keep(&picture->extent, 0, head, head_bytes, nullptr),
                      &capacity)) {
      result = Status::out_of_memory;
      break;
    }
    picture->held = tzf_keep(&picture->extent, 0, head, head_bytes, picture->kept);
    uint64_t at = head_bytes;
    // Reads on only while the data can still hold kept bytes.
    if (head_bytes == TZF_INFO_SIZE && picture->held < picture->extent.kept_bytes) {
      chunk = static_cast<uint8_t*>(std::malloc(kChunkBytes));
      if (chunk == nullptr) {
        result = Status::out_of_memory;
        break;
      }
    }
    while (chunk != nullptr && picture->held < picture->extent.kept_bytes) {
      const int64_t n = read_fully(read, user, chunk, kChunkBytes);
      if (n < 0) {
        result = Status::read_failed;
        break;
      }
      if (!reserve_kept(picture,
                        tzf_keep(&picture->extent, at, chunk, static_cast<size_t>(n), nullptr),
                        &capacity)) {
        result = Status::out_of_memory;
        break;
      }
      picture->held = tzf_keep(&picture->extent, at, chunk, static_cast<size_t>(n), picture->kept);
      at += static_cast<uint64_t>(n);
      if (static_cast<size_t>(n) < kChunkBytes) break;
    }
  } while (false);
  std::free(chunk);
  std::free(head);
  if (result != Status::ok) free_picture(picture);
  return result;
}

void free_picture(Picture* picture) {
  if (picture == nullptr) return;
  std::free(picture->kept);
  std::free(picture->cache);
  delete picture->cache_lock;
  *picture = Picture{};
}

Status copy_pixels(Picture* picture, int64_t x, int64_t y, int64_t width, int64_t height,
                   uint64_t stride, uint64_t buffer_size, uint8_t* out) {
  if (picture == nullptr || picture->kept == nullptr) return Status::invalid_argument;
  const int64_t frame_width = picture->info.width;
  const int64_t frame_height = picture->info.height;
  if (x < 0 || y < 0 || width < 0 || height < 0 || x > frame_width || y > frame_height ||
      width > frame_width - x || height > frame_height - y)
    return Status::invalid_argument;
  if (width == 0 || height == 0) return Status::ok;
  if (out == nullptr) return Status::invalid_argument;
  const uint64_t row_bytes = static_cast<uint64_t>(width) * picture->pixel_bytes;
  if (stride < row_bytes) return Status::insufficient_buffer;
  // The last row needs its pixels only, as WIC counts it.
  const uint64_t needed = stride * static_cast<uint64_t>(height - 1) + row_bytes;
  if (buffer_size < needed) return Status::insufficient_buffer;

  if (x == 0 && y == 0 && width == frame_width && height == frame_height &&
      stride <= static_cast<uint64_t>(PTRDIFF_MAX))
    return decode_into(picture, out, static_cast<ptrdiff_t>(stride));

  const uint64_t frame_stride = static_cast<uint64_t>(frame_width) * picture->pixel_bytes;
  {
    std::lock_guard<std::mutex> guard(*picture->cache_lock);
    if (picture->cache == nullptr) {
      // Within the limits checked when the picture was read.
      const size_t frame_bytes = static_cast<size_t>(frame_stride * frame_height);
      uint8_t* cache = static_cast<uint8_t*>(std::malloc(frame_bytes));
      if (cache == nullptr) return Status::out_of_memory;
      const Status status = decode_into(picture, cache, static_cast<ptrdiff_t>(frame_stride));
      if (status != Status::ok) {
        std::free(cache);
        return status;
      }
      picture->cache = cache;
    }
  }
  const uint8_t* from = picture->cache + static_cast<uint64_t>(y) * frame_stride +
                        static_cast<uint64_t>(x) * picture->pixel_bytes;
  for (int64_t row = 0; row < height; ++row)
    std::memcpy(out + static_cast<uint64_t>(row) * stride, from + row * frame_stride,
                static_cast<size_t>(row_bytes));
  return Status::ok;
}

}  // namespace tzf_wic
