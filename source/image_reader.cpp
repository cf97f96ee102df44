#include "source/image_reader.h"

#include <string.h>

namespace {

void reader_reset(ImageReader& reader) {
  reader.status = kReaderOk;
  reader.system_error = 0;
  reader.cursor = nullptr;
  reader.start = nullptr;
  reader.end = nullptr;
  reader.file = INVALID_HANDLE_VALUE;
  reader.base = 0;
  reader.borrowed = 0;
}

// Moves the file position with a 64-bit distance. A result equal to
// INVALID_SET_FILE_POINTER is a real position unless the error value says
// otherwise, so a stale error value is cleared first.
bool seek(HANDLE file, int64_t distance, DWORD method, uint64_t* position) {
  LONG high = static_cast<LONG>(static_cast<uint64_t>(distance) >> 32);
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(file, static_cast<LONG>(distance & 0xFFFFFFFF), &high, method);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
  if (position != nullptr) {
    *position = (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low;
  }
  return true;
}

bool seek_to(HANDLE file, uint64_t offset) {
  return seek(file, static_cast<int64_t>(offset), FILE_BEGIN, nullptr);
}

}  // namespace

void reader_fail(ImageReader& reader, int32_t status, uint32_t system_error) {
  if (reader.status != kReaderOk) return;
  reader.status = status;
  reader.system_error = system_error;
}

bool reader_open_for_picture(ImageReader& reader, const char* source, int32_t length_or_offset,
                             uint32_t source_flags) {
  reader_reset(reader);
  if ((source_flags & kSourceKindMask) == kSourceKindMemory) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(source);
    size_t length =
        length_or_offset > 0 && bytes != nullptr ? static_cast<size_t>(length_or_offset) : 0;
    reader.cursor = bytes;
    reader.start = bytes;
    reader.end = bytes + length;
    return true;
  }
  HANDLE file =
      CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    reader_fail(reader, kReaderFileError, GetLastError());
    return false;
  }
  if (length_or_offset != 0) {
    // Without a high part the offset is signed: a negative one fails here.
    DWORD moved = SetFilePointer(file, length_or_offset, nullptr, FILE_BEGIN);
    if (moved == INVALID_SET_FILE_POINTER) {
      reader_fail(reader, kReaderFileError, GetLastError());
      CloseHandle(file);
      return false;
    }
  }
  reader.file = file;
  reader.base = static_cast<uint32_t>(length_or_offset);
  reader.borrowed = 0;
  return true;
}

bool reader_open_for_check(ImageReader& reader, uintptr_t source_word) {
  reader_reset(reader);
  if ((source_word & ~static_cast<uintptr_t>(0xFFFF)) != 0) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(source_word);
    reader.cursor = bytes;
    reader.start = bytes;
    reader.end = bytes + kCheckHeadLength;
    return true;
  }
  HANDLE file = reinterpret_cast<HANDLE>(source_word);
  uint64_t position = 0;
  if (!seek(file, 0, FILE_CURRENT, &position)) {
    reader_fail(reader, kReaderFileError, GetLastError());
    return false;
  }
  reader.file = file;
  reader.base = position;
  reader.borrowed = 1;
  return true;
}

bool reader_read_some(ImageReader& reader, void* destination, uint32_t count, uint32_t& delivered) {
  uint8_t* out = static_cast<uint8_t*>(destination);
  delivered = 0;
  if (reader_is_memory(reader)) {
    size_t available = static_cast<size_t>(reader.end - reader.cursor);
    delivered = static_cast<uint32_t>(count < available ? count : available);
    if (delivered != 0) memcpy(out, reader.cursor, delivered);
    reader.cursor += delivered;
    return true;
  }
  DWORD got = 0;
  if (!ReadFile(reader.file, out, count, &got, nullptr)) {
    reader_fail(reader, kReaderFileError, GetLastError());
    return false;
  }
  delivered = got < count ? got : count;
  return true;
}

bool reader_read(ImageReader& reader, void* destination, uint32_t count) {
  uint8_t* out = static_cast<uint8_t*>(destination);
  uint32_t delivered = 0;
  if (!reader_read_some(reader, out, count, delivered)) return false;
  if (delivered < count) memset(out + delivered, 0, count - delivered);
  return true;
}

bool reader_skip(ImageReader& reader, uint64_t count) {
  if (count == 0) return true;
  if (reader_is_memory(reader)) {
    uint64_t available = static_cast<uint64_t>(reader.end - reader.cursor);
    reader.cursor += count < available ? count : available;
    return true;
  }
  if (count <= static_cast<uint64_t>(INT64_MAX) &&
      seek(reader.file, static_cast<int64_t>(count), FILE_CURRENT, nullptr)) {
    return true;
  }
  // A pipe: read the bytes and drop them, up to the end of the data.
  uint8_t dropped[4096];
  while (count != 0) {
    const DWORD want = count < sizeof dropped ? static_cast<DWORD>(count) : sizeof dropped;
    DWORD got = 0;
    if (!ReadFile(reader.file, dropped, want, &got, nullptr)) {
      reader_fail(reader, kReaderFileError, GetLastError());
      return false;
    }
    if (got == 0) break;
    count -= got < want ? got : want;
  }
  return true;
}

bool reader_remaining(ImageReader& reader, uint64_t& remaining) {
  remaining = 0;
  if (reader_is_memory(reader)) {
    remaining = static_cast<uint64_t>(reader.end - reader.cursor);
    return true;
  }
  uint64_t here = 0;
  uint64_t end = 0;
  if (!seek(reader.file, 0, FILE_CURRENT, &here) || !seek(reader.file, 0, FILE_END, &end)) {
    remaining = UINT64_MAX;  // cannot be positioned: read on
    return true;
  }
  if (!seek_to(reader.file, here)) {
    reader_fail(reader, kReaderFileError, GetLastError());
    return false;
  }
  remaining = end > here ? end - here : 0;
  return true;
}

const uint8_t* reader_view(ImageReader& reader, uint64_t count, size_t& held) {
  held = 0;
  if (!reader_is_memory(reader)) return nullptr;
  const uint64_t available = static_cast<uint64_t>(reader.end - reader.cursor);
  held = static_cast<size_t>(count < available ? count : available);
  const uint8_t* at = reader.cursor;
  reader.cursor += held;
  return at;
}

void reader_close(ImageReader& reader) {
  if (reader_is_memory(reader)) return;
  if (reader.borrowed != 0) {
    if (!seek_to(reader.file, reader.base)) {
      reader_fail(reader, kReaderPositionNotRestored, GetLastError());
    }
  } else {
    CloseHandle(reader.file);
  }
  reader.file = INVALID_HANDLE_VALUE;
  reader.base = 0;
  reader.borrowed = 0;
}
