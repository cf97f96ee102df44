// Decoding speed on real pictures: GetPicture from memory and from a file,
// the bare decoder, and, on the same pictures in the same run, memcpy of the
// output, zlib, LZ4 (default and HC), libpng and the oracle decoder. Every
// output is checked before it is timed. Ends with a table of MB/s of output
// and the ratios.
//
// Pictures: photo.png, illustration.png and drawing.png from the folder made
// by bench/fetch-pictures.sh (--pictures=DIR, else $TZF_BENCH_PICTURES, else
// ~/.cache/tzf-bench), plus 24-bit noise made here. Each is encoded with the
// optimal parse at start; the .tzf files are left in the folder for the
// timing program (bench/decode_timing.cpp).
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <lz4hc.h>
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <map>
#include <string>
#include <vector>

#include "encoder/tzf_encoder.h"
#include "tzf/tzf.h"
#include "imageio/tzf_imageio.h"
#include "plugin/tzf_filter.h"
#include "source/platform.h"
#include "tests/oracle_decoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Picture {
  std::string name;
  int32_t width = 0;
  int32_t height = 0;
  int bits = 24;
  Bytes top_down;  // rows top first, no pad (what libpng gives)
  Bytes tzf;       // the encoded file
  std::string tzf_path;
  Bytes dib;    // the pixel block GetPicture must produce
  Bytes png;    // the same picture as PNG
  Bytes zlib;   // the pixel block compressed at level 6
  Bytes lz4;    // LZ4 default
  Bytes lz4hc;  // LZ4HC default level
  tzf::encoder::EncodeStats stats;
};

size_t row_stride(const Picture& p) {
  return (static_cast<size_t>(p.width) * (p.bits / 8) + 3) & ~size_t{3};
}

// ---- the filter ----------------------------------------------------------

bool get_picture(const char* source, int32_t length_or_offset, uint32_t flags, Bytes* out) {
  TzfLocalHandle info = nullptr;
  TzfLocalHandle pixels = nullptr;
  int32_t status = GetPicture(source, length_or_offset, flags, &info, &pixels, nullptr, 0);
  bool ok = status == 0 && info != nullptr && pixels != nullptr;
  if (ok && out != nullptr) {
    const uint8_t* p = static_cast<const uint8_t*>(LocalLock(pixels));
    out->assign(p, p + out->size());
    LocalUnlock(pixels);
  }
  if (info != nullptr) LocalFree(info);
  if (pixels != nullptr) LocalFree(pixels);
  return ok;
}

// The library's C interface, decoding the stored bytes: bottom-up at the
// pixel block's stride (the block GetPicture makes), or top-down without pad
// (the rows libpng gives).
bool codec_decode(const Picture& p, uint8_t* out, bool top_down) {
  const ptrdiff_t stride = top_down ? static_cast<ptrdiff_t>(p.width) * (p.bits / 8)
                                    : -static_cast<ptrdiff_t>(row_stride(p));
  uint8_t* top = top_down ? out : out + (p.height - 1) * row_stride(p);
  const bool ok =
      tzf_decode(p.tzf.data(), p.tzf.size(), TZF_FORMAT_NATIVE, top, stride, nullptr) == TZF_OK;
  // The pad after the top row, the block's last bytes, lies past the rows.
  const size_t row = static_cast<size_t>(p.width) * (p.bits / 8);
  if (!top_down) memset(top + row, 0, row_stride(p) - row);
  return ok;
}

// The oracle's pixels laid out as the pixel block.
bool oracle_decode(const Picture& p, uint8_t* out) {
  const Bytes packed = oracle_packed_pixels(p.tzf.data(), p.tzf.size());
  const size_t row = static_cast<size_t>(p.width) * (p.bits / 8);
  for (size_t r = 0; r < static_cast<size_t>(p.height); ++r) {
    memcpy(out + r * row_stride(p), packed.data() + r * row, row);
    memset(out + r * row_stride(p) + row, 0, row_stride(p) - row);
  }
  return true;
}

// ---- libpng from memory --------------------------------------------------

struct PngInput {
  const uint8_t* data;
  size_t size;
  size_t at;
};

void png_from_memory(png_structp png, png_bytep out, png_size_t count) {
  PngInput* in = static_cast<PngInput*>(png_get_io_ptr(png));
  if (count > in->size - in->at) png_error(png, "truncated");
  memcpy(out, in->data + in->at, count);
  in->at += count;
}

// Decodes to top-first rows of B, G, R (or palette indices).
bool png_decode(const Bytes& file, uint8_t* out, size_t row_bytes, int32_t height,
                png_bytep* rows) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  PngInput in{file.data(), file.size(), 0};
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &in, png_from_memory);
  png_read_info(png, info);
  png_set_strip_16(png);
  png_set_packing(png);
  png_set_strip_alpha(png);
  if (png_get_color_type(png, info) != PNG_COLOR_TYPE_PALETTE) png_set_bgr(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != row_bytes ||
      png_get_image_height(png, info) != static_cast<png_uint_32>(height)) {
    png_error(png, "unexpected shape");
  }
  for (int32_t y = 0; y < height; ++y) rows[y] = out + static_cast<size_t>(y) * row_bytes;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

// ---- pictures ------------------------------------------------------------

bool load_picture(const std::string& folder, const std::string& name, Picture& p) {
  namespace io = tzf::imageio;
  std::string error;
  io::Image image;
  if (!io::LoadFileBytes(folder + "/" + name + ".png", p.png, error) ||
      !io::DecodePng(p.png, image, error)) {
    fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
    return false;
  }
  p.name = name;
  p.width = static_cast<int32_t>(image.width);
  p.height = static_cast<int32_t>(image.height);
  p.bits = image.bits_per_pixel;
  p.top_down = image.pixels;
  const Bytes order = io::ToDecodingOrder(image);
  tzf::encoder::EncoderInput input{image.width, image.height, image.bits_per_pixel, order,
                                   image.palette};
  tzf::encoder::EncodeResult encoded = tzf::encoder::Encode(input);
  if (encoded.status != tzf::encoder::EncodeStatus::kOk) {
    fprintf(stderr, "%s: %s\n", name.c_str(), tzf::encoder::StatusMessage(encoded.status));
    return false;
  }
  p.tzf = std::move(encoded.file);
  p.stats = encoded.stats;
  const size_t row = static_cast<size_t>(p.width) * (p.bits / 8);
  p.dib.assign(row_stride(p) * p.height, 0);
  for (int32_t y = 0; y < p.height; ++y) {
    memcpy(&p.dib[y * row_stride(p)], &order[y * row], row);
  }
  p.tzf_path = folder + "/" + name + ".tzf";
  return io::SaveFileBytes(p.tzf_path, p.tzf, error);
}

Picture make_noise(const std::string& folder) {
  namespace io = tzf::imageio;
  io::Image image;
  image.width = 1920;
  image.height = 1080;
  image.bits_per_pixel = 24;
  image.pixels.resize(1920 * 1080 * 3);
  uint64_t x = 88172645463325252ull;
  for (uint8_t& b : image.pixels) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x >> 32);
  }
  Bytes png;
  std::string error;
  io::EncodePng(image, png, error);
  io::SaveFileBytes(folder + "/noise.png", png, error);
  Picture p;
  load_picture(folder, "noise", p);
  return p;
}

bool prepare_comparisons(Picture& p) {
  uLongf zsize = compressBound(p.dib.size());
  p.zlib.resize(zsize);
  if (compress2(p.zlib.data(), &zsize, p.dib.data(), p.dib.size(), 6) != Z_OK) return false;
  p.zlib.resize(zsize);
  const int bound = LZ4_compressBound(static_cast<int>(p.dib.size()));
  p.lz4.resize(bound);
  p.lz4.resize(LZ4_compress_default(reinterpret_cast<const char*>(p.dib.data()),
                                    reinterpret_cast<char*>(p.lz4.data()),
                                    static_cast<int>(p.dib.size()), bound));
  p.lz4hc.resize(bound);
  p.lz4hc.resize(LZ4_compress_HC(reinterpret_cast<const char*>(p.dib.data()),
                                 reinterpret_cast<char*>(p.lz4hc.data()),
                                 static_cast<int>(p.dib.size()), bound, LZ4HC_CLEVEL_DEFAULT));
  return !p.lz4.empty() && !p.lz4hc.empty();
}

// ---- the measured operations ---------------------------------------------
// Each writes the output into `out` (sized for it) and reports success.

enum class Way {
  kMemory,
  kFile,
  kCodecUp,
  kCodecDown,
  kOracle,
  kMemcpy,
  kZlib,
  kLz4,
  kLz4hc,
  kLibpng
};

constexpr Way kWays[] = {Way::kMemory, Way::kFile, Way::kCodecUp, Way::kCodecDown, Way::kOracle,
                         Way::kMemcpy, Way::kZlib, Way::kLz4,     Way::kLz4hc,     Way::kLibpng};

const char* way_name(Way w) {
  switch (w) {
    case Way::kMemory:
      return "GetPicture/memory";
    case Way::kFile:
      return "GetPicture/file";
    case Way::kCodecUp:
      return "tzf_decode/up";
    case Way::kCodecDown:
      return "tzf_decode/down";
    case Way::kOracle:
      return "oracle";
    case Way::kMemcpy:
      return "memcpy";
    case Way::kZlib:
      return "zlib";
    case Way::kLz4:
      return "lz4";
    case Way::kLz4hc:
      return "lz4hc";
    case Way::kLibpng:
      return "libpng";
  }
  return "?";
}

// Output of each way: the pixel block, except libpng's top-first rows.
const Bytes& expected_output(const Picture& p, Way w) {
  return w == Way::kLibpng || w == Way::kCodecDown ? p.top_down : p.dib;
}

struct Scratch {
  Bytes out;
  std::vector<png_bytep> rows;
};

// `check`: GetPicture's block is copied out for the comparison (not timed).
bool run_once(const Picture& p, Way w, Scratch& s, bool check) {
  uint8_t* out = s.out.data();
  const int size = static_cast<int>(s.out.size());
  switch (w) {
    case Way::kMemory:
      return get_picture(reinterpret_cast<const char*>(p.tzf.data()),
                         static_cast<int32_t>(p.tzf.size()), TZF_SOURCE_MEMORY,
                         check ? &s.out : nullptr);
    case Way::kFile:
      return get_picture(p.tzf_path.c_str(), 0, 0, check ? &s.out : nullptr);
    case Way::kCodecUp:
      return codec_decode(p, out, false);
    case Way::kCodecDown:
      return codec_decode(p, out, true);
    case Way::kOracle:
      return oracle_decode(p, out);
    case Way::kMemcpy:
      memcpy(out, p.dib.data(), p.dib.size());
      return true;
    case Way::kZlib: {
      uLongf length = s.out.size();
      return uncompress(out, &length, p.zlib.data(), p.zlib.size()) == Z_OK &&
             length == s.out.size();
    }
    case Way::kLz4:
      return LZ4_decompress_safe(reinterpret_cast<const char*>(p.lz4.data()),
                                 reinterpret_cast<char*>(out), static_cast<int>(p.lz4.size()),
                                 size) == size;
    case Way::kLz4hc:
      return LZ4_decompress_safe(reinterpret_cast<const char*>(p.lz4hc.data()),
                                 reinterpret_cast<char*>(out), static_cast<int>(p.lz4hc.size()),
                                 size) == size;
    case Way::kLibpng:
      return png_decode(p.png, out, static_cast<size_t>(p.width) * (p.bits / 8), p.height,
                        s.rows.data());
  }
  return false;
}

void measure(benchmark::State& state, const Picture* p, Way w) {
  Scratch s;
  s.out.assign(expected_output(*p, w).size(), 0x5A);
  s.rows.resize(static_cast<size_t>(p->height));
  if (!run_once(*p, w, s, true) || s.out != expected_output(*p, w)) {
    state.SkipWithError("wrong output");
    return;
  }
  for (auto _ : state) {
    if (!run_once(*p, w, s, false)) {
      state.SkipWithError("failed while timing");
      break;
    }
    benchmark::DoNotOptimize(s.out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(s.out.size()));
}

// Keeps every run's output rate for the closing table.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> mb_per_s;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto found = run.counters.find("bytes_per_second");
      if (found == run.counters.end() || run.error_occurred) continue;
      // The median of the repetitions where there are several: the machine
      // may be busy with other work now and then.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      mb_per_s[run.run_name.function_name] = found->second.value / 1e6;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

void print_table(const std::vector<Picture>& pictures, const TableReporter& r) {
  auto rate = [&r](const Picture& p, Way w) {
    auto found = r.mb_per_s.find(std::string(way_name(w)) + "/" + p.name);
    return found == r.mb_per_s.end() ? 0.0 : found->second;
  };
  printf("\nMB/s of decoded output (more is better)\n");
  printf("%-13s %8s", "picture", "size");
  for (Way w : kWays)
    printf(" %10.10s", way_name(w) + (w == Way::kMemory || w == Way::kFile ? 11 : 0));
  printf("\n");
  for (const Picture& p : pictures) {
    char size[32];
    snprintf(size, sizeof size, "%dx%dx%d", p.width, p.height, p.bits);
    printf("%-13s %8s", p.name.c_str(), size);
    for (Way w : kWays) printf(" %10.0f", rate(p, w));
    printf("\n");
  }
  printf("\nratios of GetPicture from memory (time of the other / time of GetPicture)\n");
  printf("%-13s %10s %10s %10s %10s %10s %12s\n", "picture", "vs oracle", "vs lz4", "vs lz4hc",
         "vs zlib", "vs libpng", "file/memory");
  for (const Picture& p : pictures) {
    const double m = rate(p, Way::kMemory);
    auto ratio = [m](double other) { return other > 0 ? m / other : 0.0; };
    const double file = rate(p, Way::kFile);
    printf("%-13s %10.1f %10.2f %10.2f %10.1f %10.1f %12.2f\n", p.name.c_str(),
           ratio(rate(p, Way::kOracle)), ratio(rate(p, Way::kLz4)), ratio(rate(p, Way::kLz4hc)),
           ratio(rate(p, Way::kZlib)), ratio(rate(p, Way::kLibpng)), file > 0 ? m / file : 0.0);
  }
  printf("\nthe C interface beside GetPicture from memory (time of GetPicture / time of tzf_decode)\n");
  printf("%-13s %16s %16s\n", "picture", "bottom-up", "top-down");
  for (const Picture& p : pictures) {
    const double m = rate(p, Way::kMemory);
    auto ratio = [m](double other) { return m > 0 ? other / m : 0.0; };
    printf("%-13s %16.2f %16.2f\n", p.name.c_str(), ratio(rate(p, Way::kCodecUp)),
           ratio(rate(p, Way::kCodecDown)));
  }
  printf("\nencoded sizes (bytes): tzf, lz4, lz4hc, zlib-6, png; literal share of pixels\n");
  for (const Picture& p : pictures) {
    const double pixels = static_cast<double>(p.width) * p.height;
    printf("%-13s %9zu %9zu %9zu %9zu %9zu  %5.1f%%\n", p.name.c_str(), p.tzf.size(), p.lz4.size(),
           p.lz4hc.size(), p.zlib.size(), p.png.size(),
           100.0 * static_cast<double>(p.stats.literal_pixels) / pixels);
  }
}

std::string pictures_folder(int& argc, char** argv) {
  std::string folder;
  for (int k = 1; k < argc; ++k) {
    if (strncmp(argv[k], "--pictures=", 11) == 0) {
      folder = argv[k] + 11;
      for (int j = k; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      break;
    }
  }
  if (folder.empty() && getenv("TZF_BENCH_PICTURES") != nullptr) {
    folder = getenv("TZF_BENCH_PICTURES");
  }
  if (folder.empty()) {
    const char* cache = getenv("XDG_CACHE_HOME");
    const char* home = getenv("HOME");
    folder = cache != nullptr ? std::string(cache) + "/tzf-bench"
                              : std::string(home != nullptr ? home : "/tmp") + "/.cache/tzf-bench";
  }
  return folder;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string folder = pictures_folder(argc, argv);
  benchmark::Initialize(&argc, argv);
  std::vector<Picture> pictures;
  for (const char* name : {"photo", "illustration", "drawing"}) {
    Picture p;
    if (load_picture(folder, name, p)) pictures.push_back(std::move(p));
  }
  if (pictures.size() < 3) {
    fprintf(stderr, "some pictures are missing in %s: run bench/fetch-pictures.sh\n",
            folder.c_str());
  }
  pictures.push_back(make_noise(folder));
  for (Picture& p : pictures) {
    if (p.tzf.empty() || !prepare_comparisons(p)) {
      fprintf(stderr, "%s: could not be prepared\n", p.name.c_str());
      return 1;
    }
  }
  for (const Picture& p : pictures) {
    for (Way w : kWays) {
      benchmark::RegisterBenchmark((std::string(way_name(w)) + "/" + p.name).c_str(), measure, &p,
                                   w)
          ->Unit(benchmark::kMicrosecond)
          ->MinTime(0.1)
          ->Repetitions(5)
          ->DisplayAggregatesOnly(true);
    }
  }
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_table(pictures, reporter);
  benchmark::Shutdown();
  return 0;
}
