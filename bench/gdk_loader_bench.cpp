// The gdk-pixbuf loader as a GTK program meets it, against one tzf_decode of
// the same bytes: a GdkPixbufLoader fed the .tzf file in 64 KiB pieces and
// closed (the pixbuf taken, then released), and tzf_decode into a pixbuf
// made for it (RGB, as the loader makes it). Also tzf_decode alone, into a
// buffer allocated and touched beforehand.
//
// The loader is the one built beside this program: GDK_PIXBUF_MODULE_FILE is
// set to a loaders cache that lists only it (made at build time), before
// gdk-pixbuf reads any cache.
//
// Pictures: the .tzf files tzf_decode_bench leaves in the pictures folder
// (the folder as an argument, else $TZF_BENCH_PICTURES, else
// ~/.cache/tzf-bench). Each sample runs one way for at least 20 ms of CPU
// time; the ways alternate within a round, their order switching each
// round. The table gives the medians of the CPU time per load and the
// ratio taken within each round, as median [lowest-highest].
//
//   tzf_gdk_loader_bench [FOLDER] [ROUNDS (15)]
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tzf/tzf.h"

namespace {

using Bytes = std::vector<guchar>;

constexpr size_t kPiece = size_t{1} << 16;
constexpr double kSampleSeconds = 0.02;

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

bool read_file(const std::string& path, Bytes& out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out.clear();
  guchar buffer[65536];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
    out.insert(out.end(), buffer, buffer + got);
  const bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

struct Updates {
  int calls;
  int rows;
};

void on_area_updated(GdkPixbufLoader*, gint, gint, gint, gint height, gpointer user) {
  Updates* updates = static_cast<Updates*>(user);
  ++updates->calls;
  updates->rows += height;
}

// Loads `file` through a GdkPixbufLoader in 64 KiB pieces; the pixbuf (or
// null) is handed to the caller, who releases it.
GdkPixbuf* load(const Bytes& file, Updates* updates) {
  GdkPixbufLoader* loader = nullptr;
  GdkPixbuf* pixbuf = nullptr;
  GError* error = nullptr;
  loader = gdk_pixbuf_loader_new_with_type("tzf", &error);
  bool ok = loader != nullptr;
  if (ok && updates != nullptr) {
    g_signal_connect(loader, "area-updated", G_CALLBACK(on_area_updated), updates);
  }
  for (size_t at = 0; ok && at < file.size(); at += kPiece) {
    ok = gdk_pixbuf_loader_write(loader, file.data() + at, std::min(kPiece, file.size() - at),
                                 &error) != FALSE;
  }
  if (loader != nullptr) ok = gdk_pixbuf_loader_close(loader, ok ? &error : nullptr) != FALSE && ok;
  if (ok) pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  if (pixbuf != nullptr) g_object_ref(pixbuf);
  if (error != nullptr) {
    fprintf(stderr, "loader: %s\n", error->message);
    g_error_free(error);
  }
  if (loader != nullptr) g_object_unref(loader);
  return pixbuf;
}

// tzf_decode of `file` into a pixbuf made for it, as the loader makes it.
GdkPixbuf* decode(const Bytes& file) {
  tzf_info info;
  if (tzf_read_info(file.data(), file.size(), &info) != TZF_OK) return nullptr;
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, static_cast<int>(info.width),
                                     static_cast<int>(info.height));
  if (pixbuf != nullptr &&
      tzf_decode(file.data(), file.size(), TZF_FORMAT_RGB, gdk_pixbuf_get_pixels(pixbuf),
                 gdk_pixbuf_get_rowstride(pixbuf), nullptr) != TZF_OK) {
    g_object_unref(pixbuf);
    pixbuf = nullptr;
  }
  return pixbuf;
}

// tzf_decode alone into a buffer of the pixbuf's layout made ready
// beforehand.
struct Ready {
  Bytes out;
  int stride;
};

bool decode_ready(const Bytes& file, Ready& ready) {
  return tzf_decode(file.data(), file.size(), TZF_FORMAT_RGB, ready.out.data(), ready.stride,
                    nullptr) == TZF_OK;
}

// The pixels of two pixbufs, row by row (the pad is not compared).
bool same_pixels(GdkPixbuf* a, GdkPixbuf* b) {
  if (a == nullptr || b == nullptr || gdk_pixbuf_get_width(a) != gdk_pixbuf_get_width(b) ||
      gdk_pixbuf_get_height(a) != gdk_pixbuf_get_height(b) ||
      gdk_pixbuf_get_n_channels(a) != gdk_pixbuf_get_n_channels(b)) {
    return false;
  }
  const size_t row = static_cast<size_t>(gdk_pixbuf_get_width(a)) *
                     static_cast<size_t>(gdk_pixbuf_get_n_channels(a));
  for (int y = 0; y < gdk_pixbuf_get_height(a); ++y) {
    if (memcmp(gdk_pixbuf_get_pixels(a) + static_cast<size_t>(y) * gdk_pixbuf_get_rowstride(a),
               gdk_pixbuf_get_pixels(b) + static_cast<size_t>(y) * gdk_pixbuf_get_rowstride(b),
               row) != 0) {
      return false;
    }
  }
  return true;
}

// CPU seconds of one call of `way`, over as many calls as fill a sample.
template <typename Way>
double sample(Way way) {
  const double start = cpu_seconds();
  double elapsed = 0;
  int calls = 0;
  do {
    if (!way()) return -1;
    ++calls;
    elapsed = cpu_seconds() - start;
  } while (elapsed < kSampleSeconds);
  return elapsed / calls;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string ratio_text(const std::vector<double>& top, const std::vector<double>& bottom) {
  std::vector<double> r;
  for (size_t k = 0; k < top.size() && k < bottom.size(); ++k) r.push_back(top[k] / bottom[k]);
  if (r.empty()) return "-";
  const auto [low, high] = std::minmax_element(r.begin(), r.end());
  char text[64];
  snprintf(text, sizeof text, "%.3f [%.3f-%.3f]", median(r), *low, *high);
  return text;
}

std::vector<std::string> tzf_names(const std::string& folder) {
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
  return names;
}

std::string default_folder() {
  if (getenv("TZF_BENCH_PICTURES") != nullptr) return getenv("TZF_BENCH_PICTURES");
  const char* cache = getenv("XDG_CACHE_HOME");
  const char* home = getenv("HOME");
  return cache != nullptr ? std::string(cache) + "/tzf-bench"
                          : std::string(home != nullptr ? home : "/tmp") + "/.cache/tzf-bench";
}

}  // namespace

int main(int argc, char** argv) {
  // Before gdk-pixbuf reads a loaders cache: only the loader built here.
  setenv("GDK_PIXBUF_MODULE_FILE", TZF_BENCH_LOADERS_CACHE, 1);
  const std::string folder = argc > 1 ? argv[1] : default_folder();
  const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 15;
  const std::vector<std::string> names = tzf_names(folder);
  if (names.empty()) {
    fprintf(stderr, "no .tzf pictures in %s: run tzf_decode_bench first\n", folder.c_str());
    return 1;
  }
  printf("loaders cache %s, pieces of %zu bytes, %d rounds\n", TZF_BENCH_LOADERS_CACHE, kPiece,
         rounds);
  printf(
      "CPU ms per picture, medians; ratios within each round: median [lowest-highest]\n"
      "loader: GdkPixbufLoader fed 64 KiB pieces, closed; decode: tzf_decode into a new pixbuf;"
      "\nready: tzf_decode into a buffer made ready beforehand; updates: area-updated calls, "
      "rows\n");
  printf("%-28s %11s %8s %8s %8s %24s %24s %12s\n", "picture", "size", "loader", "decode", "ready",
         "loader/decode", "loader/ready", "updates");
  int failures = 0;
  for (const std::string& name : names) {
    Bytes file;
    tzf_info info;
    if (!read_file(folder + "/" + name + ".tzf", file) ||
        tzf_read_info(file.data(), file.size(), &info) != TZF_OK) {
      fprintf(stderr, "%s: cannot be read\n", name.c_str());
      ++failures;
      continue;
    }
    Updates updates{0, 0};
    GdkPixbuf* loaded = load(file, &updates);
    GdkPixbuf* decoded = decode(file);
    const bool same = same_pixels(loaded, decoded);
    if (loaded != nullptr) g_object_unref(loaded);
    if (decoded != nullptr) g_object_unref(decoded);
    Ready ready{};
    size_t stride = 0;
    size_t bytes = 0;
    if (!same || tzf_output_size(&info, TZF_FORMAT_RGB, &stride, &bytes) != TZF_OK) {
      fprintf(stderr, "%s: the loader's pixels differ from tzf_decode's\n", name.c_str());
      ++failures;
      continue;
    }
    ready.out.assign(bytes, 0x5A);
    ready.stride = static_cast<int>(stride);
    std::vector<double> loader_times, decode_times, ready_times;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
      auto by_loader = [&file] {
        GdkPixbuf* p = load(file, nullptr);
        if (p != nullptr) g_object_unref(p);
        return p != nullptr;
      };
      auto by_decode = [&file] {
        GdkPixbuf* p = decode(file);
        if (p != nullptr) g_object_unref(p);
        return p != nullptr;
      };
      auto by_ready = [&file, &ready] { return decode_ready(file, ready); };
      double l = 0, d = 0, r = 0;
      if (round % 2 == 0) {
        l = sample(by_loader);
        d = sample(by_decode);
        r = sample(by_ready);
      } else {
        r = sample(by_ready);
        d = sample(by_decode);
        l = sample(by_loader);
      }
      ok = l > 0 && d > 0 && r > 0;
      loader_times.push_back(l);
      decode_times.push_back(d);
      ready_times.push_back(r);
    }
    if (!ok) {
      fprintf(stderr, "%s: failed while timing\n", name.c_str());
      ++failures;
      continue;
    }
    char size[32];
    snprintf(size, sizeof size, "%ux%ux%u", info.width, info.height, info.bits_per_pixel);
    char counted[32];
    snprintf(counted, sizeof counted, "%d, %d", updates.calls, updates.rows);
    printf("%-28s %11s %8.2f %8.2f %8.2f %24s %24s %12s\n", name.c_str(), size,
           1e3 * median(loader_times), 1e3 * median(decode_times), 1e3 * median(ready_times),
           ratio_text(loader_times, decode_times).c_str(),
           ratio_text(loader_times, ready_times).c_str(), counted);
    fflush(stdout);
  }
  return failures == 0 ? 0 : 1;
}
