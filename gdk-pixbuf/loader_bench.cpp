// What loading a picture through the gdk-pixbuf loader costs next to one
// tzf_decode of it: the loader (its source compiled in) is fed the file in
// pieces with size, prepared and updated callbacks, as GdkPixbufLoader feeds
// it, and both are timed in processor time, best of several rounds. Unless --fresh-memory is
// given, freed memory stays with the process, so that rounds after the first
// reuse pages the system has already handed over: the times are those of the
// work, not of the first touch of fresh memory, which some virtual machines
// make slower than the decoding itself.
//
//   tzf_pixbuf_bench [--fresh-memory] FILE.tzf [PIECE_BYTES (65536)] [ROUNDS (7)]
//
// Prints both times, their ratio and how many updates the loader made.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <cstdint>

#include "tzf/tzf.h"

extern "C" void fill_vtable(GdkPixbufModule* module);

namespace {

struct Counts {
  int updates;
  int rows;
};

void on_size(gint*, gint*, gpointer) {}
void on_prepared(GdkPixbuf*, GdkPixbufAnimation*, gpointer) {}
void on_updated(GdkPixbuf*, int, int, int, int height, gpointer user) {
  Counts* counts = static_cast<Counts*>(user);
  ++counts->updates;
  counts->rows += height;
}

// The thread's processor time: on a busy machine, the time the thread
// waited for a processor does not count.
double now() {
  timespec time{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

// One tzf_decode into a block allocated for it, as a program decoding the
// file itself would.
double time_decode(const guchar* data, size_t size) {
  tzf_info info;
  size_t stride = 0;
  size_t bytes = 0;
  if (tzf_read_info(data, size, &info) != TZF_OK ||
      tzf_output_size(&info, TZF_FORMAT_RGB, &stride, &bytes) != TZF_OK)
    return -1;
  const double start = now();
  void* out = g_try_malloc(bytes);
  const int status = out != nullptr ? tzf_decode(data, size, TZF_FORMAT_RGB, out,
                                                 static_cast<ptrdiff_t>(stride), nullptr)
                                    : TZF_ERROR_TOO_LARGE;
  const double taken = now() - start;
  g_free(out);
  return status == TZF_OK ? taken : -1;
}

double time_loader(const GdkPixbufModule& module, const guchar* data, size_t size, size_t piece,
                   Counts* counts) {
  *counts = Counts{};
  const double start = now();
  gpointer context = module.begin_load(on_size, on_prepared, on_updated, counts, nullptr);
  bool ok = context != nullptr;
  for (size_t at = 0; ok && at < size; at += piece)
    ok = module.load_increment(context, data + at,
                               static_cast<guint>(size - at < piece ? size - at : piece), nullptr);
  if (context != nullptr) ok = module.stop_load(context, nullptr) && ok;
  const double taken = now() - start;
  return ok ? taken : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool fresh_memory = argc > 1 && strcmp(argv[1], "--fresh-memory") == 0;
  if (fresh_memory) {
    --argc;
    ++argv;
  }
  if (argc < 2 || argc > 4) {
    fprintf(stderr, "usage: %s [--fresh-memory] FILE.tzf [PIECE_BYTES] [ROUNDS]\n", argv[0]);
    return 2;
  }
  const long piece = argc > 2 ? atol(argv[2]) : 65536;
  const long rounds = argc > 3 ? atol(argv[3]) : 7;
  gchar* data = nullptr;
  gsize size = 0;
  if (piece <= 0 || rounds <= 0 || !g_file_get_contents(argv[1], &data, &size, nullptr)) {
    fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 2;
  }
  if (!fresh_memory) {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT32_MAX);
  }
  GdkPixbufModule module = {};
  fill_vtable(&module);
  const guchar* bytes = reinterpret_cast<const guchar*>(data);
  double best_decode = -1;
  double best_loader = -1;
  Counts counts{};
  for (long round = 0; round < rounds; ++round) {
    const double decode = time_decode(bytes, size);
    const double loader = time_loader(module, bytes, size, static_cast<size_t>(piece), &counts);
    if (decode < 0 || loader < 0) {
      fprintf(stderr, "%s: %s does not decode\n", argv[0], argv[1]);
      g_free(data);
      return 1;
    }
    if (best_decode < 0 || decode < best_decode) best_decode = decode;
    if (best_loader < 0 || loader < best_loader) best_loader = loader;
  }
  printf("%s: %zu bytes in pieces of %ld\n", argv[1], static_cast<size_t>(size), piece);
  printf("tzf_decode %.2f ms, loader %.2f ms, ratio %.2f, %d updates (%d rows)\n",
         best_decode * 1e3, best_loader * 1e3, best_loader / best_decode, counts.updates,
         counts.rows);
  g_free(data);
  return 0;
}
