/* A C99 program on the library's public header alone: builds two small
 * pictures in memory, decodes them in every layout and checks the pixels.
 * Built with -std=c99 -pedantic in the test suite, and against an installed
 * library by the install test. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <tzf/tzf.h>

static int failures = 0;
static int checks = 0;

static void check(int condition, const char* what) {
  ++checks;
  if (!condition) {
    ++failures;
    fprintf(stderr, "FAIL: %s\n", what);
  }
}

static void put32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

/* Header of a picture whose flag stream is one byte and whose command stream
 * is `commands` bytes. */
static size_t header(uint8_t* p, uint32_t width, uint32_t height, uint32_t bits,
                     uint32_t commands) {
  memset(p, 0, 64);
  memcpy(p, "TZF", 4);
  put32(p + 4, 3);
  put32(p + 8, 64);
  put32(p + 12, width);
  put32(p + 16, height);
  p[24] = (uint8_t)bits;
  put32(p + 40, bits == 8 ? 1088 : 64);
  put32(p + 48, 1);
  put32(p + 52, commands);
  return 64;
}

int main(void) {
  uint8_t file[2048];
  uint8_t out[256];
  tzf_info info;
  size_t n, stride, bytes;
  char version[32];
  int i;

  /* 24-bit, 4x2: four literals in the bottom row, then a run of 4 copying
   * them one row up (command 0x71: dx 0, dy -1, length 4). */
  n = header(file, 4, 2, 24, 1);
  file[n++] = 0x08; /* flags: 0000 1... */
  file[n++] = 0x71;
  for (i = 0; i < 12; ++i) file[n++] = (uint8_t)(10 + i); /* B, G, R of four pixels */
  check(tzf_is_tzf(file, n) == 1, "24-bit picture recognised");
  check(tzf_read_info(file, n, &info) == TZF_OK, "24-bit info");
  check(info.width == 4 && info.height == 2 && info.bits_per_pixel == 24, "24-bit size");
  check(tzf_output_size(&info, TZF_FORMAT_RGBA, &stride, &bytes) == TZF_OK && stride == 16 &&
            bytes == 32,
        "RGBA size");
  check(tzf_decode(file, n, TZF_FORMAT_RGB, out, 12, NULL) == TZF_OK, "decode RGB");
  check(out[0] == 12 && out[1] == 11 && out[2] == 10, "top row, first pixel, RGB");
  check(memcmp(out, out + 12, 12) == 0, "both rows alike");
  memset(out, 0xEE, sizeof out);
  check(tzf_decode(file, n, TZF_FORMAT_RGBA, out + 20, -20, NULL) == TZF_OK, "decode bottom-up");
  check(out[0] == 12 && out[3] == 255 && out[16] == 0 && out[19] == 0, "bottom-up row and gap");
  check(out[36] == 0xEE, "nothing past the last row");

  /* 8-bit, 3x1: three literals through the colour table. */
  n = header(file, 3, 1, 8, 0);
  for (i = 0; i < 256; ++i) {
    file[n + 4 * i] = (uint8_t)i;             /* blue */
    file[n + 4 * i + 1] = (uint8_t)(255 - i); /* green */
    file[n + 4 * i + 2] = 7;                  /* red */
    file[n + 4 * i + 3] = 0;
  }
  n += 1024;
  file[n++] = 0x00;
  file[n++] = 1;
  file[n++] = 2;
  file[n++] = 200;
  check(tzf_read_info(file, n, &info) == TZF_OK && info.palette_size == 256, "8-bit info");
  check(info.palette[200][0] == 7 && info.palette[200][1] == 55 && info.palette[200][2] == 200,
        "palette as red, green, blue");
  check(tzf_decode(file, n, TZF_FORMAT_NATIVE, out, 3, NULL) == TZF_OK && out[2] == 200, "indices");
  check(tzf_decode(file, n, TZF_FORMAT_RGB, out, 9, NULL) == TZF_OK && out[6] == 7 &&
            out[7] == 55 && out[8] == 200,
        "colours");
  check(tzf_decode(file, 40, TZF_FORMAT_RGB, out, 9, NULL) == TZF_ERROR_NOT_TZF, "cut header");
  check(strlen(tzf_status_text(TZF_ERROR_NOT_TZF)) > 0, "status text");

  /* The library is the release the header states. */
  check(tzf_version_number() == TZF_VERSION_NUMBER, "version number");
  snprintf(version, sizeof version, "%d.%d.%d", TZF_VERSION_MAJOR, TZF_VERSION_MINOR,
           TZF_VERSION_PATCH);
  check(strcmp(tzf_version(), version) == 0, "version text");
  printf("libtzf %s (%u): %d checks, %d failed\n", tzf_version(), (unsigned)tzf_version_number(),
         checks, failures);
  return failures == 0 ? 0 : 1;
}
