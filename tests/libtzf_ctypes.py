"""libtzf called through ctypes, for the integrations' tests and benchmarks:
the header record as include/tzf/tzf.h lays it out, and whole files decoded
to RGB by the library itself, the reference every surface is held to."""
import ctypes
import mmap

TZF_FORMAT_RGB = 1


class Info(ctypes.Structure):
    """tzf_info."""
    _fields_ = [("width", ctypes.c_uint32), ("height", ctypes.c_uint32),
                ("bits_per_pixel", ctypes.c_uint32), ("version", ctypes.c_uint32),
                ("palette_size", ctypes.c_uint32), ("palette", ctypes.c_uint8 * 768),
                ("flag_stream_length", ctypes.c_uint32),
                ("command_stream_length", ctypes.c_uint32),
                ("literal_offset", ctypes.c_uint64), ("truncated", ctypes.c_uint32)]


class Libtzf:
    """The library at `path` (the build tree's libtzf.so.0)."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)

    def info(self, data):
        """(status, Info) of tzf_read_info on the bytes `data`."""
        info = Info()
        status = self.lib.tzf_read_info(data, ctypes.c_size_t(len(data)), ctypes.byref(info))
        return status, info

    def decode(self, data):
        """(width, height, bits per pixel, RGB rows top first) of a whole
        file; AssertionError when the library refuses it."""
        status, info = self.info(data)
        assert status == 0, "tzf_read_info: %d" % status
        stride, size = ctypes.c_size_t(), ctypes.c_size_t()
        status = self.lib.tzf_output_size(ctypes.byref(info), TZF_FORMAT_RGB,
                                          ctypes.byref(stride), ctypes.byref(size))
        assert status == 0 and stride.value == info.width * 3, "tzf_output_size: %d" % status
        out = ctypes.create_string_buffer(size.value)
        status = self.lib.tzf_decode(data, ctypes.c_size_t(len(data)), TZF_FORMAT_RGB, out,
                                     ctypes.c_ssize_t(stride.value), None)
        assert status == 0, "tzf_decode: %d" % status
        return info.width, info.height, info.bits_per_pixel, out.raw

    def decoders(self, data):
        """(Info, warm, fresh) for timing: `warm()` decodes `data` as RGB rows
        into one buffer that every call reuses, `fresh()` into newly mapped
        memory that nothing has touched yet, as a program's first decoding of
        a picture meets it (the first touch of each page costs the kernel a
        fault). Both assert that the library accepts the data."""
        status, info = self.info(data)
        assert status == 0, "tzf_read_info: %d" % status
        stride = info.width * 3
        size = max(1, stride * info.height)
        kept = ctypes.create_string_buffer(size)

        def decode(out):
            status = self.lib.tzf_decode(data, ctypes.c_size_t(len(data)), TZF_FORMAT_RGB, out,
                                         ctypes.c_ssize_t(stride), None)
            assert status == 0, "tzf_decode: %d" % status

        def fresh():
            with mmap.mmap(-1, size) as memory:
                out = (ctypes.c_char * size).from_buffer(memory)
                decode(out)
                del out

        return info, lambda: decode(kept), fresh
