// tzfconv: converts TZF pictures to PNG or BMP through the filter library,
// calling its entry points exactly as an image viewer does.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "plugin/status_codes.h"
#include "tzfconv/dib_output.h"
#include "tzfconv/filter_host.h"
#include "tzfconv/picture_check.h"
#include "tzfconv/progress_bar.h"

namespace {

namespace fs = std::filesystem;
using tzf::conv::FilterLibrary;
using tzf::conv::ProgressBar;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitWriteFailed = 3;
constexpr int kExitNoLibrary = 4;

constexpr const char* kVersion = "tzfconv " TZF_RELEASE;

#if TZFCONV_HAVE_PNG
constexpr bool kPngAvailable = true;
#else
constexpr bool kPngAvailable = false;
#endif

enum class OutputFormat { kNone, kPng, kBmp };

void PrintUsage(std::FILE* to) {
  std::fputs(
      "usage: tzfconv [options] IN.tzf OUT.png|OUT.bmp\n"
      "       tzfconv [options] -o OUTDIR IN...\n"
      "       tzfconv --info IN...\n"
      "\n"
      "Converts TZF pictures to PNG or BMP. The pictures are read by the TZF filter\n"
      "library, loaded at run time and called the way an image viewer calls it.\n"
      "\n"
      "Each IN may be a file or a folder; a folder stands for every *.tzf file in it.\n"
      "IN - reads the picture from standard input and OUT - writes it to standard\n"
      "output (one picture, not with -o; never to a terminal).\n"
      "With -o, each input is written as OUTDIR/<name>.png (or .bmp); the folder is\n"
      "created when missing. The pictures of a batch are converted several at a time\n"
      "(see -j); one that fails does not stop the others.\n"
      "\n"
      "options:\n"
      "  -o, --output DIR    write every input into DIR\n"
      "  --format png|bmp    output format. Default: from OUT's extension; with -o\n"
      "                      or OUT -, png"
#if !TZFCONV_HAVE_PNG
      " (this build writes BMP only, so bmp)"
#endif
      "\n"
      "  -j, --jobs N        convert N pictures of a batch at a time, 1 to 64\n"
      "                      (default: the number of processors); each holds one\n"
      "                      picture in memory\n"
      "  -r, --recursive     also take *.tzf files from the folders' subfolders\n"
      "  --info              print 'FILE: WIDTHxHEIGHT, DEPTH-bit' for each input\n"
      "                      instead of converting it\n"
      "  --library PATH      load the filter from PATH instead of the library beside\n"
      "                      this program ("
#if defined(_WIN32)
      "tzffilter.dll"
#else
      "libtzffilter.so"
#endif
      ")"
#if defined(TZFCONV_INSTALLED_FILTER_DIR)
      "\n                      or, when there is none, the installed one in\n"
      "                      " TZFCONV_INSTALLED_FILTER_DIR
      "/ from this program's folder"
#endif
      "\n"
      "  --no-limits         convert pictures of any size (by default pictures over\n"
      "                      256 megapixels or 1 GiB of RGB are refused before\n"
      "                      anything is allocated)\n"
      "  -q, --quiet         no progress bar and no summary\n"
      "  -h, --help          print this help and exit\n"
      "  --version           print the version and exit\n"
      "\n"
      "8-bit pictures are written with their 256-colour palette (a paletted PNG or\n"
      "an 8-bit BMP), 24-bit pictures as true colour. A progress bar is shown on\n"
      "stderr when it is a terminal: a picture's rows, or a batch's pictures.\n"
      "A file that ends before its picture does is converted with the missing rows\n"
      "black, and a warning on stderr says how many rows it held; the exit status\n"
      "stays 0 for it.\n"
      "\n"
      "exit status: 0 everything converted, 1 usage error, 2 an input could not be\n"
      "read or is not a usable TZF picture, 3 an output could not be written (3 wins\n"
      "over 2 when both happen), 4 the filter library could not be loaded.\n"
      "In a batch every input is tried, whatever happens to the others.\n",
      to);
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "tzfconv: %s\nTry 'tzfconv --help' for more information.\n",
               message.c_str());
  return kExitUsage;
}

std::string Lowercase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

OutputFormat FormatFromExtension(const std::string& path) {
  const std::string extension = Lowercase(fs::path(path).extension().string());
  if (extension == ".png") return OutputFormat::kPng;
  if (extension == ".bmp") return OutputFormat::kBmp;
  return OutputFormat::kNone;
}

constexpr unsigned kMaxThreads = 64;

// The -j value: 1 to kMaxThreads, or 0 when it is not one.
int ParseThreads(const std::string& text) {
  if (text.empty() || text.size() > 3) return 0;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= static_cast<int>(kMaxThreads) ? value : 0;
}

bool IsTzfName(const fs::path& path) { return Lowercase(path.extension().string()) == ".tzf"; }

// One picture to read, and where it goes (empty for --info).
// kStandardStream stands for standard input or output.
struct Job {
  std::string input;
  std::string output;
  bool clash = false;  // its output is that of an earlier job: not converted
};

// What the conversions share. The filter and the settings are only read once
// the conversions start; the rest is guarded by `lock`. In a batch the
// pictures are converted on several threads: the filter is thread-safe.
struct Run {
  FilterLibrary library;
  const tzf_limits* limits = nullptr;  // null: libtzf's default limits
  OutputFormat format = OutputFormat::kNone;
  bool count_pictures = false;  // the bar counts a batch's pictures, not rows
  std::mutex lock;
  ProgressBar bar;
  int worst = kExitOk;  // highest exit status so far
  int converted = 0;
  int finished = 0;  // pictures done, converted or not
};

void Fail(Run& run, int status, const std::string& message) {
  const std::lock_guard<std::mutex> hold(run.lock);
  tzf::conv::ProgressClear(run.bar);
  std::fprintf(stderr, "tzfconv: %s\n", message.c_str());
  run.worst = std::max(run.worst, status);
}

void Warn(Run& run, const std::string& message) {
  const std::lock_guard<std::mutex> hold(run.lock);
  tzf::conv::ProgressClear(run.bar);
  std::fprintf(stderr, "tzfconv: warning: %s\n", message.c_str());
}

bool IsStandardStream(const std::string& name) { return name == tzf::conv::kStandardStream; }

// Adds the *.tzf files of a folder, sorted by name. False when the folder
// cannot be listed.
bool ListFolder(const std::string& folder, bool recursive, std::vector<std::string>& files,
                std::string& error) {
  std::vector<std::string> found;
  std::error_code ec;
  if (recursive) {
    fs::recursive_directory_iterator it(folder, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      std::error_code kind;
      if (it->is_regular_file(kind) && IsTzfName(it->path())) found.push_back(it->path().string());
    }
  } else {
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      std::error_code kind;
      if (it->is_regular_file(kind) && IsTzfName(it->path())) found.push_back(it->path().string());
    }
  }
  if (ec) {
    error = ec.message();
    return false;
  }
  std::sort(found.begin(), found.end());
  files.insert(files.end(), found.begin(), found.end());
  return true;
}

// A picture being read: its name in messages, what the filter is handed and
// the head of its data. A picture from standard input is read into `bytes`:
// the head first, the rest once the picture is known to be within the
// limits, and only as far as the picture's data goes.
struct Input {
  std::string name;
  tzf::conv::PictureSource source;
  std::vector<uint8_t> bytes;
  uint8_t head[tzf::conv::kHeadLength] = {};
};

bool ReadHead(Run& run, const Job& job, Input& input) {
  std::string error;
  if (!IsStandardStream(job.input)) {
    input.name = job.input;
    input.source.path = job.input;
    if (tzf::conv::ReadFileHead(job.input, input.head, error)) return true;
    Fail(run, kExitBadInput, "cannot read " + input.name + ": " + error);
    return false;
  }
  input.name = "standard input";
  if (!tzf::conv::ReadStream(stdin, tzf::conv::kHeadLength, input.bytes, error)) {
    Fail(run, kExitBadInput, "cannot read " + input.name + ": " + error);
    return false;
  }
  std::copy(input.bytes.begin(), input.bytes.end(), input.head);
  input.source.memory = input.bytes.data();
  input.source.memory_size = input.bytes.size();
  return true;
}

// Reads the head and asks the filter whether it is a TZF picture, then for
// the picture's information. False after reporting a failure.
bool Examine(Run& run, const Job& job, Input& input, PictureInfoRecord& record) {
  if (!ReadHead(run, job, input)) return false;
  if (run.library.is_supported(input.name.c_str(), reinterpret_cast<uintptr_t>(input.head)) == 0) {
    Fail(run, kExitBadInput, input.name + ": not a TZF picture");
    return false;
  }
  record = PictureInfoRecord{};
  const int32_t status = tzf::conv::FetchPictureInfo(run.library, input.source, record);
  if (status == kStatusFileError) {
    Fail(run, kExitBadInput,
         "cannot read " + input.name + ": " + tzf::conv::StatusMeaning(status, record));
    return false;
  }
  if (status != kStatusSuccess) {
    Fail(run, kExitBadInput,
         input.name + ": broken picture (" + tzf::conv::StatusMeaning(status, record) + ")");
    return false;
  }
  return true;
}

// Examine, then the size limits, before the filter allocates anything; then
// the rest of a picture from standard input.
bool ExamineWithinLimits(Run& run, const Job& job, Input& input, PictureInfoRecord& record) {
  if (!Examine(run, job, input, record)) return false;
  std::string error;
  const int status = tzf::conv::CheckLimits(input.head, sizeof input.head, run.limits, error);
  if (status == TZF_ERROR_LIMIT) {
    Fail(run, kExitBadInput, input.name + ": not converted: " + error);
    return false;
  }
  if (input.source.memory == nullptr) return true;
  uint64_t end = 0;
  if (!tzf::conv::PictureDataEnd(input.head, sizeof input.head, end)) {
    // What the filter says of such a picture when it comes to read it.
    Fail(run, kExitBadInput,
         input.name + ": broken picture (" + tzf::conv::StatusMeaning(kStatusNotTzf, record) + ")");
    return false;
  }
  // A stream that ends first holds a cut picture, converted as a cut file is.
  const uint64_t limit = std::min<uint64_t>(end, tzf::conv::kMaxMemorySource);
  if (!tzf::conv::ReadStream(stdin, limit, input.bytes, error)) {
    Fail(run, kExitBadInput, "cannot read " + input.name + ": " + error);
    return false;
  }
  if (end > limit && input.bytes.size() == limit && std::fgetc(stdin) != EOF) {
    Fail(run, kExitBadInput,
         input.name +
             ": not converted: the picture's data is over 2 GiB, more than is read "
             "from standard input; give it as a file");
    return false;
  }
  input.source.memory = input.bytes.data();
  input.source.memory_size = input.bytes.size();
  return true;
}

// Warns when the data ends before its picture does; the conversion stands.
void WarnIfTruncated(Run& run, const Input& input) {
  tzf_result result{};
  std::string error;
  const bool checked =
      input.source.memory != nullptr
          ? tzf::conv::CheckCompleteInMemory(input.source.memory, input.source.memory_size, result,
                                             error)
          : tzf::conv::CheckComplete(input.name, input.head, sizeof input.head, result, error);
  if (!checked) {
    Warn(run, input.name + ": cannot tell whether the file is whole: " + error);
  } else if (result.truncated != 0) {
    tzf_info info;
    tzf_read_info(input.head, sizeof input.head, &info);
    Warn(run, input.name + ": the file ends early: it holds " + std::to_string(result.rows_held) +
                  " of the picture's " + std::to_string(info.height) + " rows; the rest is black");
  }
}

void ShowInfo(Run& run, const Job& job) {
  PictureInfoRecord record{};
  Input input;
  if (!Examine(run, job, input, record)) return;
  if (record.width <= 0 || record.height <= 0) {
    Fail(run, kExitBadInput,
         input.name + ": broken picture (" + tzf::conv::StatusMeaning(kStatusNotTzf, record) + ")");
    return;
  }
  const std::lock_guard<std::mutex> hold(run.lock);
  tzf::conv::ProgressClear(run.bar);
  std::printf("%s: %dx%d, %d-bit\n", job.input.c_str(), static_cast<int>(record.width),
              static_cast<int>(record.height), static_cast<int>(record.color_depth));
  ++run.converted;
}

// Converts one picture. A batch's pictures run on several threads at once;
// a single picture's bar follows its rows.
void Convert(Run& run, const Job& job) {
  PictureInfoRecord record{};
  Input input;
  if (!ExamineWithinLimits(run, job, input, record)) return;

  const std::string output_name = IsStandardStream(job.output) ? "standard output" : job.output;
  tzf::conv::PictureBlocks blocks;
  const int32_t status =
      run.count_pictures
          ? tzf::conv::FetchPicture(run.library, input.source, nullptr, 0, blocks)
          : tzf::conv::FetchPicture(run.library, input.source, &tzf::conv::ProgressCallbackForBar,
                                    reinterpret_cast<intptr_t>(&run.bar), blocks);
  tzf::conv::DibView view;
  std::string error;
  if (status == kStatusFileError) {
    Fail(run, kExitBadInput,
         "cannot read " + input.name + ": " + tzf::conv::StatusMeaning(status, record));
  } else if (status != kStatusSuccess) {
    Fail(run, kExitBadInput,
         input.name + ": broken picture (" + tzf::conv::StatusMeaning(status, record) + ")");
  } else if (!tzf::conv::ReadDib(blocks.info_bytes, blocks.pixel_bytes, record.width, record.height,
                                 record.color_depth, view, error)) {
    Fail(run, kExitBadInput, input.name + ": broken picture (" + error + ")");
  } else {
    bool written = false;
#if TZFCONV_HAVE_PNG
    if (run.format == OutputFormat::kPng) {
      written = tzf::conv::WritePngFile(job.output, view, error);
    } else {
      written = tzf::conv::WriteBmpFile(job.output, view, error);
    }
#else
    written = tzf::conv::WriteBmpFile(job.output, view, error);
#endif
    if (written) {
      {
        const std::lock_guard<std::mutex> hold(run.lock);
        ++run.converted;
      }
      WarnIfTruncated(run, input);
    } else {
      Fail(run, kExitWriteFailed, "cannot write " + output_name + ": " + error);
    }
  }
  tzf::conv::ReleaseBlocks(run.library, blocks);
}

// Converts a batch's pictures on up to `threads` threads, this one among
// them; the bar counts the pictures done.
void ConvertBatch(Run& run, const std::vector<Job>& jobs, int threads) {
  if (jobs.empty()) return;
  std::atomic<size_t> next{0};
  auto work = [&run, &jobs, &next]() {
    for (size_t i = next++; i < jobs.size(); i = next++) {
      const Job& job = jobs[i];
      if (job.clash) {
        Fail(run, kExitWriteFailed,
             job.input + ": not converted: " + job.output + " is the output of an earlier input");
      } else {
        Convert(run, job);
      }
      const std::lock_guard<std::mutex> hold(run.lock);
      tzf::conv::ProgressPictureDone(run.bar, ++run.finished, job.input);
    }
  };
  std::vector<std::thread> helpers;
  const size_t wanted = std::min(jobs.size(), static_cast<size_t>(std::max(threads, 1))) - 1;
  helpers.reserve(wanted);
  for (size_t t = 0; t < wanted; ++t) {
    // Fewer threads when the system gives no more.
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace

int main(int argc, char** argv) {
  OutputFormat format = OutputFormat::kNone;
  std::string output_folder;
  bool have_output_folder = false;
  std::string library_path;
  bool info_only = false;
  bool quiet = false;
  bool recursive = false;
  bool no_limits = false;
  bool options_done = false;
  int threads = static_cast<int>(std::min(std::thread::hardware_concurrency(), kMaxThreads));
  std::vector<std::string> positional;

  for (int a = 1; a < argc; ++a) {
    const std::string_view arg = argv[a];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      positional.emplace_back(arg);
      continue;
    }
    // Options that take a value accept "--name VALUE" and "--name=VALUE".
    auto value_of = [&](std::string_view name, std::string& value) {
      if (arg == name) {
        if (a + 1 >= argc) return false;
        value = argv[++a];
        return true;
      }
      value = std::string(arg.substr(name.size() + 1));
      return true;
    };
    auto matches = [&](std::string_view name) {
      return arg == name || (name.starts_with("--") && arg.size() > name.size() &&
                             arg.starts_with(name) && arg[name.size()] == '=');
    };
    if (arg == "--") {
      options_done = true;
    } else if (arg == "-h" || arg == "--help") {
      PrintUsage(stdout);
      return kExitOk;
    } else if (arg == "--version") {
      std::puts(kVersion);
      return kExitOk;
    } else if (arg == "-q" || arg == "--quiet") {
      quiet = true;
    } else if (arg == "-r" || arg == "--recursive") {
      recursive = true;
    } else if (arg == "--info") {
      info_only = true;
    } else if (arg == "--no-limits") {
      no_limits = true;
    } else if (matches("--format")) {
      std::string value;
      if (!value_of("--format", value)) return UsageError("--format needs a value (png or bmp)");
      value = Lowercase(value);
      if (value == "png") {
        format = OutputFormat::kPng;
      } else if (value == "bmp") {
        format = OutputFormat::kBmp;
      } else {
        return UsageError("invalid format '" + value + "' (use png or bmp)");
      }
    } else if (matches("-o") || matches("--output")) {
      if (!value_of(arg.starts_with("--") ? "--output" : "-o", output_folder) ||
          output_folder.empty()) {
        return UsageError(std::string(arg) + " needs a folder");
      }
      have_output_folder = true;
    } else if (matches("-j") || matches("--jobs") || (arg.starts_with("-j") && arg.size() > 2)) {
      std::string value;
      if (arg.starts_with("-j") && arg.size() > 2) {
        value = std::string(arg.substr(2));
      } else if (!value_of(arg.starts_with("--") ? "--jobs" : "-j", value)) {
        return UsageError(std::string(arg) + " needs a number");
      }
      threads = ParseThreads(value);
      if (threads == 0)
        return UsageError("invalid number of jobs '" + value + "' (1 to " +
                          std::to_string(kMaxThreads) + ")");
    } else if (matches("--library")) {
      if (!value_of("--library", library_path) || library_path.empty())
        return UsageError("--library needs a path");
    } else {
      return UsageError("unknown option '" + std::string(arg) + "'");
    }
  }

  // Work out the jobs' names and the output format.
  std::vector<std::string> inputs;
  std::string single_output;
  if (info_only) {
    if (have_output_folder || format != OutputFormat::kNone)
      return UsageError("--info writes no files; -o and --format do not go with it");
    if (positional.empty()) return UsageError("no input given");
    inputs = positional;
  } else if (have_output_folder) {
    if (positional.empty()) return UsageError("no input given");
    if (std::find_if(positional.begin(), positional.end(), IsStandardStream) != positional.end())
      return UsageError("- (standard input) goes with one output file or -, not with -o");
    inputs = positional;
    if (format == OutputFormat::kNone)
      format = kPngAvailable ? OutputFormat::kPng : OutputFormat::kBmp;
  } else {
    if (positional.size() != 2) {
      return UsageError(positional.size() < 2
                            ? "expected an input and an output file (or -o OUTDIR)"
                            : "too many arguments; use -o OUTDIR to convert several pictures");
    }
    inputs.push_back(positional[0]);
    single_output = positional[1];
    const OutputFormat named = FormatFromExtension(single_output);
    if (IsStandardStream(single_output)) {
      if (tzf::conv::IsTerminal(stdout))
        return UsageError("standard output is a terminal; redirect it to write a picture there");
      if (format == OutputFormat::kNone)
        format = kPngAvailable ? OutputFormat::kPng : OutputFormat::kBmp;
    } else if (format == OutputFormat::kNone) {
      if (named == OutputFormat::kNone)
        return UsageError("cannot tell the format from '" + single_output +
                          "': name it .png or .bmp, or give --format");
      format = named;
    } else if (named != OutputFormat::kNone && named != format) {
      return UsageError("'" + single_output + "' does not match --format " +
                        (format == OutputFormat::kPng ? "png" : "bmp"));
    }
    std::error_code ec;
    if (!IsStandardStream(inputs[0]) && fs::is_directory(inputs[0], ec))
      return UsageError("'" + inputs[0] + "' is a folder; use -o OUTDIR to convert a folder");
  }
  if (std::count_if(inputs.begin(), inputs.end(), IsStandardStream) > 1)
    return UsageError("- (standard input) can be read only once");
  if (format == OutputFormat::kPng && !kPngAvailable)
    return UsageError("this build writes BMP only; use --format bmp or a .bmp name");
  const char* extension = format == OutputFormat::kPng ? ".png" : ".bmp";

  Run run;
  tzf_limits lifted{};
  lifted.max_pixels = UINT64_MAX;
  lifted.max_output_bytes = UINT64_MAX;
  if (no_limits) run.limits = &lifted;
  run.format = format;

  // Folders stand for the TZF files in them.
  std::vector<Job> jobs;
  for (const std::string& input : inputs) {
    std::error_code ec;
    if (single_output.empty() && !IsStandardStream(input) && fs::is_directory(input, ec)) {
      std::vector<std::string> files;
      std::string error;
      if (!ListFolder(input, recursive, files, error)) {
        Fail(run, kExitBadInput, "cannot read " + input + ": " + error);
      } else if (files.empty()) {
        Fail(run, kExitBadInput, input + ": no .tzf files in this folder");
      }
      for (std::string& file : files) jobs.push_back({std::move(file), std::string()});
    } else {
      jobs.push_back({input, std::string()});
    }
  }

  if (!info_only) {
    if (have_output_folder) {
      std::error_code ec;
      if (!fs::is_directory(output_folder, ec)) {
        fs::create_directories(output_folder, ec);
        if (ec) {
          Fail(run, kExitWriteFailed,
               "cannot create folder " + output_folder + ": " + ec.message());
          return run.worst;
        }
      }
      for (Job& job : jobs) {
        job.output = (fs::path(output_folder) / fs::path(job.input).stem()).string() + extension;
      }
    } else {
      jobs[0].output = single_output;
    }
  }

  if (library_path.empty()) library_path = tzf::conv::DefaultLibraryPath();
  std::string error;
  if (!tzf::conv::LoadFilter(library_path, run.library, error)) {
    std::fprintf(stderr, "tzfconv: cannot load the filter library %s: %s\n", library_path.c_str(),
                 error.c_str());
    return kExitNoLibrary;
  }

#if defined(_WIN32)
  // Pictures pass through the standard streams byte for byte.
  _setmode(_fileno(stdin), _O_BINARY);
  if (IsStandardStream(single_output)) _setmode(_fileno(stdout), _O_BINARY);
#endif

  run.bar.count = static_cast<int>(jobs.size());
  if (!quiet && tzf::conv::IsTerminal(stderr)) run.bar.stream = stderr;
  if (info_only) run.bar.stream = nullptr;

  if (info_only) {
    for (const Job& job : jobs) ShowInfo(run, job);
  } else if (jobs.size() == 1) {
    tzf::conv::ProgressBegin(run.bar, 1, jobs[0].input);
    Convert(run, jobs[0]);
  } else {
    // Two inputs with the same name must not overwrite each other's output:
    // the earlier one is converted.
    std::set<std::string> outputs;
    for (Job& job : jobs)
      job.clash = !outputs.insert(fs::path(job.output).lexically_normal().string()).second;
    run.count_pictures = true;
    ConvertBatch(run, jobs, threads);
  }
  tzf::conv::ProgressClear(run.bar);

  const bool failed = run.worst != kExitOk;
  if (!quiet && jobs.size() > 1 && failed) {
    std::fprintf(stderr, "tzfconv: %d of %zu pictures %s\n", run.converted, jobs.size(),
                 info_only ? "read" : "converted");
  }
  tzf::conv::UnloadFilter(run.library);
  return run.worst;
}
