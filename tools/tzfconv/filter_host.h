// The filter as a viewer sees it: a library loaded at run time, its five
// entry points and the local-memory functions that lock and free the blocks
// it hands over.
#ifndef TZF_TOOLS_TZFCONV_FILTER_HOST_H
#define TZF_TOOLS_TZFCONV_FILTER_HOST_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "plugin/tzf_filter.h"

namespace tzf::conv {

using GetPluginInfoFn = int32_t(TZF_CALL*)(int32_t index, char* buffer, int32_t buffer_length);
using IsSupportedFn = int32_t(TZF_CALL*)(const char* name, uintptr_t source_word);
using GetPictureInfoFn = int32_t(TZF_CALL*)(const char* source, int32_t length_or_offset,
                                            uint32_t source_flags, PictureInfoRecord* info);
using GetPictureFn = int32_t(TZF_CALL*)(const char* source, int32_t length_or_offset,
                                        uint32_t source_flags, TzfLocalHandle* info_handle,
                                        TzfLocalHandle* pixel_handle, ProgressCallback progress,
                                        intptr_t host_data);
using LocalLockFn = void*(TZF_CALL*)(TzfLocalHandle block);
using LocalUnlockFn = int32_t(TZF_CALL*)(TzfLocalHandle block);
using LocalFreeFn = TzfLocalHandle(TZF_CALL*)(TzfLocalHandle block);

// A loaded filter. `module` is null until loading succeeds.
struct FilterLibrary {
  void* module = nullptr;
  GetPluginInfoFn get_plugin_info = nullptr;
  IsSupportedFn is_supported = nullptr;
  GetPictureInfoFn get_picture_info = nullptr;
  GetPictureFn get_picture = nullptr;
  GetPictureFn get_preview = nullptr;
  LocalLockFn local_lock = nullptr;
  LocalUnlockFn local_unlock = nullptr;
  LocalFreeFn local_free = nullptr;
};

// Where the filter is looked for, in order, for a program at `program` (a
// full path): libtzffilter.so / tzffilter.dll in the program's folder (the
// build folder, the Windows zip), then on Linux only the installed filter's folder
// relative to the program's (installed_from_bin, e.g.
// "../lib/x86_64-linux-gnu/tzf-filter"; empty: none). A program path
// without a folder gives the bare library name.
std::vector<std::string> LibraryCandidates(const std::string& program,
                                           const std::string& installed_from_bin);

// The first candidate for the running program that exists; the last one when
// none does, so that the error names where the installed filter belongs.
std::string DefaultLibraryPath();

// Loads the library, finds every entry point and checks that information
// entry 0 names an import filter ("00IN"). On failure nothing stays loaded.
bool LoadFilter(const std::string& path, FilterLibrary& library, std::string& error);
void UnloadFilter(FilterLibrary& library);

// Length of the file head a viewer hands to IsSupported.
inline constexpr size_t kHeadLength = 2048;

// Reads the first kHeadLength bytes of a file; the rest of `head` is zero
// when the file is shorter.
bool ReadFileHead(const std::string& path, uint8_t (&head)[kHeadLength], std::string& error);

// The two blocks of a decoded picture. Handles start null; the addresses are
// non-null while the blocks are locked. ReleaseBlocks unlocks and frees
// whatever is held and may be called on any path.
struct PictureBlocks {
  TzfLocalHandle info = nullptr;
  TzfLocalHandle pixels = nullptr;
  const uint8_t* info_bytes = nullptr;
  const uint8_t* pixel_bytes = nullptr;
};

// What the filter is handed: a file by name, or a memory image (a picture
// read from standard input), which the filter takes up to 2 GiB - 1 long.
struct PictureSource {
  std::string path;  // used when `memory` is null
  const uint8_t* memory = nullptr;
  size_t memory_size = 0;  // at most kMaxMemorySource
};
inline constexpr size_t kMaxMemorySource = INT32_MAX;

// Reads `stream` until `bytes` holds `limit` bytes or the stream ends,
// appending to what `bytes` already holds. False on a read error.
bool ReadStream(std::FILE* stream, uint64_t limit, std::vector<uint8_t>& bytes, std::string& error);

// GetPictureInfo for the source.
int32_t FetchPictureInfo(const FilterLibrary& library, const PictureSource& source,
                         PictureInfoRecord& record);

// GetPicture for the source, then both blocks locked. Returns the filter's
// status, or kLockFailedHere when the filter succeeded but a block could not
// be locked (the blocks are then still held and must be released).
inline constexpr int32_t kLockFailedHere = -1000;
int32_t FetchPicture(const FilterLibrary& library, const PictureSource& source,
                     ProgressCallback progress, intptr_t host_data, PictureBlocks& blocks);
void ReleaseBlocks(const FilterLibrary& library, PictureBlocks& blocks);

// What a nonzero status of GetPictureInfo or GetPicture means, for messages.
// `record` helps to tell why a header was refused.
std::string StatusMeaning(int32_t status, const PictureInfoRecord& record);

}  // namespace tzf::conv

#endif  // TZF_TOOLS_TZFCONV_FILTER_HOST_H
