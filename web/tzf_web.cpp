// What the page calls in the module beside tzf_status_text: one loading of a
// file through libtzf's kept-bytes calls, and one writing of RGBA pixels as a
// TZF file, with the records libtzf fills in held here, so the page reads
// them through the functions below and never through offsets of its own. The
// page's numbers that come from tzf.h are read from the table of constants
// at the end.
//
// No export takes or gives a 64-bit integer: offsets and byte counts cross as
// doubles, exact below 2^53, which no file a browser reads comes near.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "tzf/tzf.h"

namespace {

// One loading: the header's record, its usable extent and what decoding
// found. Made by tzf_web_job_new, zeroed.
struct Job {
  tzf_info info;
  tzf_extent extent;
  tzf_result result;
  size_t stride;
  size_t output_bytes;
};

// One writing: the pixels and options as libtzf takes them, the sizes it
// asked for and what it did. Made by tzf_web_writer_new, zeroed.
struct Writer {
  tzf_image image;
  tzf_encode_options options;
  tzf_progress progress;
  tzf_encode_result result;
  size_t max_file_bytes;
  size_t work_bytes;
};

constexpr int kFormat = TZF_FORMAT_RGBA;

struct Constant {
  const char* name;
  double value;
};

// The numbers of tzf.h the page uses, by name.
constexpr Constant kConstants[] = {
    {"OK", TZF_OK},
    {"ERROR_NOT_TZF", TZF_ERROR_NOT_TZF},
    {"ERROR_BAD_SIZE", TZF_ERROR_BAD_SIZE},
    {"ERROR_TOO_LARGE", TZF_ERROR_TOO_LARGE},
    {"ERROR_BAD_ARGUMENT", TZF_ERROR_BAD_ARGUMENT},
    {"ERROR_CANCELLED", TZF_ERROR_CANCELLED},
    {"ERROR_LIMIT", TZF_ERROR_LIMIT},
    {"ERROR_BUFFER_SIZE", TZF_ERROR_BUFFER_SIZE},
    {"EFFORT_SMALLEST", TZF_EFFORT_SMALLEST},
    {"EFFORT_FAST", TZF_EFFORT_FAST},
    {"DEPTH_8", TZF_DEPTH_8},
    {"DEPTH_24", TZF_DEPTH_24},
    {"INFO_SIZE", TZF_INFO_SIZE},
    {"VERSION_NUMBER", TZF_VERSION_NUMBER},
};
constexpr size_t kConstantCount = sizeof kConstants / sizeof kConstants[0];

uint64_t whole(double value) { return value > 0 ? static_cast<uint64_t>(value) : 0; }

}  // namespace

extern "C" {

// Supplied by the page when it instantiates the module: called before each
// row and once after the last; a nonzero answer cancels the decoding or the
// writing.
__attribute__((import_module("env"), import_name("tzf_web_progress"))) int tzf_web_progress(
    uint32_t rows_done, uint32_t height);

static int forward_progress(void* user, uint32_t rows_done, uint32_t height) {
  (void)user;
  return tzf_web_progress(rows_done, height);
}

__attribute__((export_name("tzf_web_job_new"))) Job* tzf_web_job_new(void) {
  return static_cast<Job*>(calloc(1, sizeof(Job)));
}

__attribute__((export_name("tzf_web_job_free"))) void tzf_web_job_free(Job* job) { free(job); }

// Reads the header from the file's first bytes (TZF_INFO_SIZE of them, fewer
// when the file is shorter), checks the picture against the page's pixel
// limit before anything is allocated and works out the usable extent and the
// RGBA buffer's size. TZF_ERROR_BAD_SIZE and TZF_ERROR_LIMIT leave the width
// and height readable.
__attribute__((export_name("tzf_web_open"))) int tzf_web_open(Job* job, const void* head,
                                                              size_t size, double max_pixels) {
  int status = tzf_read_info(head, size, &job->info);
  tzf_limits limits{};
  limits.max_pixels = whole(max_pixels);
  if (status == TZF_OK) status = tzf_check_limits(&job->info, kFormat, &limits);
  if (status == TZF_OK)
    status = tzf_output_size(&job->info, kFormat, &job->stride, &job->output_bytes);
  if (status == TZF_OK) status = tzf_usable_extent(&job->info, &job->extent);
  return status;
}

__attribute__((export_name("tzf_web_width"))) uint32_t tzf_web_width(const Job* job) {
  return job->info.width;
}

__attribute__((export_name("tzf_web_height"))) uint32_t tzf_web_height(const Job* job) {
  return job->info.height;
}

__attribute__((export_name("tzf_web_bits_per_pixel"))) uint32_t tzf_web_bits_per_pixel(
    const Job* job) {
  return job->info.bits_per_pixel;
}

// Bytes of the RGBA picture, rows of width x 4 bytes, top row first.
__attribute__((export_name("tzf_web_output_bytes"))) size_t tzf_web_output_bytes(const Job* job) {
  return job->output_bytes;
}

// The kept bytes a file of `file_size` bytes holds: what to allocate, never
// more than the file's size.
__attribute__((export_name("tzf_web_kept_bytes"))) double tzf_web_kept_bytes(const Job* job,
                                                                             double file_size) {
  const uint64_t held = tzf_keep(&job->extent, whole(file_size), nullptr, 0, nullptr);
  return static_cast<double>(held < job->extent.kept_bytes ? held : job->extent.kept_bytes);
}

// Just past the last byte of the file decoding can read: reading stops there.
__attribute__((export_name("tzf_web_end"))) double tzf_web_end(const Job* job) {
  return static_cast<double>(job->extent.end);
}

// tzf_keep for a piece of the file read into the module at `chunk`.
__attribute__((export_name("tzf_web_keep"))) double tzf_web_keep(const Job* job, double at,
                                                                 const void* chunk, size_t size,
                                                                 void* kept) {
  return static_cast<double>(tzf_keep(&job->extent, whole(at), chunk, size, kept));
}

// Decodes the first `held` kept bytes into `out` (tzf_web_output_bytes long)
// as RGBA, reporting each row to the page.
__attribute__((export_name("tzf_web_decode"))) int tzf_web_decode(Job* job, const void* kept,
                                                                  size_t held, void* out) {
  const tzf_progress progress = {forward_progress, nullptr};
  return tzf_decode_kept(&job->info, kept, held, kFormat, out, static_cast<ptrdiff_t>(job->stride),
                         &progress, &job->result);
}

// Rows, counted from the picture's bottom row, whose bytes were all in the file.
__attribute__((export_name("tzf_web_rows_held"))) uint32_t tzf_web_rows_held(const Job* job) {
  return job->result.rows_held;
}

// 1 when decoding read bytes the file did not have (they read as zero).
__attribute__((export_name("tzf_web_truncated"))) uint32_t tzf_web_truncated(const Job* job) {
  return job->result.truncated;
}

__attribute__((export_name("tzf_web_writer_new"))) Writer* tzf_web_writer_new(void) {
  return static_cast<Writer*>(calloc(1, sizeof(Writer)));
}

__attribute__((export_name("tzf_web_writer_free"))) void tzf_web_writer_free(Writer* writer) {
  free(writer);
}

// Sets up the writing of `width` x `height` RGBA pixels, rows of width x 4
// bytes top row first, at `pixels` (composited over white where not opaque),
// with `effort` and `depth` from the table of constants, and asks libtzf for
// the sizes of the output and work buffers. The pixels are read only by
// tzf_web_encode.
__attribute__((export_name("tzf_web_writer_size"))) int tzf_web_writer_size(
    Writer* writer, uint32_t width, uint32_t height, const void* pixels, int effort, int depth) {
  const uint64_t stride = static_cast<uint64_t>(width) * 4;
  if (stride > static_cast<uint64_t>(PTRDIFF_MAX)) return TZF_ERROR_TOO_LARGE;
  writer->image.width = width;
  writer->image.height = height;
  writer->image.format = kFormat;
  writer->image.pixels = pixels;
  writer->image.stride = static_cast<ptrdiff_t>(stride);
  writer->options.effort = effort;
  writer->options.bits_per_pixel = depth;
  writer->progress = {forward_progress, nullptr};
  writer->options.progress = &writer->progress;
  return tzf_encode_size(&writer->image, &writer->options, &writer->max_file_bytes,
                         &writer->work_bytes);
}

// The output buffer to allocate: the largest file the writing can make.
__attribute__((export_name("tzf_web_writer_max_file_bytes"))) size_t tzf_web_writer_max_file_bytes(
    const Writer* writer) {
  return writer->max_file_bytes;
}

// The work buffer to allocate.
__attribute__((export_name("tzf_web_writer_work_bytes"))) size_t tzf_web_writer_work_bytes(
    const Writer* writer) {
  return writer->work_bytes;
}

// Writes the file into `out` (tzf_web_writer_max_file_bytes long), reporting
// each row to the page.
__attribute__((export_name("tzf_web_encode"))) int tzf_web_encode(Writer* writer, void* work,
                                                                  void* out) {
  return tzf_encode(&writer->image, &writer->options, work, writer->work_bytes, out,
                    writer->max_file_bytes, &writer->result);
}

// Bytes of the file written.
__attribute__((export_name("tzf_web_written_bytes"))) size_t tzf_web_written_bytes(
    const Writer* writer) {
  return writer->result.size;
}

// What the writing did, for the page to tell.
__attribute__((export_name("tzf_web_written_bits_per_pixel"))) uint32_t
tzf_web_written_bits_per_pixel(const Writer* writer) {
  return writer->result.bits_per_pixel;
}

__attribute__((export_name("tzf_web_written_colours"))) uint32_t tzf_web_written_colours(
    const Writer* writer) {
  return writer->result.colours;
}

__attribute__((export_name("tzf_web_written_composited"))) uint32_t tzf_web_written_composited(
    const Writer* writer) {
  return writer->result.composited;
}

__attribute__((export_name("tzf_web_written_quantised"))) uint32_t tzf_web_written_quantised(
    const Writer* writer) {
  return writer->result.quantised;
}

__attribute__((export_name("tzf_web_constant_count"))) size_t tzf_web_constant_count(void) {
  return kConstantCount;
}

__attribute__((export_name("tzf_web_constant_name"))) const char* tzf_web_constant_name(size_t i) {
  return i < kConstantCount ? kConstants[i].name : "";
}

__attribute__((export_name("tzf_web_constant_value"))) double tzf_web_constant_value(size_t i) {
  return i < kConstantCount ? kConstants[i].value : 0;
}
}
