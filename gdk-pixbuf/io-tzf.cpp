// gdk-pixbuf loader for TZF pictures: libpixbufloader-tzf.so.
//
// A thin client of libtzf. The first TZF_INFO_SIZE bytes are held until the
// header can be read; then the library's limits are checked, the pixbuf is
// made (black) and announced, and from there on only the bytes of the
// picture's usable extent are kept, in one block of the extent's size.
// Everything past the extent is dropped.
//
// Loaded piece by piece with an update callback, the loader shows the bottom
// rows (the data stores rows bottom first) while the data arrives: now and
// then it decodes the bottom band of rows from the bytes kept so far, each
// band twice as tall as the one before. Each band is decoded again from the
// picture's first byte, so the bands together are held to a 16th of the
// picture's rows: the whole load costs little more than one decoding. The
// whole picture is decoded once, when the extent is complete or the data
// ends. A picture whose data ends early shows what was there, the rest
// decoded from zero bytes, and loads without an error.
//
// Saving hands the pixbuf's rows to tzf_encode as they lie: RGB pixbufs
// become 24-bit files, RGBA ones are composited over white by the library.
// The options "effort" (fast, smallest), "depth" (8, 24) and "dither" (yes,
// no) choose how; the file is made whole in one block and then written.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cstdint>

#include "tzf/tzf.h"

namespace {

// Bytes read from a FILE* at a time.
constexpr size_t kReadChunk = size_t{1} << 16;
// The bands shown while the data arrives: the first is a 256th of the
// picture's rows (one row at least), and all of them together, counting the
// attempts that found fewer rows than they asked for, at most a 16th. With
// keeping the bytes, that holds a load fed in 64 KiB pieces to about 1.2
// times one decoding of the picture.
constexpr uint32_t kFirstBandShare = 256;
constexpr uint32_t kBandBudgetShare = 16;
// A band is tried again once the kept bytes grew by a quarter or by this.
constexpr uint64_t kBandDataStep = uint64_t{1} << 20;
// The signature's four bytes (the last is zero), as fill_info declares them:
// data that starts with them and is still refused is a TZF picture of a kind
// not read here.
constexpr char kMagic[] = "TZF";

struct LoadContext {
  GdkPixbufModuleSizeFunc size_func;
  GdkPixbufModulePreparedFunc prepared_func;
  GdkPixbufModuleUpdatedFunc updated_func;
  gpointer user_data;

  guchar head[TZF_INFO_SIZE];  // the first bytes, until the header is read
  size_t head_size;
  bool started;    // the header is read: `info`, `extent`, `kept`, `pixbuf` are set
  bool size_only;  // the caller wanted the size only: nothing is kept
  bool failed;
  bool complete;  // the whole picture is decoded into `pixbuf`
  tzf_info info;
  tzf_extent extent;
  uint64_t at;    // the data's offset of the next byte to arrive
  guchar* kept;   // extent.kept_bytes
  uint64_t held;  // kept bytes held so far, from the first
  GdkPixbuf* pixbuf;
  uint32_t rows_shown;    // bottom rows decoded and announced
  uint64_t band_rows;     // rows decoded for bands so far
  uint64_t held_at_band;  // `held` at the last band tried
};

bool fail(LoadContext* context, GError** error, GdkPixbufError code, const char* message) {
  if (context != nullptr) context->failed = true;
  g_set_error_literal(error, GDK_PIXBUF_ERROR, code, message);
  return false;
}

// Reads the header from the bytes held, checks it against the library's
// limits, tells the caller the size and makes the pixbuf and the block for
// the kept bytes.
bool start(LoadContext* context, GError** error) {
  tzf_info& info = context->info;
  int status = tzf_read_info(context->head, context->head_size, &info);
  if (status == TZF_OK) status = tzf_check_limits(&info, TZF_FORMAT_RGB, nullptr);
  if (status == TZF_ERROR_NOT_TZF) {
    if (context->head_size >= sizeof kMagic && memcmp(context->head, kMagic, sizeof kMagic) == 0)
      return fail(context, error, GDK_PIXBUF_ERROR_UNKNOWN_TYPE,
                  "TZF picture of a version or colour depth this loader does not read");
    return fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "Not a TZF picture");
  }
  if (status == TZF_ERROR_BAD_SIZE)
    return fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                "TZF picture with a width or height of 0 or less");
  if (status == TZF_ERROR_LIMIT || status == TZF_ERROR_TOO_LARGE) {
    g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                "TZF picture of %u x %u pixels is larger than the limit of %u megapixels",
                info.width, info.height, TZF_DEFAULT_MAX_PIXELS >> 20);
    context->failed = true;
    return false;
  }
  if (status != TZF_OK)
    return fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, tzf_status_text(status));
  context->started = true;
  const int width = static_cast<int>(info.width);
  const int height = static_cast<int>(info.height);
  if (context->size_func != nullptr) {
    int wanted_width = width;
    int wanted_height = height;
    context->size_func(&wanted_width, &wanted_height, context->user_data);
    context->size_only = wanted_width <= 0 || wanted_height <= 0;
    if (context->size_only) return true;
  }
  status = tzf_usable_extent(&info, &context->extent);
  if (status != TZF_OK)
    return fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, tzf_status_text(status));
  // Both blocks within the limits just checked; zeroed memory from the
  // system costs nothing until it is written.
  const int stride = gdk_pixbuf_calculate_rowstride(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  guchar* pixels = stride > 0 ? static_cast<guchar*>(g_try_malloc0_n(height, stride)) : nullptr;
  if (pixels != nullptr)
    context->pixbuf = gdk_pixbuf_new_from_data(
        pixels, GDK_COLORSPACE_RGB, FALSE, 8, width, height, stride,
        [](guchar* data, gpointer) { g_free(data); }, nullptr);
  if (context->pixbuf == nullptr) g_free(pixels);
  context->kept = static_cast<guchar*>(g_try_malloc(context->extent.kept_bytes));
  if (context->pixbuf == nullptr || context->kept == nullptr)
    return fail(context, error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                "Not enough memory to load the TZF picture");
  context->held = tzf_keep(&context->extent, 0, context->head, context->head_size, context->kept);
  context->at = context->head_size;
  if (context->prepared_func != nullptr)
    context->prepared_func(context->pixbuf, nullptr, context->user_data);
  return true;
}

// Announces the rows from the picture's row `top` to the bottom that were
// not announced yet.
void show_rows_from(LoadContext* context, uint32_t top) {
  const uint32_t height = context->info.height;
  const uint32_t first = height - context->rows_shown;
  if (top >= first) return;
  context->rows_shown = height - top;
  if (context->updated_func != nullptr)
    context->updated_func(context->pixbuf, 0, static_cast<int>(top),
                          static_cast<int>(context->info.width), static_cast<int>(first - top),
                          context->user_data);
}

// Decodes the whole picture from the bytes kept so far, once.
bool finish(LoadContext* context, GError** error) {
  if (context->complete) return true;
  GdkPixbuf* pixbuf = context->pixbuf;
  const int status = tzf_decode_kept(
      &context->info, context->kept, static_cast<size_t>(context->held), TZF_FORMAT_RGB,
      gdk_pixbuf_get_pixels(pixbuf), gdk_pixbuf_get_rowstride(pixbuf), nullptr, nullptr);
  if (status != TZF_OK)
    return fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, tzf_status_text(status));
  context->complete = true;
  show_rows_from(context, 0);
  return true;
}

// Shows a taller band of the bottom rows when enough data arrived since the
// last try and the bands' budget allows it. A band of n rows is the picture
// n rows tall: the data stores rows bottom first, so the bottom rows decode
// from the first bytes of each part alone.
void show_band(LoadContext* context) {
  const uint32_t height = context->info.height;
  const uint64_t grown = context->held - context->held_at_band;
  if (grown < std::min(context->held_at_band / 4, kBandDataStep) || grown == 0) return;
  // No row is whole before the first literal byte but in pictures of runs only.
  if (context->held <= context->extent.part[TZF_PART_LITERALS].kept_at) return;
  const uint32_t rows = std::max({uint32_t{1}, height / kFirstBandShare, 2 * context->rows_shown});
  if (rows >= height || context->band_rows + rows > height / kBandBudgetShare) return;
  context->held_at_band = context->held;
  context->band_rows += rows;
  tzf_info band = context->info;
  band.height = rows;
  tzf_parts parts;
  tzf_result result;
  GdkPixbuf* pixbuf = context->pixbuf;
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  guchar* top = gdk_pixbuf_get_pixels(pixbuf) + static_cast<size_t>(height - rows) * stride;
  if (tzf_parts_of_kept(&context->info, context->kept, static_cast<size_t>(context->held),
                        &parts) != TZF_OK ||
      tzf_decode_parts(&band, &parts, TZF_FORMAT_RGB, top, stride, nullptr, &result) != TZF_OK)
    return;
  show_rows_from(context, height - result.rows_held);
}

gpointer begin_load(GdkPixbufModuleSizeFunc size_func, GdkPixbufModulePreparedFunc prepared_func,
                    GdkPixbufModuleUpdatedFunc updated_func, gpointer user_data, GError** error) {
  LoadContext* context = g_try_new0(LoadContext, 1);
  if (context == nullptr) {
    fail(nullptr, error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
         "Not enough memory to start loading a TZF picture");
    return nullptr;
  }
  context->size_func = size_func;
  context->prepared_func = prepared_func;
  context->updated_func = updated_func;
  context->user_data = user_data;
  return context;
}

gboolean load_increment(gpointer opaque, const guchar* buffer, guint length, GError** error) {
  LoadContext* context = static_cast<LoadContext*>(opaque);
  if (context->failed)
    return fail(context, error, GDK_PIXBUF_ERROR_FAILED, "The TZF picture already failed");
  if (!context->started) {
    const size_t take = std::min<size_t>(sizeof context->head - context->head_size, length);
    memcpy(context->head + context->head_size, buffer, take);
    context->head_size += take;
    buffer += take;
    length -= static_cast<guint>(take);
    if (context->head_size < sizeof context->head) return TRUE;
    if (!start(context, error)) return FALSE;
  }
  if (context->size_only || context->complete) return TRUE;
  context->held = tzf_keep(&context->extent, context->at, buffer, length, context->kept);
  context->at += length;
  if (context->held == context->extent.kept_bytes) return finish(context, error);
  if (context->updated_func != nullptr) show_band(context);
  return TRUE;
}

void free_context(LoadContext* context) {
  if (context == nullptr) return;
  if (context->pixbuf != nullptr) g_object_unref(context->pixbuf);
  g_free(context->kept);
  g_free(context);
}

// Ends the load: reads the header of data shorter than TZF_INFO_SIZE and
// decodes what arrived.
bool end_load(LoadContext* context, GError** error) {
  if (context->failed)
    return fail(context, error, GDK_PIXBUF_ERROR_FAILED, "The TZF picture failed to load");
  if (!context->started && !start(context, error)) return false;
  return context->size_only || finish(context, error);
}

gboolean stop_load(gpointer opaque, GError** error) {
  LoadContext* context = static_cast<LoadContext*>(opaque);
  const bool ok = end_load(context, error);
  free_context(context);
  return ok;
}

// Reads the whole file through the incremental functions, without bands.
GdkPixbuf* load(FILE* file, GError** error) {
  LoadContext* context = nullptr;
  guchar* chunk = nullptr;
  GdkPixbuf* result = nullptr;
  context = static_cast<LoadContext*>(begin_load(nullptr, nullptr, nullptr, nullptr, error));
  chunk = static_cast<guchar*>(g_try_malloc(kReadChunk));
  bool ok = context != nullptr;
  if (ok && chunk == nullptr)
    ok = fail(context, error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "Not enough memory");
  while (ok) {
    const size_t length = fread(chunk, 1, kReadChunk, file);
    if (length == 0) break;
    ok = load_increment(context, chunk, static_cast<guint>(length), error);
  }
  if (ok && ferror(file))
    ok = fail(context, error, GDK_PIXBUF_ERROR_FAILED, "Could not read the TZF file");
  if (ok && end_load(context, error))
    result = static_cast<GdkPixbuf*>(g_object_ref(context->pixbuf));
  free_context(context);
  g_free(chunk);
  return result;
}

// A save option's accepted value and what it sets.
struct SaveChoice {
  const char* key;
  const char* value;
  int tzf_encode_options::*field;
  int setting;
};

constexpr SaveChoice kSaveChoices[] = {
    {"effort", "smallest", &tzf_encode_options::effort, TZF_EFFORT_SMALLEST},
    {"effort", "fast", &tzf_encode_options::effort, TZF_EFFORT_FAST},
    {"depth", "24", &tzf_encode_options::bits_per_pixel, TZF_DEPTH_24},
    {"depth", "8", &tzf_encode_options::bits_per_pixel, TZF_DEPTH_8},
    {"dither", "yes", &tzf_encode_options::dither, TZF_DITHER_ERROR_DIFFUSION},
    {"dither", "no", &tzf_encode_options::dither, TZF_DITHER_NONE},
};

// The save options and the values each takes, for the messages.
struct SaveKey {
  const char* key;
  const char* values;
};

constexpr SaveKey kSaveKeys[] = {
    {"effort", "\"fast\" or \"smallest\""},
    {"depth", "\"8\" or \"24\""},
    {"dither", "\"yes\" or \"no\""},
};

gboolean is_save_option_supported(const gchar* key) {
  for (const SaveKey& known : kSaveKeys)
    if (g_strcmp0(key, known.key) == 0) return TRUE;
  return FALSE;
}

// Sets `options` from the caller's key and value pairs. A key the saver does
// not know is passed over with a warning, as gdk-pixbuf's own savers do.
bool read_save_options(char** keys, char** values, tzf_encode_options* options, GError** error) {
  for (size_t i = 0; keys != nullptr && keys[i] != nullptr; ++i) {
    const char* value = values != nullptr && values[i] != nullptr ? values[i] : "";
    const SaveKey* known = nullptr;
    for (const SaveKey& key : kSaveKeys)
      if (strcmp(keys[i], key.key) == 0) known = &key;
    if (known == nullptr) {
      g_warning("Unrecognized parameter (%s) passed to the TZF saver.", keys[i]);
      continue;
    }
    const SaveChoice* chosen = nullptr;
    for (const SaveChoice& choice : kSaveChoices)
      if (strcmp(keys[i], choice.key) == 0 && strcmp(value, choice.value) == 0) chosen = &choice;
    if (chosen == nullptr) {
      g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_BAD_OPTION,
                  "TZF option \"%s\" must be %s, not \"%s\"", known->key, known->values, value);
      return false;
    }
    options->*(chosen->field) = chosen->setting;
  }
  return true;
}

// Encodes `pixbuf` as the options ask. On success *file holds *file_size
// bytes of a TZF file, for the caller to g_free.
bool encode_pixbuf(GdkPixbuf* pixbuf, char** keys, char** values, guchar** file, size_t* file_size,
                   GError** error) {
  void* work = nullptr;
  guchar* out = nullptr;
  tzf_encode_options options{};
  tzf_image image{};
  size_t max_file_bytes = 0;
  size_t work_bytes = 0;
  tzf_encode_result result{};
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  bool ok = read_save_options(keys, values, &options, error);
  if (ok && (gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB ||
             gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 ||
             channels != (gdk_pixbuf_get_has_alpha(pixbuf) ? 4 : 3) || width <= 0 || height <= 0)) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_UNSUPPORTED_OPERATION,
                        "The TZF saver takes RGB or RGBA pixbufs of 8 bits per sample");
    ok = false;
  }
  int status = TZF_OK;
  if (ok) {
    image.width = static_cast<uint32_t>(width);
    image.height = static_cast<uint32_t>(height);
    image.format = channels == 4 ? TZF_FORMAT_RGBA : TZF_FORMAT_RGB;
    image.pixels = gdk_pixbuf_read_pixels(pixbuf);
    image.stride = gdk_pixbuf_get_rowstride(pixbuf);
    status = tzf_encode_size(&image, &options, &max_file_bytes, &work_bytes);
    if (status == TZF_ERROR_TOO_LARGE) {
      g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED,
                  "A picture of %d x %d pixels is larger than a TZF file holds", width, height);
      ok = false;
    }
  }
  if (ok && status == TZF_OK) {
    // Both sizes are bounded by the library: at most the format's largest
    // picture.
    if (work_bytes > 0) work = g_try_malloc(work_bytes);
    out = static_cast<guchar*>(g_try_malloc(max_file_bytes));
    if ((work_bytes > 0 && work == nullptr) || out == nullptr) {
      g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                          "Not enough memory to save the TZF picture");
      ok = false;
    }
  }
  if (ok && status == TZF_OK)
    status = tzf_encode(&image, &options, work, work_bytes, out, max_file_bytes, &result);
  if (ok && status != TZF_OK) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, tzf_status_text(status));
    ok = false;
  }
  if (ok) {
    *file = out;
    *file_size = result.size;
    out = nullptr;
  }
  g_free(work);
  g_free(out);
  return ok;
}

gboolean save_to_callback(GdkPixbufSaveFunc save_func, gpointer user_data, GdkPixbuf* pixbuf,
                          gchar** keys, gchar** values, GError** error) {
  guchar* file = nullptr;
  size_t size = 0;
  bool ok = encode_pixbuf(pixbuf, keys, values, &file, &size, error);
  if (ok) ok = save_func(reinterpret_cast<const gchar*>(file), size, error, user_data);
  g_free(file);
  return ok;
}

gboolean save(FILE* stream, GdkPixbuf* pixbuf, gchar** keys, gchar** values, GError** error) {
  guchar* file = nullptr;
  size_t size = 0;
  bool ok = encode_pixbuf(pixbuf, keys, values, &file, &size, error);
  if (ok && fwrite(file, 1, size, stream) != size) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED,
                        "Could not write the TZF file");
    ok = false;
  }
  g_free(file);
  return ok;
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
  module->load = load;
  module->begin_load = begin_load;
  module->stop_load = stop_load;
  module->load_increment = load_increment;
  module->save = save;
  module->save_to_callback = save_to_callback;
  module->is_save_option_supported = is_save_option_supported;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
  // gdk-pixbuf only reads these tables, though its fields are not const.
  // The fourth byte of the signature must be zero ('z').
  static const GdkPixbufModulePattern kSignature[] = {
      {const_cast<char*>("TZF "), const_cast<char*>("   z"), 100}, {nullptr, nullptr, 0}};
  static const gchar* const kMimeTypes[] = {"image/x-tzf", nullptr};
  static const gchar* const kExtensions[] = {"tzf", nullptr};
  info->name = const_cast<gchar*>("tzf");
  info->signature = const_cast<GdkPixbufModulePattern*>(kSignature);
  info->description = const_cast<gchar*>("TZF picture");
  info->mime_types = const_cast<gchar**>(kMimeTypes);
  info->extensions = const_cast<gchar**>(kExtensions);
  info->flags = GDK_PIXBUF_FORMAT_WRITABLE | GDK_PIXBUF_FORMAT_THREADSAFE;
  info->license = const_cast<gchar*>("MIT");
}

}  // extern "C"
