// gdk-pixbuf loader for TZF pictures: libpixbufloader-tzf.so.
//
// Both ways gdk-pixbuf loads a picture end in the same place: `load` reads a
// FILE* through the incremental functions, and the incremental functions
// buffer the data (bounded by what the declared picture can need) and decode
// it all at once in stop_load, straight into the pixbuf.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>

#include "tzf/tzf.h"

namespace {

// Pictures of more pixels than this are refused before anything is allocated:
// 256 megapixels, 768 MiB of RGB (16384 x 16384 is the largest square).
constexpr uint64_t kMaxPixels = uint64_t{256} << 20;
constexpr uint64_t kPaletteBytes = 1024;
// Bytes read from a FILE* at a time when its size is unknown.
constexpr size_t kReadChunk = size_t{1} << 16;

struct LoadContext {
  GdkPixbufModuleSizeFunc size_func;
  GdkPixbufModulePreparedFunc prepared_func;
  GdkPixbufModuleUpdatedFunc updated_func;
  gpointer user_data;

  guchar* data;     // the picture's bytes so far
  size_t size;      // bytes held in `data`
  size_t capacity;  // bytes allocated for `data`
  // Bytes worth keeping: the header until it is read, then everything the
  // declared picture can read. Later bytes are dropped.
  uint64_t keep;
  bool header_read;
  bool size_only;  // the caller wanted the size only: no pixels
  bool failed;
  GdkPixbuf* pixbuf;  // the decoded picture, for `load`
};

bool fail(LoadContext* context, GError** error, GdkPixbufError code, const char* message) {
  if (context != nullptr) context->failed = true;
  g_set_error_literal(error, GDK_PIXBUF_ERROR, code, message);
  return false;
}

// The most bytes a picture of `info`'s size and layout can read from its data:
// the streams that precede the literals are cut to the most a picture of
// that many pixels consumes (a flag bit and a third of a command byte per
// pixel at most), the literals to three bytes per pixel.
uint64_t bytes_needed(const tzf_info& info) {
  uint64_t pixels = uint64_t{info.width} * info.height;
  uint64_t palette = info.bits_per_pixel == 8 ? kPaletteBytes : 0;
  uint64_t literals = pixels * 3;
  uint64_t most = TZF_HEADER_SIZE + palette + (pixels + 7) / 8 + (pixels + 2) / 3 + literals;
  return std::min(most, info.literal_offset + literals);
}

// Reads and checks the header of the bytes so far, tells the caller the size
// and works out how much data to keep.
bool read_header(LoadContext* context, GError** error) {
  static const unsigned char kSignature[4] = {'T', 'Z', 'F', 0};
  tzf_info info;
  int status = tzf_read_info(context->data, context->size, &info);
  if (status == TZF_ERROR_NOT_TZF) {
    if (context->size >= 4 && memcmp(context->data, kSignature, 4) == 0)
      return fail(context, error, GDK_PIXBUF_ERROR_UNKNOWN_TYPE,
                  "TZF picture of a version or colour depth this loader does not read");
    return fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "Not a TZF picture");
  }
  if (status == TZF_ERROR_BAD_SIZE)
    return fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                "TZF picture with a width or height of 0 or less");
  if (status != TZF_OK)
    return fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, tzf_status_text(status));
  uint64_t pixels = uint64_t{info.width} * info.height;
  if (pixels > kMaxPixels) {
    g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                "TZF picture of %u x %u pixels is larger than the limit of %" G_GUINT64_FORMAT
                " pixels",
                info.width, info.height, kMaxPixels);
    context->failed = true;
    return false;
  }
  context->header_read = true;
  context->keep = bytes_needed(info);
  if (context->size_func != nullptr) {
    gint width = static_cast<gint>(info.width);
    gint height = static_cast<gint>(info.height);
    context->size_func(&width, &height, context->user_data);
    context->size_only = width <= 0 || height <= 0;
  }
  return true;
}

// Makes room for `more` bytes beyond those held, growing by doubling up to
// what is kept at most.
bool reserve(LoadContext* context, size_t more, GError** error) {
  if (context->size + more <= context->capacity) return true;
  size_t wanted = std::max(context->size + more, std::max(context->capacity * 2, kReadChunk));
  wanted = static_cast<size_t>(std::min<uint64_t>(wanted, std::max<uint64_t>(context->keep, 64)));
  guchar* grown = static_cast<guchar*>(g_try_realloc(context->data, wanted));
  if (grown == nullptr)
    return fail(context, error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                "Not enough memory to hold the TZF picture's data");
  context->data = grown;
  context->capacity = wanted;
  return true;
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
  context->keep = TZF_HEADER_SIZE;
  return context;
}

gboolean load_increment(gpointer opaque, const guchar* buffer, guint length, GError** error) {
  LoadContext* context = static_cast<LoadContext*>(opaque);
  if (context->failed)
    return fail(context, error, GDK_PIXBUF_ERROR_FAILED, "The TZF picture already failed");
  while (length > 0 && !context->size_only) {
    uint64_t room = context->keep > context->size ? context->keep - context->size : 0;
    if (room == 0) return TRUE;  // past what the picture can read
    size_t take = static_cast<size_t>(std::min<uint64_t>(room, length));
    if (!reserve(context, take, error)) return FALSE;
    memcpy(context->data + context->size, buffer, take);
    context->size += take;
    buffer += take;
    length -= static_cast<guint>(take);
    if (!context->header_read && context->size >= TZF_HEADER_SIZE && !read_header(context, error))
      return FALSE;
  }
  return TRUE;
}

// Allocates the pixbuf and decodes into it.
bool decode(LoadContext* context, GError** error) {
  if (!context->header_read) {
    if (context->size == 0)
      return fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "Empty TZF file");
    if (!read_header(context, error)) return false;
  }
  if (context->size_only) return true;
  tzf_info info;
  int status = tzf_read_info(context->data, context->size, &info);
  if (status != TZF_OK)
    return fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, tzf_status_text(status));
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, static_cast<int>(info.width),
                                     static_cast<int>(info.height));
  if (pixbuf == nullptr)
    return fail(context, error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                "Not enough memory to load the TZF picture");
  context->pixbuf = pixbuf;
  if (context->prepared_func != nullptr)
    context->prepared_func(pixbuf, nullptr, context->user_data);
  status = tzf_decode(context->data, context->size, TZF_FORMAT_RGB, gdk_pixbuf_get_pixels(pixbuf),
                      gdk_pixbuf_get_rowstride(pixbuf), nullptr);
  if (status != TZF_OK)
    return fail(context, error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, tzf_status_text(status));
  if (context->updated_func != nullptr)
    context->updated_func(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                          context->user_data);
  return true;
}

void free_context(LoadContext* context) {
  if (context == nullptr) return;
  if (context->pixbuf != nullptr) g_object_unref(context->pixbuf);
  g_free(context->data);
  g_free(context);
}

gboolean stop_load(gpointer opaque, GError** error) {
  LoadContext* context = static_cast<LoadContext*>(opaque);
  bool ok = false;
  if (context->failed)
    fail(context, error, GDK_PIXBUF_ERROR_FAILED, "The TZF picture failed to load");
  else
    ok = decode(context, error);
  free_context(context);
  return ok;
}

// Reads the whole file through the incremental functions. When the file's
// size is known, what is kept of it is read into one block of that size.
GdkPixbuf* load(FILE* file, GError** error) {
  LoadContext* context = nullptr;
  guchar* chunk = nullptr;
  GdkPixbuf* result = nullptr;
  bool ok = true;
  context = static_cast<LoadContext*>(begin_load(nullptr, nullptr, nullptr, nullptr, error));
  chunk = static_cast<guchar*>(g_try_malloc(kReadChunk));
  if (context == nullptr || chunk == nullptr) {
    if (context != nullptr)
      fail(context, error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "Not enough memory");
    ok = false;
  }
  struct stat status;
  bool sized = ok && fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
  while (ok) {
    size_t length = fread(chunk, 1, kReadChunk, file);
    if (length == 0) break;
    ok = load_increment(context, chunk, static_cast<guint>(length), error);
    if (ok && sized && context->header_read && context->capacity < context->keep) {
      // One allocation of the file's size (or what is kept of it) instead of
      // repeated doubling.
      uint64_t whole = std::min<uint64_t>(static_cast<uint64_t>(status.st_size), context->keep);
      if (whole > context->size)
        ok = reserve(context, static_cast<size_t>(whole) - context->size, error);
      sized = false;
    }
  }
  if (ok && ferror(file)) {
    fail(context, error, GDK_PIXBUF_ERROR_FAILED, "Could not read the TZF file");
    ok = false;
  }
  if (context != nullptr) {
    if (ok && decode(context, error))
      result = static_cast<GdkPixbuf*>(g_object_ref(context->pixbuf));
    free_context(context);
  }
  g_free(chunk);
  return result;
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
  module->load = load;
  module->begin_load = begin_load;
  module->stop_load = stop_load;
  module->load_increment = load_increment;
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
  info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
  info->license = const_cast<gchar*>("MIT");
}

}  // extern "C"
