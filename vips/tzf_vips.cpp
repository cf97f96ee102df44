// TZF pictures in libvips: the loaders tzfload, tzfload_buffer and
// tzfload_source, and the savers tzfsave, tzfsave_buffer and tzfsave_target.
//
// A thin client of libtzf. The loaders share one class that reads from a
// VipsSource: the file and buffer loaders only make the source. header()
// sniffs the first TZF_INFO_SIZE bytes, reads the size and the colour table
// and checks the picture against the library's default limits (256
// megapixels, 1 GiB of RGB pixels) and libvips' largest coordinate; nothing
// is decoded there. load() decodes the picture into the image libvips asked
// for, in place when libvips holds it in memory: from the source's memory
// when it can be mapped (files, buffers), of which decoding touches the
// usable extent only; else (pipes) the source is read once from the start,
// keeping only the bytes of the usable extent. With fail_on truncated or
// stricter, header() already walks the extent's flag and command bytes, so
// that a picture whose data ends early fails there, in one thread, before
// any pixel is asked for. The data stores rows bottom first, so the whole
// picture is decoded before the first row goes out.
//
// Pictures load as 3-band uchar sRGB; 8-bit ones say so in
// "palette-bit-depth", as libvips' PNG loader does. A picture whose data ends
// early loads with a warning, the missing part black, unless fail_on is
// truncated or stricter: then it fails.
//
// The savers share one class that writes to a VipsTarget: libvips converts
// the image to 3 or 4 bands of uchar (mono is expanded, alpha kept), and
// tzf_encode composites alpha over white. "effort" 0 is fast, 1 (default)
// the smallest file; "bitdepth" 8 or 24 chooses the file's depth, 0 (default)
// gives 8 for images that carry "palette-bit-depth" (palette PNGs, TZF
// pictures of 8 bits) and 24 otherwise; "dither" (0 or 1, default 1) diffuses
// the error when true colour becomes 8 bits.
#define G_LOG_DOMAIN "VIPS"

#include "vips/tzf_vips.h"

#include <vips/vips.h>

#include <cstdint>
#include <cstdio>

#include "tzf/tzf.h"

namespace {

// Bytes read from a source at a time.
constexpr size_t kReadChunk = size_t{1} << 20;
// The metadata libvips' PNG loader sets on palette images.
constexpr const char* kPaletteField = "palette-bit-depth";

const char* kSuffixes[] = {".tzf", nullptr};

// Every band format becomes uchar.
VipsBandFormat kFormatTable[10] = {
    VIPS_FORMAT_UCHAR, VIPS_FORMAT_UCHAR, VIPS_FORMAT_UCHAR, VIPS_FORMAT_UCHAR, VIPS_FORMAT_UCHAR,
    VIPS_FORMAT_UCHAR, VIPS_FORMAT_UCHAR, VIPS_FORMAT_UCHAR, VIPS_FORMAT_UCHAR, VIPS_FORMAT_UCHAR};

const char* nickname_of(void* object) { return VIPS_OBJECT_GET_CLASS(object)->nickname; }

// Reads and checks the header and colour table at the start of `source`.
int read_head(VipsSource* source, const char* nickname, tzf_info* info) {
  unsigned char* head = nullptr;
  const gint64 got = vips_source_sniff_at_most(source, &head, TZF_INFO_SIZE);
  if (got < 0) return -1;
  int status = tzf_read_info(head, static_cast<size_t>(got), info);
  if (status == TZF_OK) status = tzf_check_limits(info, TZF_FORMAT_RGB, nullptr);
  switch (status) {
    case TZF_OK:
      break;
    case TZF_ERROR_NOT_TZF:
      vips_error(nickname, "%s", "not a TZF picture this loader reads");
      return -1;
    case TZF_ERROR_BAD_SIZE:
      vips_error(nickname, "%s", "TZF picture with a width or height of 0 or less");
      return -1;
    case TZF_ERROR_LIMIT:
    case TZF_ERROR_TOO_LARGE:
      vips_error(nickname,
                 "TZF picture of %u x %u pixels is larger than the limit of %u megapixels",
                 info->width, info->height, TZF_DEFAULT_MAX_PIXELS >> 20);
      return -1;
    default:
      vips_error(nickname, "%s", tzf_status_text(status));
      return -1;
  }
  if (info->width > VIPS_MAX_COORD || info->height > VIPS_MAX_COORD) {
    vips_error(nickname, "TZF picture of %u x %u pixels is wider or taller than libvips allows",
               info->width, info->height);
    return -1;
  }
  return 0;
}

void init_rgb_fields(VipsImage* image, const tzf_info& info) {
  vips_image_init_fields(image, static_cast<int>(info.width), static_cast<int>(info.height), 3,
                         VIPS_FORMAT_UCHAR, VIPS_CODING_NONE, VIPS_INTERPRETATION_sRGB, 1.0, 1.0);
}

}  // namespace

// ---- The loaders ----

struct TzfLoad {
  VipsForeignLoad parent_object;
  VipsSource* source;  // made or taken by the subclass's build
  tzf_info info;       // read by header()
  guchar* kept;        // the usable extent's bytes, once read
  uint64_t held;       // kept bytes the data held
};
struct TzfLoadClass {
  VipsForeignLoadClass parent_class;
};
G_DEFINE_ABSTRACT_TYPE(TzfLoad, tzf_load, VIPS_TYPE_FOREIGN_LOAD)

static void tzf_load_dispose(GObject* gobject) {
  TzfLoad* tzf = reinterpret_cast<TzfLoad*>(gobject);
  VIPS_UNREF(tzf->source);
  VIPS_FREEF(g_free, tzf->kept);
  G_OBJECT_CLASS(tzf_load_parent_class)->dispose(gobject);
}

static VipsForeignFlags tzf_load_get_flags(VipsForeignLoad*) { return VIPS_FOREIGN_SEQUENTIAL; }

static VipsForeignFlags tzf_load_get_flags_filename(const char*) { return VIPS_FOREIGN_SEQUENTIAL; }

// Reads the source once from the start, keeping the bytes of the picture's
// usable extent.
static int tzf_load_read_kept(TzfLoad* tzf, const char* nickname) {
  if (tzf->kept != nullptr) return 0;
  guchar* kept = nullptr;
  guchar* chunk = nullptr;
  int outcome = -1;
  tzf_extent extent{};
  uint64_t at = 0;
  uint64_t held = 0;
  uint64_t capacity = 0;
  const int status = tzf_usable_extent(&tzf->info, &extent);
  if (status != TZF_OK) {
    vips_error(nickname, "%s", tzf_status_text(status));
    goto done;
  }
  chunk = static_cast<guchar*>(g_try_malloc(kReadChunk));
  if (chunk == nullptr) {
    vips_error(nickname, "%s", "not enough memory to load the TZF picture");
    goto done;
  }
  if (vips_source_rewind(tzf->source) != 0) goto done;
  while (held < extent.kept_bytes) {
    const gint64 got = vips_source_read(tzf->source, chunk, kReadChunk);
    if (got < 0) goto done;
    if (got == 0) break;
    // The kept bytes grow with what the data holds, never past the extent
    // (bounded by the picture's size, checked by header()): a short file that
    // declares large streams costs no more than its own size.
    const uint64_t now = tzf_keep(&extent, at, chunk, static_cast<size_t>(got), nullptr);
    if (now > capacity) {
      uint64_t grown = capacity > 0 ? capacity : kReadChunk;
      while (grown < now) grown = grown > extent.kept_bytes / 2 ? extent.kept_bytes : grown * 2;
      if (grown > extent.kept_bytes) grown = extent.kept_bytes;
      guchar* moved =
          grown <= G_MAXSIZE ? static_cast<guchar*>(g_try_realloc(kept, grown)) : nullptr;
      if (moved == nullptr) {
        vips_error(nickname, "%s", "not enough memory to load the TZF picture");
        goto done;
      }
      kept = moved;
      capacity = grown;
    }
    held = tzf_keep(&extent, at, chunk, static_cast<size_t>(got), kept);
    at += static_cast<uint64_t>(got);
  }
  if (kept == nullptr) kept = static_cast<guchar*>(g_try_malloc(1));
  if (kept == nullptr) {
    vips_error(nickname, "%s", "not enough memory to load the TZF picture");
    goto done;
  }
  tzf->kept = kept;
  tzf->held = held;
  kept = nullptr;
  outcome = 0;
done:
  g_free(chunk);
  g_free(kept);
  vips_source_minimise(tzf->source);
  return outcome;
}

static int truncated_error(const char* nickname, const tzf_result& result, const tzf_info& info) {
  vips_error(nickname, "truncated TZF picture: %u of %u rows were in the data", result.rows_held,
             info.height);
  return -1;
}

// The parts of the picture's data: where the source can be mapped (a file
// or a buffer), straight from its memory, of which decoding touches only the
// usable extent; else from the extent's bytes, read once.
static int tzf_load_parts(TzfLoad* tzf, const char* nickname, tzf_parts* parts) {
  int status = TZF_OK;
  if (vips_source_is_mappable(tzf->source)) {
    size_t length = 0;
    const void* data = vips_source_map(tzf->source, &length);
    if (data == nullptr) return -1;
    status = tzf_parts_of_data(&tzf->info, data, length, parts);
  } else {
    if (tzf_load_read_kept(tzf, nickname) != 0) return -1;
    status = tzf_parts_of_kept(&tzf->info, tzf->kept, static_cast<size_t>(tzf->held), parts);
  }
  if (status != TZF_OK) {
    vips_error(nickname, "%s", tzf_status_text(status));
    return -1;
  }
  return 0;
}

static int tzf_load_header(VipsForeignLoad* load) {
  TzfLoad* tzf = reinterpret_cast<TzfLoad*>(load);
  const char* nickname = nickname_of(load);
  if (read_head(tzf->source, nickname, &tzf->info) != 0) return -1;
  if (load->fail_on >= VIPS_FAIL_ON_TRUNCATED) {
    // A picture that must be whole is checked here, before any pixel is
    // asked for: the flag and command bytes are walked, nothing decoded.
    tzf_parts parts{};
    tzf_result result{};
    if (tzf_load_parts(tzf, nickname, &parts) != 0) return -1;
    const int status = tzf_scan_parts(&tzf->info, &parts, &result);
    if (status != TZF_OK) {
      vips_error(nickname, "%s", tzf_status_text(status));
      return -1;
    }
    if (result.truncated) return truncated_error(nickname, result, tzf->info);
  }
  init_rgb_fields(load->out, tzf->info);
  if (vips_image_pipelinev(load->out, VIPS_DEMAND_STYLE_THINSTRIP, nullptr) != 0) return -1;
  if (tzf->info.bits_per_pixel == 8) vips_image_set_int(load->out, kPaletteField, 8);
  vips_source_minimise(tzf->source);
  return 0;
}

static int tzf_load_load(VipsForeignLoad* load) {
  TzfLoad* tzf = reinterpret_cast<TzfLoad*>(load);
  const char* nickname = nickname_of(load);
  const tzf_info& info = tzf->info;
  VipsImage* memory = nullptr;
  VipsImage* target = nullptr;  // load->real or memory
  int outcome = -1;
  tzf_parts parts{};
  tzf_result result{};
  int status = TZF_OK;
  if (tzf_load_parts(tzf, nickname, &parts) != 0) goto done;
  // A picture held in memory by libvips is decoded in place; one on disc
  // through a memory image.
  if (load->real->dtype == VIPS_IMAGE_SETBUF) {
    target = load->real;
  } else {
    memory = vips_image_new_memory();
    target = memory;
  }
  init_rgb_fields(target, info);
  if (vips_image_write_prepare(target) != 0) goto done;
  status = tzf_decode_parts(&info, &parts, TZF_FORMAT_RGB, VIPS_IMAGE_ADDR(target, 0, 0),
                            VIPS_IMAGE_SIZEOF_LINE(target), nullptr, &result);
  if (status != TZF_OK) {
    vips_error(nickname, "%s", tzf_status_text(status));
    goto done;
  }
  if (result.truncated) {
    if (load->fail_on >= VIPS_FAIL_ON_TRUNCATED) {
      truncated_error(nickname, result, info);
      goto done;
    }
    g_warning("%s: truncated TZF picture: %u of %u rows were in the data, the rest is black",
              nickname, result.rows_held, info.height);
  }
  if (memory != nullptr && vips_image_write(memory, load->real) != 0) goto done;
  outcome = 0;
done:
  VIPS_UNREF(memory);
  // The data is not needed again.
  VIPS_FREEF(g_free, tzf->kept);
  vips_source_minimise(tzf->source);
  return outcome;
}

static void tzf_load_class_init(TzfLoadClass* klass) {
  GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
  VipsObjectClass* object_class = VIPS_OBJECT_CLASS(klass);
  VipsForeignClass* foreign_class = VIPS_FOREIGN_CLASS(klass);
  VipsForeignLoadClass* load_class = VIPS_FOREIGN_LOAD_CLASS(klass);
  gobject_class->dispose = tzf_load_dispose;
  gobject_class->set_property = vips_object_set_property;
  gobject_class->get_property = vips_object_get_property;
  object_class->nickname = "tzfload_base";
  object_class->description = "load TZF pictures";
  foreign_class->suffs = kSuffixes;
  load_class->get_flags = tzf_load_get_flags;
  load_class->get_flags_filename = tzf_load_get_flags_filename;
  load_class->header = tzf_load_header;
  load_class->load = tzf_load_load;
}

static void tzf_load_init(TzfLoad*) {}

// tzfload: from a file.
struct TzfLoadFile {
  TzfLoad parent_object;
  char* filename;
};
struct TzfLoadFileClass {
  TzfLoadClass parent_class;
};
G_DEFINE_TYPE(TzfLoadFile, tzf_load_file, tzf_load_get_type())

static gboolean tzf_load_file_is_a(const char* filename) {
  unsigned char head[TZF_HEADER_SIZE];
  size_t got = 0;
  std::FILE* file = std::fopen(filename, "rb");
  if (file != nullptr) got = std::fread(head, 1, sizeof head, file);
  if (file != nullptr) std::fclose(file);
  return got > 0 && tzf_is_tzf(head, got);
}

static int tzf_load_file_build(VipsObject* object) {
  TzfLoadFile* file = reinterpret_cast<TzfLoadFile*>(object);
  TzfLoad* tzf = &file->parent_object;
  if (file->filename != nullptr && tzf->source == nullptr) {
    tzf->source = vips_source_new_from_file(file->filename);
    if (tzf->source == nullptr) return -1;
  }
  return VIPS_OBJECT_CLASS(tzf_load_file_parent_class)->build(object);
}

static int tzf_load_file_header(VipsForeignLoad* load) {
  TzfLoadFile* file = reinterpret_cast<TzfLoadFile*>(load);
  if (tzf_load_header(load) != 0) return -1;
  VIPS_SETSTR(load->out->filename, file->filename);
  return 0;
}

static void tzf_load_file_class_init(TzfLoadFileClass* klass) {
  GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = vips_object_set_property;
  gobject_class->get_property = vips_object_get_property;
  VipsObjectClass* object_class = VIPS_OBJECT_CLASS(klass);
  VipsForeignLoadClass* load_class = VIPS_FOREIGN_LOAD_CLASS(klass);
  object_class->nickname = "tzfload";
  object_class->description = "load a TZF picture from a file";
  object_class->build = tzf_load_file_build;
  load_class->is_a = tzf_load_file_is_a;
  load_class->header = tzf_load_file_header;
  VIPS_ARG_STRING(klass, "filename", 1, "Filename", "Filename to load from",
                  VIPS_ARGUMENT_REQUIRED_INPUT, G_STRUCT_OFFSET(TzfLoadFile, filename), nullptr);
}

static void tzf_load_file_init(TzfLoadFile*) {}

// tzfload_buffer: from memory.
struct TzfLoadBuffer {
  TzfLoad parent_object;
  VipsBlob* buffer;
};
struct TzfLoadBufferClass {
  TzfLoadClass parent_class;
};
G_DEFINE_TYPE(TzfLoadBuffer, tzf_load_buffer, tzf_load_get_type())

static gboolean tzf_load_buffer_is_a(const void* data, size_t size) {
  return data != nullptr && tzf_is_tzf(data, size);
}

static int tzf_load_buffer_build(VipsObject* object) {
  TzfLoadBuffer* buffer = reinterpret_cast<TzfLoadBuffer*>(object);
  TzfLoad* tzf = &buffer->parent_object;
  if (buffer->buffer != nullptr && tzf->source == nullptr) {
    tzf->source = vips_source_new_from_blob(buffer->buffer);
    if (tzf->source == nullptr) return -1;
  }
  return VIPS_OBJECT_CLASS(tzf_load_buffer_parent_class)->build(object);
}

static void tzf_load_buffer_class_init(TzfLoadBufferClass* klass) {
  GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = vips_object_set_property;
  gobject_class->get_property = vips_object_get_property;
  VipsObjectClass* object_class = VIPS_OBJECT_CLASS(klass);
  VipsForeignLoadClass* load_class = VIPS_FOREIGN_LOAD_CLASS(klass);
  object_class->nickname = "tzfload_buffer";
  object_class->description = "load a TZF picture from a buffer";
  object_class->build = tzf_load_buffer_build;
  load_class->is_a_buffer = tzf_load_buffer_is_a;
  VIPS_ARG_BOXED(klass, "buffer", 1, "Buffer", "Buffer to load from", VIPS_ARGUMENT_REQUIRED_INPUT,
                 G_STRUCT_OFFSET(TzfLoadBuffer, buffer), VIPS_TYPE_BLOB);
}

static void tzf_load_buffer_init(TzfLoadBuffer*) {}

// tzfload_source: from any source, pipes included.
struct TzfLoadSource {
  TzfLoad parent_object;
  VipsSource* source;  // the argument; the parent holds a reference of its own
};
struct TzfLoadSourceClass {
  TzfLoadClass parent_class;
};
G_DEFINE_TYPE(TzfLoadSource, tzf_load_source, tzf_load_get_type())

static gboolean tzf_load_source_is_a(VipsSource* source) {
  unsigned char* head = nullptr;
  const gint64 got = vips_source_sniff_at_most(source, &head, TZF_HEADER_SIZE);
  return got > 0 && tzf_is_tzf(head, static_cast<size_t>(got));
}

static int tzf_load_source_build(VipsObject* object) {
  TzfLoadSource* source = reinterpret_cast<TzfLoadSource*>(object);
  TzfLoad* tzf = &source->parent_object;
  if (source->source != nullptr && tzf->source == nullptr) {
    tzf->source = source->source;
    g_object_ref(tzf->source);
  }
  return VIPS_OBJECT_CLASS(tzf_load_source_parent_class)->build(object);
}

static void tzf_load_source_class_init(TzfLoadSourceClass* klass) {
  GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = vips_object_set_property;
  gobject_class->get_property = vips_object_get_property;
  VipsObjectClass* object_class = VIPS_OBJECT_CLASS(klass);
  VipsOperationClass* operation_class = VIPS_OPERATION_CLASS(klass);
  VipsForeignLoadClass* load_class = VIPS_FOREIGN_LOAD_CLASS(klass);
  object_class->nickname = "tzfload_source";
  object_class->description = "load a TZF picture from a source";
  object_class->build = tzf_load_source_build;
  operation_class->flags =
      static_cast<VipsOperationFlags>(operation_class->flags | VIPS_OPERATION_NOCACHE);
  load_class->is_a_source = tzf_load_source_is_a;
  VIPS_ARG_OBJECT(klass, "source", 1, "Source", "Source to load from", VIPS_ARGUMENT_REQUIRED_INPUT,
                  G_STRUCT_OFFSET(TzfLoadSource, source), VIPS_TYPE_SOURCE);
}

static void tzf_load_source_init(TzfLoadSource*) {}

// ---- The savers ----

struct TzfSave {
  VipsForeignSave parent_object;
  VipsTarget* target;  // made or taken by the subclass's build
  int effort;          // 0 fast, 1 the smallest file
  int bitdepth;        // 0 automatic, 8 or 24
  double dither;       // 0: no error diffusion
};
struct TzfSaveClass {
  VipsForeignSaveClass parent_class;
};
G_DEFINE_ABSTRACT_TYPE(TzfSave, tzf_save, VIPS_TYPE_FOREIGN_SAVE)

static void tzf_save_dispose(GObject* gobject) {
  TzfSave* tzf = reinterpret_cast<TzfSave*>(gobject);
  VIPS_UNREF(tzf->target);
  G_OBJECT_CLASS(tzf_save_parent_class)->dispose(gobject);
}

static int tzf_save_build(VipsObject* object) {
  VipsForeignSave* save = VIPS_FOREIGN_SAVE(object);
  TzfSave* tzf = reinterpret_cast<TzfSave*>(object);
  const char* nickname = nickname_of(object);
  if (VIPS_OBJECT_CLASS(tzf_save_parent_class)->build(object) != 0) return -1;
  VipsImage* memory = nullptr;
  void* work = nullptr;
  void* file = nullptr;
  int outcome = -1;
  tzf_image image{};
  tzf_encode_options options{};
  tzf_encode_result result{};
  size_t file_bytes = 0;
  size_t work_bytes = 0;
  int status = TZF_OK;
  if (tzf->bitdepth != 0 && tzf->bitdepth != 8 && tzf->bitdepth != 24) {
    vips_error(nickname, "%s", "bitdepth must be 0 (automatic), 8 or 24");
    goto done;
  }
  memory = vips_image_copy_memory(save->ready);
  if (memory == nullptr) goto done;
  if (memory->BandFmt != VIPS_FORMAT_UCHAR || (memory->Bands != 3 && memory->Bands != 4)) {
    vips_error(nickname, "%s", "the image did not become 3 or 4 bands of uchar");
    goto done;
  }
  image.width = static_cast<uint32_t>(memory->Xsize);
  image.height = static_cast<uint32_t>(memory->Ysize);
  image.format = memory->Bands == 4 ? TZF_FORMAT_RGBA : TZF_FORMAT_RGB;
  image.pixels = VIPS_IMAGE_ADDR(memory, 0, 0);
  image.stride = static_cast<ptrdiff_t>(VIPS_IMAGE_SIZEOF_LINE(memory));
  options.effort = tzf->effort == 0 ? TZF_EFFORT_FAST : TZF_EFFORT_SMALLEST;
  if (tzf->bitdepth == 0)
    options.bits_per_pixel =
        vips_image_get_typeof(save->in, kPaletteField) != 0 ? TZF_DEPTH_8 : TZF_DEPTH_24;
  else
    options.bits_per_pixel = tzf->bitdepth == 8 ? TZF_DEPTH_8 : TZF_DEPTH_24;
  options.dither = tzf->dither > 0.0 ? TZF_DITHER_DEFAULT : TZF_DITHER_NONE;
  status = tzf_encode_size(&image, &options, &file_bytes, &work_bytes);
  if (status == TZF_OK) {
    work = g_try_malloc(work_bytes > 0 ? work_bytes : 1);
    file = g_try_malloc(file_bytes > 0 ? file_bytes : 1);
    if (work == nullptr || file == nullptr) {
      vips_error(nickname, "%s", "not enough memory to write the TZF picture");
      goto done;
    }
    status = tzf_encode(&image, &options, work, work_bytes, file, file_bytes, &result);
  }
  if (status != TZF_OK) {
    vips_error(nickname, "%s", tzf_status_text(status));
    goto done;
  }
  if (vips_target_write(tzf->target, file, result.size) != 0) goto done;
  if (vips_target_end(tzf->target) != 0) goto done;
  outcome = 0;
done:
  g_free(file);
  g_free(work);
  VIPS_UNREF(memory);
  return outcome;
}

static void tzf_save_class_init(TzfSaveClass* klass) {
  GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
  VipsObjectClass* object_class = VIPS_OBJECT_CLASS(klass);
  VipsForeignClass* foreign_class = VIPS_FOREIGN_CLASS(klass);
  VipsForeignSaveClass* save_class = VIPS_FOREIGN_SAVE_CLASS(klass);
  gobject_class->dispose = tzf_save_dispose;
  gobject_class->set_property = vips_object_set_property;
  gobject_class->get_property = vips_object_get_property;
  object_class->nickname = "tzfsave_base";
  object_class->description = "save as TZF";
  object_class->build = tzf_save_build;
  foreign_class->suffs = kSuffixes;
  save_class->saveable = VIPS_SAVEABLE_RGBA_ONLY;
  save_class->format_table = kFormatTable;
  VIPS_ARG_INT(klass, "effort", 20, "Effort", "0: fast, 1: the smallest file",
               VIPS_ARGUMENT_OPTIONAL_INPUT, G_STRUCT_OFFSET(TzfSave, effort), 0, 1, 1);
  VIPS_ARG_INT(klass, "bitdepth", 21, "Bit depth",
               "Bits per pixel: 8 (palette) or 24; 0 chooses from the image",
               VIPS_ARGUMENT_OPTIONAL_INPUT, G_STRUCT_OFFSET(TzfSave, bitdepth), 0, 24, 0);
  VIPS_ARG_DOUBLE(klass, "dither", 22, "Dithering",
                  "Error diffusion when reducing to 8 bits: 0 none, above 0 full",
                  VIPS_ARGUMENT_OPTIONAL_INPUT, G_STRUCT_OFFSET(TzfSave, dither), 0.0, 1.0, 1.0);
}

static void tzf_save_init(TzfSave* tzf) {
  tzf->effort = 1;
  tzf->dither = 1.0;
}

// tzfsave: to a file.
struct TzfSaveFile {
  TzfSave parent_object;
  char* filename;
};
struct TzfSaveFileClass {
  TzfSaveClass parent_class;
};
G_DEFINE_TYPE(TzfSaveFile, tzf_save_file, tzf_save_get_type())

static int tzf_save_file_build(VipsObject* object) {
  TzfSaveFile* file = reinterpret_cast<TzfSaveFile*>(object);
  TzfSave* tzf = &file->parent_object;
  if (file->filename != nullptr && tzf->target == nullptr) {
    tzf->target = vips_target_new_to_file(file->filename);
    if (tzf->target == nullptr) return -1;
  }
  return VIPS_OBJECT_CLASS(tzf_save_file_parent_class)->build(object);
}

static void tzf_save_file_class_init(TzfSaveFileClass* klass) {
  GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = vips_object_set_property;
  gobject_class->get_property = vips_object_get_property;
  VipsObjectClass* object_class = VIPS_OBJECT_CLASS(klass);
  object_class->nickname = "tzfsave";
  object_class->description = "save image to a TZF file";
  object_class->build = tzf_save_file_build;
  VIPS_ARG_STRING(klass, "filename", 1, "Filename", "Filename to save to",
                  VIPS_ARGUMENT_REQUIRED_INPUT, G_STRUCT_OFFSET(TzfSaveFile, filename), nullptr);
}

static void tzf_save_file_init(TzfSaveFile*) {}

// tzfsave_buffer: to memory.
struct TzfSaveBuffer {
  TzfSave parent_object;
  VipsBlob* buffer;
};
struct TzfSaveBufferClass {
  TzfSaveClass parent_class;
};
G_DEFINE_TYPE(TzfSaveBuffer, tzf_save_buffer, tzf_save_get_type())

static int tzf_save_buffer_build(VipsObject* object) {
  TzfSaveBuffer* buffer = reinterpret_cast<TzfSaveBuffer*>(object);
  TzfSave* tzf = &buffer->parent_object;
  VipsBlob* blob = nullptr;
  if (tzf->target == nullptr) {
    tzf->target = vips_target_new_to_memory();
    if (tzf->target == nullptr) return -1;
  }
  if (VIPS_OBJECT_CLASS(tzf_save_buffer_parent_class)->build(object) != 0) return -1;
  g_object_get(tzf->target, "blob", &blob, nullptr);
  g_object_set(buffer, "buffer", blob, nullptr);
  vips_area_unref(VIPS_AREA(blob));
  return 0;
}

static void tzf_save_buffer_class_init(TzfSaveBufferClass* klass) {
  GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = vips_object_set_property;
  gobject_class->get_property = vips_object_get_property;
  VipsObjectClass* object_class = VIPS_OBJECT_CLASS(klass);
  object_class->nickname = "tzfsave_buffer";
  object_class->description = "save image to a TZF buffer";
  object_class->build = tzf_save_buffer_build;
  VIPS_ARG_BOXED(klass, "buffer", 1, "Buffer", "Buffer to save to", VIPS_ARGUMENT_REQUIRED_OUTPUT,
                 G_STRUCT_OFFSET(TzfSaveBuffer, buffer), VIPS_TYPE_BLOB);
}

static void tzf_save_buffer_init(TzfSaveBuffer*) {}

// tzfsave_target: to any target.
struct TzfSaveTarget {
  TzfSave parent_object;
  VipsTarget* target;  // the argument; the parent holds a reference of its own
};
struct TzfSaveTargetClass {
  TzfSaveClass parent_class;
};
G_DEFINE_TYPE(TzfSaveTarget, tzf_save_target, tzf_save_get_type())

static int tzf_save_target_build(VipsObject* object) {
  TzfSaveTarget* target = reinterpret_cast<TzfSaveTarget*>(object);
  TzfSave* tzf = &target->parent_object;
  if (target->target != nullptr && tzf->target == nullptr) {
    tzf->target = target->target;
    g_object_ref(tzf->target);
  }
  return VIPS_OBJECT_CLASS(tzf_save_target_parent_class)->build(object);
}

static void tzf_save_target_class_init(TzfSaveTargetClass* klass) {
  GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = vips_object_set_property;
  gobject_class->get_property = vips_object_get_property;
  VipsObjectClass* object_class = VIPS_OBJECT_CLASS(klass);
  object_class->nickname = "tzfsave_target";
  object_class->description = "save image to a TZF target";
  object_class->build = tzf_save_target_build;
  VIPS_ARG_OBJECT(klass, "target", 1, "Target", "Target to save to", VIPS_ARGUMENT_REQUIRED_INPUT,
                  G_STRUCT_OFFSET(TzfSaveTarget, target), VIPS_TYPE_TARGET);
}

static void tzf_save_target_init(TzfSaveTarget*) {}

void tzf_vips_register_types() {
  tzf_load_file_get_type();
  tzf_load_buffer_get_type();
  tzf_load_source_get_type();
  tzf_save_file_get_type();
  tzf_save_buffer_get_type();
  tzf_save_target_get_type();
}
