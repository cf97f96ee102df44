/* The WIC codec as a host sees it: every golden-corpus picture through the
 * system's WIC factory (by signature and by extension, from a file and from
 * memory), compared with the expected PNG as WIC's own PNG decoder reads
 * it; the bad pictures' HRESULTs through the decoder's own class; the
 * argument checks of CopyPixels.
 *
 *   tzfwic_test CORPUS_DIR WORK_DIR
 */
#define COBJMACROS
#include <objbase.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wincodec.h>
#include <windows.h>

#include "wic/tzfwic_guids.h"

static int failures = 0;

#define CHECK(cond, ...)                                   \
  do {                                                     \
    if (!(cond)) {                                         \
      ++failures;                                          \
      fprintf(stderr, "FAIL %s:%d: ", __FILE__, __LINE__); \
      fprintf(stderr, __VA_ARGS__);                        \
      fputc('\n', stderr);                                 \
    }                                                      \
  } while (0)

typedef struct Pixels {
  UINT width, height;
  BYTE* bgra; /* width x height x 4, top row first */
} Pixels;

static void widen(const char* text, wchar_t* out, size_t size) {
  MultiByteToWideChar(CP_UTF8, 0, text, -1, out, (int)size);
}

static BYTE* read_file(const wchar_t* path, UINT* size) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  BYTE* data = NULL;
  LARGE_INTEGER length;
  DWORD got = 0;
  if (file == INVALID_HANDLE_VALUE) return NULL;
  if (GetFileSizeEx(file, &length) && length.QuadPart < 0x10000000) {
    data = (BYTE*)malloc((size_t)length.QuadPart + 1);
    if (data != NULL && !ReadFile(file, data, (DWORD)length.QuadPart, &got, NULL)) {
      free(data);
      data = NULL;
    }
    *size = got;
  }
  CloseHandle(file);
  return data;
}

/* Any source as 32bppBGRA through the system's format converter. */
static HRESULT to_bgra(IWICImagingFactory* factory, IWICBitmapSource* source, Pixels* out) {
  IWICFormatConverter* converter = NULL;
  HRESULT hr = IWICImagingFactory_CreateFormatConverter(factory, &converter);
  out->bgra = NULL;
  if (SUCCEEDED(hr))
    hr = IWICFormatConverter_Initialize(converter, source, &GUID_WICPixelFormat32bppBGRA,
                                        WICBitmapDitherTypeNone, NULL, 0.0,
                                        WICBitmapPaletteTypeCustom);
  if (SUCCEEDED(hr)) hr = IWICFormatConverter_GetSize(converter, &out->width, &out->height);
  if (SUCCEEDED(hr)) {
    const size_t bytes = (size_t)out->width * out->height * 4;
    out->bgra = (BYTE*)malloc(bytes ? bytes : 1);
    hr = out->bgra ? IWICFormatConverter_CopyPixels(converter, NULL, out->width * 4, (UINT)bytes,
                                                    out->bgra)
                   : E_OUTOFMEMORY;
  }
  if (converter) IWICFormatConverter_Release(converter);
  return hr;
}

static HRESULT read_png(IWICImagingFactory* factory, const wchar_t* path, Pixels* out) {
  IWICBitmapDecoder* decoder = NULL;
  IWICBitmapFrameDecode* frame = NULL;
  HRESULT hr = IWICImagingFactory_CreateDecoderFromFilename(
      factory, path, NULL, GENERIC_READ, WICDecodeMetadataCacheOnDemand, &decoder);
  if (SUCCEEDED(hr)) hr = IWICBitmapDecoder_GetFrame(decoder, 0, &frame);
  if (SUCCEEDED(hr)) hr = to_bgra(factory, (IWICBitmapSource*)frame, out);
  if (frame) IWICBitmapFrameDecode_Release(frame);
  if (decoder) IWICBitmapDecoder_Release(decoder);
  return hr;
}

/* The frame's native pixels (index or blue, green, red) at (x, y) as BGRA. */
static DWORD native_bgra(const BYTE* at, int indexed, const WICColor* palette) {
  if (indexed) return palette[*at];
  return 0xFF000000u | ((DWORD)at[2] << 16) | ((DWORD)at[1] << 8) | at[0];
}

static DWORD expected_at(const Pixels* expected, UINT x, UINT y) {
  const BYTE* p = expected->bgra + ((size_t)y * expected->width + x) * 4;
  return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24);
}

/* CopyPixels of the rectangle with `stride`, compared with the expected. */
static void check_rect(IWICBitmapFrameDecode* frame, const Pixels* expected, int indexed,
                       const WICColor* palette, WICRect rect, UINT stride, const char* what) {
  const UINT pixel_bytes = indexed ? 1 : 3;
  const UINT size = rect.Height ? stride * (rect.Height - 1) + rect.Width * pixel_bytes : 0;
  BYTE* buffer = (BYTE*)malloc(size + 16);
  HRESULT hr;
  int x, y, wrong = 0;
  if (buffer == NULL) return;
  memset(buffer, 0xA5, size + 16);
  hr = IWICBitmapFrameDecode_CopyPixels(frame, &rect, stride, size, buffer);
  CHECK(hr == S_OK, "%s: CopyPixels %dx%d at %d,%d stride %u: 0x%08lx", what, rect.Width,
        rect.Height, rect.X, rect.Y, stride, (unsigned long)hr);
  for (y = 0; y < rect.Height && hr == S_OK; ++y)
    for (x = 0; x < rect.Width; ++x) {
      const DWORD got =
          native_bgra(buffer + (size_t)y * stride + (size_t)x * pixel_bytes, indexed, palette);
      if (got != expected_at(expected, rect.X + x, rect.Y + y)) ++wrong;
    }
  CHECK(wrong == 0, "%s: %d pixels differ in %dx%d at %d,%d stride %u", what, wrong, rect.Width,
        rect.Height, rect.X, rect.Y, stride);
  CHECK(buffer[size] == 0xA5, "%s: CopyPixels wrote past the buffer", what);
  free(buffer);
}

static void check_decoder(IWICImagingFactory* factory, IWICBitmapDecoder* decoder,
                          const Pixels* expected, const char* what) {
  IWICBitmapFrameDecode* frame = NULL;
  IWICBitmapDecoderInfo* info = NULL;
  IWICPalette* palette = NULL;
  WICColor colours[256] = {0};
  UINT count = 0, width = 0, height = 0, colour_count = 0;
  GUID guid;
  WCHAR text[256];
  HRESULT hr;
  int indexed = 0;

  CHECK(IWICBitmapDecoder_GetContainerFormat(decoder, &guid) == S_OK &&
            IsEqualGUID(&guid, &TZF_GUID_ContainerFormat),
        "%s: container format", what);
  hr = IWICBitmapDecoder_GetDecoderInfo(decoder, &info);
  CHECK(hr == S_OK, "%s: GetDecoderInfo 0x%08lx", what, (unsigned long)hr);
  if (info) {
    CHECK(IWICBitmapDecoderInfo_GetFriendlyName(info, 256, text, &count) == S_OK &&
              wcscmp(text, TZF_WIC_FRIENDLY_NAME) == 0,
          "%s: friendly name", what);
    CHECK(IWICBitmapDecoderInfo_GetMimeTypes(info, 256, text, &count) == S_OK &&
              wcscmp(text, TZF_WIC_MIME_TYPE) == 0,
          "%s: MIME types", what);
    CHECK(IWICBitmapDecoderInfo_GetFileExtensions(info, 256, text, &count) == S_OK &&
              wcscmp(text, TZF_WIC_EXTENSION) == 0,
          "%s: file extensions", what);
    IWICBitmapDecoderInfo_Release(info);
  }
  CHECK(IWICBitmapDecoder_GetFrameCount(decoder, &count) == S_OK && count == 1, "%s: frames", what);
  CHECK(IWICBitmapDecoder_GetFrame(decoder, 1, &frame) == E_INVALIDARG, "%s: frame 1", what);
  hr = IWICBitmapDecoder_GetFrame(decoder, 0, &frame);
  CHECK(hr == S_OK, "%s: GetFrame 0x%08lx", what, (unsigned long)hr);
  if (frame == NULL) return;

  CHECK(IWICBitmapFrameDecode_GetSize(frame, &width, &height) == S_OK && width == expected->width &&
            height == expected->height,
        "%s: size %ux%u, expected %ux%u", what, width, height, expected->width, expected->height);
  IWICBitmapFrameDecode_GetPixelFormat(frame, &guid);
  indexed = IsEqualGUID(&guid, &GUID_WICPixelFormat8bppIndexed);
  CHECK(indexed || IsEqualGUID(&guid, &GUID_WICPixelFormat24bppBGR), "%s: pixel format", what);
  IWICImagingFactory_CreatePalette(factory, &palette);
  hr = IWICBitmapFrameDecode_CopyPalette(frame, palette);
  if (indexed) {
    CHECK(hr == S_OK && IWICPalette_GetColors(palette, 256, colours, &colour_count) == S_OK &&
              colour_count == 256,
          "%s: palette 0x%08lx, %u colours", what, (unsigned long)hr, colour_count);
  } else {
    CHECK(hr == WINCODEC_ERR_PALETTEUNAVAILABLE, "%s: 24-bit CopyPalette 0x%08lx", what,
          (unsigned long)hr);
  }
  if (palette) IWICPalette_Release(palette);

  if (width == expected->width && height == expected->height && width && height) {
    const UINT pixel_bytes = indexed ? 1 : 3;
    const WICRect whole = {0, 0, (INT)width, (INT)height};
    const WICRect inner = {(INT)(width / 3), (INT)(height / 3),
                           (INT)(width - width / 3 - width / 4),
                           (INT)(height - height / 3 - height / 4)};
    Pixels converted = {0, 0, NULL};
    check_rect(frame, expected, indexed, colours, whole, width * pixel_bytes, what);
    check_rect(frame, expected, indexed, colours, whole, width * pixel_bytes + 13, what);
    check_rect(frame, expected, indexed, colours, inner, inner.Width * pixel_bytes, what);
    check_rect(frame, expected, indexed, colours, inner, width * pixel_bytes + 5, what);
    hr = to_bgra(factory, (IWICBitmapSource*)frame, &converted);
    CHECK(hr == S_OK && converted.bgra &&
              memcmp(converted.bgra, expected->bgra, (size_t)width * height * 4) == 0,
          "%s: 32bppBGRA through the format converter (0x%08lx)", what, (unsigned long)hr);
    free(converted.bgra);
  }
  IWICBitmapFrameDecode_Release(frame);
}

/* The decoder's own class on the file, without the factory's discovery. */
static HRESULT own_decoder(IWICImagingFactory* factory, const wchar_t* path,
                           IWICBitmapDecoder** out) {
  IWICStream* stream = NULL;
  HRESULT hr = CoCreateInstance(&TZF_CLSID_WICDecoder, NULL, CLSCTX_INPROC_SERVER,
                                &IID_IWICBitmapDecoder, (void**)out);
  if (SUCCEEDED(hr)) hr = IWICImagingFactory_CreateStream(factory, &stream);
  if (SUCCEEDED(hr)) hr = IWICStream_InitializeFromFilename(stream, path, GENERIC_READ);
  if (SUCCEEDED(hr))
    hr = IWICBitmapDecoder_Initialize(*out, (IStream*)stream, WICDecodeMetadataCacheOnDemand);
  if (stream) IWICStream_Release(stream);
  return hr;
}

/* Threads asking a fresh frame for the same rectangle at once: the first
 * partial request fills the frame's cache under its lock. */
typedef struct RectJob {
  IWICBitmapFrameDecode* frame;
  WICRect rect;
  UINT stride, size;
  BYTE* out;
  HRESULT hr;
} RectJob;

static DWORD WINAPI copy_rect(void* user) {
  RectJob* job = (RectJob*)user;
  job->hr =
      IWICBitmapFrameDecode_CopyPixels(job->frame, &job->rect, job->stride, job->size, job->out);
  return 0;
}

static void check_threads(IWICBitmapFrameDecode* frame, UINT width, UINT height, UINT pb) {
  enum { kThreads = 4 };
  RectJob jobs[kThreads];
  HANDLE threads[kThreads];
  const WICRect rect = {(INT)(width / 4), (INT)(height / 4), (INT)(width / 2 ? width / 2 : 1),
                        (INT)(height / 2 ? height / 2 : 1)};
  const UINT stride = rect.Width * pb, size = stride * rect.Height;
  int i;
  for (i = 0; i < kThreads; ++i) {
    jobs[i].frame = frame;
    jobs[i].rect = rect;
    jobs[i].stride = stride;
    jobs[i].size = size;
    jobs[i].out = (BYTE*)calloc(size, 1);
    jobs[i].hr = E_FAIL;
    threads[i] = jobs[i].out ? CreateThread(NULL, 0, copy_rect, &jobs[i], 0, NULL) : NULL;
  }
  for (i = 0; i < kThreads; ++i)
    if (threads[i]) {
      WaitForSingleObject(threads[i], INFINITE);
      CloseHandle(threads[i]);
    }
  for (i = 0; i < kThreads; ++i) {
    CHECK(threads[i] && jobs[i].hr == S_OK, "thread %d: CopyPixels 0x%08lx", i,
          (unsigned long)jobs[i].hr);
    CHECK(jobs[i].out && memcmp(jobs[i].out, jobs[0].out, size) == 0, "thread %d got other pixels",
          i);
  }
  for (i = 0; i < kThreads; ++i) free(jobs[i].out);
}

/* The argument checks of CopyPixels and the decoder's state checks. */
static void check_arguments(IWICImagingFactory* factory, const wchar_t* path) {
  IWICBitmapDecoder* decoder = NULL;
  IWICBitmapFrameDecode* frame = NULL;
  IWICStream* stream = NULL;
  UINT count = 0, width = 0, height = 0, size = 0;
  BYTE* data = read_file(path, &size);
  BYTE buffer[4096];
  DWORD capability = 0;
  ULARGE_INTEGER position;
  LARGE_INTEGER offset;
  HRESULT hr = CoCreateInstance(&TZF_CLSID_WICDecoder, NULL, CLSCTX_INPROC_SERVER,
                                &IID_IWICBitmapDecoder, (void**)&decoder);
  CHECK(hr == S_OK, "CoCreateInstance of the decoder: 0x%08lx", (unsigned long)hr);
  if (decoder == NULL || data == NULL) return;
  CHECK(IWICBitmapDecoder_GetFrameCount(decoder, &count) == WINCODEC_ERR_WRONGSTATE,
        "GetFrameCount before Initialize");
  CHECK(IWICBitmapDecoder_GetFrame(decoder, 0, &frame) == WINCODEC_ERR_WRONGSTATE,
        "GetFrame before Initialize");
  IWICImagingFactory_CreateStream(factory, &stream);
  IWICStream_InitializeFromMemory(stream, data, size);
  offset.QuadPart = 0;
  hr = IWICBitmapDecoder_QueryCapability(decoder, (IStream*)stream, &capability);
  IWICStream_Seek(stream, offset, STREAM_SEEK_CUR, &position);
  CHECK(hr == S_OK && capability == WICBitmapDecoderCapabilityCanDecodeAllImages &&
            position.QuadPart == 0,
        "QueryCapability 0x%08lx, capability %lu, position %lu", (unsigned long)hr,
        (unsigned long)capability, (unsigned long)position.QuadPart);
  CHECK(
      IWICBitmapDecoder_Initialize(decoder, (IStream*)stream, WICDecodeMetadataCacheOnLoad) == S_OK,
      "Initialize");
  CHECK(IWICBitmapDecoder_Initialize(decoder, (IStream*)stream, WICDecodeMetadataCacheOnLoad) ==
            WINCODEC_ERR_WRONGSTATE,
        "a second Initialize");
  CHECK(IWICBitmapDecoder_GetPreview(decoder, NULL) == WINCODEC_ERR_UNSUPPORTEDOPERATION,
        "GetPreview");
  CHECK(IWICBitmapDecoder_GetThumbnail(decoder, NULL) == WINCODEC_ERR_CODECNOTHUMBNAIL,
        "GetThumbnail");
  CHECK(IWICBitmapDecoder_CopyPalette(decoder, NULL) == WINCODEC_ERR_PALETTEUNAVAILABLE,
        "decoder CopyPalette");
  if (IWICBitmapDecoder_GetFrame(decoder, 0, &frame) == S_OK) {
    const UINT stride = 64 * 3;
    WICPixelFormatGUID native;
    IWICBitmapFrameDecode_GetSize(frame, &width, &height);
    IWICBitmapFrameDecode_GetPixelFormat(frame, &native);
    check_threads(frame, width, height,
                  IsEqualGUID(&native, &GUID_WICPixelFormat8bppIndexed) ? 1 : 3);
    {
      const WICRect outside[] = {{-1, 0, 1, 1},
                                 {0, -1, 1, 1},
                                 {0, 0, (INT)width + 1, 1},
                                 {0, 0, 1, (INT)height + 1},
                                 {(INT)width, 0, 1, 1},
                                 {0, (INT)height, 1, 1},
                                 {0, 0, -1, 1},
                                 {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF}};
      size_t i;
      for (i = 0; i < sizeof outside / sizeof outside[0]; ++i)
        CHECK(IWICBitmapFrameDecode_CopyPixels(frame, &outside[i], stride, sizeof buffer, buffer) ==
                  E_INVALIDARG,
              "rectangle %u outside the frame", (unsigned)i);
    }
    {
      /* Two rows of two pixels: the stride needs 2 pixels, the buffer one
       * stride and 2 pixels. */
      const WICRect two_rows = {0, 0, 2, 2};
      WICPixelFormatGUID format;
      UINT pb = 3;
      if (IWICBitmapFrameDecode_GetPixelFormat(frame, &format) == S_OK &&
          IsEqualGUID(&format, &GUID_WICPixelFormat8bppIndexed))
        pb = 1;
      CHECK(IWICBitmapFrameDecode_CopyPixels(frame, &two_rows, 2 * pb - 1, sizeof buffer, buffer) ==
                WINCODEC_ERR_INSUFFICIENTBUFFER,
            "too small a stride");
      CHECK(IWICBitmapFrameDecode_CopyPixels(frame, &two_rows, 2 * pb + 1, 4 * pb, buffer) ==
                WINCODEC_ERR_INSUFFICIENTBUFFER,
            "too small a buffer");
      CHECK(IWICBitmapFrameDecode_CopyPixels(frame, &two_rows, 2 * pb + 1, 4 * pb + 1, buffer) ==
                S_OK,
            "the smallest buffer");
      CHECK(IWICBitmapFrameDecode_CopyPixels(frame, &two_rows, 0xFFFFFFFFu, 0xFFFFFFFFu, buffer) ==
                WINCODEC_ERR_INSUFFICIENTBUFFER,
            "a stride whose rows overflow 32 bits");
    }
    CHECK(IWICBitmapFrameDecode_GetColorContexts(frame, 0, NULL, &count) == S_OK && count == 0,
          "frame colour contexts");
    CHECK(IWICBitmapFrameDecode_GetThumbnail(frame, NULL) == WINCODEC_ERR_CODECNOTHUMBNAIL,
          "frame thumbnail");
    IWICBitmapFrameDecode_Release(frame);
  }
  IWICStream_Release(stream);
  IWICBitmapDecoder_Release(decoder);
  free(data);
}

int main(int argc, char** argv) {
  IWICImagingFactory* factory = NULL;
  FILE* list;
  char line[512], list_path[1024];
  wchar_t corpus[512], work[512];
  int pictures = 0, arguments_checked = 0;
  HRESULT hr;
  if (argc != 3) {
    fprintf(stderr, "usage: tzfwic_test CORPUS_DIR WORK_DIR\n");
    return 2;
  }
  widen(argv[1], corpus, 512);
  widen(argv[2], work, 512);
  CreateDirectoryW(work, NULL);
  CoInitializeEx(NULL, COINIT_MULTITHREADED);
  hr = CoCreateInstance(&CLSID_WICImagingFactory, NULL, CLSCTX_INPROC_SERVER,
                        &IID_IWICImagingFactory, (void**)&factory);
  if (FAILED(hr)) {
    fprintf(stderr, "no WIC factory: 0x%08lx\n", (unsigned long)hr);
    return 1;
  }
  snprintf(list_path, sizeof list_path, "%s/expected.tsv", argv[1]);
  list = fopen(list_path, "r");
  if (list == NULL) {
    fprintf(stderr, "cannot read %s\n", list_path);
    return 1;
  }
  while (fgets(line, sizeof line, list)) {
    char name[256], klass[64];
    wchar_t wname[256], path[1024], png[1024], copy[1024];
    IWICBitmapDecoder* decoder = NULL;
    if (line[0] == '#' || sscanf(line, "%255[^\t]\t%63[^\t]", name, klass) != 2) continue;
    widen(name, wname, 256);
    swprintf(path, 1024, L"%ls\\%ls", corpus, wname);
    if (strcmp(klass, "ok") == 0 || strcmp(klass, "truncated") == 0) {
      Pixels expected = {0, 0, NULL};
      UINT size = 0;
      BYTE* data = read_file(path, &size);
      IWICStream* stream = NULL;
      swprintf(png, 1024, L"%ls", path);
      wcscpy(png + wcslen(png) - 3, L"png");
      swprintf(copy, 1024, L"%ls\\%ls.picture", work, wname);
      hr = read_png(factory, png, &expected);
      CHECK(hr == S_OK, "%s: expected PNG 0x%08lx", name, (unsigned long)hr);
      CHECK(CopyFileW(path, copy, FALSE), "%s: copy", name);
      /* By extension (and signature), by signature alone, from memory. */
      hr = IWICImagingFactory_CreateDecoderFromFilename(factory, path, NULL, GENERIC_READ,
                                                        WICDecodeMetadataCacheOnDemand, &decoder);
      CHECK(hr == S_OK, "%s: CreateDecoderFromFilename 0x%08lx", name, (unsigned long)hr);
      if (decoder && expected.bgra) check_decoder(factory, decoder, &expected, name);
      if (decoder) IWICBitmapDecoder_Release(decoder);
      decoder = NULL;
      hr = IWICImagingFactory_CreateDecoderFromFilename(factory, copy, NULL, GENERIC_READ,
                                                        WICDecodeMetadataCacheOnDemand, &decoder);
      CHECK(hr == S_OK, "%s: CreateDecoderFromFilename of a copy 0x%08lx", name, (unsigned long)hr);
      if (decoder && expected.bgra) check_decoder(factory, decoder, &expected, name);
      if (decoder) IWICBitmapDecoder_Release(decoder);
      decoder = NULL;
      IWICImagingFactory_CreateStream(factory, &stream);
      hr = data ? IWICStream_InitializeFromMemory(stream, data, size) : E_FAIL;
      if (SUCCEEDED(hr))
        hr = IWICImagingFactory_CreateDecoderFromStream(factory, (IStream*)stream, NULL,
                                                        WICDecodeMetadataCacheOnDemand, &decoder);
      CHECK(hr == S_OK, "%s: CreateDecoderFromStream 0x%08lx", name, (unsigned long)hr);
      if (decoder && expected.bgra) check_decoder(factory, decoder, &expected, name);
      if (decoder) IWICBitmapDecoder_Release(decoder);
      decoder = NULL;
      if (stream) IWICStream_Release(stream);
      /* The decoder's own class gives the same. */
      hr = own_decoder(factory, path, &decoder);
      CHECK(hr == S_OK, "%s: the decoder's own class 0x%08lx", name, (unsigned long)hr);
      if (SUCCEEDED(hr) && expected.bgra) check_decoder(factory, decoder, &expected, name);
      if (decoder) IWICBitmapDecoder_Release(decoder);
      DeleteFileW(copy);
      free(data);
      if (!arguments_checked && expected.width >= 2 && expected.height >= 2) {
        check_arguments(factory, path);
        arguments_checked = 1;
      }
      free(expected.bgra);
      ++pictures;
    } else {
      HRESULT expected = strcmp(klass, "not-tzf") == 0    ? WINCODEC_ERR_UNKNOWNIMAGEFORMAT
                         : strcmp(klass, "bad-size") == 0 ? WINCODEC_ERR_BADHEADER
                         : strcmp(klass, "limit") == 0    ? WINCODEC_ERR_IMAGESIZEOUTOFRANGE
                                                          : E_FAIL;
      CHECK(expected != E_FAIL, "%s: unknown class %s", name, klass);
      hr = own_decoder(factory, path, &decoder);
      CHECK(hr == expected, "%s (%s): Initialize gave 0x%08lx, expected 0x%08lx", name, klass,
            (unsigned long)hr, (unsigned long)expected);
      if (decoder) IWICBitmapDecoder_Release(decoder);
      decoder = NULL;
      hr = IWICImagingFactory_CreateDecoderFromFilename(factory, path, NULL, GENERIC_READ,
                                                        WICDecodeMetadataCacheOnDemand, &decoder);
      /* Another codec may read it (a PNG file named .tzf), never ours. */
      if (SUCCEEDED(hr)) {
        GUID container;
        CHECK(IWICBitmapDecoder_GetContainerFormat(decoder, &container) == S_OK &&
                  !IsEqualGUID(&container, &TZF_GUID_ContainerFormat),
              "%s (%s): the factory chose the TZF decoder", name, klass);
      }
      if (decoder) IWICBitmapDecoder_Release(decoder);
    }
  }
  fclose(list);
  IWICImagingFactory_Release(factory);
  CoUninitialize();
  CHECK(pictures > 0 && arguments_checked, "no pictures in the list");
  printf("%d pictures decoded; %d failures\n", pictures, failures);
  return failures ? 1 : 0;
}
