/* A host in the manner of an image viewer: loads tzffilter.dll from its own
 * folder, checks the information string and the version resource, decodes a
 * picture with GetPicture and writes the two blocks it hands back as a BMP.
 *   dll_host IN.tzf OUT.bmp VERSION */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

typedef int32_t(WINAPI* GetPluginInfoFn)(int32_t, char*, int32_t);
typedef int32_t(WINAPI* GetPictureFn)(const char*, int32_t, uint32_t, HLOCAL*, HLOCAL*, void*,
                                      intptr_t);

static int check_version_resource(const char* dll, const char* version) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(dll, &ignored);
  char buffer[4096];
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT length = 0;
  char expected[64];
  unsigned a = 0, b = 0, c = 0;
  if (size == 0 || size > sizeof buffer || !GetFileVersionInfoA(dll, 0, size, buffer) ||
      !VerQueryValueA(buffer, "\\", (void**)&fixed, &length) || fixed == NULL) {
    fprintf(stderr, "no version resource in %s\n", dll);
    return 0;
  }
  sscanf(version, "%u.%u.%u", &a, &b, &c);
  snprintf(expected, sizeof expected, "%u.%u.%u.0", a, b, c);
  char got[64];
  snprintf(got, sizeof got, "%lu.%lu.%lu.%lu", (unsigned long)HIWORD(fixed->dwFileVersionMS),
           (unsigned long)LOWORD(fixed->dwFileVersionMS),
           (unsigned long)HIWORD(fixed->dwFileVersionLS),
           (unsigned long)LOWORD(fixed->dwFileVersionLS));
  if (strcmp(got, expected) != 0) {
    fprintf(stderr, "file version %s, expected %s\n", got, expected);
    return 0;
  }
  printf("version resource: %s\n", got);
  return 1;
}

int main(int argc, char** argv) {
  HMODULE module = NULL;
  HLOCAL info = NULL, pixels = NULL;
  FILE* out = NULL;
  int result = 1;
  if (argc != 4) {
    fprintf(stderr, "usage: dll_host IN.tzf OUT.bmp VERSION\n");
    return 2;
  }
  do {
    char name[256] = {0};
    char expected[256];
    module = LoadLibraryA("tzffilter.dll");
    if (module == NULL) {
      fprintf(stderr, "LoadLibrary(tzffilter.dll) failed: %lu\n", (unsigned long)GetLastError());
      break;
    }
    char path[MAX_PATH];
    if (GetModuleFileNameA(module, path, sizeof path) == 0 ||
        !check_version_resource(path, argv[3]))
      break;
    GetPluginInfoFn get_plugin_info = (GetPluginInfoFn)GetProcAddress(module, "GetPluginInfo");
    GetPictureFn get_picture = (GetPictureFn)GetProcAddress(module, "GetPicture");
    if (get_plugin_info == NULL || get_picture == NULL) {
      fprintf(stderr, "entry points missing\n");
      break;
    }
    get_plugin_info(1, name, sizeof name);
    snprintf(expected, sizeof expected,
             "TZF to DIB filter ver0.01  by the tzf-filter developers, release %s", argv[3]);
    if (strcmp(name, expected) != 0) {
      fprintf(stderr, "information string 1 is '%s'\n", name);
      break;
    }
    printf("filter: %s\n", name);
    int32_t status = get_picture(argv[1], 0, 0, &info, &pixels, NULL, 0);
    if (status != 0 || info == NULL || pixels == NULL) {
      fprintf(stderr, "GetPicture: status %d\n", (int)status);
      break;
    }
    const BITMAPINFOHEADER* header = (const BITMAPINFOHEADER*)LocalLock(info);
    const unsigned char* bits = (const unsigned char*)LocalLock(pixels);
    if (header == NULL || bits == NULL) break;
    const DWORD info_size = (DWORD)LocalSize(info);
    const DWORD stride = (((DWORD)header->biWidth * header->biBitCount + 31) / 32) * 4;
    const DWORD pixel_size = stride * (DWORD)header->biHeight;
    BITMAPFILEHEADER file_header = {0};
    file_header.bfType = 0x4D42;
    file_header.bfOffBits = sizeof file_header + info_size;
    file_header.bfSize = file_header.bfOffBits + pixel_size;
    out = fopen(argv[2], "wb");
    if (out == NULL || fwrite(&file_header, sizeof file_header, 1, out) != 1 ||
        fwrite(header, info_size, 1, out) != 1 || fwrite(bits, pixel_size, 1, out) != 1) {
      fprintf(stderr, "cannot write %s\n", argv[2]);
      break;
    }
    printf("GetPicture: %ldx%ld, %u-bit\n", (long)header->biWidth, (long)header->biHeight,
           (unsigned)header->biBitCount);
    result = 0;
  } while (0);
  if (out != NULL && fclose(out) != 0) result = 1;
  if (info != NULL) {
    LocalUnlock(info);
    LocalFree(info);
  }
  if (pixels != NULL) {
    LocalUnlock(pixels);
    LocalFree(pixels);
  }
  if (module != NULL) FreeLibrary(module);
  return result;
}
