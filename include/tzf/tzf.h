/* libtzf: decodes TZF pictures held in memory into a buffer the caller owns.
 *
 * A TZF picture is an 8-bit palette or 24-bit true-colour picture whose
 * pixels are compressed by back-references over a fixed table of sixteen
 * two-dimensional displacements. The library is pure computation on memory:
 * it opens no files, allocates nothing and keeps no state between calls, so
 * any number of threads may use it at once.
 *
 *   tzf_info info;
 *   int status = tzf_read_info(data, size, &info);        // header only
 *   size_t stride, bytes;
 *   if (status == TZF_OK)
 *     status = tzf_output_size(&info, TZF_FORMAT_RGB, &stride, &bytes);
 *   // apply your own size limit here, then allocate `bytes`
 *   if (status == TZF_OK)
 *     status = tzf_decode(data, size, TZF_FORMAT_RGB, out, (ptrdiff_t)stride, NULL);
 *   if (status != TZF_OK) fprintf(stderr, "%s\n", tzf_status_text(status));
 *
 * Usable from C99 and C++. Every name starts with tzf_ or TZF_.
 */
#ifndef TZF_TZF_H
#define TZF_TZF_H

#include <stddef.h>
#include <stdint.h>

#if defined(TZF_STATIC)
#define TZF_API
#elif defined(_WIN32)
#if defined(TZF_BUILDING_LIBRARY)
#define TZF_API __declspec(dllexport)
#else
#define TZF_API
#endif
#else
#define TZF_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of a picture's header: enough for tzf_is_tzf. tzf_read_info also
 * reads the colour table, which ends at TZF_INFO_SIZE. */
#define TZF_HEADER_SIZE 64
#define TZF_INFO_SIZE 1088

typedef struct tzf_info {
  uint32_t width, height;      /* pixels, as stored */
  uint32_t bits_per_pixel;     /* 8 or 24 */
  uint32_t version;            /* 2 or 3; both are read alike */
  uint32_t palette_size;       /* 256 for 8-bit pictures, 0 for 24-bit */
  uint8_t palette[256][3];     /* red, green, blue of each palette index */
  uint32_t flag_stream_length; /* bytes, as declared by the header */
  uint32_t command_stream_length;
  uint64_t literal_offset; /* where the literal stream starts */
  uint32_t truncated;      /* 1 when the data ends before the literal stream:
                              what is missing reads as zero bytes */
} tzf_info;

/* Status values. Every function that returns one returns TZF_OK or exactly
 * one of these. */
enum {
  TZF_OK = 0,
  TZF_ERROR_NOT_TZF = 1,      /* the data is not a TZF picture this library decodes */
  TZF_ERROR_BAD_SIZE = 2,     /* width or height is 0 or less */
  TZF_ERROR_TOO_LARGE = 3,    /* the picture's buffer cannot be addressed here */
  TZF_ERROR_BAD_ARGUMENT = 4, /* a null pointer, unknown format or too small a stride */
  TZF_ERROR_CANCELLED = 5     /* the progress callback asked to stop */
};

/* Output layouts, bytes per pixel in parentheses:
 *   TZF_FORMAT_RGB    (3) red, green, blue; 8-bit pictures through their palette
 *   TZF_FORMAT_RGBA   (4) the same plus 255
 *   TZF_FORMAT_NATIVE (1 or 3) the bytes as the picture stores them: the
 *                     palette index for 8-bit, blue, green, red for 24-bit */
enum { TZF_FORMAT_RGB = 1, TZF_FORMAT_RGBA = 2, TZF_FORMAT_NATIVE = 3 };

/* Row by row progress: `row` is called before each row is decoded (rows_done
 * = 0 .. height - 1) and once after the last (rows_done = height). A nonzero
 * answer stops the decoding, which returns TZF_ERROR_CANCELLED. */
typedef struct tzf_progress {
  int (*row)(void* user, uint32_t rows_done, uint32_t height);
  void* user;
} tzf_progress;

/* 1 when `head` (the first `size` bytes of some data) is a TZF picture, else
 * 0. Looks at the first TZF_HEADER_SIZE bytes at most; missing bytes read as
 * zero, so even 41 bytes can be enough. */
TZF_API int tzf_is_tzf(const void* head, size_t size);

/* Reads the header and the colour table. Bytes missing from short data read
 * as zero. TZF_ERROR_NOT_TZF when tzf_is_tzf would say 0; TZF_ERROR_BAD_SIZE
 * when width or height is 0 or less (the other fields are still filled in,
 * width and height as 0). */
TZF_API int tzf_read_info(const void* data, size_t size, tzf_info* info);

/* The smallest stride of `format` for the picture (width x bytes per pixel)
 * and the bytes a buffer of that stride needs (height x stride). Either
 * output may be NULL. TZF_ERROR_TOO_LARGE when they do not fit in size_t. */
TZF_API int tzf_output_size(const tzf_info* info, int format, size_t* stride, size_t* bytes);

/* Decodes the picture into `out`: `height` rows, top row first, each
 * starting `stride` bytes after the one before (a negative stride writes
 * bottom-up: `out` is then the top row's start, at the buffer's end). |stride|
 * must be at least the width x bytes per pixel of `format`; bytes between one
 * row's pixels and the next row are set to zero, nothing past the last row's
 * pixels is written. Literal data missing at the end reads as zero bytes, as
 * do flag and command bytes past the data. `progress` may be NULL. On
 * failure, `out` holds whatever was decoded so far. */
TZF_API int tzf_decode(const void* data, size_t size, int format, void* out, ptrdiff_t stride,
                       const struct tzf_progress* progress);

/* A short English sentence for a status value (never NULL). */
TZF_API const char* tzf_status_text(int status);

/* The library's version, "MAJOR.MINOR.PATCH". */
TZF_API const char* tzf_version(void);

#ifdef __cplusplus
}
#endif

#endif
