// tzf_wic_bench [-n RUNS] PICTURE...: the WIC codec, reached as every
// program reaches it (through the system's imaging factory, so it must be
// registered), against tzf_decode of the same file's bytes into the frame's
// own layout (TZF_FORMAT_NATIVE). For each picture, the fastest of RUNS:
//   tzf_decode   the file's bytes, already in memory, decoded
//   CopyPixels   CopyPixels again and again on one frame, in turn with
//                tzf_decode: the same input and output, warm in the caches
//   WIC whole    CreateDecoderFromFilename + GetFrame + CopyPixels of the
//                whole frame, each run on a new decoder
//   first copy   the first CopyPixels of a frame made just before (not timed)
// and whether WIC's pixels equal tzf_decode's. Prints a markdown table; the
// ratio is CopyPixels against tzf_decode.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <wincodec.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tzf/tzf.h"

namespace {

// A COM interface pointer that is released when it goes out of scope.
template <typename T>
struct Com {
  T* p = nullptr;
  Com() = default;
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  ~Com() { reset(); }
  void reset() {
    if (p != nullptr) p->Release();
    p = nullptr;
  }
  T** put() {
    reset();
    return &p;
  }
  T* operator->() const { return p; }
};

double now_seconds() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool read_file(const wchar_t* path, std::vector<uint8_t>& out) {
  FILE* f = _wfopen(path, L"rb");
  if (f == nullptr) return false;
  out.clear();
  uint8_t buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
    out.insert(out.end(), buffer, buffer + got);
  const bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

// Bits per pixel of a WIC pixel format; 0 when the factory does not know it.
UINT format_bits(IWICImagingFactory* factory, const WICPixelFormatGUID& format) {
  Com<IWICComponentInfo> component;
  Com<IWICPixelFormatInfo> pixel_format;
  UINT bits = 0;
  if (FAILED(factory->CreateComponentInfo(format, component.put())) ||
      FAILED(component->QueryInterface(IID_IWICPixelFormatInfo,
                                       reinterpret_cast<void**>(pixel_format.put()))) ||
      FAILED(pixel_format->GetBitsPerPixel(&bits)))
    return 0;
  return bits;
}

struct Frame {
  Com<IWICBitmapDecoder> decoder;
  Com<IWICBitmapFrameDecode> frame;
};

HRESULT open_frame(IWICImagingFactory* factory, const wchar_t* path, Frame& out) {
  HRESULT hr = factory->CreateDecoderFromFilename(
      path, nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand, out.decoder.put());
  if (SUCCEEDED(hr)) hr = out.decoder->GetFrame(0, out.frame.put());
  return hr;
}

struct Row {
  std::string name;
  uint32_t width = 0, height = 0, bits = 0;
  double tzf = 0, whole = 0, first = 0, copy = 0;
  bool same = false;
};

// One picture; false (with a message) when it cannot be measured.
bool measure(IWICImagingFactory* factory, const wchar_t* path, int runs, Row& row) {
  std::vector<uint8_t> file;
  if (!read_file(path, file)) {
    fprintf(stderr, "%ls: cannot read\n", path);
    return false;
  }
  tzf_info info;
  size_t stride = 0, bytes = 0;
  int status = tzf_read_info(file.data(), file.size(), &info);
  if (status == TZF_OK) status = tzf_check_limits(&info, TZF_FORMAT_NATIVE, nullptr);
  if (status == TZF_OK) status = tzf_output_size(&info, TZF_FORMAT_NATIVE, &stride, &bytes);
  if (status != TZF_OK) {
    fprintf(stderr, "%ls: %s\n", path, tzf_status_text(status));
    return false;
  }
  row.width = info.width;
  row.height = info.height;
  row.bits = info.bits_per_pixel;
  std::vector<uint8_t> expected(bytes), pixels(bytes);

  // The frame's layout must be the file's own for the comparison to hold.
  {
    Frame probe;
    UINT width = 0, height = 0;
    WICPixelFormatGUID format;
    HRESULT hr = open_frame(factory, path, probe);
    if (SUCCEEDED(hr)) hr = probe.frame->GetSize(&width, &height);
    if (SUCCEEDED(hr)) hr = probe.frame->GetPixelFormat(&format);
    if (FAILED(hr)) {
      fprintf(stderr, "%ls: WIC cannot open it (0x%08lx): is the codec registered?\n", path,
              static_cast<unsigned long>(hr));
      return false;
    }
    if (width != info.width || height != info.height ||
        format_bits(factory, format) != info.bits_per_pixel) {
      fprintf(stderr, "%ls: WIC's frame is %ux%u, %u bits per pixel\n", path, width, height,
              format_bits(factory, format));
      return false;
    }
  }

  // tzf_decode and CopyPixels on one frame in turn, so that both meet the
  // same load on the machine; the first round only warms the caches.
  bool same = true;
  {
    Frame frame;
    HRESULT hr = open_frame(factory, path, frame);
    row.tzf = 1e30;
    row.copy = 1e30;
    for (int run = 0; run <= runs && SUCCEEDED(hr); ++run) {
      double start = now_seconds();
      status = tzf_decode(file.data(), file.size(), TZF_FORMAT_NATIVE, expected.data(),
                          static_cast<ptrdiff_t>(stride), nullptr);
      if (run > 0) row.tzf = std::min(row.tzf, now_seconds() - start);
      if (status != TZF_OK) {
        fprintf(stderr, "%ls: tzf_decode: %s\n", path, tzf_status_text(status));
        return false;
      }
      start = now_seconds();
      hr = frame.frame->CopyPixels(nullptr, static_cast<UINT>(stride), static_cast<UINT>(bytes),
                                   pixels.data());
      if (run > 0) row.copy = std::min(row.copy, now_seconds() - start);
    }
    if (FAILED(hr)) {
      fprintf(stderr, "%ls: CopyPixels failed (0x%08lx)\n", path, static_cast<unsigned long>(hr));
      return false;
    }
    same = pixels == expected;
  }

  row.whole = 1e30;
  row.first = 1e30;
  for (int run = 0; run < runs; ++run) {
    {
      std::fill(pixels.begin(), pixels.end(), uint8_t{0x5A});
      const double start = now_seconds();
      Frame frame;
      HRESULT hr = open_frame(factory, path, frame);
      if (SUCCEEDED(hr))
        hr = frame.frame->CopyPixels(nullptr, static_cast<UINT>(stride), static_cast<UINT>(bytes),
                                     pixels.data());
      frame.frame.reset();
      frame.decoder.reset();
      row.whole = std::min(row.whole, now_seconds() - start);
      if (FAILED(hr)) {
        fprintf(stderr, "%ls: WIC decoding failed (0x%08lx)\n", path,
                static_cast<unsigned long>(hr));
        return false;
      }
      same = same && pixels == expected;
    }
    {
      std::fill(pixels.begin(), pixels.end(), uint8_t{0xA5});
      Frame frame;
      HRESULT hr = open_frame(factory, path, frame);
      const double start = now_seconds();
      if (SUCCEEDED(hr))
        hr = frame.frame->CopyPixels(nullptr, static_cast<UINT>(stride), static_cast<UINT>(bytes),
                                     pixels.data());
      row.first = std::min(row.first, now_seconds() - start);
      if (FAILED(hr)) {
        fprintf(stderr, "%ls: CopyPixels failed (0x%08lx)\n", path, static_cast<unsigned long>(hr));
        return false;
      }
      same = same && pixels == expected;
    }
  }
  row.same = same;
  return true;
}

std::string base_name(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* c = path; *c != 0; ++c)
    if (*c == L'\\' || *c == L'/') name = c + 1;
  std::string out;
  for (; *name != 0; ++name) out += *name < 128 ? static_cast<char>(*name) : '?';
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int runs = 9;
  int first = 1;
  if (argc > 2 && wcscmp(argv[1], L"-n") == 0) {
    runs = _wtoi(argv[2]);
    first = 3;
  }
  if (first >= argc || runs < 1 || runs > 1000) {
    fprintf(stderr, "usage: tzf_wic_bench [-n RUNS] PICTURE...\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    fprintf(stderr, "CoInitializeEx failed\n");
    return 1;
  }
  int failed = 0;
  {
    Com<IWICImagingFactory> factory;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put())))) {
      fprintf(stderr, "cannot create the imaging factory\n");
      failed = 1;
    } else {
      printf("fastest of %d runs, milliseconds\n\n", runs);
      printf(
          "| picture | size | bits | tzf_decode | WIC whole | first copy | CopyPixels | "
          "CopyPixels / tzf_decode | same pixels |\n");
      printf("|---|---|---:|---:|---:|---:|---:|---:|---|\n");
      for (int i = first; i < argc; ++i) {
        Row row;
        row.name = base_name(argv[i]);
        if (!measure(factory.p, argv[i], runs, row)) {
          ++failed;
          continue;
        }
        printf("| %s | %ux%u | %u | %.3f | %.3f | %.3f | %.3f | %.2f | %s |\n", row.name.c_str(),
               row.width, row.height, row.bits, row.tzf * 1e3, row.whole * 1e3, row.first * 1e3,
               row.copy * 1e3, row.copy / row.tzf, row.same ? "yes" : "NO");
        fflush(stdout);
        if (!row.same) ++failed;
      }
    }
  }
  CoUninitialize();
  return failed == 0 ? 0 : 1;
}
