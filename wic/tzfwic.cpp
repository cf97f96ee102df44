// tzfwic.dll: the TZF decoder for the Windows Imaging Component. The COM
// objects here are thin: wic_picture.cpp reads the stream and serves the
// pixels; this file maps its results to WIC's interfaces and HRESULTs and
// writes the registry entries that make WIC and Explorer find the decoder.
#include <objbase.h>
#include <wincodec.h>
#include <windows.h>

#include <cstring>
#include <new>

#include "wic/tzfwic_guids.h"
#include "wic/wic_picture.h"

namespace {

using tzf_wic::Status;

HRESULT to_hresult(Status status) {
  switch (status) {
    case Status::ok:
      return S_OK;
    case Status::not_tzf:
      return WINCODEC_ERR_UNKNOWNIMAGEFORMAT;
    case Status::bad_header:
      return WINCODEC_ERR_BADHEADER;
    case Status::too_large:
      return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    case Status::out_of_memory:
      return E_OUTOFMEMORY;
    case Status::read_failed:
      return WINCODEC_ERR_STREAMREAD;
    case Status::bad_image:
      return WINCODEC_ERR_BADIMAGE;
    case Status::invalid_argument:
      return E_INVALIDARG;
    case Status::insufficient_buffer:
      return WINCODEC_ERR_INSUFFICIENTBUFFER;
  }
  return E_FAIL;
}

int64_t read_stream(void* user, void* to, size_t count) {
  IStream* stream = static_cast<IStream*>(user);
  const ULONG asked = count > 0x40000000u ? 0x40000000u : static_cast<ULONG>(count);
  ULONG got = 0;
  const HRESULT hr = stream->Read(to, asked, &got);
  if (FAILED(hr) || got > asked) return -1;
  return got;
}

class Decoder;

class Frame final : public IWICBitmapFrameDecode {
 public:
  Frame(Decoder* decoder, tzf_wic::Picture* picture);
  ~Frame();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IWICBitmapSource || iid == IID_IWICBitmapFrameDecode) {
      *out = static_cast<IWICBitmapFrameDecode*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetSize(UINT* width, UINT* height) override {
    if (width == nullptr || height == nullptr) return E_INVALIDARG;
    *width = picture_->info.width;
    *height = picture_->info.height;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPixelFormat(WICPixelFormatGUID* format) override {
    if (format == nullptr) return E_INVALIDARG;
    *format =
        picture_->pixel_bytes == 1 ? GUID_WICPixelFormat8bppIndexed : GUID_WICPixelFormat24bppBGR;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetResolution(double* x, double* y) override {
    if (x == nullptr || y == nullptr) return E_INVALIDARG;
    *x = 96.0;
    *y = 96.0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette* palette) override {
    if (palette == nullptr) return E_INVALIDARG;
    if (picture_->info.palette_size == 0) return WINCODEC_ERR_PALETTEUNAVAILABLE;
    WICColor colours[256];
    const UINT count = picture_->info.palette_size > 256 ? 256 : picture_->info.palette_size;
    for (UINT i = 0; i < count; ++i) {
      const uint8_t* rgb = picture_->info.palette[i];
      colours[i] = 0xFF000000u | (WICColor{rgb[0]} << 16) | (WICColor{rgb[1]} << 8) | rgb[2];
    }
    return palette->InitializeCustom(colours, count);
  }
  HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect* rect, UINT stride, UINT buffer_size,
                                       BYTE* buffer) override {
    int64_t x = 0, y = 0, width = picture_->info.width, height = picture_->info.height;
    if (rect != nullptr) {
      x = rect->X;
      y = rect->Y;
      width = rect->Width;
      height = rect->Height;
    }
    return to_hresult(
        tzf_wic::copy_pixels(picture_, x, y, width, height, stride, buffer_size, buffer));
  }
  HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
    if (reader != nullptr) *reader = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  HRESULT STDMETHODCALLTYPE GetColorContexts(UINT count, IWICColorContext** contexts,
                                             UINT* actual) override {
    (void)count;
    (void)contexts;
    if (actual == nullptr) return E_INVALIDARG;
    *actual = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override {
    if (thumbnail != nullptr) *thumbnail = nullptr;
    return WINCODEC_ERR_CODECNOTHUMBNAIL;
  }

 private:
  LONG refs_ = 1;
  Decoder* decoder_;           // holds a reference: it owns the picture
  tzf_wic::Picture* picture_;  // read-only but for its locked cache
};

class Decoder final : public IWICBitmapDecoder {
 public:
  Decoder() { InitializeCriticalSection(&lock_); }
  ~Decoder() {
    tzf_wic::free_picture(&picture_);
    DeleteCriticalSection(&lock_);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IWICBitmapDecoder) {
      *out = static_cast<IWICBitmapDecoder*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE QueryCapability(IStream* stream, DWORD* capability) override {
    if (stream == nullptr || capability == nullptr) return E_INVALIDARG;
    *capability = 0;
    LARGE_INTEGER zero{};
    ULARGE_INTEGER start{};
    HRESULT hr = stream->Seek(zero, STREAM_SEEK_CUR, &start);
    if (FAILED(hr)) return hr;
    BYTE head[TZF_HEADER_SIZE] = {};
    ULONG got = 0;
    hr = stream->Read(head, sizeof head, &got);
    LARGE_INTEGER back{};
    back.QuadPart = static_cast<LONGLONG>(start.QuadPart);
    const HRESULT seek = stream->Seek(back, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) return hr;
    if (FAILED(seek)) return seek;
    if (got <= sizeof head && tzf_is_tzf(head, got))
      *capability = WICBitmapDecoderCapabilityCanDecodeAllImages;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Initialize(IStream* stream, WICDecodeOptions options) override {
    (void)options;  // the picture is read whole either way: it is small next to its pixels
    if (stream == nullptr) return E_INVALIDARG;
    // The picture starts at the stream's start, wherever discovery left the
    // position (a stream that cannot seek is read from where it stands).
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    EnterCriticalSection(&lock_);
    HRESULT hr = WINCODEC_ERR_WRONGSTATE;
    if (!ready_) {
      hr = to_hresult(tzf_wic::read_picture(read_stream, stream, &picture_));
      ready_ = SUCCEEDED(hr);
    }
    LeaveCriticalSection(&lock_);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetContainerFormat(GUID* format) override {
    if (format == nullptr) return E_INVALIDARG;
    *format = TZF_GUID_ContainerFormat;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDecoderInfo(IWICBitmapDecoderInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    IWICImagingFactory* factory = nullptr;
    IWICComponentInfo* component = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
    if (SUCCEEDED(hr)) hr = factory->CreateComponentInfo(TZF_CLSID_WICDecoder, &component);
    if (SUCCEEDED(hr))
      hr = component->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void**>(info));
    if (component != nullptr) component->Release();
    if (factory != nullptr) factory->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette* palette) override {
    (void)palette;
    return WINCODEC_ERR_PALETTEUNAVAILABLE;
  }
  HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
    if (reader != nullptr) *reader = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  HRESULT STDMETHODCALLTYPE GetPreview(IWICBitmapSource** preview) override {
    if (preview != nullptr) *preview = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  HRESULT STDMETHODCALLTYPE GetColorContexts(UINT count, IWICColorContext** contexts,
                                             UINT* actual) override {
    (void)count;
    (void)contexts;
    if (actual != nullptr) *actual = 0;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override {
    if (thumbnail != nullptr) *thumbnail = nullptr;
    return WINCODEC_ERR_CODECNOTHUMBNAIL;
  }
  HRESULT STDMETHODCALLTYPE GetFrameCount(UINT* count) override {
    if (count == nullptr) return E_INVALIDARG;
    if (!is_ready()) return WINCODEC_ERR_WRONGSTATE;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFrame(UINT index, IWICBitmapFrameDecode** frame) override {
    if (frame == nullptr) return E_INVALIDARG;
    *frame = nullptr;
    if (!is_ready()) return WINCODEC_ERR_WRONGSTATE;
    if (index != 0) return E_INVALIDARG;
    Frame* made = new (std::nothrow) Frame(this, &picture_);
    if (made == nullptr) return E_OUTOFMEMORY;
    *frame = made;
    return S_OK;
  }

 private:
  bool is_ready() {
    EnterCriticalSection(&lock_);
    const bool ready = ready_;
    LeaveCriticalSection(&lock_);
    return ready;
  }

  LONG refs_ = 1;
  CRITICAL_SECTION lock_;
  bool ready_ = false;  // set once by Initialize; the picture is read-only from then on
  tzf_wic::Picture picture_{};
};

Frame::Frame(Decoder* decoder, tzf_wic::Picture* picture) : decoder_(decoder), picture_(picture) {
  decoder_->AddRef();
}

Frame::~Frame() { decoder_->Release(); }

// The class object holds no state: the DLL is never unloaded while in use
// (DllCanUnloadNow says no), so it needs no reference count either.
class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Decoder* decoder = new (std::nothrow) Decoder;
    if (decoder == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = decoder->QueryInterface(iid, out);
    decoder->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    (void)lock;
    return S_OK;
  }
};

// ---- Registration ----------------------------------------------------------

#define TZF_WIC_DECODERS_CATEGORY L"{7ED96837-96F0-4812-B211-F13C24117ED3}"
#define TZF_CLSID_KEY L"CLSID\\" TZF_CLSID_WICDecoder_TEXT
#define TZF_INSTANCE_KEY \
  L"CLSID\\" TZF_WIC_DECODERS_CATEGORY L"\\Instance\\" TZF_CLSID_WICDecoder_TEXT
#define TZF_MIME_KEY L"MIME\\Database\\Content Type\\" TZF_WIC_MIME_TYPE
#define TZF_KINDMAP_KEY L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap"
// The shell's thumbnail (IThumbnailProvider) and preview handler slots, and
// the system's photo thumbnail provider and photo preview handler filling them.
#define TZF_THUMBNAIL_SLOT L"{E357FCCD-A995-4576-B01F-234630154E96}"
#define TZF_PHOTO_THUMBNAIL_PROVIDER L"{C7657C4A-9F68-40FA-A4DF-96BC08EB3551}"
#define TZF_PREVIEW_SLOT L"{8895B1C6-B41F-4C1C-A562-0D564250836F}"
#define TZF_PHOTO_PREVIEW_HANDLER L"{FFE2A43C-56B9-4BF5-9A79-CC6D4285608A}"
#define TZF_EXTENSION_KEY L"" TZF_WIC_EXTENSION
#define TZF_SHELLEX_KEY TZF_EXTENSION_KEY L"\\ShellEx"

HRESULT set_value(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type, const void* data,
                  DWORD size) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS && data != nullptr)
    rc = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
  if (key != nullptr) RegCloseKey(key);
  return HRESULT_FROM_WIN32(rc);
}

HRESULT set_text(HKEY root, const wchar_t* path, const wchar_t* name, const wchar_t* text) {
  return set_value(root, path, name, REG_SZ, text,
                   static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

HRESULT set_dword(HKEY root, const wchar_t* path, const wchar_t* name, DWORD value) {
  return set_value(root, path, name, REG_DWORD, &value, sizeof value);
}

HRESULT make_key(HKEY root, const wchar_t* path) {
  return set_value(root, path, nullptr, REG_NONE, nullptr, 0);
}

// Deletes the value when it still holds what registration wrote.
void delete_own_text(HKEY root, const wchar_t* path, const wchar_t* name, const wchar_t* text) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  wchar_t found[128] = {};
  DWORD size = sizeof found - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(found), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ && lstrcmpiW(found, text) == 0)
    RegDeleteValueW(key, name);
  RegCloseKey(key);
}

// Deletes the key when nothing is left in it.
void delete_if_empty(HKEY root, const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  DWORD subkeys = 1, values = 1;
  const LONG rc = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                   &values, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  if (rc == ERROR_SUCCESS && subkeys == 0 && values == 0) RegDeleteKeyW(root, path);
}

HRESULT unregister() {
  RegDeleteTreeW(HKEY_CLASSES_ROOT, TZF_CLSID_KEY);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, TZF_INSTANCE_KEY);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, TZF_MIME_KEY);
  delete_own_text(HKEY_LOCAL_MACHINE, TZF_KINDMAP_KEY, TZF_WIC_EXTENSION, L"picture");
  delete_own_text(HKEY_CLASSES_ROOT, TZF_SHELLEX_KEY L"\\" TZF_THUMBNAIL_SLOT, nullptr,
                  TZF_PHOTO_THUMBNAIL_PROVIDER);
  delete_if_empty(HKEY_CLASSES_ROOT, TZF_SHELLEX_KEY L"\\" TZF_THUMBNAIL_SLOT);
  delete_own_text(HKEY_CLASSES_ROOT, TZF_SHELLEX_KEY L"\\" TZF_PREVIEW_SLOT, nullptr,
                  TZF_PHOTO_PREVIEW_HANDLER);
  delete_if_empty(HKEY_CLASSES_ROOT, TZF_SHELLEX_KEY L"\\" TZF_PREVIEW_SLOT);
  delete_if_empty(HKEY_CLASSES_ROOT, TZF_SHELLEX_KEY);
  delete_own_text(HKEY_CLASSES_ROOT, TZF_EXTENSION_KEY, L"Content Type", TZF_WIC_MIME_TYPE);
  delete_own_text(HKEY_CLASSES_ROOT, TZF_EXTENSION_KEY, L"PerceivedType", L"image");
  delete_if_empty(HKEY_CLASSES_ROOT, TZF_EXTENSION_KEY);
  return S_OK;
}

HRESULT register_all() {
  HMODULE module = nullptr;
  wchar_t path[MAX_PATH + 1] = {};
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&register_all), &module))
    return HRESULT_FROM_WIN32(GetLastError());
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return E_FAIL;

  wchar_t formats[2][64] = {};
  if (StringFromGUID2(GUID_WICPixelFormat8bppIndexed, formats[0], 64) == 0 ||
      StringFromGUID2(GUID_WICPixelFormat24bppBGR, formats[1], 64) == 0)
    return E_FAIL;
  wchar_t format_key[2][160] = {};
  for (int i = 0; i < 2; ++i) {
    lstrcpyW(format_key[i], TZF_CLSID_KEY L"\\Formats\\");
    lstrcatW(format_key[i], formats[i]);
  }
  static const BYTE kPattern[4] = {'T', 'Z', 'F', 0};
  static const BYTE kMask[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  const wchar_t* clsid = TZF_CLSID_KEY;
  const wchar_t* pattern = TZF_CLSID_KEY L"\\Patterns\\0";
  const HKEY cr = HKEY_CLASSES_ROOT;

  const HRESULT results[] = {
      set_text(cr, clsid, nullptr, TZF_WIC_FRIENDLY_NAME),
      set_text(cr, clsid, L"FriendlyName", TZF_WIC_FRIENDLY_NAME),
      set_text(cr, clsid, L"Author", L"the tzf-filter developers"),
      set_text(cr, clsid, L"Vendor", TZF_GUID_Vendor_TEXT),
      set_text(cr, clsid, L"ContainerFormat", TZF_GUID_ContainerFormat_TEXT),
      set_text(cr, clsid, L"Version", L"" TZF_RELEASE),
      set_text(cr, clsid, L"MimeTypes", TZF_WIC_MIME_TYPE),
      set_text(cr, clsid, L"FileExtensions", TZF_WIC_EXTENSION),
      set_dword(cr, clsid, L"SupportAnimation", 0),
      set_dword(cr, clsid, L"SupportChromakey", 0),
      set_dword(cr, clsid, L"SupportLossless", 1),
      set_dword(cr, clsid, L"SupportMultiframe", 0),
      set_text(cr, TZF_CLSID_KEY L"\\InprocServer32", nullptr, path),
      set_text(cr, TZF_CLSID_KEY L"\\InprocServer32", L"ThreadingModel", L"Both"),
      make_key(cr, format_key[0]),
      make_key(cr, format_key[1]),
      set_dword(cr, pattern, L"Position", 0),
      set_dword(cr, pattern, L"Length", sizeof kPattern),
      set_value(cr, pattern, L"Pattern", REG_BINARY, kPattern, sizeof kPattern),
      set_value(cr, pattern, L"Mask", REG_BINARY, kMask, sizeof kMask),
      set_text(cr, TZF_INSTANCE_KEY, L"CLSID", TZF_CLSID_WICDecoder_TEXT),
      set_text(cr, TZF_INSTANCE_KEY, L"FriendlyName", TZF_WIC_FRIENDLY_NAME),
      set_text(cr, TZF_EXTENSION_KEY, L"Content Type", TZF_WIC_MIME_TYPE),
      set_text(cr, TZF_EXTENSION_KEY, L"PerceivedType", L"image"),
      set_text(cr, TZF_SHELLEX_KEY L"\\" TZF_THUMBNAIL_SLOT, nullptr, TZF_PHOTO_THUMBNAIL_PROVIDER),
      set_text(cr, TZF_SHELLEX_KEY L"\\" TZF_PREVIEW_SLOT, nullptr, TZF_PHOTO_PREVIEW_HANDLER),
      set_text(cr, TZF_MIME_KEY, L"Extension", TZF_WIC_EXTENSION),
      set_text(HKEY_LOCAL_MACHINE, TZF_KINDMAP_KEY, TZF_WIC_EXTENSION, L"picture"),
  };
  for (const HRESULT hr : results)
    if (FAILED(hr)) {
      unregister();
      return hr;
    }
  return S_OK;
}

}  // namespace

extern "C" {

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  if (clsid != TZF_CLSID_WICDecoder) return CLASS_E_CLASSNOTAVAILABLE;
  static ClassFactory factory;
  return factory.QueryInterface(iid, out);
}

// The DLL stays loaded once a host loaded it: decoders and frames may outlive
// every reference a host counts, and no global count of them is kept.
HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }

HRESULT STDAPICALLTYPE DllRegisterServer() { return register_all(); }

HRESULT STDAPICALLTYPE DllUnregisterServer() { return unregister(); }

}  // extern "C"
