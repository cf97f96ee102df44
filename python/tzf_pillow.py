"""Pillow plug-in for TZF pictures, decoding and encoding through libtzf.

    import tzf_pillow          # registers the format with Pillow
    from PIL import Image
    with Image.open("picture.tzf") as im:
        im.load()
    im.save("copy.tzf")        # or im.save(fp, "TZF", effort="fast")

Opening reads the header and the colour table only (the first TZF_INFO_SIZE
bytes at most), checks the picture against Pillow's Image.MAX_IMAGE_PIXELS
through libtzf's limits and sets the size and the mode: "P" with the
picture's colour table for 8-bit pictures, "RGB" for 24-bit ones. Loading
reads only the parts of the file that libtzf's usable extent names and
decodes them. A file that ends early raises OSError("image file is truncated
..."), unless ImageFile.LOAD_TRUNCATED_IMAGES is set: then what is missing
reads as zero bytes and the picture loads.

Every number of the C interface (status values, formats, the layout of each
record) comes from _tzf_abi, which the build writes from tzf/tzf.h; records
are byte buffers of the size given there, their fields read and written at
the offsets given there.

Saving hands Pillow's pixels to libtzf's tzf_encode_size and tzf_encode,
which write the whole file into a buffer; the plug-in writes that to the
file. Modes "P" and "L" (a grey colour table) give an 8-bit picture keeping
their colours, "RGB" a 24-bit one; "RGBA", "LA", "PA" and "P" with
transparency are composited over white or the background given. "1" is
saved as "L", "RGBX", "CMYK", "YCbCr" and "HSV" as "RGB", "La" and "RGBa"
as "RGBA"; other modes raise OSError. Options of Image.save:
    bits=8 or 24        8-bit or 24-bit file: 8 for "P", "L" and "1",
                        24 otherwise; 8 bits from true colour keep up to
                        256 colours exactly, and choose a palette for more
    effort="smallest"   the smallest file (the default), or "fast"
    dither=True/False   error diffusion when a palette is chosen (default
                        True)
    background=(r, g, b) or a colour name: what transparent pixels are
                        composited over (default white)

The library is loaded by its soname, libtzf.so.0; the environment variable
TZF_LIBRARY names another file to load instead (a build folder's library, for
instance).
"""

import ctypes
import os
import struct

from PIL import Image, ImageColor, ImageFile, ImagePalette

import _tzf_abi as abi

__all__ = ["TzfImageFile", "library_version"]

FORMAT = "TZF"
FORMAT_DESCRIPTION = "TZF picture"
MIME_TYPE = "image/x-tzf"
EXTENSION = ".tzf"
DECODER = "tzf"
SIGNATURE = b"TZF\0"

# Files are read, and decoded pixels handed to Pillow, in pieces of about
# this many bytes, so that no buffer of the size a hostile header asks for is
# allocated ahead and only one piece of the pixels exists twice at a time.
_CHUNK = 1 << 20

_UNITS = {1: ctypes.c_uint8, 2: ctypes.c_uint16, 4: ctypes.c_uint32, 8: ctypes.c_uint64}


# --- records: byte buffers laid out as _tzf_abi says ------------------------

def _record(name, data=None):
    """A zeroed record `name`, aligned as C aligns it, or a copy of `data`."""
    size, align, _ = abi.RECORDS[name]
    record = (_UNITS[align] * ((size + align - 1) // align))()
    if data is not None:
        ctypes.memmove(record, data, size)
    return record


def _get(record, name, field, base=0):
    """Field `field` of the record `name` that starts `base` bytes into `record`."""
    offset, form, _ = abi.RECORDS[name][2][field]
    return struct.unpack_from("=" + form, record, base + offset)[0]


def _set(record, name, field, value):
    offset, form, _ = abi.RECORDS[name][2][field]
    struct.pack_into("=" + form, record, offset, value)


def _part(extent, index, field):
    """Field `field` of the extent's part `index`."""
    offset, element, count = abi.RECORDS["tzf_extent"][2]["part"]
    if not 0 <= index < count:
        raise IndexError(f"tzf_extent.part[{index}]")
    return _get(extent, element, field, base=offset + index * abi.RECORDS[element][0])


# --- the library ---------------------------------------------------------------

def _load_library():
    path = os.environ.get("TZF_LIBRARY") or "libtzf.so.0"
    try:
        lib = ctypes.CDLL(path)
    except OSError as e:
        raise ImportError(f"tzf_pillow: cannot load the TZF library {path!r}: {e}") from e
    record = ctypes.c_void_p
    size_p = ctypes.POINTER(ctypes.c_size_t)
    signatures = {
        "tzf_version_number": (ctypes.c_uint32, []),
        "tzf_is_tzf": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_size_t]),
        "tzf_read_info": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_size_t, record]),
        "tzf_output_size": (ctypes.c_int, [record, ctypes.c_int, size_p, size_p]),
        "tzf_check_limits": (ctypes.c_int, [record, ctypes.c_int, record]),
        "tzf_usable_extent": (ctypes.c_int, [record, record]),
        "tzf_keep": (ctypes.c_uint64, [record, ctypes.c_uint64, ctypes.c_void_p,
                                       ctypes.c_size_t, ctypes.c_void_p]),
        "tzf_decode_kept": (ctypes.c_int, [record, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                                           ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_void_p,
                                           record]),
        "tzf_encode_size": (ctypes.c_int, [record, record, size_p, size_p]),
        "tzf_encode": (ctypes.c_int, [record, record, ctypes.c_void_p, ctypes.c_size_t,
                                      ctypes.c_void_p, ctypes.c_size_t, record]),
        "tzf_status_text": (ctypes.c_char_p, [ctypes.c_int]),
        "tzf_version": (ctypes.c_char_p, []),
    }
    for name, (restype, argtypes) in signatures.items():
        try:
            function = getattr(lib, name)
        except AttributeError as e:
            raise ImportError(f"tzf_pillow: the TZF library {path!r} is older than "
                              f"{abi.TZF_VERSION}, which this plug-in needs") from e
        function.restype = restype
        function.argtypes = argtypes
    number = lib.tzf_version_number()
    if number // 10000 != abi.TZF_VERSION_MAJOR or number < abi.TZF_VERSION_NUMBER:
        raise ImportError(f"tzf_pillow: the TZF library {path!r} is version {number}, "
                          f"this plug-in needs {abi.TZF_VERSION} or a later {abi.TZF_VERSION_MAJOR}.x")
    return lib


_LIB = _load_library()


def library_version():
    """The loaded libtzf's version, "MAJOR.MINOR.PATCH"."""
    return _LIB.tzf_version().decode("ascii", "replace")


def _status_text(status):
    return _LIB.tzf_status_text(status).decode("utf-8", "replace")


def _is_tzf(head):
    return _LIB.tzf_is_tzf(head, len(head)) == 1


def _limits():
    """Pillow's decompression-bomb limit as libtzf's: Pillow refuses a picture
    of more than twice Image.MAX_IMAGE_PIXELS (at least 1 here, as 0 would be
    libtzf's default), and None lifts every limit. The decoded bytes keep
    libtzf's default limit unless MAX_IMAGE_PIXELS is None."""
    limits = _record("tzf_limits")
    if Image.MAX_IMAGE_PIXELS is None:
        _set(limits, "tzf_limits", "max_pixels", abi.UINT64_MAX)
        _set(limits, "tzf_limits", "max_output_bytes", abi.UINT64_MAX)
    else:
        _set(limits, "tzf_limits", "max_pixels",
             max(1, min(int(2 * Image.MAX_IMAGE_PIXELS), abi.UINT64_MAX)))
    return limits


def _check_limits(info, tzf_format):
    """Raises unless libtzf may decode the picture under Pillow's limit."""
    status = _LIB.tzf_check_limits(info, tzf_format, _limits())
    if status == abi.TZF_ERROR_LIMIT:
        width, height = _get(info, "tzf_info", "width"), _get(info, "tzf_info", "height")
        raise Image.DecompressionBombError(
            f"TZF picture of {width} x {height} pixels is over the limits "
            f"(Image.MAX_IMAGE_PIXELS is {Image.MAX_IMAGE_PIXELS}): {_status_text(status)}")
    if status != abi.TZF_OK:
        raise OSError(f"cannot open TZF picture: {_status_text(status)}")


def _read_kept(fp, head, extent, kept):
    """Reads the bytes of the extent's parts into `kept` (the pointer to a
    buffer of extent.kept_bytes bytes) and returns how many of them the file
    held, counted from the first: the file may end early.

    A seekable file is read part by part; any other is read in order from
    just after `head`, its first bytes, which are kept too."""
    seekable = getattr(fp, "seekable", lambda: True)()
    if seekable:
        spans = [(_part(extent, i, "offset"), _part(extent, i, "length"))
                 for i in range(abi.TZF_PART_COUNT)]
        held = 0
    else:
        held = _LIB.tzf_keep(extent, 0, head, len(head), kept)
        end = _get(extent, "tzf_extent", "end")
        spans = [(len(head), max(0, end - len(head)))]
    for offset, length in spans:
        if length == 0:
            continue
        if seekable:
            fp.seek(offset)
        at = offset
        while at < offset + length:
            chunk = fp.read(min(offset + length - at, _CHUNK))
            if not chunk:
                return held  # the file ends here: nothing after it is there
            held = _LIB.tzf_keep(extent, at, chunk, len(chunk), kept)
            at += len(chunk)
    return held


def _accept(prefix):
    # Pillow passes the first 16 bytes; the whole rule needs TZF_HEADER_SIZE
    # and is applied again by _open.
    if prefix[:4] != SIGNATURE:
        return False
    return len(prefix) < abi.TZF_HEADER_SIZE or _is_tzf(prefix)


class TzfImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = FORMAT_DESCRIPTION

    def _open(self):
        head = self.fp.read(abi.TZF_INFO_SIZE)
        if not _is_tzf(head):
            raise SyntaxError("not a TZF picture")
        info = _record("tzf_info")
        status = _LIB.tzf_read_info(head, len(head), info)
        if status == abi.TZF_ERROR_BAD_SIZE:
            # A TZF picture, but one that no image can hold: no other format
            # will take it either, so say what is wrong with it.
            raise OSError(f"cannot open TZF picture: {_status_text(status)}")
        if status != abi.TZF_OK:
            raise SyntaxError(f"not a TZF picture: {_status_text(status)}")
        if _get(info, "tzf_info", "bits_per_pixel") == 8:
            self.mode = "P"
            tzf_format = abi.TZF_FORMAT_NATIVE
            self.palette = ImagePalette.raw("RGB", _get(info, "tzf_info", "palette"))
        else:
            self.mode = "RGB"
            tzf_format = abi.TZF_FORMAT_RGB
        # Before Pillow allocates anything for the picture.
        _check_limits(info, tzf_format)
        self._size = (_get(info, "tzf_info", "width"), _get(info, "tzf_info", "height"))
        # The decoder takes the picture as opened: its record and first bytes.
        self.tile = [(DECODER, (0, 0) + self.size, len(head),
                      (tzf_format, bytes(info), head))]


class TzfDecoder(ImageFile.PyDecoder):
    """Keeps the bytes of the file that decoding can use, decodes them with
    tzf_decode_kept into a buffer, and copies that into the image a band of
    rows at a time."""

    _pulls_fd = True

    def decode(self, buffer):
        tzf_format, info_bytes, head = self.args
        info = _record("tzf_info", info_bytes)
        # Image.MAX_IMAGE_PIXELS may have changed since the picture was opened.
        _check_limits(info, tzf_format)
        stride = ctypes.c_size_t()
        size = ctypes.c_size_t()
        status = _LIB.tzf_output_size(info, tzf_format, ctypes.byref(stride), ctypes.byref(size))
        if status != abi.TZF_OK:
            raise OSError(f"cannot load TZF picture: {_status_text(status)}")
        extent = _record("tzf_extent")
        status = _LIB.tzf_usable_extent(info, extent)
        if status != abi.TZF_OK:
            raise OSError(f"cannot load TZF picture: {_status_text(status)}")

        kept = None
        out = None
        result = _record("tzf_result")
        kept_bytes = bytearray(_get(extent, "tzf_extent", "kept_bytes"))
        pixels = bytearray(size.value)
        try:
            if kept_bytes:
                kept = (ctypes.c_char * len(kept_bytes)).from_buffer(kept_bytes)
            held = _read_kept(self.fd, head, extent, kept)
            if pixels:
                out = (ctypes.c_char * len(pixels)).from_buffer(pixels)
            status = _LIB.tzf_decode_kept(info, kept, held, tzf_format, out, stride.value, None,
                                          result)
        finally:
            # Releases the exports, so that the bytearrays can be sliced.
            del kept, out
        kept_bytes = None
        if status != abi.TZF_OK:
            raise OSError(f"cannot load TZF picture: {_status_text(status)}")
        if _get(result, "tzf_result", "truncated") and not ImageFile.LOAD_TRUNCATED_IMAGES:
            raise OSError(f"image file is truncated ({_get(result, 'tzf_result', 'rows_held')} "
                          f"of {self.state.ysize} rows in the file; set "
                          "ImageFile.LOAD_TRUNCATED_IMAGES to load the rest as zero)")
        self._copy_into_image(pixels, stride.value)
        return -1, 0

    def _copy_into_image(self, pixels, stride):
        rawmode = "P" if self.mode == "P" else "RGB"
        raw = Image._getdecoder(self.mode, "raw", (rawmode, stride, 1))
        raw.setimage(self.im, self.state.extents())
        view = memoryview(pixels)
        step = max(1, _CHUNK // max(stride, 1)) * stride
        result = (0, 0)
        for start in range(0, len(pixels), step):
            result = raw.decode(bytes(view[start:start + step]))
        view.release()
        if result[0] >= 0 or result[1] != 0:
            raise OSError("cannot load TZF picture: the decoded rows do not fill the image")


# --- saving ------------------------------------------------------------------

# The mode each of Pillow's modes is saved as; "P" with transparency is saved
# as "RGBA". Modes not here (16-bit and floating-point grey, ...) would lose
# values and are refused.
_SAVED_AS = {"1": "L", "L": "L", "P": "P", "RGB": "RGB", "RGBX": "RGB", "CMYK": "RGB",
             "YCbCr": "RGB", "HSV": "RGB", "RGBA": "RGBA", "RGBa": "RGBA", "LA": "RGBA",
             "La": "RGBA", "PA": "RGBA"}
_EFFORTS = {"smallest": abi.TZF_EFFORT_SMALLEST, "fast": abi.TZF_EFFORT_FAST}
_DEPTHS = {8: abi.TZF_DEPTH_8, 24: abi.TZF_DEPTH_24}
_DITHERS = {None: abi.TZF_DITHER_DEFAULT, True: abi.TZF_DITHER_ERROR_DIFFUSION,
            False: abi.TZF_DITHER_NONE}
_GREYS = bytes(i for i in range(256) for _ in range(3))


def _encode_options(encoderinfo, default_bits):
    """The tzf_encode_options record for Image.save's keyword arguments."""
    effort = encoderinfo.get("effort", "smallest")
    bits = encoderinfo.get("bits", default_bits)
    dither = encoderinfo.get("dither")
    background = encoderinfo.get("background")
    if not isinstance(effort, str) or effort not in _EFFORTS:
        raise ValueError(f"TZF effort must be 'smallest' or 'fast', not {effort!r}")
    if isinstance(bits, bool) or bits not in _DEPTHS:
        raise ValueError(f"TZF bits must be 8 or 24, not {bits!r}")
    if not (dither is None or isinstance(dither, bool)):
        raise ValueError(f"TZF dither must be True or False, not {dither!r}")
    options = _record("tzf_encode_options")
    _set(options, "tzf_encode_options", "effort", _EFFORTS[effort])
    _set(options, "tzf_encode_options", "bits_per_pixel", _DEPTHS[bits])
    _set(options, "tzf_encode_options", "dither", _DITHERS[dither])
    if background is not None:
        if isinstance(background, str):
            background = ImageColor.getrgb(background)[:3]  # ValueError for no colour
        if (not isinstance(background, (tuple, list)) or len(background) != 3
                or not all(isinstance(c, int) and not isinstance(c, bool) and 0 <= c <= 255
                           for c in background)):
            raise ValueError("TZF background must be (red, green, blue) of 0 to 255 or a "
                             f"colour name, not {background!r}")
        red, green, blue = background
        _set(options, "tzf_encode_options", "background",
             abi.TZF_BACKGROUND(red << 16 | green << 8 | blue))
    return options


def _colour_table(im):
    """The colours a "P" image's indices show when Pillow converts it to
    "RGB": its colour table, made longer when some pixel indexes past it."""
    table = im.getpalette("RGB") or []
    count = max(len(table) // 3, im.getextrema()[1] + 1)
    if count * 3 > len(table):
        strip = im.crop((0, 0, 1, 1)).resize((256, 1), Image.NEAREST)
        strip.putdata(range(256))
        table = strip.convert("RGB").tobytes()
    return bytes(table[:count * 3])


def _encode_error(status):
    text = _status_text(status)
    if status in (abi.TZF_ERROR_BAD_SIZE, abi.TZF_ERROR_BAD_ARGUMENT):
        return ValueError(f"cannot write TZF picture: {text}")
    return OSError(f"cannot write TZF picture: {text}")


def _save(im, fp, filename):
    """Encodes `im` with libtzf and writes the file to `fp`."""
    mode = _SAVED_AS.get(im.mode)
    if mode is None:
        raise OSError(f"cannot write mode {im.mode} as TZF")
    options = _encode_options(im.encoderinfo, 8 if mode in ("P", "L") else 24)
    if mode == "P" and ("transparency" in im.info or im.palette.mode == "RGBA"):
        mode = "RGBA"
    if im.mode == "La":  # Pillow unpremultiplies it only to "LA"
        im = im.convert("LA")
    if mode != im.mode:
        im = im.convert(mode)

    image = _record("tzf_image")
    _set(image, "tzf_image", "width", im.width)
    _set(image, "tzf_image", "height", im.height)
    palette = None
    if mode in ("P", "L"):
        tzf_format, pixel_bytes = abi.TZF_FORMAT_INDEX, 1
        table = _colour_table(im) if mode == "P" and im.width and im.height else _GREYS
        palette = ctypes.create_string_buffer(table, len(table))
        _set(image, "tzf_image", "palette", ctypes.addressof(palette))
        _set(image, "tzf_image", "palette_size", len(table) // 3)
    elif mode == "RGB":
        tzf_format, pixel_bytes = abi.TZF_FORMAT_RGB, 3
    else:
        tzf_format, pixel_bytes = abi.TZF_FORMAT_RGBA, 4
    _set(image, "tzf_image", "format", tzf_format)
    _set(image, "tzf_image", "stride", im.width * pixel_bytes)
    # The rows top down, without gaps; c_char_p points into the bytes object.
    pixels = im.tobytes("raw", mode)
    pixels_pointer = ctypes.c_char_p(pixels)
    _set(image, "tzf_image", "pixels", ctypes.cast(pixels_pointer, ctypes.c_void_p).value)

    max_file_bytes = ctypes.c_size_t()
    work_bytes = ctypes.c_size_t()
    status = _LIB.tzf_encode_size(image, options, ctypes.byref(max_file_bytes),
                                  ctypes.byref(work_bytes))
    if status != abi.TZF_OK:
        raise _encode_error(status)
    work = None
    out = None
    result = _record("tzf_encode_result")
    work_bytes = bytearray(work_bytes.value)
    file_bytes = bytearray(max_file_bytes.value)
    try:
        if work_bytes:
            work = (ctypes.c_char * len(work_bytes)).from_buffer(work_bytes)
        if file_bytes:
            out = (ctypes.c_char * len(file_bytes)).from_buffer(file_bytes)
        status = _LIB.tzf_encode(image, options, work, len(work_bytes), out, len(file_bytes),
                                 result)
    finally:
        # Releases the exports, so that the bytearrays can be sliced.
        del work, out
    work_bytes = None
    del pixels_pointer, pixels, palette
    if status != abi.TZF_OK:
        raise _encode_error(status)
    with memoryview(file_bytes) as view:
        fp.write(view[:_get(result, "tzf_encode_result", "size")])


Image.register_open(FORMAT, TzfImageFile, _accept)
Image.register_save(FORMAT, _save)
Image.register_extension(FORMAT, EXTENSION)
Image.register_mime(FORMAT, MIME_TYPE)
Image.register_decoder(DECODER, TzfDecoder)
