// Decoding speed on real pictures: GetPicture from memory and from a file,
// the bare decoder, and, on the same pictures in the same run, memcpy of the
// output, zlib, LZ4 (default and HC), libpng and the oracle decoder. Every
// output is checked before it is timed. Ends with a table of MB/s of output
// and the ratios. Beside the file decodes, one read() of the whole .tzf
// file: what any reader of the file pays before decoding it.
//
// Pictures: every photo-*.png, palette-*.png and screenshot-*.png in the
// folder made by bench/fetch-pictures.sh (--pictures=DIR, else
// $TZF_BENCH_PICTURES, else ~/.cache/tzf-bench), plus 24-bit noise made here.
// Each is encoded with the optimal parse at start; the .tzf files are left in
// the folder for the timing program (bench/decode_timing.cpp).
//
// Every measurement is repeated; the tables give the medians, and each ratio
// is taken within each repetition (the k-th of one way against the k-th of
// the other) and reported as median, lowest and highest.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <lz4.h>
#include <lz4hc.h>
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "encoder/tzf_encoder.h"
#include "imageio/tzf_imageio.h"
#include "plugin/tzf_filter.h"
#include "source/platform.h"
#include "tests/oracle_decoder.h"
#include "tzf/tzf.h"

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

// The whole file by one read() into `out` (`size` bytes), with the open and
// the close around it that any reader of a file by name makes.
bool read_whole(const std::string& path, uint8_t* out, size_t size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got = read(fd, out, size);
  close(fd);
  return got == static_cast<ssize_t>(size);
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
  kLibpng,
  kRead,
  kReadFresh
};

// The ways that decode, in the first table's order.
constexpr Way kDecodings[] = {Way::kMemory, Way::kFile,   Way::kCodecUp, Way::kCodecDown,
                              Way::kOracle, Way::kMemcpy, Way::kZlib,    Way::kLz4,
                              Way::kLz4hc,  Way::kLibpng};
constexpr Way kWays[] = {Way::kMemory, Way::kFile,   Way::kCodecUp, Way::kCodecDown,
                         Way::kOracle, Way::kMemcpy, Way::kZlib,    Way::kLz4,
                         Way::kLz4hc,  Way::kLibpng, Way::kRead,    Way::kReadFresh};

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
    case Way::kRead:
      return "read";
    case Way::kReadFresh:
      return "read/fresh";
  }
  return "?";
}

// Output of each way: the pixel block, except top-first rows and the file.
const Bytes& expected_output(const Picture& p, Way w) {
  if (w == Way::kRead || w == Way::kReadFresh) return p.tzf;
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
    case Way::kRead:  // into the buffer measure() allocated and filled
      return read_whole(p.tzf_path, out, s.out.size());
    case Way::kReadFresh: {  // into pages mapped for each read: the first touch counts
      void* fresh =
          mmap(nullptr, s.out.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (fresh == MAP_FAILED) return false;
      const bool ok = read_whole(p.tzf_path, static_cast<uint8_t*>(fresh), s.out.size());
      if (ok && check) memcpy(out, fresh, s.out.size());
      munmap(fresh, s.out.size());
      return ok;
    }
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

// Keeps every repetition's output rate for the closing tables; shows only
// the aggregates.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, std::vector<double>> mb_per_s;
  std::map<std::string, std::vector<double>> cpu_us;  // CPU time of one iteration
  std::map<std::string, double> cv;                   // coefficient of variation of the CPU time
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate) {
        shown.push_back(run);
        if (run.aggregate_name == "cv") cv[run.run_name.function_name] = run.cpu_accumulated_time;
        continue;
      }
      auto found = run.counters.find("bytes_per_second");
      if (found == run.counters.end() || run.error_occurred) continue;
      mb_per_s[run.run_name.function_name].push_back(found->second.value / 1e6);
      cpu_us[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
  }
};

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A ratio within each repetition: median, lowest, highest.
struct Ratio {
  double median = 0, low = 0, high = 0;
};

Ratio paired(const std::vector<double>& top, const std::vector<double>& bottom) {
  std::vector<double> r;
  for (size_t k = 0; k < top.size() && k < bottom.size(); ++k) {
    if (bottom[k] > 0) r.push_back(top[k] / bottom[k]);
  }
  if (r.empty()) return {};
  const auto [low, high] = std::minmax_element(r.begin(), r.end());
  return {median(r), *low, *high};
}

void print_ratio(const Ratio& r, int precision) {
  char text[48];
  snprintf(text, sizeof text, "%.*f [%.*f-%.*f]", precision, r.median, precision, r.low, precision,
           r.high);
  printf(" %18s", text);
}

void print_table(const std::vector<Picture>& pictures, const TableReporter& r) {
  static const std::vector<double> none;
  auto rates = [&r](const Picture& p, Way w) -> const std::vector<double>& {
    auto found = r.mb_per_s.find(std::string(way_name(w)) + "/" + p.name);
    return found == r.mb_per_s.end() ? none : found->second;
  };
  auto rate = [&rates](const Picture& p, Way w) { return median(rates(p, w)); };
  size_t repetitions = 0;
  for (const auto& [name, v] : r.mb_per_s) repetitions = std::max(repetitions, v.size());
  printf("\nMB/s of decoded output (more is better), median of %zu repetitions\n", repetitions);
  printf("%-28s %11s", "picture", "size");
  for (Way w : kDecodings)
    printf(" %10.10s", way_name(w) + (w == Way::kMemory || w == Way::kFile ? 11 : 0));
  printf("\n");
  for (const Picture& p : pictures) {
    char size[32];
    snprintf(size, sizeof size, "%dx%dx%d", p.width, p.height, p.bits);
    printf("%-28s %11s", p.name.c_str(), size);
    for (Way w : kDecodings) printf(" %10.0f", rate(p, w));
    printf("\n");
  }
  printf("\nhighest coefficient of variation of a way's time over the repetitions, per picture\n");
  for (const Picture& p : pictures) {
    double worst = 0;
    const char* which = "";
    for (Way w : kWays) {
      auto found = r.cv.find(std::string(way_name(w)) + "/" + p.name);
      if (found != r.cv.end() && found->second > worst) {
        worst = found->second;
        which = way_name(w);
      }
    }
    printf("%-28s %5.1f%% (%s)\n", p.name.c_str(), 100 * worst, which);
  }
  printf(
      "\nratios within each repetition: median [lowest-highest] of time of the other / time of"
      " GetPicture from memory\n");
  printf("%-28s %18s %18s %18s %18s %18s\n", "picture", "vs oracle", "vs lz4", "vs lz4hc",
         "vs zlib", "vs libpng");
  for (const Picture& p : pictures) {
    const std::vector<double>& m = rates(p, Way::kMemory);
    printf("%-28s", p.name.c_str());
    print_ratio(paired(m, rates(p, Way::kOracle)), 1);
    print_ratio(paired(m, rates(p, Way::kLz4)), 2);
    print_ratio(paired(m, rates(p, Way::kLz4hc)), 2);
    print_ratio(paired(m, rates(p, Way::kZlib)), 1);
    print_ratio(paired(m, rates(p, Way::kLibpng)), 1);
    printf("\n");
  }
  printf(
      "\ntime of a file by name / time from memory (GetPicture; lower is better), and the C"
      "\ninterface beside GetPicture from memory (time of GetPicture / time of tzf_decode)\n");
  printf("%-28s %18s %18s %18s\n", "picture", "file/memory", "tzf bottom-up", "tzf top-down");
  for (const Picture& p : pictures) {
    const std::vector<double>& m = rates(p, Way::kMemory);
    printf("%-28s", p.name.c_str());
    print_ratio(paired(m, rates(p, Way::kFile)), 2);
    print_ratio(paired(rates(p, Way::kCodecUp), m), 2);
    print_ratio(paired(rates(p, Way::kCodecDown), m), 2);
    printf("\n");
  }
  auto times = [&r](const Picture& p, Way w) -> const std::vector<double>& {
    auto found = r.cpu_us.find(std::string(way_name(w)) + "/" + p.name);
    return found == r.cpu_us.end() ? none : found->second;
  };
  // Per repetition k: file_k / (memory_k + read_k).
  auto against_sum = [&times](const Picture& p, Way read) {
    const std::vector<double>& f = times(p, Way::kFile);
    const std::vector<double>& m = times(p, Way::kMemory);
    const std::vector<double>& d = times(p, read);
    std::vector<double> sum;
    for (size_t k = 0; k < m.size() && k < d.size(); ++k) sum.push_back(m[k] + d[k]);
    return paired(f, sum);
  };
  printf(
      "\nGetPicture from a file against GetPicture from memory plus reading the file (open, one"
      "\nread() of it all, close): CPU microseconds, medians; read: into a buffer allocated and"
      "\ntouched beforehand; fresh: into pages mapped for each read; ratios median"
      " [lowest-highest]\n");
  printf("%-28s %9s %9s %9s %9s %18s %18s\n", "picture", "memory", "file", "read", "fresh",
         "file/(memory+read)", "file/(mem+fresh)");
  for (const Picture& p : pictures) {
    printf("%-28s %9.0f %9.0f %9.1f %9.1f", p.name.c_str(), median(times(p, Way::kMemory)),
           median(times(p, Way::kFile)), median(times(p, Way::kRead)),
           median(times(p, Way::kReadFresh)));
    print_ratio(against_sum(p, Way::kRead), 3);
    print_ratio(against_sum(p, Way::kReadFresh), 3);
    printf("\n");
  }
  printf(
      "\nencoded sizes (bytes): tzf, lz4, lz4hc, zlib-6, png; share of pixels in runs, mean run\n");
  for (const Picture& p : pictures) {
    const double pixels = static_cast<double>(p.width) * p.height;
    const double runs = static_cast<double>(p.stats.run_count);
    printf("%-28s %9zu %9zu %9zu %9zu %9zu  %5.1f%% %5.1f\n", p.name.c_str(), p.tzf.size(),
           p.lz4.size(), p.lz4hc.size(), p.zlib.size(), p.png.size(),
           100.0 * static_cast<double>(p.stats.run_pixels) / pixels,
           runs > 0 ? static_cast<double>(p.stats.run_pixels) / runs : 0.0);
  }
}

// The pictures of the folder, by kind and then name.
std::vector<std::string> picture_names(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string file = entry.path().filename().string();
    if (file.size() < 5 || file.compare(file.size() - 4, 4, ".png") != 0) continue;
    for (const char* kind : {"photo-", "palette-", "screenshot-"}) {
      if (file.rfind(kind, 0) == 0) names.push_back(file.substr(0, file.size() - 4));
    }
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    auto rank = [](const std::string& n) { return n[1] == 'h' ? 0 : n[1] == 'a' ? 1 : 2; };
    return rank(a) != rank(b) ? rank(a) < rank(b) : a < b;
  });
  return names;
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
  for (const std::string& name : picture_names(folder)) {
    Picture p;
    if (load_picture(folder, name, p)) pictures.push_back(std::move(p));
  }
  if (pictures.empty()) {
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
          ->Repetitions(7);
    }
  }
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_table(pictures, reporter);
  benchmark::Shutdown();
  return 0;
}
