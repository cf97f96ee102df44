// Drives the GIMP plug-in's reading (tzf_gimp_read_picture) natively, the
// way the plug-in feeds it a file, in reads of a size the input chooses.
// Whatever it gives for a picture must be what tzf_decode makes of the
// whole data: the same pixels, the colour table for 8-bit pictures.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cstdint>

#include "gimp/tzf_gimp_read.h"
#include "tzf/tzf.h"

namespace {

// Pictures up to this many pixels a side: the decoded block stays within
// the fuzzer's memory limit.
constexpr uint32_t kMaxSide = 2048;

struct Memory {
  const uint8_t* data;
  size_t size;
  size_t at;
  size_t step;  // bytes per read at most
};

size_t read_memory(void* user, void* to, size_t count) {
  Memory* memory = static_cast<Memory*>(user);
  const size_t n = std::min({count, memory->size - memory->at, memory->step});
  memcpy(to, memory->data + memory->at, n);
  memory->at += n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The last byte, when there is one past the header, picks the read size.
  size_t step = 65536;
  if (size > TZF_HEADER_SIZE) step = size_t{1} + data[size - 1] % 97 * 61;
  Memory memory{data, size, 0, step};
  const TzfGimpSource source{read_memory, &memory};
  TzfGimpPicture picture{};
  char message[256] = "";
  const TzfGimpStatus status =
      tzf_gimp_read_picture(source, kMaxSide, nullptr, &picture, message, sizeof message);
  if (status != kTzfGimpOk) {
    if (message[0] == '\0') abort();
    return 0;
  }
  if (picture.pixels == nullptr || picture.width == 0 || picture.height == 0) abort();
  tzf_info info;
  if (tzf_read_info(data, size, &info) != TZF_OK) abort();
  if (info.width != picture.width || info.height != picture.height) abort();
  size_t stride = 0, bytes = 0;
  if (tzf_output_size(&info, TZF_FORMAT_RGB, &stride, &bytes) != TZF_OK) abort();
  uint8_t* expected = static_cast<uint8_t*>(malloc(bytes));
  if (expected == nullptr) abort();
  if (tzf_decode(data, size, TZF_FORMAT_RGB, expected, static_cast<ptrdiff_t>(stride), nullptr) !=
      TZF_OK)
    abort();
  for (uint32_t y = 0; y < picture.height; ++y) {
    const uint8_t* row = picture.pixels + y * picture.stride;
    const uint8_t* want = expected + y * stride;
    for (uint32_t x = 0; x < picture.width; ++x) {
      const uint8_t* rgb = picture.indexed ? picture.palette[row[x]] : row + 3 * x;
      if (memcmp(rgb, want + 3 * x, 3) != 0) abort();
    }
  }
  free(expected);
  tzf_gimp_free_picture(&picture);
  return 0;
}
