// Hands the bytes to tzfenc's picture reading (JPEG, PNG, BMP, GIF, TGA and
// PNM through stb_image) with a limit of a million pixels, and checks what
// comes back: a failure says why; a picture has a size within the limit, as
// many pixel bytes as its layout needs, a colour table of 1 to 256 entries
// with every index inside it when it keeps one, and some pixel that is not
// opaque when it comes with alpha. Reading the same bytes again gives the
// same picture. Files of 64 bytes or fewer are read without the limit too,
// as tzfenc reads them: a header declaring a picture far larger than its
// file could hold is refused before stb_image allocates it, which the
// fuzzer's allocation limit would catch otherwise.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <span>
#include <string>

#include "fuzz/fuzz_check.h"
#include "imageio/tzf_imageio.h"

namespace {

using tzf::imageio::Picture;

constexpr int64_t kLimit = int64_t{1} << 20;

void check(const Picture& p) {
  FUZZ_CHECK(p.width >= 1 && p.height >= 1 && p.width * p.height <= kLimit, "size %lld x %lld",
             static_cast<long long>(p.width), static_cast<long long>(p.height));
  const size_t count = static_cast<size_t>(p.width * p.height);
  switch (p.layout) {
    case Picture::Layout::kIndex: {
      FUZZ_CHECK(p.paletted, "indices without a colour table");
      FUZZ_CHECK(p.palette_size >= 1 && p.palette_size <= 256, "%d colour table entries",
                 p.palette_size);
      FUZZ_CHECK(p.pixels.size() == count, "%zu index bytes for %zu pixels", p.pixels.size(),
                 count);
      for (size_t i = 0; i < count; ++i) {
        FUZZ_CHECK(p.pixels[i] < p.palette_size, "pixel %zu: index %u of %d entries", i,
                   p.pixels[i], p.palette_size);
      }
      break;
    }
    case Picture::Layout::kRgb:
      FUZZ_CHECK(p.pixels.size() == 3 * count, "%zu RGB bytes for %zu pixels", p.pixels.size(),
                 count);
      break;
    case Picture::Layout::kRgba: {
      FUZZ_CHECK(p.pixels.size() == 4 * count, "%zu RGBA bytes for %zu pixels", p.pixels.size(),
                 count);
      bool opaque = true;
      for (size_t i = 0; i < count && opaque; ++i) opaque = p.pixels[4 * i + 3] == 255;
      FUZZ_CHECK(!opaque, "alpha given for an opaque picture");
      break;
    }
    default:
      FUZZ_CHECK(false, "layout %d", static_cast<int>(p.layout));
  }
}

bool same(const Picture& a, const Picture& b) {
  return a.width == b.width && a.height == b.height && a.layout == b.layout &&
         a.pixels == b.pixels && a.palette_size == b.palette_size && a.paletted == b.paletted &&
         memcmp(a.palette, b.palette, sizeof a.palette) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  Picture picture;
  std::string error;
  const bool ok = tzf::imageio::ReadPicture(bytes, kLimit, picture, error);
  if (size <= 64) {
    Picture unlimited;
    std::string unlimited_error;
    const bool unlimited_ok = tzf::imageio::ReadPicture(bytes, unlimited, unlimited_error);
    FUZZ_CHECK(unlimited_ok == ok && (!ok || same(picture, unlimited)),
               "a file of %zu bytes read differently without the limit (%s / %s)", size,
               error.c_str(), unlimited_error.c_str());
  }
  if (!ok) {
    FUZZ_CHECK(!error.empty(), "failed without a reason");
    return 0;
  }
  check(picture);
  Picture again;
  std::string error_again;
  FUZZ_CHECK(tzf::imageio::ReadPicture(bytes, kLimit, again, error_again),
             "read once, refused the second time: %s", error_again.c_str());
  FUZZ_CHECK(same(picture, again), "two reads of the same bytes differ");
  return 0;
}
