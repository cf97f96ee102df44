// Public interface of the TZF import filter: the five entry points a host
// image viewer calls, the records they exchange and the calling convention.
//
// On Win32 every integer and pointer is 32 bits and the entry points use the
// Windows API calling convention (the callee removes its arguments). The
// Linux build keeps the same names with C linkage; where a 32-bit integer
// carries an address it uses a pointer-sized type instead.
#ifndef TZF_PLUGIN_TZF_FILTER_H
#define TZF_PLUGIN_TZF_FILTER_H

#include <stdint.h>

#if defined(_WIN32)
#define TZF_CALL __stdcall
#define TZF_EXPORT
#else
#define TZF_CALL
#define TZF_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Handle of a block of movable local memory (HLOCAL on Windows).
typedef void* TzfLocalHandle;

// Filled by GetPictureInfo; 26 bytes, packed.
#pragma pack(push, 1)
typedef struct PictureInfoRecord {
  int32_t host_defined_0;   // written as 0
  int32_t host_defined_1;   // written as 0
  int32_t width;            // pixels
  int32_t height;           // rows
  uint16_t host_defined_2;  // written as 0
  uint16_t host_defined_3;  // written as 0
  int16_t color_depth;      // bits per pixel: 8 or 24
  uint32_t host_defined_4;  // written as 0
} PictureInfoRecord;
#pragma pack(pop)

// Called before each decoded row and once after the last; a nonzero answer
// cancels the decoding.
typedef int32_t(TZF_CALL* ProgressCallback)(int32_t rows_done, int32_t total_rows,
                                            intptr_t host_data);

// Source flags: the low three bits equal to 1 select a memory image.
enum { TZF_SOURCE_MEMORY = 1, TZF_SOURCE_KIND_MASK = 7 };

TZF_EXPORT int32_t TZF_CALL GetPluginInfo(int32_t index, char* buffer, int32_t buffer_length);

// source_word: above 0xFFFF, the address of the file's first 2048 bytes;
// otherwise an open file handle (a file descriptor on Linux).
TZF_EXPORT int32_t TZF_CALL IsSupported(const char* unused_name, uintptr_t source_word);

TZF_EXPORT int32_t TZF_CALL GetPictureInfo(const char* source, int32_t length_or_offset,
                                           uint32_t source_flags, PictureInfoRecord* info);

TZF_EXPORT int32_t TZF_CALL GetPicture(const char* source, int32_t length_or_offset,
                                       uint32_t source_flags, TzfLocalHandle* info_handle,
                                       TzfLocalHandle* pixel_handle, ProgressCallback progress,
                                       intptr_t host_data);

TZF_EXPORT int32_t TZF_CALL GetPreview(const char* source, int32_t length_or_offset,
                                       uint32_t source_flags, TzfLocalHandle* info_handle,
                                       TzfLocalHandle* pixel_handle, ProgressCallback progress,
                                       intptr_t host_data);

#ifdef __cplusplus
}
#endif

#endif
