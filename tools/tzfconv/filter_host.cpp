// Run-time loading of the filter and the calls a viewer makes into it.
#include "tzfconv/filter_host.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "plugin/status_codes.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace tzf::conv {

namespace {

#if defined(_WIN32)
constexpr const char* kLibraryName = "tzffilter.dll";

void* OpenModule(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    char text[256] = {};
    const DWORD code = GetLastError();
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text, sizeof text, nullptr) == 0) {
      std::snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(code));
    }
    error = text;
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r' || error.back() == '.'))
      error.pop_back();
  }
  return reinterpret_cast<void*>(module);
}

void* Symbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void CloseModule(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }

// Blocks handed over by the filter belong to the process's local heap.
void* LocalMemorySymbol(void* /*module*/, const char* name) {
  return Symbol(reinterpret_cast<void*>(GetModuleHandleA("kernel32.dll")), name);
}
#else
constexpr const char* kLibraryName = "libtzffilter.so";

void* OpenModule(const std::string& path, std::string& error) {
  // A bare name would send the loader searching the system's folders.
  const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
  void* module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* text = dlerror();
    error = text != nullptr ? text : "unknown error";
    // The loader's message usually starts with the name the caller has.
    if (error.starts_with(name + ": ")) error.erase(0, name.size() + 2);
  }
  return module;
}

void* Symbol(void* module, const char* name) { return dlsym(module, name); }

void CloseModule(void* module) { dlclose(module); }

// The Linux library carries its own local-memory functions.
void* LocalMemorySymbol(void* module, const char* name) { return Symbol(module, name); }
#endif

}  // namespace

std::vector<std::string> LibraryCandidates(const std::string& program,
                                           const std::string& installed_from_bin) {
#if defined(_WIN32)
  const size_t slash = program.find_last_of("\\/");
#else
  const size_t slash = program.find_last_of('/');
#endif
  if (slash == std::string::npos) return {kLibraryName};
  const std::string folder = program.substr(0, slash + 1);
  std::vector<std::string> candidates = {folder + kLibraryName};
#if defined(_WIN32)
  (void)installed_from_bin;  // Windows has only the folder the zip was unpacked in.
#else
  if (!installed_from_bin.empty()) {
    const std::filesystem::path installed =
        std::filesystem::path(folder) / installed_from_bin / kLibraryName;
    candidates.push_back(installed.lexically_normal().string());
  }
#endif
  return candidates;
}

std::string DefaultLibraryPath() {
  std::string program;
#if defined(_WIN32)
  char buffer[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (length > 0 && length < sizeof buffer) program.assign(buffer, length);
#else
  char buffer[4096] = {};
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length > 0) program.assign(buffer, static_cast<size_t>(length));
#endif
#if defined(TZFCONV_INSTALLED_FILTER_DIR)
  const std::string installed_from_bin = TZFCONV_INSTALLED_FILTER_DIR;
#else
  const std::string installed_from_bin;
#endif
  const std::vector<std::string> candidates = LibraryCandidates(program, installed_from_bin);
  for (const std::string& candidate : candidates) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
  }
  return candidates.back();
}

bool LoadFilter(const std::string& path, FilterLibrary& library, std::string& error) {
  library = FilterLibrary{};
  void* module = OpenModule(path, error);
  if (module == nullptr) return false;

  FilterLibrary found;
  found.module = module;
  found.get_plugin_info = reinterpret_cast<GetPluginInfoFn>(Symbol(module, "GetPluginInfo"));
  found.is_supported = reinterpret_cast<IsSupportedFn>(Symbol(module, "IsSupported"));
  found.get_picture_info = reinterpret_cast<GetPictureInfoFn>(Symbol(module, "GetPictureInfo"));
  found.get_picture = reinterpret_cast<GetPictureFn>(Symbol(module, "GetPicture"));
  found.get_preview = reinterpret_cast<GetPictureFn>(Symbol(module, "GetPreview"));
  found.local_lock = reinterpret_cast<LocalLockFn>(LocalMemorySymbol(module, "LocalLock"));
  found.local_unlock = reinterpret_cast<LocalUnlockFn>(LocalMemorySymbol(module, "LocalUnlock"));
  found.local_free = reinterpret_cast<LocalFreeFn>(LocalMemorySymbol(module, "LocalFree"));

  char kind[16] = {};
  if (found.get_plugin_info == nullptr || found.is_supported == nullptr ||
      found.get_picture_info == nullptr || found.get_picture == nullptr ||
      found.get_preview == nullptr) {
    error = "not an image filter (an entry point is missing)";
  } else if (found.local_lock == nullptr || found.local_unlock == nullptr ||
             found.local_free == nullptr) {
    error = "LocalLock, LocalUnlock or LocalFree not found";
  } else if (found.get_plugin_info(0, kind, sizeof kind) != 4 || std::strcmp(kind, "00IN") != 0) {
    error = "not an import filter (information entry 0 is not 00IN)";
  } else {
    library = found;
    return true;
  }
  CloseModule(module);
  return false;
}

void UnloadFilter(FilterLibrary& library) {
  if (library.module != nullptr) CloseModule(library.module);
  library = FilterLibrary{};
}

bool ReadFileHead(const std::string& path, uint8_t (&head)[kHeadLength], std::string& error) {
  std::memset(head, 0, kHeadLength);
  std::FILE* file = nullptr;
  bool ok = false;
  do {
    file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
      error = std::strerror(errno);
      break;
    }
    errno = 0;
    // A short read is fine (the rest stays zero) unless it is an error.
    if (std::fread(head, 1, kHeadLength, file) < kHeadLength && std::ferror(file) != 0) {
      error = errno != 0 ? std::strerror(errno) : "read error";
      break;
    }
    ok = true;
  } while (false);
  if (file != nullptr) std::fclose(file);
  return ok;
}

bool ReadStream(std::FILE* stream, uint64_t limit, std::vector<uint8_t>& bytes,
                std::string& error) {
  constexpr size_t kPiece = size_t{1} << 16;
  while (bytes.size() < limit) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kPiece, limit - bytes.size()));
    const size_t had = bytes.size();
    bytes.resize(had + want);
    errno = 0;
    const size_t got = std::fread(bytes.data() + had, 1, want, stream);
    bytes.resize(had + got);
    if (got < want) {
      if (std::ferror(stream) == 0) break;
      error = errno != 0 ? std::strerror(errno) : "read error";
      return false;
    }
  }
  return true;
}

namespace {

// The three arguments that name a picture to the filter.
struct SourceArguments {
  const char* source;
  int32_t length_or_offset;
  uint32_t flags;
};

SourceArguments ArgumentsFor(const PictureSource& source) {
  if (source.memory == nullptr) return {source.path.c_str(), 0, 0};
  const size_t size = std::min(source.memory_size, kMaxMemorySource);
  return {reinterpret_cast<const char*>(source.memory), static_cast<int32_t>(size),
          TZF_SOURCE_MEMORY};
}

}  // namespace

int32_t FetchPictureInfo(const FilterLibrary& library, const PictureSource& source,
                         PictureInfoRecord& record) {
  const SourceArguments from = ArgumentsFor(source);
  return library.get_picture_info(from.source, from.length_or_offset, from.flags, &record);
}

int32_t FetchPicture(const FilterLibrary& library, const PictureSource& source,
                     ProgressCallback progress, intptr_t host_data, PictureBlocks& blocks) {
  ReleaseBlocks(library, blocks);
  const SourceArguments from = ArgumentsFor(source);
  const int32_t status = library.get_picture(from.source, from.length_or_offset, from.flags,
                                             &blocks.info, &blocks.pixels, progress, host_data);
  if (status != kStatusSuccess) return status;
  if (blocks.info != nullptr)
    blocks.info_bytes = static_cast<const uint8_t*>(library.local_lock(blocks.info));
  if (blocks.pixels != nullptr)
    blocks.pixel_bytes = static_cast<const uint8_t*>(library.local_lock(blocks.pixels));
  if (blocks.info_bytes == nullptr || blocks.pixel_bytes == nullptr) return kLockFailedHere;
  return kStatusSuccess;
}

void ReleaseBlocks(const FilterLibrary& library, PictureBlocks& blocks) {
  if (blocks.info_bytes != nullptr) library.local_unlock(blocks.info);
  if (blocks.pixel_bytes != nullptr) library.local_unlock(blocks.pixels);
  if (blocks.info != nullptr) library.local_free(blocks.info);
  if (blocks.pixels != nullptr) library.local_free(blocks.pixels);
  blocks = PictureBlocks{};
}

std::string StatusMeaning(int32_t status, const PictureInfoRecord& record) {
  switch (status) {
    case kStatusCancelled:
      return "decoding was cancelled";
    case kStatusNotTzf:
      if (record.width <= 0 || record.height <= 0) {
        return "invalid size " + std::to_string(record.width) + "x" + std::to_string(record.height);
      }
      return "the header was refused";
    case kStatusOutOfMemory:
      return "out of memory, or the picture is too large";
    case kStatusLockFailed:
      return "a memory block could not be locked";
    case kStatusFileError:
      return "the file could not be opened or read";
    case kStatusPositionNotRestored:
      return "the file position could not be restored";
    case kLockFailedHere:
      return "a memory block handed over could not be locked";
    default:
      return "unknown status " + std::to_string(status);
  }
}

}  // namespace tzf::conv
