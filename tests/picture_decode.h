// Runs GetPicture the way a host does and copies out both blocks.
#ifndef TZF_TESTS_PICTURE_DECODE_H
#define TZF_TESTS_PICTURE_DECODE_H

#include <string.h>

#include <algorithm>

#include "plugin/tzf_filter.h"
#include "source/platform.h"
#include "tests/test_pictures.h"

struct Decoded {
  int32_t status = -100;
  bool info_null = true;
  bool pixels_null = true;
  Bytes info;    // the info block: header and colour table
  Bytes pixels;  // the pixel block
};

// Sizes of the two blocks come from the picture's own header.
inline Decoded take_blocks(int32_t status, TzfLocalHandle info, TzfLocalHandle pixels,
                           const Bytes& file) {
  Decoded d;
  d.status = status;
  d.info_null = info == nullptr;
  d.pixels_null = pixels == nullptr;
  if (info != nullptr && pixels != nullptr && file.size() >= 26) {
    int32_t width, height;
    memcpy(&width, file.data() + 12, 4);
    memcpy(&height, file.data() + 16, 4);
    int16_t bits = static_cast<int16_t>(file[24] | file[25] << 8);
    size_t info_size = bits == 8 ? 40 + 1024 : 40;
    size_t pixel_size = static_cast<size_t>(dib_stride(width, bits)) * height;
    const uint8_t* i = static_cast<const uint8_t*>(LocalLock(info));
    const uint8_t* p = static_cast<const uint8_t*>(LocalLock(pixels));
    d.info.assign(i, i + info_size);
    d.pixels.assign(p, p + pixel_size);
    LocalUnlock(info);
    LocalUnlock(pixels);
  }
  if (info != nullptr) LocalFree(info);
  if (pixels != nullptr) LocalFree(pixels);
  return d;
}

// GetPicture on a memory image held in a buffer of exactly its size.
inline Decoded decode_memory(const Bytes& file, ProgressCallback progress = nullptr,
                             intptr_t host_data = 0) {
  ExactBuffer buffer = exact_copy(file);
  TzfLocalHandle info = nullptr;
  TzfLocalHandle pixels = nullptr;
  int32_t status = GetPicture(buffer.chars(), static_cast<int32_t>(buffer.size), 1, &info, &pixels,
                              progress, host_data);
  return take_blocks(status, info, pixels, file);
}

// GetPicture on a file by name, the picture starting at `offset`.
inline Decoded decode_file(const Bytes& file, int32_t offset = 0) {
  Bytes contents(static_cast<size_t>(offset) + file.size(), 0x5A);
  std::copy(file.begin(), file.end(), contents.begin() + offset);
  TempFile temp(contents);
  TzfLocalHandle info = nullptr;
  TzfLocalHandle pixels = nullptr;
  int32_t status = GetPicture(temp.path.c_str(), offset, 0, &info, &pixels, nullptr, 0);
  return take_blocks(status, info, pixels, file);
}

#endif
