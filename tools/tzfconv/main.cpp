// tzfconv: converts TZF pictures to PNG or BMP through the filter library,
// calling its entry points exactly as an image viewer does.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

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
      "With -o, each input is written as OUTDIR/<name>.png (or .bmp); the folder is\n"
      "created when missing.\n"
      "\n"
      "options:\n"
      "  -o, --output DIR    write every input into DIR\n"
      "  --format png|bmp    output format. Default: from OUT's extension, otherwise\n"
      "                      png"
#if !TZFCONV_HAVE_PNG
      " (this build writes BMP only, so bmp)"
#endif
      "\n"
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
      "8-bit pictures are written with their 256-colour palette, 24-bit pictures as\n"
      "true colour. A progress bar is shown on stderr when it is a terminal.\n"
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

bool IsTzfName(const fs::path& path) { return Lowercase(path.extension().string()) == ".tzf"; }

// One picture to read, and where it goes (empty for --info).
struct Job {
  std::string input;
  std::string output;
};

struct Run {
  FilterLibrary library;
  const tzf_limits* limits = nullptr;  // null: libtzf's default limits
  OutputFormat format = OutputFormat::kNone;
  bool info_only = false;
  ProgressBar bar;
  int worst = kExitOk;  // highest exit status so far
  int converted = 0;
};

void Fail(Run& run, int status, const std::string& message) {
  tzf::conv::ProgressClear(run.bar);
  std::fprintf(stderr, "tzfconv: %s\n", message.c_str());
  run.worst = std::max(run.worst, status);
}

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

// Reads the file's head and asks the filter whether it is a TZF picture,
// then for the picture's information. False after reporting a failure.
bool Examine(Run& run, const std::string& input, PictureInfoRecord& record,
             uint8_t (&head)[tzf::conv::kHeadLength]) {
  std::string error;
  if (!tzf::conv::ReadFileHead(input, head, error)) {
    Fail(run, kExitBadInput, "cannot read " + input + ": " + error);
    return false;
  }
  if (run.library.is_supported(input.c_str(), reinterpret_cast<uintptr_t>(head)) == 0) {
    Fail(run, kExitBadInput, input + ": not a TZF picture");
    return false;
  }
  record = PictureInfoRecord{};
  const int32_t status = run.library.get_picture_info(input.c_str(), 0, 0, &record);
  if (status == kStatusFileError) {
    Fail(run, kExitBadInput,
         "cannot read " + input + ": " + tzf::conv::StatusMeaning(status, record));
    return false;
  }
  if (status != kStatusSuccess) {
    Fail(run, kExitBadInput,
         input + ": broken picture (" + tzf::conv::StatusMeaning(status, record) + ")");
    return false;
  }
  return true;
}

// Examine, then the size limits, before the filter allocates anything.
bool ExamineWithinLimits(Run& run, const std::string& input, PictureInfoRecord& record,
                         uint8_t (&head)[tzf::conv::kHeadLength]) {
  if (!Examine(run, input, record, head)) return false;
  std::string error;
  const int status = tzf::conv::CheckLimits(head, sizeof head, run.limits, error);
  if (status == TZF_ERROR_LIMIT) {
    Fail(run, kExitBadInput, input + ": not converted: " + error);
    return false;
  }
  return true;
}

// Warns when the file ends before its picture does; the conversion stands.
void WarnIfTruncated(Run& run, const std::string& input,
                     const uint8_t (&head)[tzf::conv::kHeadLength]) {
  tzf_result result{};
  std::string error;
  if (!tzf::conv::CheckComplete(input, head, sizeof head, result, error)) {
    tzf::conv::ProgressClear(run.bar);
    std::fprintf(stderr, "tzfconv: warning: %s: cannot tell whether the file is whole: %s\n",
                 input.c_str(), error.c_str());
  } else if (result.truncated != 0) {
    tzf::conv::ProgressClear(run.bar);
    tzf_info info;
    tzf_read_info(head, sizeof head, &info);
    std::fprintf(stderr,
                 "tzfconv: warning: %s: the file ends early: it holds %u of the picture's %u "
                 "rows; the rest is black\n",
                 input.c_str(), result.rows_held, info.height);
  }
}

void ShowInfo(Run& run, const Job& job) {
  PictureInfoRecord record{};
  uint8_t head[tzf::conv::kHeadLength];
  if (!Examine(run, job.input, record, head)) return;
  if (record.width <= 0 || record.height <= 0) {
    Fail(run, kExitBadInput,
         job.input + ": broken picture (" + tzf::conv::StatusMeaning(kStatusNotTzf, record) + ")");
    return;
  }
  tzf::conv::ProgressClear(run.bar);
  std::printf("%s: %dx%d, %d-bit\n", job.input.c_str(), static_cast<int>(record.width),
              static_cast<int>(record.height), static_cast<int>(record.color_depth));
  ++run.converted;
}

void Convert(Run& run, const Job& job) {
  PictureInfoRecord record{};
  uint8_t head[tzf::conv::kHeadLength];
  if (!ExamineWithinLimits(run, job.input, record, head)) return;

  tzf::conv::PictureBlocks blocks;
  const int32_t status =
      tzf::conv::FetchPicture(run.library, job.input, &tzf::conv::ProgressCallbackForBar,
                              reinterpret_cast<intptr_t>(&run.bar), blocks);
  tzf::conv::DibView view;
  std::string error;
  if (status == kStatusFileError) {
    Fail(run, kExitBadInput,
         "cannot read " + job.input + ": " + tzf::conv::StatusMeaning(status, record));
  } else if (status != kStatusSuccess) {
    Fail(run, kExitBadInput,
         job.input + ": broken picture (" + tzf::conv::StatusMeaning(status, record) + ")");
  } else if (!tzf::conv::ReadDib(blocks.info_bytes, blocks.pixel_bytes, record.width, record.height,
                                 record.color_depth, view, error)) {
    Fail(run, kExitBadInput, job.input + ": broken picture (" + error + ")");
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
      ++run.converted;
      WarnIfTruncated(run, job.input, head);
    } else {
      Fail(run, kExitWriteFailed, "cannot write " + job.output + ": " + error);
    }
  }
  tzf::conv::ReleaseBlocks(run.library, blocks);
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
    if (format == OutputFormat::kNone) {
      if (named == OutputFormat::kNone)
        return UsageError("cannot tell the format from '" + single_output +
                          "': name it .png or .bmp, or give --format");
      format = named;
    } else if (named != OutputFormat::kNone && named != format) {
      return UsageError("'" + single_output + "' does not match --format " +
                        (format == OutputFormat::kPng ? "png" : "bmp"));
    }
    std::error_code ec;
    if (fs::is_directory(inputs[0], ec))
      return UsageError("'" + inputs[0] + "' is a folder; use -o OUTDIR to convert a folder");
  }
  if (format == OutputFormat::kPng && !kPngAvailable)
    return UsageError("this build writes BMP only; use --format bmp or a .bmp name");
  const char* extension = format == OutputFormat::kPng ? ".png" : ".bmp";

  Run run;
  tzf_limits lifted{};
  lifted.max_pixels = UINT64_MAX;
  lifted.max_output_bytes = UINT64_MAX;
  if (no_limits) run.limits = &lifted;
  run.format = format;
  run.info_only = info_only;

  // Folders stand for the TZF files in them.
  std::vector<Job> jobs;
  for (const std::string& input : inputs) {
    std::error_code ec;
    if (single_output.empty() && fs::is_directory(input, ec)) {
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

  run.bar.count = static_cast<int>(jobs.size());
  if (!quiet && tzf::conv::IsTerminal(stderr)) run.bar.stream = stderr;
  if (info_only) run.bar.stream = nullptr;

  // Two inputs with the same name must not overwrite each other's output.
  std::set<std::string> outputs;
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Job& job = jobs[i];
    tzf::conv::ProgressBegin(run.bar, static_cast<int>(i) + 1, job.input);
    if (info_only) {
      ShowInfo(run, job);
    } else if (!outputs.insert(fs::path(job.output).lexically_normal().string()).second) {
      Fail(run, kExitWriteFailed,
           job.input + ": not converted: " + job.output + " is the output of an earlier input");
    } else {
      Convert(run, job);
    }
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
