// Drives the gdk-pixbuf loader (its source compiled in) as GdkPixbufLoader
// does: begin_load, load_increment in pieces, stop_load, with the module's
// functions taken from its fill_vtable. The whole input is the picture; its
// last byte also chooses how it is cut into pieces, whether the caller asks
// for the size only, whether errors are collected and whether the FILE* path
// runs too. Checks: success exactly when the header is one the codec reads
// within its default limits, an error with every failure, one prepared call
// and updates in bands that go up from the bottom row to the top, each
// band's rows when announced those of the finished picture, the pixels
// those of the codec on the whole input, the FILE* path giving the same
// pixels; ASan and LSan watch memory.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fuzz/fuzz_check.h"
#include "tzf/tzf.h"

extern "C" void fill_vtable(GdkPixbufModule* module);

namespace {

// The largest picture this target lets the loader allocate (larger ones are
// asked for their size only, as a thumbnailer asks): keeps the inputs per
// second up and the memory under the fuzzer's cap.
constexpr uint64_t kDecodeMaxPixels = uint64_t{1} << 20;
constexpr size_t kPieceSizes[8] = {1, 3, 7, 63, 64, 65, 1087, 4096};

struct Caller {
  bool size_only;  // answers the size callback with 0 x 0
  int size_calls, prepared_calls, updated_calls;
  int width, height;               // as told to the size callback
  GdkPixbuf* pixbuf;               // referenced in the prepared callback
  int shown_from;                  // the top row of the bands announced so far
  std::vector<uint8_t> announced;  // each band's rows as they were announced
};

void on_size(gint* width, gint* height, gpointer user) {
  Caller* caller = static_cast<Caller*>(user);
  ++caller->size_calls;
  caller->width = *width;
  caller->height = *height;
  if (caller->size_only || uint64_t(*width) * uint64_t(*height) > kDecodeMaxPixels)
    *width = *height = 0;
}

void on_prepared(GdkPixbuf* pixbuf, GdkPixbufAnimation* animation, gpointer user) {
  Caller* caller = static_cast<Caller*>(user);
  FUZZ_CHECK(animation == nullptr, "prepared with an animation");
  FUZZ_CHECK(caller->prepared_calls == 0, "prepared twice");
  ++caller->prepared_calls;
  caller->pixbuf = static_cast<GdkPixbuf*>(g_object_ref(pixbuf));
  caller->shown_from = gdk_pixbuf_get_height(pixbuf);
  caller->announced.assign(size_t(gdk_pixbuf_get_width(pixbuf)) * 3 * caller->shown_from, 0);
}

void on_updated(GdkPixbuf* pixbuf, int x, int y, int width, int height, gpointer user) {
  Caller* caller = static_cast<Caller*>(user);
  FUZZ_CHECK(pixbuf == caller->pixbuf, "updated another pixbuf");
  FUZZ_CHECK(x == 0 && width == gdk_pixbuf_get_width(pixbuf) && height > 0 && y >= 0 &&
                 y + height == caller->shown_from,
             "update of %d,%d %dx%d is not the band above row %d", x, y, width, height,
             caller->shown_from);
  caller->shown_from = y;
  const size_t row = size_t(width) * 3;
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
  for (int i = y; i < y + height; ++i)
    memcpy(caller->announced.data() + size_t(i) * row, pixels + size_t(i) * stride, row);
  ++caller->updated_calls;
}

void check_error(GError* error, bool collected, const char* where) {
  if (!collected) return;
  FUZZ_CHECK(error != nullptr, "%s failed without an error", where);
  FUZZ_CHECK(
      error->domain == GDK_PIXBUF_ERROR && error->message != nullptr && error->message[0] != 0,
      "%s: error without domain or message", where);
}

// The rows of a pixbuf, packed.
std::vector<uint8_t> packed_rows(GdkPixbuf* pixbuf) {
  int width = gdk_pixbuf_get_width(pixbuf), height = gdk_pixbuf_get_height(pixbuf);
  int stride = gdk_pixbuf_get_rowstride(pixbuf);
  const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
  std::vector<uint8_t> out;
  out.reserve(size_t(width) * 3 * height);
  for (int y = 0; y < height; ++y)
    out.insert(out.end(), pixels + size_t(y) * stride, pixels + size_t(y) * stride + width * 3);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFF) return 0;
  GdkPixbufModule module;
  memset(&module, 0, sizeof module);
  fill_vtable(&module);

  const uint8_t control = size > 0 ? data[size - 1] : 0;
  const size_t piece = kPieceSizes[control & 7];
  const bool growing_pieces = control & 8;
  const bool collect_errors = !(control & 16);
  const bool file_path = control & 32;
  Caller caller{};
  caller.size_only = control & 64;

  // What the loader must decide, from the codec's reading of the header.
  tzf_info info;
  const int status = tzf_read_info(data, size, &info);
  const uint64_t pixels = uint64_t{info.width} * info.height;
  const bool accepted =
      status == TZF_OK && tzf_check_limits(&info, TZF_FORMAT_RGB, nullptr) == TZF_OK;
  const bool decoded = accepted && !caller.size_only && pixels <= kDecodeMaxPixels;

  GError* error = nullptr;
  GError** errors = collect_errors ? &error : nullptr;
  gpointer context = module.begin_load(on_size, on_prepared, on_updated, &caller, errors);
  FUZZ_CHECK(context != nullptr, "begin_load failed");
  bool ok = true;
  size_t step = piece;
  for (size_t at = 0; at < size && ok; at += step, step += growing_pieces ? step / 2 + 1 : 0) {
    size_t length = size - at < step ? size - at : step;
    ok = module.load_increment(context, data + at, static_cast<guint>(length), errors);
    if (!ok) check_error(error, collect_errors, "load_increment");
  }
  if (ok) {
    ok = module.stop_load(context, errors);
    if (!ok) check_error(error, collect_errors, "stop_load");
  } else {
    // GdkPixbufLoader ends a failed load with stop_load, which frees it.
    g_clear_error(&error);
    FUZZ_CHECK(!module.stop_load(context, errors), "stop_load after a failure succeeded");
  }
  FUZZ_CHECK(ok == accepted, "loader %s a picture the header %s (status %d, %ux%u)",
             ok ? "accepted" : "refused", accepted ? "allows" : "forbids", status, info.width,
             info.height);
  FUZZ_CHECK(!ok || error == nullptr, "success with an error set");
  g_clear_error(&error);
  if (accepted)
    FUZZ_CHECK(caller.size_calls == 1 && caller.width == int(info.width) &&
                   caller.height == int(info.height),
               "size told %d times, %dx%d", caller.size_calls, caller.width, caller.height);
  FUZZ_CHECK(caller.prepared_calls == (decoded ? 1 : 0) && (caller.updated_calls > 0) == decoded &&
                 caller.shown_from == 0,
             "prepared %d, updated %d times, rows from %d not announced", caller.prepared_calls,
             caller.updated_calls, caller.shown_from);

  if (decoded) {
    std::vector<uint8_t> loaded = packed_rows(caller.pixbuf);
    FUZZ_CHECK(gdk_pixbuf_get_width(caller.pixbuf) == int(info.width) &&
                   gdk_pixbuf_get_height(caller.pixbuf) == int(info.height) &&
                   gdk_pixbuf_get_n_channels(caller.pixbuf) == 3,
               "pixbuf of the wrong shape");
    std::vector<uint8_t> expected(loaded.size());
    FUZZ_CHECK(tzf_decode(data, size, TZF_FORMAT_RGB, expected.data(),
                          static_cast<ptrdiff_t>(info.width) * 3, nullptr) == TZF_OK,
               "the codec failed where the loader did not");
    FUZZ_CHECK(expected == loaded, "pixels differ from the codec's");
    FUZZ_CHECK(caller.announced == loaded, "a band announced rows the picture does not end with");
    if (file_path) {
      FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
      FUZZ_CHECK(file != nullptr, "fmemopen failed");
      GdkPixbuf* whole = module.load(file, errors);
      fclose(file);
      FUZZ_CHECK(whole != nullptr, "load(FILE*) failed where the pieces did not");
      FUZZ_CHECK(packed_rows(whole) == loaded, "load(FILE*) gave other pixels");
      g_object_unref(whole);
    }
  } else if (file_path && size > 0 && (!accepted || pixels <= kDecodeMaxPixels)) {
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    FUZZ_CHECK(file != nullptr, "fmemopen failed");
    GdkPixbuf* whole = module.load(file, errors);
    fclose(file);
    FUZZ_CHECK((whole != nullptr) == accepted, "load(FILE*) decided otherwise");
    if (whole == nullptr) check_error(error, collect_errors, "load(FILE*)");
    g_clear_error(&error);
    if (whole != nullptr) g_object_unref(whole);
  }
  if (caller.pixbuf != nullptr) g_object_unref(caller.pixbuf);
  return 0;
}
