/* Writes _tzf_abi.py, the Pillow plug-in's binding to include/tzf/tzf.h:
 * every constant the plug-in uses and, for each record it hands to libtzf,
 * the record's size and alignment and each field's offset and struct format,
 * all as this compiler lays them out. The build runs it again whenever
 * tzf.h changes, so tzf_pillow.py never carries a copy of the C side; a field
 * whose type has no struct format fails the build.
 *
 *   tzf_abi OUTPUT.py */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "tzf/tzf.h"

/* C99 has no alignof: where the member lands after a char is its alignment. */
#define ALIGN_OF(type) \
  offsetof(            \
      struct {         \
        char c;        \
        type member;   \
      },               \
      member)

/* An unsigned integer field: the struct format follows from its size, and
 * the field is checked to be unsigned by counting down from zero. */
#define UINT_FIELD(out, record, name)                                                             \
  do {                                                                                            \
    record probe;                                                                                 \
    memset(&probe, 0, sizeof probe);                                                              \
    probe.name -= 1;                                                                              \
    if (!write_uint_field(out, #name, offsetof(record, name), sizeof probe.name, probe.name > 0)) \
      return 0;                                                                                   \
  } while (0)

/* A signed integer field (an enum value, a stride): checked to be signed
 * the same way. */
#define INT_FIELD(out, record, name)                                                             \
  do {                                                                                           \
    record probe;                                                                                \
    memset(&probe, 0, sizeof probe);                                                             \
    probe.name -= 1;                                                                             \
    if (!write_int_field(out, #name, offsetof(record, name), sizeof probe.name, probe.name < 0)) \
      return 0;                                                                                  \
  } while (0)

/* A pointer field: an address as ctypes gives it, an unsigned integer. */
#define POINTER_FIELD(out, record, name)                                                      \
  do {                                                                                        \
    if (!write_pointer_field(out, #name, offsetof(record, name), sizeof(((record*)0)->name))) \
      return 0;                                                                               \
  } while (0)

/* A byte array: read as a bytes object of its size. */
#define BYTES_FIELD(out, record, name)                                                 \
  fprintf(out, "        \"%s\": (%zu, \"%zus\", 1),\n", #name, offsetof(record, name), \
          sizeof(((record*)0)->name))

/* An array of records: `count` of them from the field's offset on. */
#define RECORD_ARRAY_FIELD(out, record, name, element)                                           \
  fprintf(out, "        \"%s\": (%zu, \"%s\", %zu),\n", #name, offsetof(record, name), #element, \
          sizeof(((record*)0)->name) / sizeof(element))

#define CONSTANT(out, name) fprintf(out, "%s = %llu\n", #name, (unsigned long long)(name))

#define RECORD_START(out, record) \
  fprintf(out, "    \"%s\": (%zu, %zu, {\n", #record, sizeof(record), ALIGN_OF(record))
#define RECORD_END(out) fputs("    }),\n", out)

static int write_uint_field(FILE* out, const char* name, size_t offset, size_t size,
                            int is_unsigned) {
  const char* format = size == 1 ? "B" : size == 2 ? "H" : size == 4 ? "I" : size == 8 ? "Q" : 0;
  if (!format || !is_unsigned) {
    fprintf(stderr, "tzf_abi: field %s is not an unsigned integer of 1, 2, 4 or 8 bytes\n", name);
    return 0;
  }
  fprintf(out, "        \"%s\": (%zu, \"%s\", 1),\n", name, offset, format);
  return 1;
}

static int write_int_field(FILE* out, const char* name, size_t offset, size_t size, int is_signed) {
  const char* format = size == 1 ? "b" : size == 2 ? "h" : size == 4 ? "i" : size == 8 ? "q" : 0;
  if (!format || !is_signed) {
    fprintf(stderr, "tzf_abi: field %s is not a signed integer of 1, 2, 4 or 8 bytes\n", name);
    return 0;
  }
  fprintf(out, "        \"%s\": (%zu, \"%s\", 1),\n", name, offset, format);
  return 1;
}

/* struct's "P" needs native alignment, which the plug-in's "=" formats turn
 * off, so an address is written as the unsigned integer of its size. */
static int write_pointer_field(FILE* out, const char* name, size_t offset, size_t size) {
  const char* format = size == 4 ? "I" : size == 8 ? "Q" : 0;
  if (!format || size != sizeof(void*)) {
    fprintf(stderr, "tzf_abi: field %s is not a pointer of 4 or 8 bytes\n", name);
    return 0;
  }
  fprintf(out, "        \"%s\": (%zu, \"%s\", 1),\n", name, offset, format);
  return 1;
}

static int write_binding(FILE* out) {
  fputs(
      "\"\"\"libtzf's constants and record layouts for tzf_pillow, written by the build\n"
      "from tzf/tzf.h (python/tzf_abi.c). Do not edit: it is made again whenever\n"
      "the header changes.\n"
      "\n"
      "RECORDS maps a record's name to (size, alignment, fields); each field is\n"
      "(offset, format, count): a struct module format in native byte order, or\n"
      "the name of another record, `count` of them one after the other.\n"
      "\"\"\"\n\n",
      out);
  fprintf(out, "TZF_VERSION = \"%d.%d.%d\"\n", TZF_VERSION_MAJOR, TZF_VERSION_MINOR,
          TZF_VERSION_PATCH);
  CONSTANT(out, TZF_VERSION_MAJOR);
  CONSTANT(out, TZF_VERSION_NUMBER);
  CONSTANT(out, TZF_HEADER_SIZE);
  CONSTANT(out, TZF_INFO_SIZE);
  CONSTANT(out, TZF_OK);
  CONSTANT(out, TZF_ERROR_NOT_TZF);
  CONSTANT(out, TZF_ERROR_BAD_SIZE);
  CONSTANT(out, TZF_ERROR_TOO_LARGE);
  CONSTANT(out, TZF_ERROR_BAD_ARGUMENT);
  CONSTANT(out, TZF_ERROR_CANCELLED);
  CONSTANT(out, TZF_ERROR_LIMIT);
  CONSTANT(out, TZF_ERROR_BUFFER_SIZE);
  CONSTANT(out, TZF_FORMAT_RGB);
  CONSTANT(out, TZF_FORMAT_RGBA);
  CONSTANT(out, TZF_FORMAT_NATIVE);
  CONSTANT(out, TZF_FORMAT_INDEX);
  CONSTANT(out, TZF_EFFORT_SMALLEST);
  CONSTANT(out, TZF_EFFORT_FAST);
  CONSTANT(out, TZF_DITHER_DEFAULT);
  CONSTANT(out, TZF_DITHER_NONE);
  CONSTANT(out, TZF_DITHER_ERROR_DIFFUSION);
  CONSTANT(out, TZF_DEPTH_AUTO);
  CONSTANT(out, TZF_DEPTH_8);
  CONSTANT(out, TZF_DEPTH_24);
  CONSTANT(out, TZF_DEFAULT_MAX_PIXELS);
  CONSTANT(out, TZF_DEFAULT_MAX_OUTPUT_BYTES);
  CONSTANT(out, TZF_PART_FLAGS);
  CONSTANT(out, TZF_PART_COMMANDS);
  CONSTANT(out, TZF_PART_LITERALS);
  CONSTANT(out, TZF_PART_COUNT);
  /* The value of a limit that lifts it. */
  CONSTANT(out, UINT64_MAX);

  /* TZF_BACKGROUND(rgb) as the macro computes it: its value for black and
   * the bits of the colour it keeps. */
  fprintf(out,
          "\n\ndef TZF_BACKGROUND(rgb):\n"
          "    \"\"\"A background colour 0xRRGGBB as tzf_encode_options takes it.\"\"\"\n"
          "    return %lu | (rgb & %lu)\n\n",
          (unsigned long)TZF_BACKGROUND(0),
          (unsigned long)(TZF_BACKGROUND(0xFFFFFFFFu) ^ TZF_BACKGROUND(0)));

  fputs("\nRECORDS = {\n", out);
  RECORD_START(out, tzf_info);
  UINT_FIELD(out, tzf_info, width);
  UINT_FIELD(out, tzf_info, height);
  UINT_FIELD(out, tzf_info, bits_per_pixel);
  UINT_FIELD(out, tzf_info, version);
  UINT_FIELD(out, tzf_info, palette_size);
  BYTES_FIELD(out, tzf_info, palette);
  UINT_FIELD(out, tzf_info, flag_stream_length);
  UINT_FIELD(out, tzf_info, command_stream_length);
  UINT_FIELD(out, tzf_info, literal_offset);
  UINT_FIELD(out, tzf_info, truncated);
  RECORD_END(out);

  RECORD_START(out, tzf_limits);
  UINT_FIELD(out, tzf_limits, max_pixels);
  UINT_FIELD(out, tzf_limits, max_output_bytes);
  RECORD_END(out);

  RECORD_START(out, tzf_part);
  UINT_FIELD(out, tzf_part, offset);
  UINT_FIELD(out, tzf_part, length);
  UINT_FIELD(out, tzf_part, kept_at);
  RECORD_END(out);

  RECORD_START(out, tzf_extent);
  UINT_FIELD(out, tzf_extent, header_bytes);
  RECORD_ARRAY_FIELD(out, tzf_extent, part, tzf_part);
  UINT_FIELD(out, tzf_extent, kept_bytes);
  UINT_FIELD(out, tzf_extent, end);
  RECORD_END(out);

  RECORD_START(out, tzf_image);
  UINT_FIELD(out, tzf_image, width);
  UINT_FIELD(out, tzf_image, height);
  INT_FIELD(out, tzf_image, format);
  POINTER_FIELD(out, tzf_image, pixels);
  INT_FIELD(out, tzf_image, stride);
  POINTER_FIELD(out, tzf_image, palette);
  UINT_FIELD(out, tzf_image, palette_size);
  RECORD_END(out);

  RECORD_START(out, tzf_encode_options);
  INT_FIELD(out, tzf_encode_options, effort);
  INT_FIELD(out, tzf_encode_options, bits_per_pixel);
  INT_FIELD(out, tzf_encode_options, dither);
  UINT_FIELD(out, tzf_encode_options, background);
  POINTER_FIELD(out, tzf_encode_options, palette);
  UINT_FIELD(out, tzf_encode_options, palette_size);
  POINTER_FIELD(out, tzf_encode_options, progress);
  RECORD_END(out);

  RECORD_START(out, tzf_encode_result);
  UINT_FIELD(out, tzf_encode_result, size);
  UINT_FIELD(out, tzf_encode_result, bits_per_pixel);
  UINT_FIELD(out, tzf_encode_result, colours);
  UINT_FIELD(out, tzf_encode_result, composited);
  UINT_FIELD(out, tzf_encode_result, quantised);
  UINT_FIELD(out, tzf_encode_result, literal_pixels);
  UINT_FIELD(out, tzf_encode_result, runs);
  UINT_FIELD(out, tzf_encode_result, run_pixels);
  RECORD_END(out);

  RECORD_START(out, tzf_result);
  UINT_FIELD(out, tzf_result, rows_held);
  UINT_FIELD(out, tzf_result, truncated);
  RECORD_END(out);
  fputs("}\n", out);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fputs("usage: tzf_abi OUTPUT.py\n", stderr);
    return 2;
  }
  FILE* out = NULL;
  int ok = 0;
  out = fopen(argv[1], "w");
  if (out) ok = write_binding(out);
  if (out && fclose(out) != 0) ok = 0;
  if (!ok) {
    fprintf(stderr, "tzf_abi: cannot write %s\n", argv[1]);
    remove(argv[1]);
    return 1;
  }
  return 0;
}
