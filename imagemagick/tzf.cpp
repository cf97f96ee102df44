// ImageMagick 6 coder module for TZF pictures: the module "tzf" (tzf.so
// and tzf.la in the coders folder), format "TZF".
//
// A thin client of libtzf. Reading takes the first TZF_INFO_SIZE bytes,
// checks the header against the library's limits and ImageMagick's own
// resource limits (SetImageExtent: width, height, area, memory and disk), and
// only then reads on: the flag and command bytes of the picture's usable
// extent are kept as the blob gives them, and the decoder reads the literals
// from the blob itself, as far as the picture can use them. 8-bit pictures
// become PseudoClass images with their 256-entry colour table, 24-bit
// pictures DirectClass.
// Data that ends early gives the picture as far as it goes (the rest decoded
// from zero bytes) with a CorruptImageWarning; ping reads the header only.
//
// Writing hands the pixels to tzf_encode. A PseudoClass image of at most 256
// colours without transparency is written as an 8-bit file with its
// colormap, anything else as 24 bits; -type Palette or TrueColor, or
// -define tzf:bits-per-pixel=8|24, choose instead. -quality 1 to 49 or
// -define tzf:effort=fast asks for the fast encoder, +dither turns dithering
// off, transparent pixels are composited over -background (white unless set).
#include "tzf/tzf.h"

#include <magick/MagickCore.h>
#include <string.h>
#include <sys/types.h>

#include <cstdint>

// The blob functions are exported by MagickCore but declared in a header it
// does not install; these are their prototypes and the two modes used here.
extern "C" {
MagickExport MagickBooleanType OpenBlob(const ImageInfo*, Image*, const int, ExceptionInfo*);
MagickExport MagickBooleanType CloseBlob(Image*);
MagickExport ssize_t ReadBlob(Image*, const size_t, unsigned char*);
MagickExport ssize_t WriteBlob(Image*, const size_t, const unsigned char*);
ModuleExport size_t RegisterTZFImage(void);
ModuleExport void UnregisterTZFImage(void);
}

namespace {

constexpr int kReadBinaryBlobMode = 2;
constexpr int kWriteBinaryBlobMode = 4;
// The progress monitor tags ImageMagick's own coders report under.
constexpr char kLoadTag[] = "Load/Image";
constexpr char kSaveTag[] = "Save/Image";
// Bytes read from the blob at a time.
constexpr size_t kReadChunk = size_t{1} << 16;

Quantum quantum_of(uint8_t value) { return static_cast<Quantum>(value * (QuantumRange / 255)); }

MagickBooleanType IsTZF(const unsigned char* magick, const size_t length) {
  return tzf_is_tzf(magick, length) != 0 ? MagickTrue : MagickFalse;
}

// Reports the decoding's rows to the image's progress monitor, which may
// cancel it.
int report_row(void* user, uint32_t rows_done, uint32_t height) {
  const Image* image = static_cast<const Image*>(user);
  return SetImageProgress(image, kLoadTag, rows_done, height) == MagickFalse ? 1 : 0;
}

// Sets the reader's error on `exception` for a status of libtzf.
void throw_status(ExceptionInfo* exception, const char* filename, int status,
                  const tzf_info& info) {
  switch (status) {
    case TZF_ERROR_NOT_TZF:
      ThrowMagickException(exception, GetMagickModule(), CorruptImageError, "ImproperImageHeader",
                           "`%s'", filename);
      break;
    case TZF_ERROR_BAD_SIZE:
      ThrowMagickException(exception, GetMagickModule(), CorruptImageError,
                           "NegativeOrZeroImageSize", "`%s'", filename);
      break;
    case TZF_ERROR_LIMIT:
    case TZF_ERROR_TOO_LARGE:
      ThrowMagickException(exception, GetMagickModule(), ImageError, "WidthOrHeightExceedsLimit",
                           "`%s': %ux%u pixels, over the TZF limit of %u megapixels", filename,
                           info.width, info.height, TZF_DEFAULT_MAX_PIXELS >> 20);
      break;
    case TZF_ERROR_CANCELLED:
      ThrowMagickException(exception, GetMagickModule(), CorruptImageError, "UnableToReadImageData",
                           "`%s': cancelled", filename);
      break;
    default:
      ThrowMagickException(exception, GetMagickModule(), CorruptImageError, "UnableToReadImageData",
                           "`%s': %s", filename, tzf_status_text(status));
      break;
  }
}

// Reads the extent's flag and command bytes from the blob after the header
// bytes already read (held in `head`) into *kept, grown as they arrive, and
// goes on to the literal part's first byte: the literals the last piece read
// holds are kept too, the rest stay in the blob for the decoder to read.
// *held is the kept bytes held when the data ended or that point was reached.
bool read_kept(Image* image, const tzf_extent& extent, const unsigned char* head, size_t head_size,
               unsigned char** kept, uint64_t* held, ExceptionInfo* exception) {
  unsigned char* chunk = nullptr;
  size_t capacity = 0;
  uint64_t at = 0;
  bool ok = true;
  const unsigned char* piece = head;
  size_t piece_size = head_size;
  const tzf_part& literals = extent.part[TZF_PART_LITERALS];
  *held = 0;
  while (ok && *held < extent.kept_bytes && (*held < literals.kept_at || at < literals.offset)) {
    if (piece == nullptr) {
      if (chunk == nullptr)
        chunk = static_cast<unsigned char*>(AcquireQuantumMemory(kReadChunk, 1));
      if (chunk == nullptr) {
        ok = false;
        break;
      }
      const ssize_t count = ReadBlob(image, kReadChunk, chunk);
      if (count <= 0) break;
      piece = chunk;
      piece_size = static_cast<size_t>(count);
    }
    // Counted first, then copied once the block is large enough.
    const uint64_t now = tzf_keep(&extent, at, piece, piece_size, nullptr);
    if (now > capacity) {
      uint64_t wanted = capacity < kReadChunk ? kReadChunk : uint64_t{capacity} * 2;
      if (wanted < now) wanted = now;
      if (wanted > extent.kept_bytes) wanted = extent.kept_bytes;
      void* grown =
          wanted <= SIZE_MAX ? ResizeQuantumMemory(*kept, static_cast<size_t>(wanted), 1) : nullptr;
      if (grown == nullptr) {
        ok = false;
        break;
      }
      *kept = static_cast<unsigned char*>(grown);
      capacity = static_cast<size_t>(wanted);
    }
    *held = tzf_keep(&extent, at, piece, piece_size, *kept);
    at += piece_size;
    piece = nullptr;
  }
  if (!ok)
    ThrowMagickException(exception, GetMagickModule(), ResourceLimitError, "MemoryAllocationFailed",
                         "`%s'", image->filename);
  chunk = static_cast<unsigned char*>(RelinquishMagickMemory(chunk));
  return ok;
}

// The decoder's reader of the literals that follow the kept ones: the blob.
size_t read_literals(void* user, void* to, size_t count) {
  const ssize_t got = ReadBlob(static_cast<Image*>(user), count, static_cast<unsigned char*>(to));
  return got < 0 ? TZF_READ_FAILED : static_cast<size_t>(got);
}

// Copies decoded pixels into the image: palette indexes for 8-bit pictures,
// blue, green, red for 24-bit ones (through ImageMagick's own import).
bool store_pixels(Image* image, const tzf_info& info, const unsigned char* pixels, size_t stride,
                  ExceptionInfo* exception) {
  if (info.bits_per_pixel != 8)
    return ImportImagePixels(image, 0, 0, info.width, info.height, "BGR", CharPixel, pixels) !=
           MagickFalse;
  for (size_t y = 0; y < info.height; ++y) {
    const unsigned char* from = pixels + y * stride;
    PixelPacket* to =
        QueueAuthenticPixels(image, 0, static_cast<ssize_t>(y), info.width, 1, exception);
    if (to == nullptr) return false;
    IndexPacket* indexes = GetAuthenticIndexQueue(image);
    for (size_t x = 0; x < info.width; ++x) {
      SetPixelIndex(indexes + x, from[x]);
      SetPixelRGBO(to + x, image->colormap + from[x]);
    }
    if (SyncAuthenticPixels(image, exception) == MagickFalse) return false;
  }
  return true;
}

Image* ReadTZFImage(const ImageInfo* image_info, ExceptionInfo* exception) {
  Image* image = nullptr;
  unsigned char* kept = nullptr;
  unsigned char* pixels = nullptr;
  void* buffer = nullptr;
  unsigned char head[TZF_INFO_SIZE];
  tzf_info info{};
  tzf_extent extent{};
  tzf_result result{};
  uint64_t held = 0;
  size_t stride = 0;
  size_t bytes = 0;
  bool ok = true;
  bool done = false;

  image = AcquireImage(image_info);
  if (OpenBlob(image_info, image, kReadBinaryBlobMode, exception) == MagickFalse) {
    image = DestroyImageList(image);
    return nullptr;
  }
  // A pipe may give the header in several pieces.
  size_t head_size = 0;
  for (;;) {
    const ssize_t count = ReadBlob(image, sizeof head - head_size, head + head_size);
    if (count <= 0) break;
    head_size += static_cast<size_t>(count);
    if (head_size == sizeof head) break;
  }
  const int format = TZF_FORMAT_NATIVE;
  int status = tzf_read_info(head, head_size, &info);
  if (status == TZF_OK) status = tzf_check_limits(&info, format, nullptr);
  if (status == TZF_OK) status = tzf_usable_extent(&info, &extent);
  if (status == TZF_OK) status = tzf_output_size(&info, format, &stride, &bytes);
  if (status != TZF_OK) {
    throw_status(exception, image_info->filename, status, info);
    ok = false;
  }
  if (ok) {
    image->columns = info.width;
    image->rows = info.height;
    image->depth = 8;
  }
  // The colour table first, so that the pixel cache is made once, with room
  // for the indexes.
  if (ok && info.bits_per_pixel == 8) {
    ok = AcquireImageColormap(image, info.palette_size) != MagickFalse;
    for (size_t i = 0; ok && i < info.palette_size; ++i) {
      image->colormap[i].red = quantum_of(info.palette[i][0]);
      image->colormap[i].green = quantum_of(info.palette[i][1]);
      image->colormap[i].blue = quantum_of(info.palette[i][2]);
      image->colormap[i].opacity = OpaqueOpacity;
    }
  }
  // ImageMagick's limits hold before the data is read or anything the size
  // of the picture is allocated; in ping mode nothing is allocated.
  if (ok) ok = SetImageExtent(image, image->columns, image->rows) != MagickFalse;
  if (!ok && image->exception.severity != UndefinedException)
    InheritException(exception, &image->exception);
  done = ok && image_info->ping != MagickFalse;
  if (ok && !done) ok = read_kept(image, extent, head, head_size, &kept, &held, exception);
  if (ok && !done) {
    pixels = static_cast<unsigned char*>(AcquireQuantumMemory(bytes > 0 ? bytes : 1, 1));
    if (pixels == nullptr) {
      ThrowMagickException(exception, GetMagickModule(), ResourceLimitError,
                           "MemoryAllocationFailed", "`%s'", image_info->filename);
      ok = false;
    }
  }
  if (ok && !done) {
    buffer = AcquireQuantumMemory(TZF_READ_BUFFER_SIZE, 1);
    if (buffer == nullptr) {
      ThrowMagickException(exception, GetMagickModule(), ResourceLimitError,
                           "MemoryAllocationFailed", "`%s'", image_info->filename);
      ok = false;
    }
  }
  if (ok && !done) {
    tzf_progress progress{report_row, image};
    tzf_parts parts{};
    tzf_reader reader{};
    reader.read = read_literals;
    reader.user = image;
    reader.buffer = buffer;
    status = tzf_parts_of_kept(&info, kept, static_cast<size_t>(held), &parts);
    if (status == TZF_OK)
      status =
          tzf_decode_reading(&info, &parts, &reader, format, pixels, static_cast<ptrdiff_t>(stride),
                             image->progress_monitor != nullptr ? &progress : nullptr, &result);
    if (status != TZF_OK) {
      throw_status(exception, image_info->filename, status, info);
      ok = false;
    }
  }
  if (ok && !done) {
    ok = store_pixels(image, info, pixels, stride, exception);
    if (ok && result.truncated != 0)
      ThrowMagickException(exception, GetMagickModule(), CorruptImageWarning,
                           "InsufficientImageDataInFile",
                           "`%s': the data ends early, %u of %u rows are whole",
                           image_info->filename, result.rows_held, info.height);
  }
  kept = static_cast<unsigned char*>(RelinquishMagickMemory(kept));
  pixels = static_cast<unsigned char*>(RelinquishMagickMemory(pixels));
  buffer = RelinquishMagickMemory(buffer);
  (void)CloseBlob(image);
  if (!ok) image = DestroyImageList(image);
  return image;
}

// How the image is to be written, from the image and the user's settings.
struct WriteChoice {
  tzf_encode_options options;
  bool indexed;  // the colormap's indexes, as an 8-bit file
  bool alpha;    // RGBA pixels, composited by the library
};

WriteChoice choose(const ImageInfo* image_info, const Image* image) {
  WriteChoice choice{};
  choice.alpha = image->matte != MagickFalse;
  const char* bits = GetImageOption(image_info, "tzf:bits-per-pixel");
  if (bits != nullptr && strcmp(bits, "8") == 0)
    choice.options.bits_per_pixel = TZF_DEPTH_8;
  else if (bits != nullptr && strcmp(bits, "24") == 0)
    choice.options.bits_per_pixel = TZF_DEPTH_24;
  else if (image_info->type == PaletteType || image_info->type == PaletteMatteType ||
           image_info->type == PaletteBilevelMatteType)
    choice.options.bits_per_pixel = TZF_DEPTH_8;
  else if (image_info->type == TrueColorType || image_info->type == TrueColorMatteType)
    choice.options.bits_per_pixel = TZF_DEPTH_24;
  const bool palette_image =
      image->storage_class == PseudoClass && image->colors >= 1 && image->colors <= 256;
  choice.indexed = palette_image && !choice.alpha && choice.options.bits_per_pixel != TZF_DEPTH_24;
  if (choice.indexed) choice.options.bits_per_pixel = TZF_DEPTH_8;
  const char* effort = GetImageOption(image_info, "tzf:effort");
  if (effort != nullptr && strcmp(effort, "fast") == 0)
    choice.options.effort = TZF_EFFORT_FAST;
  else if (effort == nullptr && image_info->quality >= 1 && image_info->quality < 50)
    choice.options.effort = TZF_EFFORT_FAST;
  if (image_info->dither == MagickFalse) choice.options.dither = TZF_DITHER_NONE;
  const PixelPacket& background = image_info->background_color;
  choice.options.background = TZF_BACKGROUND((uint32_t{ScaleQuantumToChar(background.red)} << 16) |
                                             (uint32_t{ScaleQuantumToChar(background.green)} << 8) |
                                             ScaleQuantumToChar(background.blue));
  return choice;
}

// Copies the image's colormap indexes into `pixels` (width x height bytes).
bool export_indexes(const Image* image, unsigned char* pixels, ExceptionInfo* exception) {
  for (size_t y = 0; y < image->rows; ++y) {
    const PixelPacket* row =
        GetVirtualPixels(image, 0, static_cast<ssize_t>(y), image->columns, 1, exception);
    const IndexPacket* indexes = GetVirtualIndexQueue(image);
    if (row == nullptr || indexes == nullptr) return false;
    unsigned char* to = pixels + y * image->columns;
    for (size_t x = 0; x < image->columns; ++x) {
      const size_t index = GetPixelIndex(indexes + x);
      if (index >= image->colors) return false;
      to[x] = static_cast<unsigned char>(index);
    }
  }
  return true;
}

MagickBooleanType WriteTZFImage(const ImageInfo* image_info, Image* image) {
  unsigned char* pixels = nullptr;
  void* work = nullptr;
  unsigned char* out = nullptr;
  uint8_t palette[256][3];
  tzf_image picture{};
  tzf_encode_result result{};
  size_t max_file_bytes = 0;
  size_t work_bytes = 0;
  ExceptionInfo* exception = &image->exception;
  bool ok = true;
  int status = TZF_OK;

  if (OpenBlob(image_info, image, kWriteBinaryBlobMode, exception) == MagickFalse)
    return MagickFalse;
  // Does nothing to an image in sRGB already.
  ok = TransformImageColorspace(image, sRGBColorspace) != MagickFalse;
  const WriteChoice choice = choose(image_info, image);
  const size_t channels = choice.indexed ? 1 : choice.alpha ? 4 : 3;
  const size_t width = image->columns;
  const size_t height = image->rows;
  if (ok && (width == 0 || height == 0 || width > UINT32_MAX || height > UINT32_MAX)) {
    ThrowMagickException(exception, GetMagickModule(), CoderError,
                         "ImageColumnOrRowSizeIsNotSupported", "`%s': %zux%zu pixels",
                         image->filename, width, height);
    ok = false;
  }
  if (ok) {
    picture.width = static_cast<uint32_t>(width);
    picture.height = static_cast<uint32_t>(height);
    picture.format = TZF_FORMAT_RGB;
    if (choice.alpha) picture.format = TZF_FORMAT_RGBA;
    if (choice.indexed) picture.format = TZF_FORMAT_INDEX;
    picture.stride = static_cast<ptrdiff_t>(width * channels);
    // The pixels are not there yet: the sizes depend on the dimensions only.
    picture.pixels = palette;
    if (choice.indexed) {
      for (size_t i = 0; i < image->colors; ++i) {
        palette[i][0] = ScaleQuantumToChar(image->colormap[i].red);
        palette[i][1] = ScaleQuantumToChar(image->colormap[i].green);
        palette[i][2] = ScaleQuantumToChar(image->colormap[i].blue);
      }
      picture.palette = palette;
      picture.palette_size = static_cast<uint32_t>(image->colors);
    }
    status = tzf_encode_size(&picture, &choice.options, &max_file_bytes, &work_bytes);
    if (status == TZF_ERROR_TOO_LARGE) {
      ThrowMagickException(
          exception, GetMagickModule(), CoderError, "ImageColumnOrRowSizeIsNotSupported",
          "`%s': %zux%zu pixels are more than a TZF file holds", image->filename, width, height);
      ok = false;
    } else if (status != TZF_OK) {
      ThrowMagickException(exception, GetMagickModule(), CoderError,
                           "Unable to write the TZF picture", "`%s': %s", image->filename,
                           tzf_status_text(status));
      ok = false;
    }
  }
  if (ok) {
    // Within the format's limits, checked above: at most 2^28 pixels.
    pixels = static_cast<unsigned char*>(AcquireQuantumMemory(width * channels, height));
    if (work_bytes > 0) work = AcquireQuantumMemory(work_bytes, 1);
    out = static_cast<unsigned char*>(AcquireQuantumMemory(max_file_bytes, 1));
    if (pixels == nullptr || (work_bytes > 0 && work == nullptr) || out == nullptr) {
      ThrowMagickException(exception, GetMagickModule(), ResourceLimitError,
                           "MemoryAllocationFailed", "`%s'", image->filename);
      ok = false;
    }
  }
  if (ok) {
    ok = choice.indexed
             ? export_indexes(image, pixels, exception)
             : ExportImagePixels(image, 0, 0, width, height, choice.alpha ? "RGBA" : "RGB",
                                 CharPixel, pixels, exception) != MagickFalse;
    if (!ok)
      ThrowMagickException(exception, GetMagickModule(), CoderError,
                           "Unable to write the TZF picture", "`%s'", image->filename);
  }
  if (ok) {
    picture.pixels = pixels;
    status = tzf_encode(&picture, &choice.options, work, work_bytes, out, max_file_bytes, &result);
    if (status != TZF_OK) {
      ThrowMagickException(exception, GetMagickModule(), CoderError,
                           "Unable to write the TZF picture", "`%s': %s", image->filename,
                           tzf_status_text(status));
      ok = false;
    }
  }
  if (ok && WriteBlob(image, result.size, out) != static_cast<ssize_t>(result.size)) {
    ThrowMagickException(exception, GetMagickModule(), CoderError,
                         "Unable to write the TZF picture", "`%s'", image->filename);
    ok = false;
  }
  if (ok) (void)SetImageProgress(image, kSaveTag, 1, 1);
  pixels = static_cast<unsigned char*>(RelinquishMagickMemory(pixels));
  work = RelinquishMagickMemory(work);
  out = static_cast<unsigned char*>(RelinquishMagickMemory(out));
  (void)CloseBlob(image);
  return ok ? MagickTrue : MagickFalse;
}

}  // namespace

size_t RegisterTZFImage(void) {
  MagickInfo* entry = SetMagickInfo("TZF");
  entry->decoder = ReadTZFImage;
  entry->encoder = WriteTZFImage;
  entry->magick = IsTZF;
  entry->adjoin = MagickFalse;
  entry->description = ConstantString("TZF picture (8-bit palette or 24-bit true colour)");
  entry->mime_type = ConstantString("image/x-tzf");
  entry->magick_module = ConstantString("TZF");
  (void)RegisterMagickInfo(entry);
  return MagickImageCoderSignature;
}

void UnregisterTZFImage(void) { (void)UnregisterMagickInfo("TZF"); }
