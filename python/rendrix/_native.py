"""Finding, loading and initialising the rendrix shared library.

The library is loaded on first use, not at import, so that importing the
package never fails and RENDRIX_LIBRARY may be set after the import.
"""

import ctypes
import ctypes.util
import glob
import os
import threading


class RendrixError(Exception):
    """A rendrix call failed; str(error) is the library's message."""


ENV_VAR = "RENDRIX_LIBRARY"

# File names the library may carry, in the order tried: the soname, the
# development symlink, then the names used on Windows and macOS.
_NAMES = ("librendrix.so.0", "librendrix.so", "rendrix.dll", "librendrix.dylib")

_lock = threading.Lock()
_lib = None

_c_char_p = ctypes.c_char_p
_c_int = ctypes.c_int
_c_void_p = ctypes.c_void_p
_c_uint64_p = ctypes.POINTER(ctypes.c_uint64)
_buffer_p = ctypes.POINTER(ctypes.c_ubyte)

class PageInfo(ctypes.Structure):
    """The library's rendrix_page_info record."""
    _fields_ = [("box", ctypes.c_double * 4), ("rotation", ctypes.c_int),
                ("width", ctypes.c_int), ("height", ctypes.c_int)]


# name: (restype, argtypes). Documents travel as opaque c_void_p handles.
_SIGNATURES = {
    "rendrix_init": (_c_int, []),
    "rendrix_cleanup": (None, []),
    "rendrix_last_error": (_c_char_p, []),
    "rendrix_page_count": (_c_int, [_c_char_p]),
    "rendrix_page_memory": (_buffer_p, [_c_char_p, _c_int, _c_int, _c_int, _c_uint64_p]),
    "rendrix_free_buffer": (None, [_buffer_p]),
    "rendrix_page": (_c_int, [_c_char_p, _c_int, _c_char_p, _c_int, _c_int]),
    "rendrix_all": (_c_int, [_c_char_p, _c_char_p, _c_int, _c_int]),
    "rendrix_doc_open": (_c_void_p, [_c_char_p]),
    "rendrix_doc_page_count": (_c_int, [_c_void_p]),
    "rendrix_doc_page_memory": (_buffer_p, [_c_void_p, _c_int, _c_int, _c_int, _c_uint64_p]),
    "rendrix_doc_page_info": (_c_int, [_c_void_p, _c_int, _c_int, ctypes.POINTER(PageInfo)]),
    "rendrix_doc_close": (None, [_c_void_p]),
}


def _files_in(directory):
    """Library files in directory, in the order _NAMES gives, then any
    fully versioned librendrix.so.X.Y.Z left without its symlinks."""
    found = [os.path.join(directory, name) for name in _NAMES]
    found += sorted(glob.glob(os.path.join(glob.escape(directory), "librendrix.so.*")))
    seen = set()
    result = []
    for path in found:
        if path not in seen and os.path.isfile(path):
            seen.add(path)
            result.append(path)
    return result


def _candidates():
    """Paths and names to try when RENDRIX_LIBRARY is unset, in order."""
    here = os.path.dirname(os.path.abspath(__file__))
    result = _files_in(here) + _files_in(os.path.dirname(here))
    found = ctypes.util.find_library("rendrix")
    if found:
        result.append(found)
    # Bare names: the dynamic loader searches its own path for them.
    result += list(_NAMES)
    for directory in ("/usr/local/lib", "/usr/lib"):
        result += _files_in(directory)
    return result


def _bind(lib):
    for name, (restype, argtypes) in _SIGNATURES.items():
        try:
            function = getattr(lib, name)
        except AttributeError:
            raise RendrixError(
                "the rendrix library at %s lacks %s; it is too old or not rendrix"
                % (lib._name, name)) from None
        function.restype = restype
        function.argtypes = argtypes


def _load():
    explicit = os.environ.get(ENV_VAR)
    if explicit:
        # A path given on purpose is the only one tried: falling back to
        # another copy would hide the mistake.
        try:
            return ctypes.CDLL(explicit)
        except OSError as exc:
            raise RendrixError(
                "cannot load the rendrix library from %s=%s: %s"
                % (ENV_VAR, explicit, exc)) from None
    tried = []
    for candidate in _candidates():
        try:
            return ctypes.CDLL(candidate)
        except OSError:
            tried.append(candidate)
    raise RendrixError(
        "cannot find the rendrix library (librendrix.so); set %s to the path "
        "of the file. Tried: %s" % (ENV_VAR, ", ".join(tried)))


def library():
    """The loaded and initialised library; loads it on the first call.

    A failed search is not remembered, so a later call may succeed once
    RENDRIX_LIBRARY is set."""
    global _lib
    lib = _lib
    if lib is not None:
        return lib
    with _lock:
        if _lib is None:
            lib = _load()
            _bind(lib)
            # Runs once, before any other call can reach the library,
            # because every call goes through here first.
            lib.rendrix_init()
            _lib = lib
        return _lib


def last_error(lib, fallback):
    """This thread's message from the library, or fallback when empty."""
    raw = lib.rendrix_last_error()
    message = raw.decode("utf-8", errors="replace") if raw else ""
    return message or fallback


def library_path():
    """The file name the library was loaded from (loads it if needed)."""
    return library()._name


__all__ = ["RendrixError", "ENV_VAR", "library", "last_error", "library_path"]
