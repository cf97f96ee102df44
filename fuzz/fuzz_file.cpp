// Drives the entry points with a file, as a host does with a picture on disk:
// the input is written to a temporary file of this process behind a run of
// filler bytes (their count taken from the last input byte), then
// IsSupported reads it through the host's own descriptor (whose position it
// must restore), and GetPictureInfo and GetPicture open it by name at that
// offset. GetPicture runs plain, with a cancelling progress callback and with
// a failing platform call. The whole input is the picture.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "fuzz/fuzz_host.h"

namespace {

constexpr uint64_t kMaxPixelsForSecondCalls = 1u << 16;

std::string temp_path() { return "/tmp/tzf_fuzz_file_" + std::to_string(getpid()) + ".tzf"; }

bool write_file(const std::string& path, const uint8_t* data, size_t size, uint32_t offset) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  Bytes filler(offset, 0x5A);
  bool ok = fwrite(filler.data(), 1, filler.size(), f) == filler.size() &&
            (size == 0 || fwrite(data, 1, size, f) == size);
  return fclose(f) == 0 && ok;
}

void check_borrowed_handle(const std::string& path, uint32_t offset, const PictureLayout& layout) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_CHECK(fd >= 0, "cannot open %s", path.c_str());
  FUZZ_CHECK(lseek(fd, offset, SEEK_SET) == static_cast<off_t>(offset), "cannot seek");
  const int32_t supported = IsSupported(nullptr, static_cast<uintptr_t>(fd));
  const off_t position = lseek(fd, 0, SEEK_CUR);
  close(fd);
  FUZZ_CHECK(supported == (layout.accepted ? 1 : 0), "IsSupported on a handle answered %d",
             supported);
  FUZZ_CHECK(position == static_cast<off_t>(offset),
             "IsSupported left the host's handle at %lld instead of %u",
             static_cast<long long>(position), offset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 24)) return 0;
  static const std::string path = temp_path();
  const PictureLayout layout = read_layout(data, size);
  const uint8_t last = size > 0 ? data[size - 1] : 0;
  const uint8_t before_last = size > 1 ? data[size - 2] : 0;
  const uint32_t offset = (last & 0x0Fu) * 37u;
  FUZZ_CHECK(write_file(path, data, size, offset), "cannot write %s", path.c_str());

  check_borrowed_handle(path, offset, layout);

  PictureInfoRecord info;
  memset(&info, 0xA5, sizeof info);
  const int32_t info_status = GetPictureInfo(path.c_str(), static_cast<int32_t>(offset), 0, &info);
  FUZZ_CHECK(info_status == (layout.accepted ? 0 : 2), "GetPictureInfo answered %d", info_status);
  if (info_status == 0) {
    FUZZ_CHECK(info.width == layout.width && info.height == layout.height &&
                   info.color_depth == layout.bits_per_pixel,
               "GetPictureInfo on a file disagrees with the header");
  }

  if (worth_decoding(layout)) {
    const int32_t at = static_cast<int32_t>(offset);
    const HostResult plain = host_get_picture(path.c_str(), at, 0, layout, nullptr, {});
    check_nothing_left(plain, "file");
    check_within_bounds(plain, layout, "file");
    check_decoded(plain, data, size, layout, "file");

    if (layout.expected_status != 0 || layout.pixel_count <= kMaxPixelsForSecondCalls) {
      ProgressLog log{};
      log.cancel_at =
          layout.expected_status == 0 ? static_cast<int32_t>(last % (layout.height + 2)) : 0;
      log.expected_total = layout.height;
      log.in_order = true;
      const HostResult cancelled = host_get_picture(path.c_str(), at, 0, layout, &log, {});
      check_within_bounds(cancelled, layout, "file, progress");
      check_cancel_outcome(cancelled, log, plain, layout, "file, progress");

      const FailurePlan plan = failure_plan_from(before_last, true);
      const HostResult failed = host_get_picture(path.c_str(), at, 0, layout, nullptr, plan);
      check_failure_outcome(failed, plan, data, size, layout, "file, failing platform call");
    }
  }
  unlink(path.c_str());
  return 0;
}
