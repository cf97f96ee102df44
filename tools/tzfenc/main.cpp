// tzfenc: writes TZF pictures from JPEG, PNG, BMP, GIF, TGA and PNM pictures
// through libtzf's encoder (tzf_encode).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "imageio/tzf_imageio.h"
#include "tzf/tzf.h"
#include "tzfconv/progress_bar.h"

namespace {

namespace fs = std::filesystem;
using tzf::imageio::Picture;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitWriteFailed = 3;

constexpr int kMaxJobs = 256;

constexpr const char* kVersion = "tzfenc " TZF_RELEASE;

void PrintUsage(std::FILE* to) {
  std::fputs(
      "usage: tzfenc [options] IN OUT.tzf\n"
      "       tzfenc [options] -o OUTDIR IN...\n"
      "\n"
      "Writes TZF pictures from JPEG, PNG, BMP, GIF (the first frame), TGA and\n"
      "binary PNM (PGM, PPM) pictures. IN or OUT may be - for standard input or\n"
      "output. With -o, each IN is written as OUTDIR/<name>.tzf (<name>: IN's file\n"
      "name without its extension); the folder is created when missing, and IN's\n"
      "file name may hold the wildcards * and ? (for the Windows command prompt).\n"
      "\n"
      "options:\n"
      "  -o, --output DIR     write every input into DIR\n"
      "  --depth 8|24         bits per pixel of the output. Default: 8 when the\n"
      "                       input is paletted (a PNG with a colour table, a BMP of\n"
      "                       8 bits or fewer, a GIF) or --palette is given,\n"
      "                       otherwise 24. --depth 24 expands a colour table.\n"
      "  --effort fast|smallest\n"
      "                       smallest (default): the smallest file the format can\n"
      "                       hold; fast: the longest run at each pixel, several\n"
      "                       times faster\n"
      "  --fast               the same as --effort fast\n"
      "  --no-dither          8 bits from true colour: each pixel takes the nearest\n"
      "                       colour (default: error diffusion)\n"
      "  --palette FILE       8 bits from true colour with a fixed colour table: the\n"
      "                       table of a paletted picture, or the colours of a\n"
      "                       picture of at most 256 colours\n"
      "  --background RRGGBB  colour behind transparent pixels (default: ffffff)\n"
      "  -j, --jobs N         pictures converted at once (default: the number of\n"
      "                       processors)\n"
      "  -v, --verbose        print sizes and timing of each picture\n"
      "  -h, --help           print this help and exit\n"
      "  --version            print the version and exit\n"
      "\n"
      "A paletted input keeps its colour table; colours that appear under two of\n"
      "its entries are written with the first of them. 8 bits from true colour: a\n"
      "picture of at most 256 colours keeps exactly its colours, others get a\n"
      "colour table chosen for them. Transparent pixels are blended over the\n"
      "background colour, and tzfenc says so once. A progress bar counting\n"
      "pictures is shown on stderr when it is a terminal and there is more than\n"
      "one input.\n"
      "\n"
      "exit status: 0 every picture written, 1 usage error, 2 an input (or the\n"
      "--palette picture) could not be read or encoded, 3 an output could not be\n"
      "written (3 wins over 2 when both happen). In a batch every input is tried,\n"
      "whatever happens to the others.\n",
      to);
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "tzfenc: %s\nTry 'tzfenc --help' for more information.\n", message.c_str());
  return kExitUsage;
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// What every picture of a run is encoded with.
struct Settings {
  int depth = TZF_DEPTH_AUTO;
  int effort = TZF_EFFORT_SMALLEST;
  int dither = TZF_DITHER_DEFAULT;
  uint32_t background = 0xFFFFFF;
  uint8_t palette[256][3] = {};
  uint32_t palette_size = 0;  // 0: no fixed colour table
  bool verbose = false;
};

struct Job {
  std::string input;   // "-": standard input
  std::string output;  // "-": standard output
};

// Shared by the workers; every member below `lock` is guarded by it.
struct Run {
  const Settings* settings = nullptr;
  const std::vector<Job>* jobs = nullptr;
  std::atomic<size_t> next{0};
  std::mutex lock;
  tzf::conv::ProgressBar bar;  // stream null: no bar
  int done = 0;
  int worst = kExitOk;
  bool blended_told = false;
};

void ClearBar(Run& run) {
  if (run.bar.stream == nullptr || run.bar.shown_length == 0) return;
  std::fprintf(run.bar.stream, "\r%*s\r", static_cast<int>(run.bar.shown_length), "");
  run.bar.shown_length = 0;
}

void DrawBar(Run& run, const std::string& name) {
  if (run.bar.stream == nullptr) return;
  const std::string line =
      tzf::conv::FormatProgressLine(run.done, run.bar.count, name, run.done, run.bar.count);
  const size_t pad = run.bar.shown_length > line.size() ? run.bar.shown_length - line.size() : 0;
  std::fprintf(run.bar.stream, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
  std::fflush(run.bar.stream);
  run.bar.shown_length = line.size();
}

// Under run.lock.
void Report(Run& run, int status, const std::string& message) {
  ClearBar(run);
  std::fprintf(stderr, "tzfenc: %s\n", message.c_str());
  run.worst = std::max(run.worst, status);
}

bool ReadAll(const std::string& path, std::vector<uint8_t>& data, std::string& error) {
  if (path != "-") return tzf::imageio::LoadFileBytes(path, data, error);
  data.clear();
  std::vector<uint8_t> buffer(65536);
  size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), stdin)) > 0) {
    data.insert(data.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
  }
  if (std::ferror(stdin) != 0) {
    error = "cannot read standard input";
    return false;
  }
  return true;
}

bool WriteAll(const std::string& path, std::span<const uint8_t> data, std::string& error) {
  if (path != "-") return tzf::imageio::SaveFileBytes(path, data, error);
  if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size() || std::fflush(stdout) != 0) {
    error = "cannot write standard output";
    return false;
  }
  return true;
}

std::string Shown(const std::string& path) { return path == "-" ? "(standard input)" : path; }

// The picture as libtzf takes it; `picture` must outlive the record.
tzf_image ImageOf(const Picture& picture) {
  tzf_image image{};
  image.width = static_cast<uint32_t>(picture.width);
  image.height = static_cast<uint32_t>(picture.height);
  image.pixels = picture.pixels.data();
  int bytes_per_pixel = 3;
  switch (picture.layout) {
    case Picture::Layout::kIndex:
      image.format = TZF_FORMAT_INDEX;
      image.palette = picture.palette;
      image.palette_size = static_cast<uint32_t>(picture.palette_size);
      bytes_per_pixel = 1;
      break;
    case Picture::Layout::kRgb:
      image.format = TZF_FORMAT_RGB;
      break;
    case Picture::Layout::kRgba:
      image.format = TZF_FORMAT_RGBA;
      bytes_per_pixel = 4;
      break;
  }
  image.stride = static_cast<ptrdiff_t>(picture.width) * bytes_per_pixel;
  return image;
}

// A paletted picture as true colour, for a fixed colour table to apply to.
void ExpandTable(Picture& picture) {
  if (picture.layout != Picture::Layout::kIndex) return;
  std::vector<uint8_t> rgb(picture.pixels.size() * 3);
  for (size_t i = 0; i < picture.pixels.size(); ++i) {
    std::memcpy(&rgb[3 * i], picture.palette[picture.pixels[i]], 3);
  }
  picture.pixels = std::move(rgb);
  picture.layout = Picture::Layout::kRgb;
}

// Encodes one picture; the status of the job.
int Convert(Run& run, const Job& job) {
  const Settings& settings = *run.settings;
  const auto start = std::chrono::steady_clock::now();
  std::string error;
  std::vector<uint8_t> input;
  Picture picture;
  if (!ReadAll(job.input, input, error)) {
    const std::lock_guard guard(run.lock);
    Report(run, kExitBadInput, error);
    return kExitBadInput;
  }
  if (!tzf::imageio::ReadPicture(input, picture, error)) {
    const std::lock_guard guard(run.lock);
    Report(run, kExitBadInput, Shown(job.input) + ": " + error);
    return kExitBadInput;
  }
  if (settings.palette_size != 0) ExpandTable(picture);

  tzf_encode_options options{};
  options.effort = settings.effort;
  options.dither = settings.dither;
  options.background = TZF_BACKGROUND(settings.background);
  options.bits_per_pixel = settings.depth;
  if (settings.depth == TZF_DEPTH_AUTO && (picture.paletted || settings.palette_size != 0)) {
    options.bits_per_pixel = TZF_DEPTH_8;
  }
  if (settings.palette_size != 0) {
    options.palette = settings.palette;
    options.palette_size = settings.palette_size;
  }
  const tzf_image image = ImageOf(picture);
  size_t max_file_bytes = 0;
  size_t work_bytes = 0;
  int status = tzf_encode_size(&image, &options, &max_file_bytes, &work_bytes);
  std::vector<uint8_t> work;
  std::vector<uint8_t> file;
  tzf_encode_result result{};
  const auto encode_start = std::chrono::steady_clock::now();
  if (status == TZF_OK) {
    try {
      work.resize(work_bytes);
      file.resize(max_file_bytes);
    } catch (const std::bad_alloc&) {
      const std::lock_guard guard(run.lock);
      Report(run, kExitBadInput, Shown(job.input) + ": not enough memory to encode it");
      return kExitBadInput;
    }
    status =
        tzf_encode(&image, &options, work.data(), work.size(), file.data(), file.size(), &result);
  }
  if (status != TZF_OK) {
    const std::lock_guard guard(run.lock);
    Report(run, kExitBadInput, Shown(job.input) + ": " + tzf_status_text(status));
    return kExitBadInput;
  }
  const double encode_ms = MillisecondsSince(encode_start);
  work = {};
  if (!WriteAll(job.output, std::span(file.data(), result.size), error)) {
    const std::lock_guard guard(run.lock);
    Report(run, kExitWriteFailed, error);
    return kExitWriteFailed;
  }

  const std::lock_guard guard(run.lock);
  if (result.composited != 0 && !run.blended_told) {
    run.blended_told = true;
    ClearBar(run);
    std::fprintf(stderr, "tzfenc: transparent pixels were blended over #%06x\n",
                 static_cast<unsigned>(settings.background));
  }
  if (settings.verbose) {
    ClearBar(run);
    const uint64_t bytes_per_pixel = result.bits_per_pixel / 8;
    const double raw = static_cast<double>(picture.width) * static_cast<double>(picture.height) *
                       static_cast<double>(bytes_per_pixel);
    std::string colours;
    if (result.bits_per_pixel == 8) {
      colours = ", " + std::to_string(result.colours) + " colours" +
                (result.quantised != 0 ? " (quantised)" : "");
    }
    std::fprintf(stderr,
                 "%s: %lldx%lld, %u-bit%s; %zu bytes (%.1f%% of raw)\n"
                 "  %llu literal pixels, %llu runs covering %llu pixels\n"
                 "  %s encoding %.1f ms, all %.1f ms\n",
                 Shown(job.input).c_str(), static_cast<long long>(picture.width),
                 static_cast<long long>(picture.height), result.bits_per_pixel, colours.c_str(),
                 result.size, raw > 0 ? 100.0 * static_cast<double>(result.size) / raw : 0.0,
                 static_cast<unsigned long long>(result.literal_pixels),
                 static_cast<unsigned long long>(result.runs),
                 static_cast<unsigned long long>(result.run_pixels),
                 settings.effort == TZF_EFFORT_FAST ? "fast" : "smallest", encode_ms,
                 MillisecondsSince(start));
  }
  return kExitOk;
}

void Worker(Run& run) {
  for (;;) {
    const size_t i = run.next.fetch_add(1);
    if (i >= run.jobs->size()) return;
    const Job& job = (*run.jobs)[i];
    Convert(run, job);
    const std::lock_guard guard(run.lock);
    ++run.done;
    DrawBar(run, fs::path(job.input).filename().string());
  }
}

// "RRGGBB" or "#RRGGBB".
bool ParseColour(std::string_view text, uint32_t& colour) {
  if (!text.empty() && text[0] == '#') text.remove_prefix(1);
  if (text.size() != 6) return false;
  uint32_t value = 0;
  for (const char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  colour = value;
  return true;
}

bool ParseCount(std::string_view text, int& count) {
  if (text.empty() || text.size() > 6) return false;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1) return false;
  count = value;
  return true;
}

// The colour table of --palette FILE: a paletted picture's table, or the
// colours of a picture of at most 256 (in the order they first appear).
bool LoadPalette(const std::string& path, Settings& settings, std::string& error) {
  std::vector<uint8_t> data;
  Picture picture;
  if (!ReadAll(path, data, error)) return false;
  if (!tzf::imageio::ReadPicture(data, picture, error)) {
    error = Shown(path) + ": " + error;
    return false;
  }
  if (picture.layout == Picture::Layout::kIndex) {
    std::memcpy(settings.palette, picture.palette, sizeof settings.palette);
    settings.palette_size = static_cast<uint32_t>(picture.palette_size);
    return true;
  }
  if (picture.layout == Picture::Layout::kRgba) {
    error = Shown(path) + ": a colour table cannot have transparent colours";
    return false;
  }
  std::unordered_set<uint32_t> seen;
  uint32_t size = 0;
  for (size_t i = 0; i < picture.pixels.size(); i += 3) {
    const uint8_t* p = &picture.pixels[i];
    const uint32_t key = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    if (!seen.insert(key).second) continue;
    if (size == 256) {
      error = Shown(path) + ": more than 256 colours for a colour table";
      return false;
    }
    std::memcpy(settings.palette[size++], p, 3);
  }
  settings.palette_size = size;
  return true;
}

// `name` matched against `pattern` of * and ?; on Windows, whose file names
// ignore case, ignoring ASCII case.
bool Matches(std::string_view pattern, std::string_view name) {
  const auto lower = [](char c) {
#if defined(_WIN32)
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
#endif
    return c;
  };
  size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || lower(pattern[p]) == lower(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The Windows command prompt hands wildcards over as they are typed: with
// -o, an input whose file name holds * or ? stands for the files it matches,
// sorted by name (itself when none does, to be reported as missing).
void ExpandWildcards(const std::string& input, std::vector<std::string>& paths) {
  const fs::path path(input);
  const std::string pattern = path.filename().string();
  if (pattern.find_first_of("*?") == std::string::npos) {
    paths.push_back(input);
    return;
  }
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::vector<std::string> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec) || !Matches(pattern, it->path().filename().string())) continue;
    found.push_back(path.has_parent_path() ? (path.parent_path() / it->path().filename()).string()
                                           : it->path().filename().string());
  }
  std::sort(found.begin(), found.end());
  if (found.empty()) found.push_back(input);
  paths.insert(paths.end(), found.begin(), found.end());
}

bool TakesValue(std::string_view arg) {
  return arg == "-o" || arg == "--output" || arg == "--depth" || arg == "--effort" ||
         arg == "--palette" || arg == "--background" || arg == "-j" || arg == "--jobs";
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  std::string output_dir;
  std::string palette_path;
  int jobs_wanted = 0;  // 0: the number of processors
  bool options_done = false;
  std::vector<std::string> paths;

  for (int a = 1; a < argc; ++a) {
    std::string_view arg = argv[a];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      paths.emplace_back(arg);
      continue;
    }
    std::string_view value;
    if (arg.starts_with("--") && arg.find('=') != std::string_view::npos) {
      const size_t eq = arg.find('=');
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      if (!TakesValue(arg)) return UsageError("option '" + std::string(arg) + "' takes no value");
    } else if (arg.size() > 2 && arg[1] == 'j' && arg[0] == '-') {
      value = arg.substr(2);
      arg = "-j";
    } else if (TakesValue(arg)) {
      if (a + 1 >= argc) return UsageError(std::string(arg) + " needs a value");
      value = argv[++a];
    }
    if (arg == "--") {
      options_done = true;
    } else if (arg == "-h" || arg == "--help") {
      PrintUsage(stdout);
      return kExitOk;
    } else if (arg == "--version") {
      std::puts(kVersion);
      return kExitOk;
    } else if (arg == "-v" || arg == "--verbose") {
      settings.verbose = true;
    } else if (arg == "--fast") {
      settings.effort = TZF_EFFORT_FAST;
    } else if (arg == "--no-dither") {
      settings.dither = TZF_DITHER_NONE;
    } else if (arg == "--effort") {
      if (value == "fast") {
        settings.effort = TZF_EFFORT_FAST;
      } else if (value == "smallest") {
        settings.effort = TZF_EFFORT_SMALLEST;
      } else {
        return UsageError("invalid effort '" + std::string(value) + "' (use fast or smallest)");
      }
    } else if (arg == "--depth") {
      if (value == "8") {
        settings.depth = TZF_DEPTH_8;
      } else if (value == "24") {
        settings.depth = TZF_DEPTH_24;
      } else {
        return UsageError("invalid depth '" + std::string(value) + "' (use 8 or 24)");
      }
    } else if (arg == "--background") {
      if (!ParseColour(value, settings.background)) {
        return UsageError("invalid colour '" + std::string(value) + "' (use RRGGBB, e.g. ffffff)");
      }
    } else if (arg == "--palette") {
      palette_path = std::string(value);
    } else if (arg == "-j" || arg == "--jobs") {
      if (!ParseCount(value, jobs_wanted)) {
        return UsageError("invalid number of jobs '" + std::string(value) + "'");
      }
    } else if (arg == "-o" || arg == "--output") {
      output_dir = std::string(value);
      if (output_dir.empty()) return UsageError("-o needs a folder");
    } else {
      return UsageError("unknown option '" + std::string(arg) + "'");
    }
  }

  std::vector<Job> jobs;
  if (output_dir.empty()) {
    if (paths.size() != 2) {
      return UsageError(paths.size() < 2 ? "expected an input and an output file"
                                         : "too many arguments (use -o DIR for several inputs)");
    }
    jobs.push_back({paths[0], paths[1]});
  } else {
    if (paths.empty()) return UsageError("no input");
    std::vector<std::string> named;
    named.swap(paths);
    for (const std::string& in : named) ExpandWildcards(in, paths);
    std::set<std::string> outputs;
    for (const std::string& in : paths) {
      if (in == "-") return UsageError("- (standard input) cannot be used with -o");
      const std::string out = (fs::path(output_dir) / fs::path(in).stem()).string() + ".tzf";
      if (!outputs.insert(out).second) {
        return UsageError("two inputs would both be written to " + out);
      }
      jobs.push_back({in, out});
    }
  }
  size_t stdin_users = 0;
  for (const Job& job : jobs) stdin_users += job.input == "-" ? 1 : 0;
  if (palette_path == "-") ++stdin_users;
  if (stdin_users > 1) return UsageError("standard input can be read only once");
  if (!palette_path.empty() && settings.depth == TZF_DEPTH_24) {
    return UsageError("--palette makes 8-bit pictures: it cannot go with --depth 24");
  }

#if defined(_WIN32)
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif

  if (!palette_path.empty()) {
    std::string error;
    if (!LoadPalette(palette_path, settings, error)) {
      std::fprintf(stderr, "tzfenc: --palette: %s\n", error.c_str());
      return kExitBadInput;
    }
  }
  if (!output_dir.empty()) {
    std::error_code ec;
    fs::create_directories(output_dir, ec);
    if (ec) {
      std::fprintf(stderr, "tzfenc: cannot create %s: %s\n", output_dir.c_str(),
                   ec.message().c_str());
      return kExitWriteFailed;
    }
  }

  Run run;
  run.settings = &settings;
  run.jobs = &jobs;
  if (jobs.size() > 1 && tzf::conv::IsTerminal(stderr)) {
    run.bar.stream = stderr;
    run.bar.count = static_cast<int>(jobs.size());
  }
  int threads = jobs_wanted;
  if (threads == 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  threads = std::min({threads, kMaxJobs, static_cast<int>(jobs.size())});
  std::vector<std::thread> workers;
  for (int t = 1; t < threads; ++t) workers.emplace_back(Worker, std::ref(run));
  Worker(run);
  for (std::thread& worker : workers) worker.join();
  ClearBar(run);
  return run.worst;
}
