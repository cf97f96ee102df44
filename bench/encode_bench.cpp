// Encoding speed and size: tzf_encode (fast and smallest), the encoder as it
// was at commit f14cd7e (its optimal parse, where the build made it), libpng
// at zlib's default level and at level 1, and a small encoder of our own in
// the manner of the "quite OK" formats (recent colours, runs, differences),
// on every PNG picture of a folder (bench/fetch-pictures.sh).
//
//   tzf_encode_bench [FOLDER] [--tsv FILE] [--only TEXT]
//
// Prints a markdown table; --tsv also writes picture, encoder, seconds,
// bytes and input bytes per line, which bench/encode-compare.py merges with
// cwebp's times. The encoders run in turn, round after round, until each
// has taken 0.4 s and run at least three times; the fastest run counts. Times are the thread's
// processor time (CLOCK_THREAD_CPUTIME_ID), not the wall clock, so that other work on a shared
// machine does not count. --only times the encoders whose name holds TEXT. MB/s are of the
// picture's RGB bytes (width x height x 3), whatever the encoder reads. Every TZF file is decoded
// and compared with its picture before it is timed.
#include <png.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "imageio/tzf_imageio.h"
#include "tzf/tzf.h"

#if defined(TZF_BENCH_F14CD7E)
#include "encoder/tzf_encoder.h"
#endif

namespace {

double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Input {
  std::string name;
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgb;      // top row first
  std::vector<uint8_t> indices;  // paletted pictures: top row first
  uint8_t palette[256][3] = {};
  uint32_t palette_size = 0;
  uint64_t rgb_bytes() const { return uint64_t{width} * height * 3; }
};

struct Row {
  std::string encoder;
  double seconds = 0;
  uint64_t bytes = 0;
};

struct Timed {
  Row row;
  std::function<uint64_t()> encode;
  double total = 0;
};

// Runs every encoder in turn, round after round, so that they all see the
// machine alike, until each has run three times and taken 0.4 s; the
// fastest run of each counts.
std::vector<Row> time_encoders(std::vector<Timed>& encoders) {
  for (int round = 0;; ++round) {
    bool done = round >= 3;
    for (Timed& t : encoders) {
      if (round >= 3 && t.total >= 0.4) continue;
      const double start = thread_seconds();
      t.row.bytes = t.encode();
      const double s = thread_seconds() - start;
      t.row.seconds = std::min(t.row.seconds, s);
      t.total += s;
      done = done && t.total >= 0.4;
    }
    if (done || round > 200) break;
  }
  std::vector<Row> rows;
  for (const Timed& t : encoders) rows.push_back(t.row);
  return rows;
}

// tzf_encode with its buffers allocated once, outside the timing.
struct TzfEncoder {
  tzf_image image{};
  tzf_encode_options options{};
  std::vector<uint8_t> work, out;
  tzf_encode_result result{};

  TzfEncoder(const Input& in, int effort) {
    image.width = in.width;
    image.height = in.height;
    if (in.palette_size != 0) {
      image.format = TZF_FORMAT_INDEX;
      image.pixels = in.indices.data();
      image.stride = static_cast<ptrdiff_t>(in.width);
      image.palette = in.palette;
      image.palette_size = in.palette_size;
    } else {
      image.format = TZF_FORMAT_RGB;
      image.pixels = in.rgb.data();
      image.stride = static_cast<ptrdiff_t>(in.width) * 3;
    }
    options.effort = effort;
    size_t out_bytes = 0, work_bytes = 0;
    if (tzf_encode_size(&image, &options, &out_bytes, &work_bytes) != TZF_OK) std::abort();
    work.resize(work_bytes);
    out.resize(out_bytes);
  }
  uint64_t encode() {
    const int status =
        tzf_encode(&image, &options, work.data(), work.size(), out.data(), out.size(), &result);
    if (status != TZF_OK) {
      std::fprintf(stderr, "tzf_encode: %s\n", tzf_status_text(status));
      std::exit(1);
    }
    return result.size;
  }
};

bool decodes_to(const uint8_t* file, size_t size, const Input& in) {
  std::vector<uint8_t> rgb(in.rgb.size());
  return tzf_decode(file, size, TZF_FORMAT_RGB, rgb.data(), static_cast<ptrdiff_t>(in.width) * 3,
                    nullptr) == TZF_OK &&
         rgb == in.rgb;
}

void png_append(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

// A PNG of the picture (paletted pictures as paletted PNGs) at zlib `level`.
uint64_t encode_png(const Input& in, int level, std::vector<uint8_t>& out) {
  out.clear();
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return 0;
  }
  png_set_write_fn(png, &out, png_append, nullptr);
  png_set_compression_level(png, level);
  const bool paletted = in.palette_size != 0;
  png_set_IHDR(png, info, in.width, in.height, 8,
               paletted ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color colours[256];
  if (paletted) {
    for (uint32_t i = 0; i < in.palette_size; ++i) {
      colours[i] = {in.palette[i][0], in.palette[i][1], in.palette[i][2]};
    }
    png_set_PLTE(png, info, colours, static_cast<int>(in.palette_size));
  }
  png_write_info(png, info);
  const uint8_t* rows = paletted ? in.indices.data() : in.rgb.data();
  const size_t stride = size_t{in.width} * (paletted ? 1 : 3);
  for (uint32_t y = 0; y < in.height; ++y) png_write_row(png, rows + y * stride);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out.size();
}

// Our own small encoder in the manner of the "quite OK" formats: each pixel
// is a repeat of the previous one (runs up to 62), one of 64 recently seen
// colours found by a hash, a small difference from the previous pixel, or
// the whole colour. Only its speed and size matter here; nothing decodes it.
uint64_t encode_recent(const Input& in, std::vector<uint8_t>& out) {
  const uint64_t n = uint64_t{in.width} * in.height;
  out.resize(14 + n * 4 + 8);
  uint8_t* o = out.data() + 14;  // a header's room
  uint32_t seen[64] = {};
  uint32_t prev = 0xFF000000u;  // opaque black
  uint32_t run = 0;
  const uint8_t* p = in.rgb.data();
  for (uint64_t i = 0; i < n; ++i, p += 3) {
    const uint32_t c = 0xFF000000u | uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    if (c == prev) {
      if (++run == 62) {
        *o++ = static_cast<uint8_t>(0xC0 | (run - 1));
        run = 0;
      }
      continue;
    }
    if (run != 0) {
      *o++ = static_cast<uint8_t>(0xC0 | (run - 1));
      run = 0;
    }
    const uint32_t r = c >> 16 & 255, g = c >> 8 & 255, b = c & 255;
    const uint32_t slot = (r * 3 + g * 5 + b * 7 + 255 * 11) & 63;
    if (seen[slot] == c) {
      *o++ = static_cast<uint8_t>(slot);
    } else {
      seen[slot] = c;
      const int dr = static_cast<int8_t>(r - (prev >> 16 & 255));
      const int dg = static_cast<int8_t>(g - (prev >> 8 & 255));
      const int db = static_cast<int8_t>(b - (prev & 255));
      const int gr = dr - dg, gb = db - dg;
      if (dr >= -2 && dr <= 1 && dg >= -2 && dg <= 1 && db >= -2 && db <= 1) {
        *o++ = static_cast<uint8_t>(0x40 | (dr + 2) << 4 | (dg + 2) << 2 | (db + 2));
      } else if (dg >= -32 && dg <= 31 && gr >= -8 && gr <= 7 && gb >= -8 && gb <= 7) {
        *o++ = static_cast<uint8_t>(0x80 | (dg + 32));
        *o++ = static_cast<uint8_t>((gr + 8) << 4 | (gb + 8));
      } else {
        *o++ = 0xFE;
        *o++ = static_cast<uint8_t>(r);
        *o++ = static_cast<uint8_t>(g);
        *o++ = static_cast<uint8_t>(b);
      }
    }
    prev = c;
  }
  if (run != 0) *o++ = static_cast<uint8_t>(0xC0 | (run - 1));
  for (int k = 0; k < 8; ++k) *o++ = k == 7 ? 1 : 0;  // an end marker
  return static_cast<uint64_t>(o - out.data());
}

bool load(const std::filesystem::path& path, Input& in) {
  std::vector<uint8_t> data;
  std::string error;
  tzf::imageio::Picture picture;
  if (!tzf::imageio::LoadFileBytes(path.string(), data, error) ||
      !tzf::imageio::ReadPicture(data, picture, error)) {
    std::fprintf(stderr, "%s: %s\n", path.string().c_str(), error.c_str());
    return false;
  }
  in.name = path.stem().string();
  in.width = static_cast<uint32_t>(picture.width);
  in.height = static_cast<uint32_t>(picture.height);
  const uint64_t n = uint64_t{in.width} * in.height;
  in.rgb.resize(n * 3);
  using Layout = tzf::imageio::Picture::Layout;
  if (picture.layout == Layout::kIndex) {
    in.indices = picture.pixels;
    in.palette_size = static_cast<uint32_t>(picture.palette_size);
    std::memcpy(in.palette, picture.palette, sizeof in.palette);
    for (uint64_t i = 0; i < n; ++i) std::memcpy(&in.rgb[i * 3], in.palette[in.indices[i]], 3);
  } else {
    const size_t step = picture.layout == Layout::kRgba ? 4 : 3;
    for (uint64_t i = 0; i < n; ++i) std::memcpy(&in.rgb[i * 3], &picture.pixels[i * step], 3);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder, tsv_path, only;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--tsv" && i + 1 < argc) {
      tsv_path = argv[++i];
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      folder = a;
    }
  }
  if (folder.empty()) {
    const char* env = std::getenv("TZF_BENCH_PICTURES");
    const char* home = std::getenv("HOME");
    folder = env != nullptr ? env : std::string(home != nullptr ? home : ".") + "/.cache/tzf-bench";
  }
  std::vector<std::filesystem::path> paths;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    if (e.path().extension() == ".png") paths.push_back(e.path());
  }
  std::sort(paths.begin(), paths.end());
  if (paths.empty()) {
    std::fprintf(stderr, "no PNG pictures in %s (run bench/fetch-pictures.sh)\n", folder.c_str());
    return 1;
  }
  FILE* tsv = tsv_path.empty() ? nullptr : std::fopen(tsv_path.c_str(), "w");

  std::printf("| picture | size | encoder | ms | MB/s | bytes | vs smallest |\n");
  std::printf("|---|---|---|---:|---:|---:|---:|\n");
  for (const auto& path : paths) {
    Input in;
    if (!load(path, in)) return 1;
    std::vector<Timed> encoders;
    const auto add = [&](const std::string& name, const std::function<uint64_t()>& encode) {
      if (name.find(only) == std::string::npos) return;
      Timed t;
      t.row.encoder = name;
      t.row.seconds = 1e30;
      t.encode = encode;
      encoders.push_back(std::move(t));
    };
    TzfEncoder smallest(in, TZF_EFFORT_SMALLEST), fast(in, TZF_EFFORT_FAST);
    for (TzfEncoder* e : {&smallest, &fast}) {
      e->encode();
      if (!decodes_to(e->out.data(), e->result.size, in)) {
        std::fprintf(stderr, "%s: the file does not decode to the picture\n", in.name.c_str());
        return 1;
      }
    }
    add("tzf smallest", [&] { return smallest.encode(); });
    add("tzf fast", [&] { return fast.encode(); });
#if defined(TZF_BENCH_F14CD7E)
    // The old encoder took pixels in decoding order: B, G, R or indices;
    // they stay in reach until the encoders have run.
    namespace old = tzf::encoder_f14cd7e;
    const bool paletted = in.palette_size != 0;
    const size_t bpp = paletted ? 1 : 3;
    std::vector<uint8_t> pixels(uint64_t{in.width} * in.height * bpp);
    std::vector<uint8_t> palette(paletted ? 1024 : 0);
    for (uint32_t y = 0; y < in.height; ++y) {
      const uint32_t top = in.height - 1 - y;
      for (uint32_t x = 0; x < in.width; ++x) {
        const uint64_t s = uint64_t{top} * in.width + x, d = uint64_t{y} * in.width + x;
        if (paletted) {
          pixels[d] = in.indices[s];
        } else {
          for (int c = 0; c < 3; ++c) pixels[d * 3 + c] = in.rgb[s * 3 + 2 - c];
        }
      }
    }
    for (uint32_t i = 0; i < in.palette_size; ++i) {
      for (int c = 0; c < 3; ++c) palette[i * 4 + c] = in.palette[i][2 - c];
    }
    old::EncoderInput input;
    input.width = in.width;
    input.height = in.height;
    input.bits_per_pixel = paletted ? 8 : 24;
    input.pixels = pixels;
    input.palette = palette;
    add("f14cd7e optimal",
        [&] { return old::Encode(input, old::ParseMode::kOptimal).file.size(); });
#endif
    std::vector<uint8_t> scratch;
    scratch.reserve(in.rgb.size() * 2);
    add("libpng (zlib 6)", [&] { return encode_png(in, 6, scratch); });
    add("libpng (zlib 1)", [&] { return encode_png(in, 1, scratch); });
    add("recent-colours", [&] { return encode_recent(in, scratch); });

    const std::vector<Row> rows = time_encoders(encoders);
    const double mb = static_cast<double>(in.rgb_bytes()) / 1e6;
    const double base = static_cast<double>(smallest.result.size);
    for (const Row& r : rows) {
      std::printf("| %s | %ux%u | %s | %.1f | %.0f | %llu | %+.1f%% |\n", in.name.c_str(), in.width,
                  in.height, r.encoder.c_str(), r.seconds * 1e3, mb / r.seconds,
                  static_cast<unsigned long long>(r.bytes), 100.0 * (r.bytes / base - 1));
      if (tsv != nullptr) {
        std::fprintf(tsv, "%s\t%ux%u\t%s\t%.6f\t%llu\t%llu\n", in.name.c_str(), in.width, in.height,
                     r.encoder.c_str(), r.seconds, static_cast<unsigned long long>(r.bytes),
                     static_cast<unsigned long long>(in.rgb_bytes()));
      }
    }
    std::fflush(stdout);
  }
  if (tsv != nullptr) std::fclose(tsv);
  return 0;
}
