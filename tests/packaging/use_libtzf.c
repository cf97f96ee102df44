/* A program built against the installed libtzf-dev (pkg-config tzf): decodes
 * a picture to a binary PPM and checks the library's version against the
 * expected one and the header's.
 *   use_libtzf IN.tzf OUT.ppm VERSION */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tzf/tzf.h>

int main(int argc, char** argv) {
  FILE* file = NULL;
  unsigned char* data = NULL;
  unsigned char* pixels = NULL;
  int result = 1;
  long length = 0;
  tzf_info info;
  size_t stride = 0, bytes = 0;
  int status;
  if (argc != 4) {
    fprintf(stderr, "usage: use_libtzf IN.tzf OUT.ppm VERSION\n");
    return 2;
  }
  if (strcmp(tzf_version(), argv[3]) != 0) {
    fprintf(stderr, "library version %s, expected %s\n", tzf_version(), argv[3]);
    return 1;
  }
  if (tzf_version_number() != TZF_VERSION_NUMBER) {
    fprintf(stderr, "library version number %u, the header's %u\n", (unsigned)tzf_version_number(),
            (unsigned)TZF_VERSION_NUMBER);
    return 1;
  }
  file = fopen(argv[1], "rb");
  if (file == NULL || fseek(file, 0, SEEK_END) != 0 || (length = ftell(file)) <= 0 ||
      fseek(file, 0, SEEK_SET) != 0 || (data = malloc((size_t)length)) == NULL ||
      fread(data, 1, (size_t)length, file) != (size_t)length) {
    fprintf(stderr, "cannot read %s\n", argv[1]);
    goto done;
  }
  fclose(file);
  file = NULL;
  status = tzf_read_info(data, (size_t)length, &info);
  if (status == TZF_OK) status = tzf_output_size(&info, TZF_FORMAT_RGB, &stride, &bytes);
  if (status == TZF_OK && bytes > ((size_t)1 << 28)) status = TZF_ERROR_TOO_LARGE;
  if (status == TZF_OK && (pixels = malloc(bytes)) == NULL) status = TZF_ERROR_TOO_LARGE;
  if (status == TZF_OK)
    status = tzf_decode(data, (size_t)length, TZF_FORMAT_RGB, pixels, (ptrdiff_t)stride, NULL);
  if (status != TZF_OK) {
    fprintf(stderr, "%s: %s\n", argv[1], tzf_status_text(status));
    goto done;
  }
  file = fopen(argv[2], "wb");
  if (file == NULL || fprintf(file, "P6\n%u %u\n255\n", info.width, info.height) < 0 ||
      fwrite(pixels, 1, bytes, file) != bytes) {
    fprintf(stderr, "cannot write %s\n", argv[2]);
    goto done;
  }
  printf("%s: %ux%u, %u-bit, libtzf %s\n", argv[1], info.width, info.height, info.bits_per_pixel,
         tzf_version());
  result = 0;
done:
  if (file != NULL && fclose(file) != 0) result = 1;
  free(pixels);
  free(data);
  return result;
}
