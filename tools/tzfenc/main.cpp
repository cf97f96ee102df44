// tzfenc: converts a PNG or BMP picture into a TZF file.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "encoder/tzf_encoder.h"
#include "imageio/tzf_imageio.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitWriteFailed = 3;

constexpr const char* kVersion = "tzfenc " TZF_RELEASE;

void PrintUsage(std::FILE* to) {
  std::fputs(
      "usage: tzfenc [options] IN.png|IN.bmp OUT.tzf\n"
      "\n"
      "Converts a PNG or BMP picture into a TZF file.\n"
      "\n"
      "options:\n"
      "  --depth 8|24   bits per pixel of the output. Default: 8 when the input is\n"
      "                 paletted (paletted PNG or 8-bit BMP; its palette is kept),\n"
      "                 otherwise 24.\n"
      "                 --depth 8 on a true-colour input keeps the exact colours when\n"
      "                 there are at most 256 of them; otherwise it maps each pixel to\n"
      "                 the nearest colour of a fixed 6x7x6 colour cube (252 colours,\n"
      "                 no dithering). --depth 24 expands a palette.\n"
      "  --fast         greedy parse (longest run at each pixel) instead of the\n"
      "                 default parse, which finds the smallest possible file\n"
      "  -v, --verbose  print sizes and timing\n"
      "  -h, --help     print this help and exit\n"
      "  --version      print the version and exit\n"
      "\n"
      "Input: PNG files of any colour type. Paletted PNGs keep their palette;\n"
      "greyscale and colour PNGs become 24-bit RGB, 16-bit samples are scaled to\n"
      "8 bits, and alpha channels and transparency are dropped (not blended).\n"
      "BMP files must be uncompressed 8-bit paletted or 24-bit, bottom-up or\n"
      "top-down.\n"
      "\n"
      "exit status: 0 success, 1 usage error, 2 unreadable or invalid input,\n"
      "3 output could not be written\n",
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

}  // namespace

int main(int argc, char** argv) {
  int depth = 0;  // 0: follow the input
  bool fast = false;
  bool verbose = false;
  bool options_done = false;
  std::string paths[2];
  int path_count = 0;

  for (int a = 1; a < argc; ++a) {
    const std::string_view arg = argv[a];
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_done = true;
      } else if (arg == "-h" || arg == "--help") {
        PrintUsage(stdout);
        return kExitOk;
      } else if (arg == "--version") {
        std::puts(kVersion);
        return kExitOk;
      } else if (arg == "--fast") {
        fast = true;
      } else if (arg == "-v" || arg == "--verbose") {
        verbose = true;
      } else if (arg == "--depth" || arg.starts_with("--depth=")) {
        std::string_view value;
        if (arg == "--depth") {
          if (a + 1 >= argc) return UsageError("--depth needs a value (8 or 24)");
          value = argv[++a];
        } else {
          value = arg.substr(std::strlen("--depth="));
        }
        if (value == "8") {
          depth = 8;
        } else if (value == "24") {
          depth = 24;
        } else {
          return UsageError("invalid depth '" + std::string(value) + "' (use 8 or 24)");
        }
      } else {
        return UsageError("unknown option '" + std::string(arg) + "'");
      }
    } else {
      if (path_count == 2) return UsageError("too many arguments");
      paths[path_count++] = std::string(arg);
    }
  }
  if (path_count != 2) return UsageError("expected an input and an output file");
  const std::string& in_path = paths[0];
  const std::string& out_path = paths[1];

  const auto start = std::chrono::steady_clock::now();
  std::string error;
  std::vector<uint8_t> input_bytes;
  tzf::imageio::Image image;
  if (!tzf::imageio::LoadFileBytes(in_path, input_bytes, error)) {
    std::fprintf(stderr, "tzfenc: %s\n", error.c_str());
    return kExitBadInput;
  }
  if (!tzf::imageio::DecodeImage(input_bytes, image, error)) {
    std::fprintf(stderr, "tzfenc: %s: %s\n", in_path.c_str(), error.c_str());
    return kExitBadInput;
  }
  const int input_depth = image.bits_per_pixel;
  if (depth == 0) depth = input_depth;
  if (depth == 8 && image.bits_per_pixel == 24) image = tzf::imageio::QuantizeToPalette(image);
  if (depth == 24 && image.bits_per_pixel == 8) image = tzf::imageio::ExpandToTrueColor(image);
  const double read_ms = MillisecondsSince(start);

  const std::vector<uint8_t> rows = tzf::imageio::ToDecodingOrder(image);
  tzf::encoder::EncoderInput input;
  input.width = image.width;
  input.height = image.height;
  input.bits_per_pixel = image.bits_per_pixel;
  input.pixels = rows;
  input.palette = image.palette;
  const auto encode_start = std::chrono::steady_clock::now();
  const tzf::encoder::EncodeResult result = tzf::encoder::Encode(
      input, fast ? tzf::encoder::ParseMode::kGreedy : tzf::encoder::ParseMode::kOptimal);
  const double encode_ms = MillisecondsSince(encode_start);
  if (result.status != tzf::encoder::EncodeStatus::kOk) {
    std::fprintf(stderr, "tzfenc: %s: %s\n", in_path.c_str(),
                 tzf::encoder::StatusMessage(result.status));
    return kExitBadInput;
  }

  if (!tzf::imageio::SaveFileBytes(out_path, result.file, error)) {
    std::fprintf(stderr, "tzfenc: %s\n", error.c_str());
    return kExitWriteFailed;
  }

  if (verbose) {
    const tzf::encoder::EncodeStats& st = result.stats;
    const double raw = static_cast<double>(rows.size());
    std::fprintf(stderr,
                 "%s: %lldx%lld, %d-bit input, %d-bit output%s\n"
                 "  input file %zu bytes, raw pixels %zu bytes\n"
                 "  output %zu bytes (%.1f%% of raw): flags %lld, commands %lld, literals %lld\n"
                 "  %lld literal pixels, %lld runs covering %lld pixels\n"
                 "  %s parse %.1f ms, read and convert %.1f ms\n",
                 in_path.c_str(), static_cast<long long>(image.width),
                 static_cast<long long>(image.height), input_depth, image.bits_per_pixel,
                 image.bits_per_pixel == 8
                     ? (", " + std::to_string(image.palette_entries) + " palette entries").c_str()
                     : "",
                 input_bytes.size(), rows.size(), result.file.size(),
                 raw > 0 ? 100.0 * static_cast<double>(result.file.size()) / raw : 0.0,
                 static_cast<long long>(st.flag_bytes), static_cast<long long>(st.command_bytes),
                 static_cast<long long>(st.literal_bytes),
                 static_cast<long long>(st.literal_pixels), static_cast<long long>(st.run_count),
                 static_cast<long long>(st.run_pixels), fast ? "greedy" : "optimal", encode_ms,
                 read_ms);
  }
  return kExitOk;
}
