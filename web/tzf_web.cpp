// The few functions the page needs beside the codec's own: a decode into
// RGBA whose per-row progress goes to a function the page's JavaScript
// supplies, and the size of tzf_info so the page can reserve one.
#include <stddef.h>
#include <stdint.h>

#include "tzf/tzf.h"

// The page reads tzf_info at these offsets (web/tzf-core.js, kInfo).
static_assert(offsetof(tzf_info, width) == 0);
static_assert(offsetof(tzf_info, height) == 4);
static_assert(offsetof(tzf_info, bits_per_pixel) == 8);
static_assert(offsetof(tzf_info, truncated) == 808);
static_assert(sizeof(tzf_info) == 816);
static_assert(sizeof(size_t) == 4);

extern "C" {

// Supplied by the page when it instantiates the module: called before each
// row and once after the last; a nonzero answer cancels the decoding.
__attribute__((import_module("env"), import_name("tzf_web_progress"))) int tzf_web_progress(
    uint32_t rows_done, uint32_t height);

static int forward_progress(void* user, uint32_t rows_done, uint32_t height) {
  (void)user;
  return tzf_web_progress(rows_done, height);
}

__attribute__((export_name("tzf_web_decode_rgba"))) int tzf_web_decode_rgba(const void* data,
                                                                            size_t size, void* out,
                                                                            size_t stride) {
  const tzf_progress progress = {forward_progress, nullptr};
  return tzf_decode(data, size, TZF_FORMAT_RGBA, out, static_cast<ptrdiff_t>(stride), &progress);
}

__attribute__((export_name("tzf_web_info_size"))) size_t tzf_web_info_size(void) {
  return sizeof(tzf_info);
}
}
