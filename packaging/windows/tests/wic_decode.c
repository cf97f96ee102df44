/* wic_decode IN OUT.ppm: reads a picture through the system's Windows Imaging
 * Component factory, as Explorer or Photos would, and writes its pixels as a
 * binary PPM. Prints the decoder's friendly name and CLSID and the frame's
 * size on one line. Exit status 0 when the picture was read and written. */
#define COBJMACROS
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <wincodec.h>
#include <windows.h>

static void fail(const char* what, HRESULT hr) {
  fprintf(stderr, "wic_decode: %s failed (0x%08lx)\n", what, (unsigned long)hr);
}

int wmain(int argc, wchar_t** argv) {
  IWICImagingFactory* factory = NULL;
  IWICBitmapDecoder* decoder = NULL;
  IWICBitmapDecoderInfo* info = NULL;
  IWICBitmapFrameDecode* frame = NULL;
  IWICBitmapSource* bgra = NULL;
  BYTE* pixels = NULL;
  FILE* out = NULL;
  int status = 1;
  HRESULT hr;
  UINT width = 0, height = 0;

  if (argc != 3) {
    fprintf(stderr, "usage: wic_decode IN OUT.ppm\n");
    return 2;
  }
  hr = CoInitializeEx(NULL, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    fail("CoInitializeEx", hr);
    return 1;
  }
  hr = CoCreateInstance(&CLSID_WICImagingFactory, NULL, CLSCTX_INPROC_SERVER,
                        &IID_IWICImagingFactory, (void**)&factory);
  if (FAILED(hr)) {
    fail("creating the imaging factory", hr);
    goto done;
  }
  hr = IWICImagingFactory_CreateDecoderFromFilename(factory, argv[1], NULL, GENERIC_READ,
                                                    WICDecodeMetadataCacheOnDemand, &decoder);
  if (FAILED(hr)) {
    fail("CreateDecoderFromFilename", hr);
    goto done;
  }
  hr = IWICBitmapDecoder_GetDecoderInfo(decoder, &info);
  if (SUCCEEDED(hr)) {
    WCHAR name[128] = L"";
    UINT name_length = 0;
    CLSID clsid;
    WCHAR clsid_text[40] = L"";
    IWICBitmapDecoderInfo_GetFriendlyName(info, 128, name, &name_length);
    if (SUCCEEDED(IWICBitmapDecoderInfo_GetCLSID(info, &clsid)))
      StringFromGUID2(&clsid, clsid_text, 40);
    printf("decoder \"%ls\" %ls", name, clsid_text);
  }
  hr = IWICBitmapDecoder_GetFrame(decoder, 0, &frame);
  if (FAILED(hr)) {
    fail("GetFrame", hr);
    goto done;
  }
  hr = IWICBitmapFrameDecode_GetSize(frame, &width, &height);
  if (FAILED(hr) || width == 0 || height == 0 || width > 65535 || height > 65535) {
    fail("GetSize", hr);
    goto done;
  }
  printf(" frame %ux%u\n", width, height);
  hr = WICConvertBitmapSource(&GUID_WICPixelFormat32bppBGRA, (IWICBitmapSource*)frame, &bgra);
  if (FAILED(hr)) {
    fail("WICConvertBitmapSource", hr);
    goto done;
  }
  {
    const UINT stride = width * 4;
    const size_t bytes = (size_t)stride * height;
    size_t from, to = 0;
    pixels = malloc(bytes);
    if (pixels == NULL) {
      fprintf(stderr, "wic_decode: out of memory\n");
      goto done;
    }
    hr = IWICBitmapSource_CopyPixels(bgra, NULL, stride, (UINT)bytes, pixels);
    if (FAILED(hr)) {
      fail("CopyPixels", hr);
      goto done;
    }
    /* Blue, green, red, alpha to red, green, blue, in place. */
    for (from = 0; from < bytes; from += 4, to += 3) {
      const BYTE blue = pixels[from], green = pixels[from + 1], red = pixels[from + 2];
      pixels[to] = red;
      pixels[to + 1] = green;
      pixels[to + 2] = blue;
    }
    out = _wfopen(argv[2], L"wb");
    if (out == NULL || fprintf(out, "P6\n%u %u\n255\n", width, height) < 0 ||
        fwrite(pixels, 1, to, out) != to) {
      fprintf(stderr, "wic_decode: cannot write %ls\n", argv[2]);
      goto done;
    }
  }
  status = 0;
done:
  if (out != NULL && fclose(out) != 0) status = 1;
  free(pixels);
  if (bgra != NULL) IWICBitmapSource_Release(bgra);
  if (frame != NULL) IWICBitmapFrameDecode_Release(frame);
  if (info != NULL) IWICBitmapDecoderInfo_Release(info);
  if (decoder != NULL) IWICBitmapDecoder_Release(decoder);
  if (factory != NULL) IWICImagingFactory_Release(factory);
  CoUninitialize();
  return status;
}
