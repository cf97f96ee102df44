#include "source/image_reader.h"

#include <string.h>

#include "plugin/status_codes.h"

namespace {

void reader_reset(ImageReader& reader) {
  reader.status = kStatusSuccess;
  reader.system_error = 0;
  reader.cursor = nullptr;
  reader.start = nullptr;
  reader.end = nullptr;
  reader.file = INVALID_HANDLE_VALUE;
  reader.base = 0;
  reader.borrowed = 0;
}

// Moves the file position to the absolute 64-bit offset.
bool seek_to(HANDLE file, uint64_t offset) {
  LONG high = static_cast<LONG>(offset >> 32);
  DWORD low = SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

}  // namespace

void reader_fail(ImageReader& reader, int32_t status, uint32_t system_error) {
  if (reader.status != kStatusSuccess) return;
  reader.status = status;
  reader.system_error = system_error;
}

bool reader_open_for_picture(ImageReader& reader, const char* source, int32_t length_or_offset,
                             uint32_t source_flags) {
  reader_reset(reader);
  if ((source_flags & 7u) == 1u) {
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
    reader_fail(reader, kStatusFileError, GetLastError());
    return false;
  }
  if (length_or_offset != 0) {
    // Without a high part the offset is signed: a negative one fails here.
    DWORD moved = SetFilePointer(file, length_or_offset, nullptr, FILE_BEGIN);
    if (moved == INVALID_SET_FILE_POINTER) {
      reader_fail(reader, kStatusFileError, GetLastError());
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
  LONG high = 0;
  DWORD low = SetFilePointer(file, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    reader_fail(reader, kStatusFileError, GetLastError());
    return false;
  }
  reader.file = file;
  reader.base = (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low;
  reader.borrowed = 1;
  return true;
}

bool reader_read(ImageReader& reader, void* destination, uint32_t count) {
  uint8_t* out = static_cast<uint8_t*>(destination);
  size_t delivered = 0;
  if (reader_is_memory(reader)) {
    size_t available = static_cast<size_t>(reader.end - reader.cursor);
    delivered = count < available ? count : available;
    if (delivered != 0) memcpy(out, reader.cursor, delivered);
    reader.cursor += delivered;
  } else {
    DWORD got = 0;
    if (!ReadFile(reader.file, out, count, &got, nullptr)) {
      reader_fail(reader, kStatusFileError, GetLastError());
      return false;
    }
    delivered = got < count ? got : count;
  }
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
  LONG high = static_cast<LONG>(count >> 32);
  DWORD low =
      SetFilePointer(reader.file, static_cast<LONG>(count & 0xFFFFFFFFu), &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    reader_fail(reader, kStatusFileError, GetLastError());
    return false;
  }
  return true;
}

bool reader_remaining(ImageReader& reader, uint64_t& remaining) {
  remaining = 0;
  if (reader_is_memory(reader)) {
    remaining = static_cast<uint64_t>(reader.end - reader.cursor);
    return true;
  }
  LONG high = 0;
  DWORD low = SetFilePointer(reader.file, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    reader_fail(reader, kStatusFileError, GetLastError());
    return false;
  }
  const uint64_t here = (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low;
  high = 0;
  low = SetFilePointer(reader.file, 0, &high, FILE_END);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
    reader_fail(reader, kStatusFileError, GetLastError());
    return false;
  }
  const uint64_t end = (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low;
  if (!seek_to(reader.file, here)) {
    reader_fail(reader, kStatusFileError, GetLastError());
    return false;
  }
  remaining = end > here ? end - here : 0;
  return true;
}

void reader_close(ImageReader& reader) {
  if (reader_is_memory(reader)) return;
  if (reader.borrowed != 0) {
    if (!seek_to(reader.file, reader.base)) {
      reader_fail(reader, kStatusPositionNotRestored, GetLastError());
    }
  } else {
    CloseHandle(reader.file);
  }
  reader.file = INVALID_HANDLE_VALUE;
  reader.base = 0;
  reader.borrowed = 0;
}
