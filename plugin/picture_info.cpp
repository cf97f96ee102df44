// IsSupported and GetPictureInfo: answers from the header alone.
#include "plugin/status_codes.h"
#include "plugin/tzf_filter.h"
#include "source/image_reader.h"
#include "tzf/tzf.h"

namespace {

// What the host's record reports: the size as stored, even 0 or negative.
struct StoredHeader {
  tzf_info info;
  int32_t width;
  int32_t height;
};

// Reads and checks the header; on failure the reader holds the status.
bool read_accepted_header(ImageReader& reader, StoredHeader& header) {
  uint8_t raw[TZF_HEADER_SIZE];
  if (!reader_read(reader, raw, TZF_HEADER_SIZE)) return false;
  const int status = tzf_read_info(raw, TZF_HEADER_SIZE, &header.info);
  if (status != TZF_OK && status != TZF_ERROR_BAD_SIZE) {
    reader_fail(reader, kStatusNotTzf, 0);
    return false;
  }
  tzf_stored_size(raw, TZF_HEADER_SIZE, &header.width, &header.height);
  return true;
}

// Writes all eight fields of the host's record from an accepted header.
void fill_picture_info(const StoredHeader& header, PictureInfoRecord& info) {
  info.host_defined_0 = 0;
  info.host_defined_1 = 0;
  info.width = header.width;
  info.height = header.height;
  info.host_defined_2 = 0;
  info.host_defined_3 = 0;
  info.color_depth = static_cast<int16_t>(header.info.bits_per_pixel);
  info.host_defined_4 = 0;
}

}  // namespace

extern "C" TZF_EXPORT int32_t TZF_CALL IsSupported(const char* /*unused_name*/,
                                                   uintptr_t source_word) {
  ImageReader reader;
  StoredHeader header;
  bool accepted =
      reader_open_for_check(reader, source_word) && read_accepted_header(reader, header);
  reader_close(reader);
  return accepted ? 1 : 0;
}

extern "C" TZF_EXPORT int32_t TZF_CALL GetPictureInfo(const char* source, int32_t length_or_offset,
                                                      uint32_t source_flags,
                                                      PictureInfoRecord* info) {
  ImageReader reader;
  StoredHeader header;
  if (reader_open_for_picture(reader, source, length_or_offset, source_flags) &&
      read_accepted_header(reader, header)) {
    // A host that gives no record gets no answer: there is nowhere to put it.
    if (info == nullptr) {
      reader_fail(reader, kStatusOutOfMemory, 0);
    } else {
      fill_picture_info(header, *info);
    }
  }
  reader_close(reader);
  return reader.status;
}
