// Two builds of the filter library against each other in one process, in
// turn at a fine grain: on a busy machine, whatever slows one sample slows
// the other's next to it. Loads libtzffilter.so and libtzf.so of the OLD and
// the NEW folder (each keeps its own symbols) and, for each .tzf file tzf_decode_bench left
// in the folder, times GetPicture from memory and from the file, and the
// library's tzf_decode bottom-up into the pixel block's layout and top-down
// without pad, each into memory allocated beforehand where the call allows.
// A sample runs one build for at least 10 ms of CPU time; the builds
// alternate, the first switching each round. Prints the medians and the
// ratio new / old within each round: median [lowest-highest].
//
//   tzf_ab_timing OLD_DIR NEW_DIR FOLDER [ROUNDS (21)]
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin/tzf_filter.h"
#include "tzf/tzf.h"

namespace {

using Bytes = std::vector<uint8_t>;

using GetPictureFn = int32_t(TZF_CALL*)(const char*, int32_t, uint32_t, TzfLocalHandle*,
                                        TzfLocalHandle*, ProgressCallback, intptr_t);
using LocalFreeFn = void* (*)(void*);
using DecodeFn = int (*)(const void*, size_t, int, void*, ptrdiff_t, const tzf_progress*);

struct Build {
  void* library;
  void* codec;
  GetPictureFn get_picture;
  LocalFreeFn local_free;
  DecodeFn decode;
};

bool open_build(const std::string& folder, Build& b) {
  const std::string path = folder + "/libtzffilter.so";
  b.library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (b.library == nullptr) {
    fprintf(stderr, "%s\n", dlerror());
    return false;
  }
  b.get_picture = reinterpret_cast<GetPictureFn>(dlsym(b.library, "GetPicture"));
  b.local_free = reinterpret_cast<LocalFreeFn>(dlsym(b.library, "LocalFree"));
  const std::string codec = folder + "/libtzf.so";
  b.codec = dlopen(codec.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (b.codec == nullptr) {
    fprintf(stderr, "%s\n", dlerror());
    return false;
  }
  b.decode = reinterpret_cast<DecodeFn>(dlsym(b.codec, "tzf_decode"));
  if (b.get_picture == nullptr || b.local_free == nullptr || b.decode == nullptr) {
    fprintf(stderr, "%s lacks GetPicture, LocalFree or tzf_decode\n", folder.c_str());
    return false;
  }
  return true;
}

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

bool read_file(const std::string& path, Bytes& out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out.clear();
  uint8_t buffer[65536];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
    out.insert(out.end(), buffer, buffer + got);
  fclose(f);
  return true;
}

enum class Way { kMemory, kFile, kUp, kDown };
const char* const kWayNames[] = {"GetPicture/memory", "GetPicture/file", "tzf_decode/up",
                                 "tzf_decode/down"};

struct Job {
  std::string path;
  Bytes file;
  tzf_info info;
  Bytes out;
  size_t row;     // bytes of a row's pixels
  size_t stride;  // the pixel block's, padded to four bytes
};

bool run(const Build& b, Way w, Job& j) {
  switch (w) {
    case Way::kMemory:
    case Way::kFile: {
      TzfLocalHandle info = nullptr;
      TzfLocalHandle pixels = nullptr;
      const int32_t status = w == Way::kMemory
                                 ? b.get_picture(reinterpret_cast<const char*>(j.file.data()),
                                                 static_cast<int32_t>(j.file.size()),
                                                 TZF_SOURCE_MEMORY, &info, &pixels, nullptr, 0)
                                 : b.get_picture(j.path.c_str(), 0, 0, &info, &pixels, nullptr, 0);
      if (info != nullptr) b.local_free(info);
      if (pixels != nullptr) b.local_free(pixels);
      return status == 0;
    }
    case Way::kUp:
      return b.decode(j.file.data(), j.file.size(), TZF_FORMAT_NATIVE,
                      j.out.data() + (j.info.height - 1) * j.stride,
                      -static_cast<ptrdiff_t>(j.stride), nullptr) == TZF_OK;
    case Way::kDown:
      return b.decode(j.file.data(), j.file.size(), TZF_FORMAT_NATIVE, j.out.data(),
                      static_cast<ptrdiff_t>(j.row), nullptr) == TZF_OK;
  }
  return false;
}

double sample(const Build& b, Way w, Job& j) {
  const double start = cpu_seconds();
  double elapsed = 0;
  int calls = 0;
  do {
    if (!run(b, w, j)) return -1;
    ++calls;
    elapsed = cpu_seconds() - start;
  } while (elapsed < 0.01);
  return elapsed / calls;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0 : n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s OLD_DIR NEW_DIR FOLDER [ROUNDS]\n", argv[0]);
    return 2;
  }
  Build builds[2];
  if (!open_build(argv[1], builds[0]) || !open_build(argv[2], builds[1])) return 1;
  const int rounds = argc > 4 ? std::max(1, atoi(argv[4])) : 21;
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(argv[3], error)) {
    const std::string file = entry.path().filename().string();
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".tzf") == 0) {
      for (const char* kind : {"photo-", "palette-", "screenshot-", "noise."}) {
        if (file.rfind(kind, 0) == 0) names.push_back(entry.path().string());
      }
    }
  }
  std::sort(names.begin(), names.end());
  printf(
      "CPU microseconds per call, medians of %d rounds; new/old within each round:"
      " median [lowest-highest]\n",
      rounds);
  printf("%-46s %9s %9s %22s\n", "picture, way", "old", "new", "new/old");
  double worst = 0;
  for (const std::string& path : names) {
    Job j;
    j.path = path;
    if (!read_file(path, j.file) || tzf_read_info(j.file.data(), j.file.size(), &j.info) != 0) {
      fprintf(stderr, "%s: cannot be read\n", path.c_str());
      return 1;
    }
    j.row = static_cast<size_t>(j.info.width) * (j.info.bits_per_pixel / 8);
    j.stride = (j.row + 3) & ~size_t{3};
    j.out.assign(j.stride * j.info.height, 0x5A);
    for (Way w : {Way::kMemory, Way::kFile, Way::kUp, Way::kDown}) {
      std::vector<double> t[2], ratios;
      for (int round = 0; round < rounds; ++round) {
        const int first = round % 2;
        const double a = sample(builds[first], w, j);
        const double b = sample(builds[1 - first], w, j);
        if (a <= 0 || b <= 0) {
          fprintf(stderr, "%s: failed\n", path.c_str());
          return 1;
        }
        t[first].push_back(a);
        t[1 - first].push_back(b);
        ratios.push_back(t[1].back() / t[0].back());
      }
      const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
      const double m = median(ratios);
      worst = std::max(worst, m);
      const std::string stem = std::filesystem::path(path).stem().string();
      char label[96];
      snprintf(label, sizeof label, "%s %s", stem.c_str(), kWayNames[static_cast<int>(w)]);
      printf("%-46s %9.1f %9.1f %8.3f [%.3f-%.3f]\n", label, 1e6 * median(t[0]), 1e6 * median(t[1]),
             m, *low, *high);
      fflush(stdout);
    }
  }
  printf("highest median new/old: %.3f\n", worst);
  return 0;
}
