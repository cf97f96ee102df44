// tzf_quantise_bench: how close an 8-bit version of a photograph looks to
// the original. Both are blurred (Gaussian, sigma 1.5 pixels, as the eye
// averages a dithered area) and compared by PSNR over red, green and blue.
//
//   tzf_quantise_bench ORIGINAL.png [--no-dither] [--write OUT.png] [--repeat N]
//       encodes ORIGINAL to 8 bits through tzf_encode, decodes it with
//       tzf_decode and compares; prints the best time of N encodings.
//       --palette-of OTHER.png maps onto the colours of OTHER (at most 256)
//       instead of a table chosen for the picture.
//   tzf_quantise_bench ORIGINAL.png --compare RESULT.png
//       compares any other 8-bit result (from another program) instead.
//
// Prints one line: psnr_blurred=DB psnr=DB seconds=S colours=N.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imageio/tzf_imageio.h"
#include "tzf/tzf.h"

namespace {

namespace io = tzf::imageio;

// Red, green, blue of each pixel, top row first.
struct Rgb {
  int64_t width = 0, height = 0;
  std::vector<uint8_t> pixels;
};

bool load_rgb(const std::string& path, Rgb& out) {
  std::vector<uint8_t> data;
  io::Image image;
  std::string error;
  if (!io::LoadFileBytes(path, data, error) || !io::DecodeImage(data, image, error)) {
    fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  const io::Image rgb = io::ExpandToTrueColor(image);
  out.width = rgb.width;
  out.height = rgb.height;
  out.pixels.resize(rgb.pixels.size());
  for (size_t i = 0; i + 2 < rgb.pixels.size(); i += 3) {  // B, G, R to R, G, B
    out.pixels[i] = rgb.pixels[i + 2];
    out.pixels[i + 1] = rgb.pixels[i + 1];
    out.pixels[i + 2] = rgb.pixels[i];
  }
  return true;
}

bool save_rgb(const std::string& path, const Rgb& in) {
  io::Image image;
  image.width = in.width;
  image.height = in.height;
  image.bits_per_pixel = 24;
  image.pixels.resize(in.pixels.size());
  for (size_t i = 0; i + 2 < in.pixels.size(); i += 3) {
    image.pixels[i] = in.pixels[i + 2];
    image.pixels[i + 1] = in.pixels[i + 1];
    image.pixels[i + 2] = in.pixels[i];
  }
  std::vector<uint8_t> png;
  std::string error;
  if (!io::EncodePng(image, png, error) || !io::SaveFileBytes(path, png, error)) {
    fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  return true;
}

// Separable Gaussian blur, sigma 1.5, edges repeated.
std::vector<double> blur(const Rgb& in) {
  constexpr int kRadius = 5;
  constexpr double kSigma = 1.5;
  double kernel[2 * kRadius + 1];
  double sum = 0;
  for (int i = -kRadius; i <= kRadius; ++i) {
    kernel[i + kRadius] = std::exp(-(i * i) / (2 * kSigma * kSigma));
    sum += kernel[i + kRadius];
  }
  for (double& k : kernel) k /= sum;
  const int64_t w = in.width, h = in.height;
  std::vector<double> across(in.pixels.size()), out(in.pixels.size());
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) {
        double v = 0;
        for (int i = -kRadius; i <= kRadius; ++i) {
          const int64_t xx = std::min(w - 1, std::max<int64_t>(0, x + i));
          v += kernel[i + kRadius] * in.pixels[(y * w + xx) * 3 + c];
        }
        across[(y * w + x) * 3 + c] = v;
      }
    }
  }
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) {
        double v = 0;
        for (int i = -kRadius; i <= kRadius; ++i) {
          const int64_t yy = std::min(h - 1, std::max<int64_t>(0, y + i));
          v += kernel[i + kRadius] * across[(yy * w + x) * 3 + c];
        }
        out[(y * w + x) * 3 + c] = v;
      }
    }
  }
  return out;
}

double psnr(const std::vector<double>& a, const std::vector<double>& b) {
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) se += (a[i] - b[i]) * (a[i] - b[i]);
  const double mse = se / static_cast<double>(a.size());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

std::vector<double> plain(const Rgb& in) { return {in.pixels.begin(), in.pixels.end()}; }

int count_colours(const Rgb& in) {
  std::vector<uint8_t> seen(size_t{1} << 24);
  int n = 0;
  for (size_t i = 0; i + 2 < in.pixels.size(); i += 3) {
    const uint32_t k = uint32_t{in.pixels[i]} << 16 | in.pixels[i + 1] << 8 | in.pixels[i + 2];
    if (!seen[k]) {
      seen[k] = 1;
      ++n;
    }
  }
  return n;
}

// Encodes to 8 bits and decodes; the best time of `repeat` encodings.
bool tzf_round_trip(const Rgb& original, bool dither, int repeat, const std::vector<uint8_t>& table,
                    Rgb& result, double& seconds) {
  tzf_image image{};
  image.width = static_cast<uint32_t>(original.width);
  image.height = static_cast<uint32_t>(original.height);
  image.format = TZF_FORMAT_RGB;
  image.pixels = original.pixels.data();
  image.stride = static_cast<ptrdiff_t>(original.width * 3);
  tzf_encode_options options{};
  options.effort = TZF_EFFORT_FAST;
  options.bits_per_pixel = TZF_DEPTH_8;
  options.dither = dither ? TZF_DITHER_ERROR_DIFFUSION : TZF_DITHER_NONE;
  if (!table.empty()) {
    options.palette = reinterpret_cast<const uint8_t(*)[3]>(table.data());
    options.palette_size = static_cast<uint32_t>(table.size() / 3);
  }
  size_t file_bytes = 0, work_bytes = 0;
  int status = tzf_encode_size(&image, &options, &file_bytes, &work_bytes);
  if (status != TZF_OK) {
    fprintf(stderr, "tzf_encode_size: %s\n", tzf_status_text(status));
    return false;
  }
  std::vector<uint8_t> work(work_bytes), file(file_bytes);
  tzf_encode_result res{};
  seconds = 1e30;
  for (int i = 0; i < repeat; ++i) {
    const auto start = std::chrono::steady_clock::now();
    status = tzf_encode(&image, &options, work.data(), work.size(), file.data(), file.size(), &res);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    seconds = std::min(seconds, took.count());
    if (status != TZF_OK) {
      fprintf(stderr, "tzf_encode: %s\n", tzf_status_text(status));
      return false;
    }
  }
  result.width = original.width;
  result.height = original.height;
  result.pixels.assign(original.pixels.size(), 0);
  status = tzf_decode(file.data(), res.size, TZF_FORMAT_RGB, result.pixels.data(),
                      static_cast<ptrdiff_t>(original.width * 3), nullptr);
  if (status != TZF_OK) {
    fprintf(stderr, "tzf_decode: %s\n", tzf_status_text(status));
    return false;
  }
  return true;
}

int usage() {
  fprintf(stderr,
          "usage: tzf_quantise_bench ORIGINAL.png [--no-dither] [--palette-of OTHER.png]\n"
          "           [--write OUT.png] [--repeat N]\n"
          "       tzf_quantise_bench ORIGINAL.png --compare RESULT.png\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string original_path = argv[1], compare_path, write_path, palette_path;
  bool dither = true;
  int repeat = 1;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--no-dither") {
      dither = false;
    } else if (arg == "--compare" && i + 1 < argc) {
      compare_path = argv[++i];
    } else if (arg == "--palette-of" && i + 1 < argc) {
      palette_path = argv[++i];
    } else if (arg == "--write" && i + 1 < argc) {
      write_path = argv[++i];
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, atoi(argv[++i]));
    } else {
      return usage();
    }
  }
  Rgb original, result;
  if (!load_rgb(original_path, original)) return 1;
  double seconds = 0;
  if (!compare_path.empty()) {
    if (!load_rgb(compare_path, result)) return 1;
    if (result.width != original.width || result.height != original.height) {
      fprintf(stderr, "%s: not the original's size\n", compare_path.c_str());
      return 1;
    }
  } else {
    // A fixed colour table: the colours of another program's result.
    std::vector<uint8_t> table;
    if (!palette_path.empty()) {
      Rgb other;
      if (!load_rgb(palette_path, other)) return 1;
      std::vector<uint8_t> seen(size_t{1} << 24);
      for (size_t i = 0; i + 2 < other.pixels.size(); i += 3) {
        const uint32_t k =
            uint32_t{other.pixels[i]} << 16 | other.pixels[i + 1] << 8 | other.pixels[i + 2];
        if (seen[k] || table.size() >= 256 * 3) continue;
        seen[k] = 1;
        table.insert(table.end(), other.pixels.begin() + i, other.pixels.begin() + i + 3);
      }
    }
    if (!tzf_round_trip(original, dither, repeat, table, result, seconds)) return 1;
  }
  if (!write_path.empty() && !save_rgb(write_path, result)) return 1;
  printf("psnr_blurred=%.3f psnr=%.3f seconds=%.3f colours=%d\n",
         psnr(blur(original), blur(result)), psnr(plain(original), plain(result)), seconds,
         count_colours(result));
  return 0;
}
