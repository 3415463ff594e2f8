"""Opens the sample through the installed shared library with ctypes alone, as any language
with a C FFI would: ctypes_check.py LIBRARY SAMPLE. Prints one line of what it read; any
failure is an exception."""
import ctypes
import pathlib
import sys

library, sample = sys.argv[1], pathlib.Path(sys.argv[2])
tp = ctypes.CDLL(library)

HANDLE_WORDS = 6  # TP_HANDLE_WORDS


class Handle(ctypes.Structure):
    _fields_ = [("opaque", ctypes.c_uint64 * HANDLE_WORDS)]


class Text(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("size", ctypes.c_size_t)]

    def get(self):
        return ctypes.string_at(self.data, self.size) if self.size else b""


def declare(name, result, *arguments):
    function = getattr(tp, name)
    function.restype, function.argtypes = result, list(arguments)
    return function


View, Error = ctypes.c_void_p, ctypes.c_void_p
version = declare("tp_version", ctypes.c_char_p)
view_open = declare("tp_view_open", ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(View), ctypes.POINTER(Error))
from_bytes = declare("tp_view_from_bytes", ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(View),
                     ctypes.POINTER(Error))
close = declare("tp_view_close", None, View)
application = declare("tp_view_application", Handle, View)
compiler = declare("tp_application_compiler_version", Text, Handle)
tiles_count = declare("tp_application_tiles_count", ctypes.c_size_t, Handle)
tile_at = declare("tp_application_tiles_at", Handle, Handle, ctypes.c_size_t)
physical_tile = declare("tp_tile_image_physical_tile", ctypes.c_uint32, Handle)
segment_at = declare("tp_tile_image_segments_at", Handle, Handle, ctypes.c_size_t)
segment_data = declare("tp_segment_data", Text, Handle)
error_kind = declare("tp_error_kind", ctypes.c_int, Error)
error_debug = declare("tp_error_debug", ctypes.c_char_p, Error)
error_free = declare("tp_error_free", None, Error)


def summary(view):
    app = application(view)
    tiles = [physical_tile(tile_at(app, i)) for i in range(tiles_count(app))]
    data = segment_data(segment_at(tile_at(app, 0), 0)).get()
    return f"compiler={compiler(app).get().decode()} tiles={','.join(map(str, tiles))} data={data.hex()}"


view, error = View(), Error()
assert view_open(str(sample).encode(), ctypes.byref(view), ctypes.byref(error)) == 0
from_file = summary(view)
close(view)

contents = sample.read_bytes()  # borrowed by the view: kept alive until it is closed
assert from_bytes(contents, len(contents), ctypes.byref(view), ctypes.byref(error)) == 0
assert summary(view) == from_file
close(view)

assert view_open(str(sample.with_name("missing.torv")).encode(), ctypes.byref(view), ctypes.byref(error)) == -1
assert view.value is None
refused = f"{error_kind(error)} {error_debug(error).decode()}"
error_free(error)
print(f"ctypes: version={version().decode()} {from_file} missing={refused}")
