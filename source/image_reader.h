// Sequential, zero-filling access to picture data held in a named file, a
// file handle owned by the host, or memory; carries the call's status.
#ifndef TZF_SOURCE_IMAGE_READER_H
#define TZF_SOURCE_IMAGE_READER_H

#include <stddef.h>
#include <stdint.h>

#include "source/platform.h"

// The reader's own failures, recorded as the status values the entry points
// return for them.
enum ReaderStatus : int32_t {
  kReaderOk = 0,
  kReaderFileError = 6,           // opening, positioning or reading the source failed
  kReaderPositionNotRestored = 8  // a borrowed handle's position could not be restored
};

struct ImageReader {
  int32_t status;         // 0 until the first failure, then that failure's status
  uint32_t system_error;  // platform error recorded with the failure
  const uint8_t* cursor;  // memory image: next byte to deliver
  const uint8_t* start;   // memory image: first byte
  const uint8_t* end;     // memory image: one past the last byte
  HANDLE file;            // INVALID_HANDLE_VALUE for a memory image
  uint64_t base;          // owned file: picture offset; borrowed handle: position at open
  uint32_t borrowed;      // 1 when the handle is the host's and its position is restored
};

// Source flags: the kind of source sits in the low bits; a memory image is
// kind 1, anything else a file name.
constexpr uint32_t kSourceKindMask = 7;
constexpr uint32_t kSourceKindMemory = 1;

// Length of the host's file head handed to the check.
constexpr uint32_t kCheckHeadLength = 2048;

// Records the first failure of the call; later ones keep the first status.
void reader_fail(ImageReader& reader, int32_t status, uint32_t system_error);

// Source flags whose low three bits are 1 select a memory image of `length`
// bytes (a negative length reads as an empty image); otherwise `source` is a
// file name and `length_or_offset` the picture's offset in it.
bool reader_open_for_picture(ImageReader& reader, const char* source, int32_t length_or_offset,
                             uint32_t source_flags);

// A source word above 0xFFFF is the address of the file's first 2048 bytes;
// otherwise it is an open file handle of the host, read from its position.
bool reader_open_for_check(ImageReader& reader, uintptr_t source_word);

// Fills exactly `count` bytes; bytes past the end of the data read as zero.
bool reader_read(ImageReader& reader, void* destination, uint32_t count);

// Moves forward over `count` bytes without delivering them (reading them
// where the file cannot be positioned); past the end of the data this is not
// an error.
bool reader_skip(ImageReader& reader, uint64_t count);

// Reads up to `count` bytes, fewer at the end of the data; `delivered` says
// how many.
bool reader_read_some(ImageReader& reader, void* destination, uint32_t count, uint32_t& delivered);

// Bytes left between the reader's position and the end of the data. A file
// is measured by moving to its end and back; one that cannot be positioned
// (a pipe) gives UINT64_MAX, as much as anyone asks for.
bool reader_remaining(ImageReader& reader, uint64_t& remaining);

// A memory image's next `count` bytes in place, or as many as it holds
// (`held`); the reader moves past them. Null for a file.
const uint8_t* reader_view(ImageReader& reader, uint64_t count, size_t& held);

// True when the reader serves a memory image.
inline bool reader_is_memory(const ImageReader& reader) {
  return reader.file == INVALID_HANDLE_VALUE;
}

// Ends the use of the source: closes an owned file, puts a borrowed handle
// back where it was. Harmless after a failed open.
void reader_close(ImageReader& reader);

#endif
