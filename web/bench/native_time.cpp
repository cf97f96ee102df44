// Times the native codec on one picture, the way the page uses it: RGBA
// output, top row first. Prints the median of RUNS decodings in
// milliseconds.   native_time FILE.tzf [RUNS]
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>

#include "tzf/tzf.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: native_time FILE.tzf [RUNS]\n");
    return 1;
  }
  const int runs = argc > 2 ? std::clamp(atoi(argv[2]), 1, 1000) : 15;
  int result = 1;
  FILE* file = nullptr;
  unsigned char* data = nullptr;
  unsigned char* out = nullptr;
  double* times = nullptr;
  long size = 0;
  tzf_info info;
  size_t stride = 0;
  size_t bytes = 0;
  int status = TZF_OK;

  file = fopen(argv[1], "rb");
  if (!file || fseek(file, 0, SEEK_END) != 0 || (size = ftell(file)) <= 0 ||
      fseek(file, 0, SEEK_SET) != 0) {
    fprintf(stderr, "native_time: cannot read %s\n", argv[1]);
    goto done;
  }
  data = static_cast<unsigned char*>(malloc(static_cast<size_t>(size)));
  if (!data || fread(data, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
    fprintf(stderr, "native_time: cannot read %s\n", argv[1]);
    goto done;
  }
  status = tzf_read_info(data, static_cast<size_t>(size), &info);
  if (status == TZF_OK) status = tzf_output_size(&info, TZF_FORMAT_RGBA, &stride, &bytes);
  if (status != TZF_OK || bytes > (size_t{1} << 31)) {
    fprintf(stderr, "native_time: %s\n", tzf_status_text(status));
    goto done;
  }
  out = static_cast<unsigned char*>(malloc(bytes));
  times = static_cast<double*>(malloc(sizeof(double) * static_cast<size_t>(runs)));
  if (!out || !times) goto done;
  for (int i = 0; i < runs; i++) {
    const auto start = std::chrono::steady_clock::now();
    status = tzf_decode(data, static_cast<size_t>(size), TZF_FORMAT_RGBA, out,
                        static_cast<ptrdiff_t>(stride), nullptr);
    const auto end = std::chrono::steady_clock::now();
    if (status != TZF_OK) {
      fprintf(stderr, "native_time: %s\n", tzf_status_text(status));
      goto done;
    }
    times[i] = std::chrono::duration<double, std::milli>(end - start).count();
  }
  std::sort(times, times + runs);
  printf("%.3f\n", times[runs / 2]);
  result = 0;

done:
  free(times);
  free(out);
  free(data);
  if (file) fclose(file);
  return result;
}
