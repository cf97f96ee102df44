#include "tzfconv/picture_check.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tzf::conv {

namespace {

// Reads up to `part.length` bytes at `part.offset`; fewer when the file ends.
bool ReadPart(std::FILE* file, const tzf_part& part, std::vector<uint8_t>& bytes) {
  bytes.clear();
  if (part.length == 0) return true;
  if (part.offset > static_cast<uint64_t>(INT64_MAX)) return true;
#if defined(_WIN32)
  if (_fseeki64(file, static_cast<int64_t>(part.offset), SEEK_SET) != 0) return false;
#else
  if (fseeko(file, static_cast<off_t>(part.offset), SEEK_SET) != 0) return false;
#endif
  bytes.resize(static_cast<size_t>(part.length));
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
  if (got < bytes.size() && std::ferror(file)) return false;
  bytes.resize(got);
  return true;
}

}  // namespace

int CheckLimits(const uint8_t* head, size_t size, const tzf_limits* limits, std::string& error) {
  tzf_info info;
  int status = tzf_read_info(head, size, &info);
  if (status == TZF_OK) status = tzf_check_limits(&info, TZF_FORMAT_RGB, limits);
  if (status == TZF_ERROR_LIMIT) {
    error = "the picture is " + std::to_string(info.width) + "x" + std::to_string(info.height) +
            ", over the size limits (--no-limits lifts them)";
  } else if (status != TZF_OK) {
    error = tzf_status_text(status);
  }
  return status;
}

bool CheckComplete(const std::string& path, const uint8_t* head, size_t size, tzf_result& result,
                   std::string& error) {
  result = tzf_result{};
  tzf_info info;
  tzf_extent extent;
  if (tzf_read_info(head, size, &info) != TZF_OK || tzf_usable_extent(&info, &extent) != TZF_OK) {
    error = "not a TZF picture";
    return false;
  }
  std::error_code ec;
  const uint64_t file_size = std::filesystem::file_size(path, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot open the file";
    return false;
  }
  std::vector<uint8_t> flags;
  std::vector<uint8_t> commands;
  const bool read = ReadPart(file, extent.part[TZF_PART_FLAGS], flags) &&
                    ReadPart(file, extent.part[TZF_PART_COMMANDS], commands);
  std::fclose(file);
  if (!read) {
    error = "cannot read the file";
    return false;
  }
  // The literal bytes are only measured: the scan does not read them.
  const tzf_part& literals = extent.part[TZF_PART_LITERALS];
  const uint64_t literals_held =
      file_size > literals.offset ? std::min(file_size - literals.offset, literals.length) : 0;
  tzf_parts parts{};
  parts.data[TZF_PART_FLAGS] = flags.data();
  parts.size[TZF_PART_FLAGS] = flags.size();
  parts.data[TZF_PART_COMMANDS] = commands.data();
  parts.size[TZF_PART_COMMANDS] = commands.size();
  parts.size[TZF_PART_LITERALS] = static_cast<size_t>(literals_held);
  if (tzf_scan_parts(&info, &parts, &result) != TZF_OK) {
    error = "cannot scan the picture";
    return false;
  }
  return true;
}

bool CheckCompleteInMemory(const uint8_t* data, size_t size, tzf_result& result,
                           std::string& error) {
  result = tzf_result{};
  tzf_info info;
  tzf_parts parts{};
  if (tzf_read_info(data, size, &info) != TZF_OK ||
      tzf_parts_of_data(&info, data, size, &parts) != TZF_OK) {
    error = "not a TZF picture";
    return false;
  }
  if (tzf_scan_parts(&info, &parts, &result) != TZF_OK) {
    error = "cannot scan the picture";
    return false;
  }
  return true;
}

bool PictureDataEnd(const uint8_t* head, size_t size, uint64_t& end) {
  tzf_info info;
  tzf_extent extent;
  if (tzf_read_info(head, size, &info) != TZF_OK || tzf_usable_extent(&info, &extent) != TZF_OK)
    return false;
  end = extent.end;
  return true;
}

}  // namespace tzf::conv
