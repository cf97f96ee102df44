// What tzfconv asks libtzf about a file beside the filter's answers: whether
// the picture is within the size limits, and whether the file holds all of
// it.
#ifndef TZF_TOOLS_TZFCONV_PICTURE_CHECK_H
#define TZF_TOOLS_TZFCONV_PICTURE_CHECK_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "tzf/tzf.h"

namespace tzf::conv {

// TZF_OK when the picture whose first `size` bytes are `head` is within
// `limits` (null: libtzf's defaults); otherwise the status, with `error`
// saying why in words.
int CheckLimits(const uint8_t* head, size_t size, const tzf_limits* limits, std::string& error);

// Whether the file `path` (a picture whose first `size` bytes are `head`)
// holds all the data its picture needs: reads the flag and command bytes and
// measures the literal stream. `result.truncated` is 1 when it does not, and
// `result.rows_held` then gives the rows the file holds, from the bottom.
// False when the file cannot be read.
bool CheckComplete(const std::string& path, const uint8_t* head, size_t size, tzf_result& result,
                   std::string& error);

// CheckComplete for a picture whose data, as far as it goes, is in memory.
bool CheckCompleteInMemory(const uint8_t* data, size_t size, tzf_result& result,
                           std::string& error);

// Just past the last byte of the picture's data that decoding can read, for
// the picture whose first `size` bytes are `head`: how much of a stream to
// read. False when `head` is not a TZF picture.
bool PictureDataEnd(const uint8_t* head, size_t size, uint64_t& end);

}  // namespace tzf::conv

#endif
