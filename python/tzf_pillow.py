"""Pillow plug-in for TZF pictures, decoding through libtzf.

    import tzf_pillow          # registers the format with Pillow
    from PIL import Image
    with Image.open("picture.tzf") as im:
        im.load()

Opening reads the header and the colour table only (1088 bytes at most) and
sets the size and the mode: "P" with the picture's colour table for 8-bit
pictures, "RGB" for 24-bit ones. Loading reads the rest of the file (never
more than a picture of that size can use) and decodes it with libtzf's
tzf_decode. Data missing at the end of a truncated file reads as zero bytes,
as in every other reader of the format.

The library is loaded by its soname, libtzf.so.0; the environment variable
TZF_LIBRARY names another file to load instead (a build folder's library, for
instance).
"""

import ctypes
import os
import struct

from PIL import Image, ImageFile, ImagePalette

__all__ = ["TzfImageFile", "library_version"]

FORMAT = "TZF"
FORMAT_DESCRIPTION = "TZF picture"
MIME_TYPE = "image/x-tzf"
EXTENSION = ".tzf"
DECODER = "tzf"
SIGNATURE = b"TZF\0"

# From include/tzf/tzf.h.
TZF_HEADER_SIZE = 64
TZF_INFO_SIZE = 1088
TZF_PALETTE_BYTES = 1024
# Where the header keeps the flag and command streams' lengths, two 32-bit
# little-endian numbers.
_STREAM_LENGTHS_OFFSET = 48
TZF_OK = 0
TZF_ERROR_BAD_SIZE = 2
TZF_FORMAT_RGB = 1
TZF_FORMAT_NATIVE = 3

# Decoded pixels are handed to Pillow in pieces of about this many bytes, so
# that only one piece exists twice at a time.
_COPY_CHUNK = 1 << 20
_READ_CHUNK = 1 << 20


class TzfInfo(ctypes.Structure):
    """struct tzf_info, field for field (tzf_info_layout.c prints the C side)."""

    _fields_ = [
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("bits_per_pixel", ctypes.c_uint32),
        ("version", ctypes.c_uint32),
        ("palette_size", ctypes.c_uint32),
        ("palette", (ctypes.c_uint8 * 3) * 256),
        ("flag_stream_length", ctypes.c_uint32),
        ("command_stream_length", ctypes.c_uint32),
        ("literal_offset", ctypes.c_uint64),
        ("truncated", ctypes.c_uint32),
    ]


def _load_library():
    path = os.environ.get("TZF_LIBRARY") or "libtzf.so.0"
    try:
        lib = ctypes.CDLL(path)
    except OSError as e:
        raise ImportError(f"tzf_pillow: cannot load the TZF library {path!r}: {e}") from e
    info_p = ctypes.POINTER(TzfInfo)
    size_p = ctypes.POINTER(ctypes.c_size_t)
    signatures = {
        "tzf_is_tzf": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_size_t]),
        "tzf_read_info": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_size_t, info_p]),
        "tzf_output_size": (ctypes.c_int, [info_p, ctypes.c_int, size_p, size_p]),
        "tzf_decode": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                                      ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_void_p]),
        "tzf_status_text": (ctypes.c_char_p, [ctypes.c_int]),
        "tzf_version": (ctypes.c_char_p, []),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


_LIB = _load_library()


def library_version():
    """The loaded libtzf's version, "MAJOR.MINOR.PATCH"."""
    return _LIB.tzf_version().decode("ascii", "replace")


def _status_text(status):
    return _LIB.tzf_status_text(status).decode("utf-8", "replace")


def _is_tzf(head):
    return _LIB.tzf_is_tzf(head, len(head)) == 1


def _read_info(data):
    """(status, TzfInfo) for the first bytes of a file."""
    info = TzfInfo()
    status = _LIB.tzf_read_info(data, len(data), ctypes.byref(info))
    return status, info


def read_limit(width, height):
    """The most bytes a width x height picture can make use of: header, colour
    table, one flag bit and a third of a command byte per pixel (a run covers
    three pixels or more), three literal bytes per pixel."""
    pixels = width * height
    return (TZF_HEADER_SIZE + TZF_PALETTE_BYTES + (pixels + 7) // 8 + (pixels + 2) // 3
            + 3 * pixels)


def _read_at_most(fp, limit):
    """Reads from fp until its end or `limit` bytes, in pieces, so that no
    buffer of the size a hostile header asks for is ever allocated ahead."""
    pieces = []
    left = limit
    while left > 0:
        piece = fp.read(min(left, _READ_CHUNK))
        if not piece:
            break
        pieces.append(piece)
        left -= len(piece)
    return b"".join(pieces)


def _read_picture(fp, info):
    """The parts of the file that decoding can use, at most read_limit bytes.

    A header may declare flag and command streams longer than any picture of
    its size uses, which would put the literal stream anywhere in a large
    file. Only the usable start of each stream is read, and the header's two
    lengths are rewritten to match, which decodes to the same pixels. Data
    that ends early stays short: what is missing reads as zero either way.
    """
    pixels = info.width * info.height
    start = TZF_INFO_SIZE if info.bits_per_pixel == 8 else TZF_HEADER_SIZE
    flags = min(info.flag_stream_length, (pixels + 7) // 8)
    commands = min(info.command_stream_length, (pixels + 2) // 3)
    fp.seek(0)
    data = bytearray(_read_at_most(fp, start))
    if len(data) < start:
        return bytes(data)
    struct.pack_into("<II", data, _STREAM_LENGTHS_OFFSET, flags, commands)
    parts = [bytes(data)]
    for offset, length in ((start, flags), (start + info.flag_stream_length, commands)):
        fp.seek(offset)
        part = _read_at_most(fp, length)
        if len(part) < length:
            # Missing flag and command bytes read as zero, and the literal
            # stream is gone.
            return b"".join(parts) + part + bytes(length - len(part))
        parts.append(part)
    fp.seek(info.literal_offset)
    parts.append(_read_at_most(fp, pixels * info.bits_per_pixel // 8))
    return b"".join(parts)


def _accept(prefix):
    # Pillow passes the first 16 bytes; the whole rule needs 64 and is
    # applied again by _open.
    if prefix[:4] != SIGNATURE:
        return False
    return len(prefix) < TZF_HEADER_SIZE or _is_tzf(prefix)


class TzfImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = FORMAT_DESCRIPTION

    def _open(self):
        head = self.fp.read(TZF_INFO_SIZE)
        if not _is_tzf(head):
            raise SyntaxError("not a TZF picture")
        status, info = _read_info(head)
        if status == TZF_ERROR_BAD_SIZE:
            # A TZF picture, but one that no image can hold: no other format
            # will take it either, so say what is wrong with it.
            raise OSError(f"cannot open TZF picture: {_status_text(status)}")
        if status != TZF_OK:
            raise SyntaxError(f"not a TZF picture: {_status_text(status)}")
        if info.bits_per_pixel == 8:
            self.mode = "P"
            tzf_format = TZF_FORMAT_NATIVE
            self.palette = _palette(info)
        else:
            self.mode = "RGB"
            tzf_format = TZF_FORMAT_RGB
        self._size = (info.width, info.height)
        streams = (info.flag_stream_length, info.command_stream_length, info.literal_offset)
        self.tile = [(DECODER, (0, 0) + self.size, 0, (tzf_format, info.bits_per_pixel)
                      + streams)]


def _palette(info):
    table = ctypes.string_at(ctypes.addressof(info.palette), ctypes.sizeof(info.palette))
    return ImagePalette.raw("RGB", table)


class TzfDecoder(ImageFile.PyDecoder):
    """Reads the whole picture from the file and decodes it with tzf_decode
    into a buffer, which is then copied into the image a band of rows at a
    time."""

    _pulls_fd = True

    def decode(self, buffer):
        tzf_format, bits, flags, commands, literal_offset = self.args
        opened = TzfInfo(width=self.state.xsize, height=self.state.ysize, bits_per_pixel=bits,
                         flag_stream_length=flags, command_stream_length=commands,
                         literal_offset=literal_offset)
        data = _read_picture(self.fd, opened)
        status, info = _read_info(data)
        if status != TZF_OK:
            raise OSError(f"cannot load TZF picture: {_status_text(status)}")
        if (info.width, info.height, info.bits_per_pixel) != (opened.width, opened.height, bits):
            raise OSError("cannot load TZF picture: the file changed since it was opened")
        stride = ctypes.c_size_t()
        size = ctypes.c_size_t()
        status = _LIB.tzf_output_size(ctypes.byref(info), tzf_format, ctypes.byref(stride),
                                      ctypes.byref(size))
        if status != TZF_OK:
            raise OSError(f"cannot load TZF picture: {_status_text(status)}")
        pixels = bytearray(size.value)
        if size.value:
            out = (ctypes.c_char * size.value).from_buffer(pixels)
            status = _LIB.tzf_decode(data, len(data), tzf_format, out, stride.value, None)
            del out  # releases the export, so that the bytearray can be sliced
            if status != TZF_OK:
                raise OSError(f"cannot load TZF picture: {_status_text(status)}")
        self._copy_into_image(pixels, stride.value)
        return -1, 0

    def _copy_into_image(self, pixels, stride):
        rawmode = "P" if self.mode == "P" else "RGB"
        raw = Image._getdecoder(self.mode, "raw", (rawmode, stride, 1))
        raw.setimage(self.im, self.state.extents())
        view = memoryview(pixels)
        step = max(1, _COPY_CHUNK // max(stride, 1)) * stride
        result = (0, 0)
        for start in range(0, len(pixels), step):
            result = raw.decode(bytes(view[start:start + step]))
        view.release()
        if result[0] >= 0 or result[1] != 0:
            raise OSError("cannot load TZF picture: the decoded rows do not fill the image")


Image.register_open(FORMAT, TzfImageFile, _accept)
Image.register_extension(FORMAT, EXTENSION)
Image.register_mime(FORMAT, MIME_TYPE)
Image.register_decoder(DECODER, TzfDecoder)
