// libFuzzer target: the libvips loaders as a program meets them, each input
// a file handed to vips_image_new_from_buffer, with the module's source
// compiled in. A picture that loads is written again as a 24-bit TZF file
// by tzfsave_buffer and must read back with exactly the same pixels.
#include <vips/vips.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vips/tzf_vips.h"

namespace {

// Pictures past this are only sized, not decoded: the fuzzer's memory limit
// is well below the library's.
constexpr uint64_t kMaxPixels = uint64_t{1} << 22;
// Round trips cost an encoding: small pictures only.
constexpr uint64_t kMaxRoundTripPixels = uint64_t{1} << 16;

void ignore_log(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  if (VIPS_INIT((*argv)[0]) != 0) std::abort();
  tzf_vips_register_types();
  // Cached operations would be found again by the address of the next input.
  vips_cache_set_max(0);
  vips_concurrency_set(1);
  g_log_set_handler("VIPS", G_LOG_LEVEL_WARNING, ignore_log, nullptr);
  (void)argc;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VipsImage* image = nullptr;
  VipsImage* again = nullptr;
  void* pixels = nullptr;
  void* pixels_again = nullptr;
  void* file = nullptr;
  size_t pixels_size = 0;
  size_t pixels_again_size = 0;
  size_t file_size = 0;
  const char* loader = vips_foreign_find_load_buffer(data, size);
  vips_error_clear();
  // Only the TZF loader is fuzzed here: other data goes to other loaders.
  if (loader == nullptr || std::strcmp(loader, "TzfLoadBuffer") != 0) return 0;
  // Odd sizes load strictly, even ones keep what the data held.
  image = vips_image_new_from_buffer(data, size, "", "fail_on",
                                     (size & 1) != 0 ? VIPS_FAIL_ON_TRUNCATED : VIPS_FAIL_ON_NONE,
                                     nullptr);
  if (image != nullptr && uint64_t(image->Xsize) * uint64_t(image->Ysize) <= kMaxPixels) {
    pixels = vips_image_write_to_memory(image, &pixels_size);
    if (pixels != nullptr &&
        uint64_t(image->Xsize) * uint64_t(image->Ysize) <= kMaxRoundTripPixels &&
        vips_image_write_to_buffer(image, ".tzf", &file, &file_size, "bitdepth", 24, "effort",
                                   int(size % 2), nullptr) == 0) {
      again = vips_image_new_from_buffer(file, file_size, "", nullptr);
      if (again == nullptr) std::abort();
      pixels_again = vips_image_write_to_memory(again, &pixels_again_size);
      if (pixels_again == nullptr || pixels_again_size != pixels_size ||
          std::memcmp(pixels, pixels_again, pixels_size) != 0)
        std::abort();
    }
  }
  g_free(pixels_again);
  g_free(file);
  g_free(pixels);
  VIPS_UNREF(again);
  VIPS_UNREF(image);
  vips_error_clear();
  return 0;
}
