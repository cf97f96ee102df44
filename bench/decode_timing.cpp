// A small timing loop for builds without Google Benchmark (the Win32 DLL
// under Wine): loads the built filter as a viewer does and times GetPicture
// from memory and from a file on the .tzf files that tzf_decode_bench leaves
// in the pictures folder. Prints MB/s of decoded output, best of several
// rounds, and the time the pixel block's allocation alone takes (LocalAlloc,
// touching every page, LocalFree): under Wine that is most of GetPicture.
// The decoding time is a call from memory less that allocation; beside it,
// the same decoder (the codec library, built alike) timed alone, writing the
// pixel block's rows into a block made ready beforehand, which shows the
// decoder without the allocation's noise.
//
//   tzf_decode_timing FOLDER [LIBRARY]
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin/tzf_filter.h"
#include "tzf/tzf.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using GetPictureFn = int32_t(TZF_CALL*)(const char*, int32_t, uint32_t, TzfLocalHandle*,
                                        TzfLocalHandle*, ProgressCallback, intptr_t);
using LocalFreeFn = void* (*)(void*);
using LocalAllocFn = void* (*)(uint32_t, size_t);
using LocalLockFn = void* (*)(void*);

#if defined(_WIN32)
constexpr const char* kDefaultLibrary = "tzffilter.dll";
void* open_library(const char* name) { return reinterpret_cast<void*>(LoadLibraryA(name)); }
void* symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void free_block(void*, TzfLocalHandle block) { LocalFree(block); }
uint8_t* allocate_block(void*, void*, size_t bytes, TzfLocalHandle* handle) {
  *handle = LocalAlloc(LMEM_MOVEABLE, bytes);
  return *handle == nullptr ? nullptr : static_cast<uint8_t*>(LocalLock(*handle));
}
#else
constexpr const char* kDefaultLibrary = "libtzffilter.so";
void* open_library(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }
void* symbol(void* library, const char* name) { return dlsym(library, name); }
void free_block(void* local_free, TzfLocalHandle block) {
  reinterpret_cast<LocalFreeFn>(local_free)(block);
}
uint8_t* allocate_block(void* local_alloc, void* local_lock, size_t bytes, TzfLocalHandle* handle) {
  *handle = reinterpret_cast<LocalAllocFn>(local_alloc)(2, bytes);
  return *handle == nullptr
             ? nullptr
             : static_cast<uint8_t*>(reinterpret_cast<LocalLockFn>(local_lock)(*handle));
}
#endif

bool read_file(const std::string& path, std::vector<uint8_t>& out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out.clear();
  uint8_t buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
    out.insert(out.end(), buffer, buffer + got);
  fclose(f);
  return true;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s FOLDER [LIBRARY]\n", argv[0]);
    return 1;
  }
  const std::string folder = argv[1];
  void* library = open_library(argc > 2 ? argv[2] : kDefaultLibrary);
  if (library == nullptr) {
    fprintf(stderr, "cannot load the filter\n");
    return 1;
  }
  GetPictureFn get_picture = reinterpret_cast<GetPictureFn>(symbol(library, "GetPicture"));
  void* local_free = symbol(library, "LocalFree");
  void* local_alloc = symbol(library, "LocalAlloc");
  void* local_lock = symbol(library, "LocalLock");
  if (get_picture == nullptr) {
    fprintf(stderr, "no GetPicture\n");
    return 1;
  }
#if defined(_WIN32)
  const char* platform = "win32";
#else
  const char* platform = "linux";
#endif
  // The .tzf files of the pictures' kinds, and the noise.
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string file = entry.path().filename().string();
    if (file.size() < 5 || file.compare(file.size() - 4, 4, ".tzf") != 0) continue;
    for (const char* kind : {"photo-", "palette-", "screenshot-", "noise."}) {
      if (file.rfind(kind, 0) == 0) names.push_back(file.substr(0, file.size() - 4));
    }
  }
  std::sort(names.begin(), names.end());
  printf("%-8s %-28s %12s %12s %10s %12s %12s %12s %12s\n", "build", "picture", "memory MB/s",
         "file MB/s", "file/mem", "memory us", "alloc us", "decode us", "tzf_decode");
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name + ".tzf";
    std::vector<uint8_t> file;
    if (!read_file(path, file) || file.size() < 64) {
      fprintf(stderr, "%s: missing (run tzf_decode_bench first)\n", path.c_str());
      continue;
    }
    const uint64_t width = le32(file, 12);
    const uint64_t height = le32(file, 16);
    const uint64_t bpp = le32(file, 24) & 0xFFFF;
    const double output = static_cast<double>(((width * bpp / 8 + 3) & ~3ull) * height);
    // The pixel block's layout: rows bottom first, each padded to 4 bytes.
    const size_t row = static_cast<size_t>(width * bpp / 8);
    const size_t stride = (row + 3) & ~size_t{3};
    std::vector<uint8_t> ready(static_cast<size_t>(output), 0);
    double best[4] = {1e30, 1e30, 1e30, 1e30};
    for (int source = 0; source < 4; ++source) {
      // Rounds of at least 0.2 s; best round counts.
      for (int round = 0; round < 5; ++round) {
        int calls = 0;
        auto start = std::chrono::steady_clock::now();
        double elapsed = 0;
        do {
          TzfLocalHandle info = nullptr;
          TzfLocalHandle pixels = nullptr;
          if (source == 3) {
            uint8_t* top = ready.data() + (height - 1) * stride;
            if (tzf_decode(file.data(), file.size(), TZF_FORMAT_NATIVE, top,
                           -static_cast<ptrdiff_t>(stride), nullptr) != TZF_OK) {
              fprintf(stderr, "%s: tzf_decode failed\n", name.c_str());
              return 1;
            }
            ++calls;
            elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            continue;
          }
          if (source == 2) {
            uint8_t* block =
                allocate_block(local_alloc, local_lock, static_cast<size_t>(output), &pixels);
            if (block == nullptr) return 1;
            for (size_t k = 0; k < static_cast<size_t>(output); k += 4096) block[k] = 1;
            free_block(local_free, pixels);
            ++calls;
            elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            continue;
          }
          int32_t status = source == 0
                               ? get_picture(reinterpret_cast<const char*>(file.data()),
                                             static_cast<int32_t>(file.size()), TZF_SOURCE_MEMORY,
                                             &info, &pixels, nullptr, 0)
                               : get_picture(path.c_str(), 0, 0, &info, &pixels, nullptr, 0);
          if (status != 0) {
            fprintf(stderr, "%s: status %d\n", name.c_str(), status);
            return 1;
          }
          free_block(local_free, info);
          free_block(local_free, pixels);
          ++calls;
          elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        } while (elapsed < 0.2);
        if (elapsed / calls < best[source]) best[source] = elapsed / calls;
      }
    }
    printf("%-8s %-28s %12.0f %12.0f %10.2f %12.0f %12.0f %12.0f %12.1f\n", platform, name.c_str(),
           output / best[0] / 1e6, output / best[1] / 1e6, best[1] / best[0], best[0] * 1e6,
           best[2] * 1e6, (best[0] - best[2]) * 1e6, best[3] * 1e6);
  }
  return 0;
}
