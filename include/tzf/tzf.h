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
 * A loader that reads a file, a pipe or a push stream keeps only the bytes
 * decoding can use:
 *
 *   tzf_read_info(head, head_size, &info);          // the first TZF_INFO_SIZE bytes
 *   tzf_check_limits(&info, TZF_FORMAT_RGB, NULL);  // before allocating anything
 *   tzf_usable_extent(&info, &extent);              // extent.kept_bytes to keep
 *   held = tzf_keep(&extent, at, chunk, chunk_size, kept);   // for each chunk read
 *   tzf_decode_kept(&info, kept, held, TZF_FORMAT_RGB, out, stride, NULL, &result);
 *   if (result.truncated) ...                       // result.rows_held rows were there
 *
 * Usable from C99 and C++. Every name starts with tzf_ or TZF_. Records
 * added after 1.0 end in reserved space, where later versions add fields
 * whose zero value keeps the behaviour of the version that added the
 * record: callers zero the records they hand in.
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

/* The version of this header; tzf_version_number() gives the library's. */
#define TZF_VERSION_MAJOR 1
#define TZF_VERSION_MINOR 2
#define TZF_VERSION_PATCH 0
#define TZF_VERSION_NUMBER (TZF_VERSION_MAJOR * 10000 + TZF_VERSION_MINOR * 100 + TZF_VERSION_PATCH)

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
  TZF_ERROR_CANCELLED = 5,    /* the progress callback asked to stop */
  TZF_ERROR_LIMIT = 6,        /* the picture exceeds the caller's limits (1.1) */
  TZF_ERROR_READ = 7,         /* the caller's reader could not read the data (1.1) */
  TZF_ERROR_BUFFER_SIZE = 8   /* a work or output buffer is smaller than asked for (1.2) */
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

/* ---- Since 1.1: limits, the usable extent, decoding from kept bytes ---- */

/* The limits a caller sets on the pictures it decodes, checked before
 * anything is allocated. A field of 0 takes the default below; UINT64_MAX
 * lifts the limit. */
#define TZF_DEFAULT_MAX_PIXELS 268435456u        /* 256 megapixels: 16384 x 16384 */
#define TZF_DEFAULT_MAX_OUTPUT_BYTES 1073741824u /* 1 GiB of decoded pixels */

typedef struct tzf_limits {
  uint64_t max_pixels;       /* width x height */
  uint64_t max_output_bytes; /* height x the smallest stride of the format */
  uint64_t reserved[6];
} tzf_limits;

/* TZF_ERROR_LIMIT when the picture of `info` decoded in `format` exceeds
 * `limits` (NULL: the defaults); TZF_OK, or the status tzf_output_size gives
 * for the same arguments. */
TZF_API int tzf_check_limits(const tzf_info* info, int format, const tzf_limits* limits);

/* The parts of a picture's data, in the order they follow each other. */
enum { TZF_PART_FLAGS = 0, TZF_PART_COMMANDS = 1, TZF_PART_LITERALS = 2, TZF_PART_COUNT = 3 };

typedef struct tzf_part {
  uint64_t offset;  /* where the part starts in the picture's data */
  uint64_t length;  /* bytes from there that decoding can ever read */
  uint64_t kept_at; /* where the part starts among the kept bytes */
} tzf_part;

/* The bytes of a picture's data that decoding can ever read: three parts,
 * each clipped to what a picture of its size consumes, in file order and
 * never overlapping. The kept bytes are these parts one after the other. */
typedef struct tzf_extent {
  uint64_t header_bytes; /* header and colour table, before the parts */
  tzf_part part[TZF_PART_COUNT];
  uint64_t kept_bytes; /* the parts' lengths added up */
  uint64_t end;        /* just past the last byte decoding can read */
  uint64_t reserved[4];
} tzf_extent;

/* The usable extent of the picture `info` describes (as tzf_read_info filled
 * it in). TZF_ERROR_BAD_ARGUMENT for a record no header gives. */
TZF_API int tzf_usable_extent(const tzf_info* info, tzf_extent* extent);

/* Copies the bytes of `chunk`, which lie at offset `at` of the picture's
 * data, that belong to the extent to their place in `kept` (kept_bytes
 * long), and returns how many kept bytes lie before offset at + size: read
 * in order, the kept bytes held so far. `kept` may be NULL to count only. */
TZF_API uint64_t tzf_keep(const tzf_extent* extent, uint64_t at, const void* chunk, size_t size,
                          void* kept);

/* The three parts as they lie in memory; a part shorter than the extent's
 * length means the data ended early, and what is missing reads as zero. */
typedef struct tzf_parts {
  const void* data[TZF_PART_COUNT];
  size_t size[TZF_PART_COUNT];
} tzf_parts;

/* The parts within a picture's whole data (as tzf_decode takes it). */
TZF_API int tzf_parts_of_data(const tzf_info* info, const void* data, size_t size,
                              tzf_parts* parts);

/* The parts within the first `size` kept bytes (see tzf_keep). */
TZF_API int tzf_parts_of_kept(const tzf_info* info, const void* kept, size_t size,
                              tzf_parts* parts);

/* What a decoding found in the data. */
typedef struct tzf_result {
  /* Rows the data held whole, counted from the picture's bottom row (the
   * data stores rows bottom first): height unless the data ended early. */
  uint32_t rows_held;
  uint32_t truncated; /* 1 when decoding read data that was missing */
  uint64_t reserved[3];
} tzf_result;

/* Decodes the picture from its parts, as tzf_decode does from the whole
 * data (`info` gives the size and the colour table), and reports in
 * `result` (may be NULL) how much of the picture the data held. The data
 * stores rows bottom first, so a copy of `info` with a smaller height decodes
 * the picture's bottom rows alone, from the same parts: a loader shows the
 * rows that have arrived that way. */
TZF_API int tzf_decode_parts(const tzf_info* info, const tzf_parts* parts, int format, void* out,
                             ptrdiff_t stride, const struct tzf_progress* progress,
                             tzf_result* result);

/* Reads the literal bytes that follow the literal part on demand, for a
 * caller that streams a file rather than holding it: `read` fills up to
 * `count` bytes at `to` with the next bytes of the data and returns how many
 * it gave (0 at the end of the data, whose missing bytes read as zero), or
 * TZF_READ_FAILED. `buffer` holds TZF_READ_BUFFER_SIZE bytes of the
 * caller's, which the library reads into; long stretches of literals are
 * read straight into the output. */
#define TZF_READ_BUFFER_SIZE 196608u
#define TZF_READ_FAILED ((size_t)-1)

typedef struct tzf_reader {
  size_t (*read)(void* user, void* to, size_t count);
  void* user;
  void* buffer;
  uint64_t reserved[4];
} tzf_reader;

/* tzf_decode_parts, with the literals past parts->data[TZF_PART_LITERALS]
 * (which may hold none) from `reader` (NULL: none). TZF_ERROR_READ when the
 * reader fails. */
TZF_API int tzf_decode_reading(const tzf_info* info, const tzf_parts* parts,
                               const tzf_reader* reader, int format, void* out, ptrdiff_t stride,
                               const struct tzf_progress* progress, tzf_result* result);

/* tzf_decode_parts on the first `size` kept bytes. */
TZF_API int tzf_decode_kept(const tzf_info* info, const void* kept, size_t size, int format,
                            void* out, ptrdiff_t stride, const struct tzf_progress* progress,
                            tzf_result* result);

/* Fills `result` as tzf_decode_parts would, without decoding: walks the
 * flag and command bytes only. The literal part's bytes are not read: only
 * its size counts, and its data may be NULL. */
TZF_API int tzf_scan_parts(const tzf_info* info, const tzf_parts* parts, tzf_result* result);

/* The width and height as the header stores them, 0 and negative values
 * included (tzf_read_info reads those as 0): for callers that report a
 * broken header's numbers. TZF_ERROR_NOT_TZF when tzf_is_tzf would say 0. */
TZF_API int tzf_stored_size(const void* head, size_t size, int32_t* width, int32_t* height);

/* ---- Since 1.2: encoding ---- */

/* One more layout, read by the encoder only:
 *   TZF_FORMAT_INDEX  (1) an index into the image's colour table
 * The encoder reads TZF_FORMAT_NATIVE as blue, green, red (3 bytes). */
enum { TZF_FORMAT_INDEX = 4 };

/* Pixels the caller owns, to encode. */
typedef struct tzf_image {
  uint32_t width, height;
  int format;         /* TZF_FORMAT_RGB, _RGBA, _NATIVE or _INDEX */
  const void* pixels; /* the top row's first pixel */
  ptrdiff_t stride;   /* bytes from one row's start to the next row down's;
                         negative when the rows lie bottom-up in memory */
  const uint8_t (*palette)[3]; /* TZF_FORMAT_INDEX: red, green, blue of each index */
  uint32_t palette_size;       /* TZF_FORMAT_INDEX: 1 to 256 colours */
  uint32_t reserved[9];
} tzf_image;

/* How hard the encoder looks for runs. */
enum {
  TZF_EFFORT_SMALLEST = 0, /* the smallest file the format can hold (default) */
  TZF_EFFORT_FAST = 1      /* the longest run at each pixel: several times faster */
};

/* Dithering when true colour becomes 8 bits. */
enum {
  TZF_DITHER_DEFAULT = 0,        /* error diffusion */
  TZF_DITHER_NONE = 1,           /* each pixel takes the nearest colour */
  TZF_DITHER_ERROR_DIFFUSION = 2 /* serpentine error diffusion */
};

/* Bits per pixel of the file: TZF_DEPTH_AUTO gives 8 for TZF_FORMAT_INDEX
 * and 24 otherwise. */
enum { TZF_DEPTH_AUTO = 0, TZF_DEPTH_8 = 8, TZF_DEPTH_24 = 24 };

/* A background colour 0xRRGGBB as tzf_encode_options takes it. */
#define TZF_BACKGROUND(rgb) (0x1000000u | ((uint32_t)(rgb)&0xFFFFFFu))

/* How to encode; a zeroed record gives the defaults. */
typedef struct tzf_encode_options {
  int effort;          /* TZF_EFFORT_* */
  int bits_per_pixel;  /* TZF_DEPTH_* */
  int dither;          /* TZF_DITHER_* */
  /* TZF_FORMAT_RGBA pixels are composited over this colour,
   * TZF_BACKGROUND(0xRRGGBB); 0 means white. */
  uint32_t background;
  /* 8 bits from true colour: when palette_size is 0, pictures of at most
   * 256 colours keep exactly their colours and others get a palette chosen
   * for them; otherwise every pixel maps to this fixed colour table. */
  const uint8_t (*palette)[3];
  uint32_t palette_size; /* 0, or 1 to 256 */
  /* Called as the work goes (rows_done out of height); a nonzero answer
   * stops it with TZF_ERROR_CANCELLED. May be NULL. */
  const struct tzf_progress* progress;
  uint64_t reserved[8];
} tzf_encode_options;

/* What an encoding did. */
typedef struct tzf_encode_result {
  size_t size;             /* bytes of the file written */
  uint32_t bits_per_pixel; /* 8 or 24 */
  uint32_t colours;        /* 8 bits: entries of the colour table in use */
  uint32_t composited;     /* 1 when some pixel was not opaque */
  uint32_t quantised;      /* 1 when 8 bits needed a palette chosen or given */
  uint64_t literal_pixels, runs, run_pixels;
  uint64_t reserved[6];
} tzf_encode_result;

/* The largest file tzf_encode can write for `image` with `options` (NULL:
 * the defaults), and the work buffer it needs. Either output may be NULL.
 * TZF_ERROR_BAD_SIZE for a width or height of 0, TZF_ERROR_TOO_LARGE past
 * what the format holds (2^20 pixels a side, 2^28 in all) or what size_t
 * holds, TZF_ERROR_BAD_ARGUMENT for a record that cannot be encoded. */
TZF_API int tzf_encode_size(const tzf_image* image, const tzf_encode_options* options,
                            size_t* max_file_bytes, size_t* work_bytes);

/* Encodes `image` into `out` (out_size bytes, at most the size above is
 * used), with the work buffer `work` of the size above. Nothing else is
 * allocated. Every file decodes to exactly the pixels given: for 8 bits,
 * to the colour table entries chosen. `result` may be NULL. */
TZF_API int tzf_encode(const tzf_image* image, const tzf_encode_options* options, void* work,
                       size_t work_size, void* out, size_t out_size, tzf_encode_result* result);

/* The library's version as TZF_VERSION_NUMBER gives the header's. */
TZF_API uint32_t tzf_version_number(void);

/* A short English sentence for a status value (never NULL). */
TZF_API const char* tzf_status_text(int status);

/* The library's version, "MAJOR.MINOR.PATCH". */
TZF_API const char* tzf_version(void);

#ifdef __cplusplus
}
#endif

#endif
