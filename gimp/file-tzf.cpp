// GIMP 2.10 file plug-in for TZF pictures: file-tzf.
//
// A thin client of libtzf. Opening reads the file through
// tzf_gimp_read_picture (header and limits first, then only the bytes the
// picture can use) and makes an image of it: 8-bit pictures become indexed
// images with their colour table, 24-bit ones RGB images, one layer named
// after the file. A picture whose data ends early opens with what was there,
// the rest decoded from zero bytes, as every other surface shows it.
//
// Exporting hands the drawable's pixels to tzf_encode: indexed drawables as
// palette indices with the image's colour map (an 8-bit file), everything
// else as RGB (a 24-bit file). Interactively, gimp_export_image first makes
// the image fit (layers flattened, alpha removed, grey made RGB); a
// drawable with alpha handed over by a script is composited over the
// context's background colour. The "effort" (smallest file or fast) is an
// argument, a choice in the export dialog and remembered between runs.
#include <errno.h>
#include <glib/gstdio.h>
#include <libgimp/gimp.h>
#include <libgimp/gimpui.h>
#include <stdio.h>
#include <string.h>

#include <cstdint>

#include "gimp/tzf_gimp_read.h"
#include "tzf/tzf.h"

namespace {

constexpr char kLoadProc[] = "file-tzf-load";
constexpr char kThumbProc[] = "file-tzf-load-thumb";
constexpr char kSaveProc[] = "file-tzf-save";
constexpr char kBinary[] = "file-tzf";
constexpr char kMime[] = "image/x-tzf";
constexpr char kExtension[] = "tzf";
// The signature: "TZF" at offset 0, then a zero byte at offset 3.
constexpr char kMagic[] = "0,long,1415202304";

// The export settings remembered between runs (gimp_set_data).
struct SaveSettings {
  gint32 effort;  // TZF_EFFORT_SMALLEST or TZF_EFFORT_FAST
};

// ---- Loading ----

size_t read_file(void* user, void* to, size_t count) {
  FILE* file = static_cast<FILE*>(user);
  const size_t n = fread(to, 1, count, file);
  if (n == 0 && ferror(file)) return TZF_READ_FAILED;
  return n;
}

int show_progress(void*, uint32_t rows_done, uint32_t height) {
  // Every 32nd row is often enough for the progress bar.
  if ((rows_done & 31u) == 0 || rows_done == height)
    gimp_progress_update(height == 0 ? 1.0 : static_cast<double>(rows_done) / height);
  return 0;
}

// The pixels go through GIMP's tile protocol rather than a GEGL buffer: a
// plug-in that starts GEGL spends seconds setting up its colour conversions
// each time it runs, longer than most pictures take to decode. The tiles
// carry 8-bit pixels in the drawable's own layout.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// Copies tight rows (width x the drawable's bytes per pixel) into `layer`.
void put_pixels(gint32 layer, const guint8* pixels, gint width, gint height) {
  GimpDrawable* drawable = gimp_drawable_get(layer);
  GimpPixelRgn region;
  gimp_pixel_rgn_init(&region, drawable, 0, 0, width, height, TRUE, FALSE);
  gimp_pixel_rgn_set_rect(&region, pixels, 0, 0, width, height);
  gimp_drawable_flush(drawable);
  gimp_drawable_update(layer, 0, 0, width, height);
  gimp_drawable_detach(drawable);
}

// Copies the drawable's pixels into tight rows of its bytes per pixel.
void get_pixels(gint32 drawable_id, guint8* pixels, gint width, gint height) {
  GimpDrawable* drawable = gimp_drawable_get(drawable_id);
  GimpPixelRgn region;
  gimp_pixel_rgn_init(&region, drawable, 0, 0, width, height, FALSE, FALSE);
  gimp_pixel_rgn_get_rect(&region, pixels, 0, 0, width, height);
  gimp_drawable_detach(drawable);
}

#pragma GCC diagnostic pop

// Makes an image of the file `filename`; -1 with `error` set on failure.
gint32 load_image(const gchar* filename, bool interactive, GError** error) {
  FILE* file = nullptr;
  gchar* layer_name = nullptr;
  TzfGimpPicture picture{};
  gint32 image = -1;
  char message[256] = "";

  file = g_fopen(filename, "rb");
  if (file == nullptr) {
    const int code = errno;
    g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(code),
                "Could not open '%s' for reading: %s", gimp_filename_to_utf8(filename),
                g_strerror(code));
    return -1;
  }
  gimp_progress_init_printf("Opening '%s'", gimp_filename_to_utf8(filename));
  const TzfGimpSource source{read_file, file};
  const tzf_progress progress{show_progress, nullptr};
  const TzfGimpStatus status = tzf_gimp_read_picture(source, GIMP_MAX_IMAGE_SIZE, &progress,
                                                     &picture, message, sizeof message);
  if (status != kTzfGimpOk) {
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "%s", message);
  } else {
    const gint width = static_cast<gint>(picture.width);
    const gint height = static_cast<gint>(picture.height);
    image = gimp_image_new(width, height, picture.indexed ? GIMP_INDEXED : GIMP_RGB);
    gint32 layer = -1;
    if (image != -1) {
      gimp_image_set_filename(image, filename);
      if (picture.indexed)
        gimp_image_set_colormap(image, &picture.palette[0][0],
                                static_cast<gint>(picture.palette_size));
      layer_name = g_path_get_basename(gimp_filename_to_utf8(filename));
      layer = gimp_layer_new(image, layer_name, width, height,
                             picture.indexed ? GIMP_INDEXED_IMAGE : GIMP_RGB_IMAGE, 100,
                             gimp_image_get_default_new_layer_mode(image));
    }
    if (layer != -1 && gimp_image_insert_layer(image, layer, -1, 0)) {
      put_pixels(layer, picture.pixels, width, height);
      gimp_progress_update(1.0);
      if (picture.truncated && interactive)
        g_message("'%s' ends early: only the bottom %u of its %u rows were whole.",
                  gimp_filename_to_utf8(filename), picture.rows_held, picture.height);
    } else {
      if (image != -1) gimp_image_delete(image);
      image = -1;
      g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED,
                  "Could not make an image of %u x %u pixels", picture.width, picture.height);
    }
  }
  tzf_gimp_free_picture(&picture);
  g_free(layer_name);
  fclose(file);
  return image;
}

// ---- Saving ----

int save_progress(void*, uint32_t rows_done, uint32_t height) {
  if ((rows_done & 31u) == 0 || rows_done == height)
    gimp_progress_update(height == 0 ? 1.0 : static_cast<double>(rows_done) / height);
  return 0;
}

bool write_file(const gchar* filename, const guint8* data, size_t size, GError** error) {
  FILE* file = g_fopen(filename, "wb");
  if (file == nullptr) {
    const int code = errno;
    g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(code),
                "Could not open '%s' for writing: %s", gimp_filename_to_utf8(filename),
                g_strerror(code));
    return false;
  }
  const bool written = fwrite(data, 1, size, file) == size;
  const bool closed = fclose(file) == 0;
  if (!written || !closed) {
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_IO, "Could not write '%s'",
                gimp_filename_to_utf8(filename));
    return false;
  }
  return true;
}

// Widens the drawable's own pixels (tight rows of `in_bytes` each) to what
// the encoder takes, in place from the end: grey to RGB, grey and indexed
// with alpha to RGBA through `colormap`. Other layouts are taken as they are.
void widen(guint8* pixels, uint64_t count, int in_bytes, int out_bytes, const guchar* colormap,
           gint colours) {
  if (in_bytes == out_bytes) return;
  for (uint64_t i = count; i-- > 0;) {
    const guint8* in = pixels + i * in_bytes;
    guint8* out = pixels + i * out_bytes;
    const guint8 value = in[0];
    const guint8 alpha = in_bytes == 2 ? in[1] : 255;
    guint8 rgb[3] = {value, value, value};
    if (colormap != nullptr) {
      const int index = value < colours ? value : 0;
      rgb[0] = colormap[3 * index];
      rgb[1] = colormap[3 * index + 1];
      rgb[2] = colormap[3 * index + 2];
    }
    out[0] = rgb[0];
    out[1] = rgb[1];
    out[2] = rgb[2];
    if (out_bytes == 4) out[3] = alpha;
  }
}

// Writes `drawable` of `image` to `filename` as TZF: indexed drawables as
// 8-bit files with the image's colour map, every other one as 24-bit, alpha
// composited over the context's background colour.
bool save_image(const gchar* filename, gint32 image, gint32 drawable, const SaveSettings& settings,
                GError** error) {
  guchar* colormap = nullptr;
  guint8* pixels = nullptr;
  void* work = nullptr;
  guint8* out = nullptr;
  bool ok = false;
  gint colours = 0;
  size_t max_file = 0;
  size_t work_bytes = 0;
  tzf_encode_result result{};

  const bool has_alpha = gimp_drawable_has_alpha(drawable);
  const bool is_indexed = gimp_drawable_is_indexed(drawable);
  const bool indexed = is_indexed && !has_alpha;
  const gint width = gimp_drawable_width(drawable);
  const gint height = gimp_drawable_height(drawable);
  // The tiles' bytes per pixel: 1 to 4 (grey, grey and alpha, RGB, RGBA).
  const int in_bytes = gimp_drawable_bpp(drawable);
  const int format = indexed     ? int{TZF_FORMAT_INDEX}
                     : has_alpha ? int{TZF_FORMAT_RGBA}
                                 : int{TZF_FORMAT_RGB};
  const int pixel_bytes = indexed ? 1 : has_alpha ? 4 : 3;
  GimpRGB background;
  guchar red = 255, green = 255, blue = 255;
  if (has_alpha && gimp_context_get_background(&background))
    gimp_rgb_get_uchar(&background, &red, &green, &blue);

  const tzf_progress progress{save_progress, nullptr};
  tzf_encode_options options{};
  options.effort = settings.effort;
  options.background = TZF_BACKGROUND((guint32{red} << 16) | (guint32{green} << 8) | blue);
  options.progress = &progress;

  tzf_image picture{};
  picture.width = width > 0 ? static_cast<uint32_t>(width) : 0;
  picture.height = height > 0 ? static_cast<uint32_t>(height) : 0;
  picture.format = format;
  picture.stride = static_cast<ptrdiff_t>(uint64_t{picture.width} * pixel_bytes);
  if (is_indexed) {
    colormap = gimp_image_get_colormap(image, &colours);
    picture.palette = reinterpret_cast<const uint8_t(*)[3]>(colormap);
    picture.palette_size = colours > 0 ? static_cast<uint32_t>(colours) : 0;
  }
  // The sizes first, with a stand-in for the pixels the library does not
  // read yet: nothing is allocated for a picture it refuses.
  const guint8 stand_in = 0;
  picture.pixels = &stand_in;
  int status = in_bytes >= 1 && in_bytes <= 4 && (indexed || !is_indexed || colormap != nullptr)
                   ? tzf_encode_size(&picture, &options, &max_file, &work_bytes)
                   : int{TZF_ERROR_BAD_ARGUMENT};
  if (status == TZF_OK) {
    // Within the library's limits just checked: 2^28 pixels at most.
    const uint64_t count = uint64_t{picture.width} * picture.height;
    pixels = static_cast<guint8*>(g_try_malloc(
        count * static_cast<uint64_t>(pixel_bytes > in_bytes ? pixel_bytes : in_bytes)));
    work = work_bytes > 0 ? g_try_malloc(work_bytes) : nullptr;
    out = static_cast<guint8*>(g_try_malloc(max_file));
    if (pixels == nullptr || out == nullptr || (work_bytes > 0 && work == nullptr)) {
      g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_NOMEM,
                  "Not enough memory to export %d x %d pixels as TZF", width, height);
      goto done;
    }
    gimp_progress_init_printf("Exporting '%s'", gimp_filename_to_utf8(filename));
    get_pixels(drawable, pixels, width, height);
    widen(pixels, count, in_bytes, pixel_bytes, is_indexed ? colormap : nullptr, colours);
    picture.pixels = pixels;
    status = tzf_encode(&picture, &options, work, work_bytes, out, max_file, &result);
  }
  if (status != TZF_OK) {
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_FAILED, "Could not export as TZF: %s",
                tzf_status_text(status));
    goto done;
  }
  ok = write_file(filename, out, result.size, error);
  if (ok) gimp_progress_update(1.0);

done:
  g_free(out);
  g_free(work);
  g_free(pixels);
  g_free(colormap);
  return ok;
}

// The export dialog: the effort. False when the user cancelled.
bool ask_settings(SaveSettings* settings) {
  GtkWidget* dialog = gimp_export_dialog_new("TZF", kBinary, kSaveProc);
  GtkWidget* effort = gimp_int_radio_group_new(
      TRUE, "Compression", G_CALLBACK(gimp_radio_button_update), &settings->effort,
      settings->effort, "_Smallest file", TZF_EFFORT_SMALLEST, nullptr, "_Fast", TZF_EFFORT_FAST,
      nullptr, nullptr);
  gtk_container_set_border_width(GTK_CONTAINER(effort), 12);
  gtk_box_pack_start(GTK_BOX(gimp_export_dialog_get_content_area(dialog)), effort, TRUE, TRUE, 0);
  gtk_widget_show(effort);
  gtk_widget_show(dialog);
  const bool accepted = gimp_dialog_run(GIMP_DIALOG(dialog)) == GTK_RESPONSE_OK;
  gtk_widget_destroy(dialog);
  return accepted;
}

// ---- The procedures ----

void query() {
  static const GimpParamDef load_args[] = {
      {GIMP_PDB_INT32, const_cast<gchar*>("run-mode"),
       const_cast<gchar*>("The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }")},
      {GIMP_PDB_STRING, const_cast<gchar*>("filename"),
       const_cast<gchar*>("The name of the file to load")},
      {GIMP_PDB_STRING, const_cast<gchar*>("raw-filename"), const_cast<gchar*>("The name entered")},
  };
  static const GimpParamDef load_values[] = {
      {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Output image")},
  };
  static const GimpParamDef thumb_args[] = {
      {GIMP_PDB_STRING, const_cast<gchar*>("filename"),
       const_cast<gchar*>("The name of the file to load")},
      {GIMP_PDB_INT32, const_cast<gchar*>("thumb-size"),
       const_cast<gchar*>("Preferred thumbnail size")},
  };
  static const GimpParamDef thumb_values[] = {
      {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Thumbnail image")},
      {GIMP_PDB_INT32, const_cast<gchar*>("image-width"), const_cast<gchar*>("Width")},
      {GIMP_PDB_INT32, const_cast<gchar*>("image-height"), const_cast<gchar*>("Height")},
  };
  static const GimpParamDef save_args[] = {
      {GIMP_PDB_INT32, const_cast<gchar*>("run-mode"),
       const_cast<gchar*>("The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }")},
      {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Input image")},
      {GIMP_PDB_DRAWABLE, const_cast<gchar*>("drawable"), const_cast<gchar*>("Drawable to export")},
      {GIMP_PDB_STRING, const_cast<gchar*>("filename"),
       const_cast<gchar*>("The name of the file to export the image in")},
      {GIMP_PDB_STRING, const_cast<gchar*>("raw-filename"), const_cast<gchar*>("The name entered")},
      {GIMP_PDB_INT32, const_cast<gchar*>("effort"),
       const_cast<gchar*>("Compression effort { SMALLEST (0), FAST (1) }")},
  };

  gimp_install_procedure(kLoadProc, "Loads TZF pictures",
                         "Opens 8-bit TZF pictures as indexed images with their colour table "
                         "and 24-bit ones as RGB images.",
                         "tzf-filter", "tzf-filter", "2026", "TZF picture", nullptr, GIMP_PLUGIN,
                         G_N_ELEMENTS(load_args), G_N_ELEMENTS(load_values), load_args,
                         load_values);
  gimp_register_file_handler_mime(kLoadProc, kMime);
  gimp_register_magic_load_handler(kLoadProc, kExtension, "", kMagic);

  gimp_install_procedure(kThumbProc, "Loads a thumbnail of a TZF picture",
                         "Opens the TZF picture whole; GIMP scales it.", "tzf-filter", "tzf-filter",
                         "2026", nullptr, nullptr, GIMP_PLUGIN, G_N_ELEMENTS(thumb_args),
                         G_N_ELEMENTS(thumb_values), thumb_args, thumb_values);
  gimp_register_thumbnail_loader(kLoadProc, kThumbProc);

  gimp_install_procedure(kSaveProc, "Exports TZF pictures",
                         "Exports indexed images as 8-bit TZF pictures with their colour map "
                         "and every other image as a 24-bit one.",
                         "tzf-filter", "tzf-filter", "2026", "TZF picture", "*", GIMP_PLUGIN,
                         G_N_ELEMENTS(save_args), 0, save_args, nullptr);
  gimp_register_file_handler_mime(kSaveProc, kMime);
  gimp_register_save_handler(kSaveProc, kExtension, "");
}

void run(const gchar* name, gint nparams, const GimpParam* param, gint* nreturn_vals,
         GimpParam** return_vals) {
  // libgimp sends the answer after run returns, so it outlives the call: a
  // static, filled in afresh by each call (one per plug-in process).
  static GimpParam answer[4];
  GimpPDBStatusType status = GIMP_PDB_SUCCESS;
  GError* error = nullptr;
  gint count = 1;

  if (strcmp(name, kLoadProc) == 0 && nparams >= 2) {
    const auto mode = static_cast<GimpRunMode>(param[0].data.d_int32);
    const gint32 image = load_image(param[1].data.d_string, mode == GIMP_RUN_INTERACTIVE, &error);
    if (image != -1) {
      answer[1].type = GIMP_PDB_IMAGE;
      answer[1].data.d_image = image;
      count = 2;
    } else {
      status = GIMP_PDB_EXECUTION_ERROR;
    }
  } else if (strcmp(name, kThumbProc) == 0 && nparams >= 1) {
    const gint32 image = load_image(param[0].data.d_string, false, &error);
    if (image != -1) {
      answer[1].type = GIMP_PDB_IMAGE;
      answer[1].data.d_image = image;
      answer[2].type = GIMP_PDB_INT32;
      answer[2].data.d_int32 = gimp_image_width(image);
      answer[3].type = GIMP_PDB_INT32;
      answer[3].data.d_int32 = gimp_image_height(image);
      count = 4;
    } else {
      status = GIMP_PDB_EXECUTION_ERROR;
    }
  } else if (strcmp(name, kSaveProc) == 0 && nparams >= 5) {
    const auto mode = static_cast<GimpRunMode>(param[0].data.d_int32);
    gint32 image = param[1].data.d_int32;
    gint32 drawable = param[2].data.d_int32;
    const gint32 original = image;
    SaveSettings settings{TZF_EFFORT_SMALLEST};
    if (mode != GIMP_RUN_NONINTERACTIVE && gimp_get_data_size(kSaveProc) == sizeof settings)
      gimp_get_data(kSaveProc, &settings);
    if (mode == GIMP_RUN_NONINTERACTIVE && nparams >= 6) settings.effort = param[5].data.d_int32;
    if (settings.effort != TZF_EFFORT_SMALLEST && settings.effort != TZF_EFFORT_FAST)
      status = GIMP_PDB_CALLING_ERROR;
    if (status == GIMP_PDB_SUCCESS && mode != GIMP_RUN_NONINTERACTIVE) {
      gimp_ui_init(kBinary, FALSE);
      const GimpExportReturn exported =
          gimp_export_image(&image, &drawable, "TZF",
                            static_cast<GimpExportCapabilities>(GIMP_EXPORT_CAN_HANDLE_RGB |
                                                                GIMP_EXPORT_CAN_HANDLE_INDEXED));
      if (exported == GIMP_EXPORT_CANCEL) status = GIMP_PDB_CANCEL;
      if (status == GIMP_PDB_SUCCESS && mode == GIMP_RUN_INTERACTIVE && !ask_settings(&settings))
        status = GIMP_PDB_CANCEL;
    }
    if (status == GIMP_PDB_SUCCESS) {
      if (save_image(param[3].data.d_string, image, drawable, settings, &error))
        gimp_set_data(kSaveProc, &settings, sizeof settings);
      else
        status = GIMP_PDB_EXECUTION_ERROR;
    }
    if (image != original) gimp_image_delete(image);
  } else {
    status = GIMP_PDB_CALLING_ERROR;
  }

  if (status == GIMP_PDB_EXECUTION_ERROR && error != nullptr) {
    // The message string stays with the answer, which libgimp sends after
    // run returns; the process ends soon after.
    answer[1].type = GIMP_PDB_STRING;
    answer[1].data.d_string = g_strdup(error->message);
    count = 2;
  }
  g_clear_error(&error);
  answer[0].type = GIMP_PDB_STATUS;
  answer[0].data.d_status = status;
  *nreturn_vals = count;
  *return_vals = answer;
}

}  // namespace

const GimpPlugInInfo PLUG_IN_INFO = {nullptr, nullptr, query, run};

MAIN()
