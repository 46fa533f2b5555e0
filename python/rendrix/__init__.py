"""Render pages of PDF files into PNG or JPEG images with the rendrix library.

    import rendrix
    png = rendrix.render_page("report.pdf", page=1, dpi=150)
    with rendrix.Document("report.pdf") as doc:
        images = [doc.render_page(n, dpi=72, format="jpeg")
                  for n in range(1, len(doc) + 1)]

Pages are numbered from 1. dpi is clamped to 1..2400. Failures of the
library raise RendrixError carrying its message; bad arguments raise
TypeError or ValueError before the library is called. Every function may
be called from any number of threads at once; the library runs without the
interpreter lock.
"""

import ctypes
import operator
import os
import threading

from ._native import ENV_VAR, PageInfo, RendrixError, last_error, library, library_path

__version__ = "0.1.0"

__all__ = [
    "Document",
    "ENV_VAR",
    "RendrixError",
    "library_path",
    "page_count",
    "render_all",
    "render_page",
    "render_page_to_file",
    "__version__",
]

MIN_DPI = 1
MAX_DPI = 2400

_INT_MIN = -(2 ** 31)
_INT_MAX = 2 ** 31 - 1
_PY_SSIZE_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_ssize_t) - 1) - 1

_FORMATS = {"png": 0, "jpeg": 1, "jpg": 1}
_EXTENSIONS = {0: "png", 1: "jpg"}


# Argument checks. Everything reaching the library has been turned into a
# NUL-free byte string or an int within C int range, because ctypes would
# silently cut a string at a NUL and wrap an oversized int.

def _path_arg(path, name="path"):
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError("%s must be str, bytes or os.PathLike, not %s"
                        % (name, type(path).__name__))
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("%s contains a NUL character" % name)
    return encoded


def _int_arg(value, name):
    if isinstance(value, bool):
        raise TypeError("%s must be an int, not bool" % name)
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__)) from None


def _page_arg(page):
    page = _int_arg(page, "page")
    # Values below 1 go to the library, which names the problem itself.
    if not _INT_MIN <= page <= _INT_MAX:
        raise ValueError("page %d is out of range" % page)
    return page


def _dpi_arg(dpi):
    return min(max(_int_arg(dpi, "dpi"), MIN_DPI), MAX_DPI)


def _format_arg(format):
    code = _FORMATS.get(format.lower()) if isinstance(format, str) else None
    if code is None:
        raise ValueError("format must be 'png', 'jpeg' or 'jpg', not %r" % (format,))
    return code


def _format_from_name(output_path):
    extension = os.path.splitext(os.fsdecode(os.fspath(output_path)))[1].lower()
    return 1 if extension in (".jpg", ".jpeg") else 0


def _take_buffer(lib, pointer, size):
    """Copies the library's block into bytes and frees the block."""
    try:
        if size.value > _PY_SSIZE_MAX:
            raise RendrixError("image of %d bytes is too large" % size.value)
        address = ctypes.cast(pointer, ctypes.c_void_p).value
        # An array over the block copies through the buffer protocol and,
        # unlike ctypes.string_at, takes a length beyond C int range.
        return bytes((ctypes.c_ubyte * size.value).from_address(address))
    finally:
        lib.rendrix_free_buffer(pointer)


# Functions that take a file name and load the file on each call.

def page_count(path):
    """Number of pages of the PDF file at path."""
    encoded = _path_arg(path)
    lib = library()
    count = lib.rendrix_page_count(encoded)
    if count <= 0:
        raise RendrixError(last_error(lib, "cannot count the pages of %r" % (path,)))
    return count


def render_page(path, page=1, dpi=150, format="png"):
    """One page of the PDF file at path as PNG or JPEG bytes."""
    encoded = _path_arg(path)
    page = _page_arg(page)
    dpi = _dpi_arg(dpi)
    code = _format_arg(format)
    lib = library()
    size = ctypes.c_uint64(0)
    pointer = lib.rendrix_page_memory(encoded, page, dpi, code, ctypes.byref(size))
    if not pointer:
        raise RendrixError(last_error(lib, "cannot render page %d of %r" % (page, path)))
    return _take_buffer(lib, pointer, size)


def render_page_to_file(path, output_path, page=1, dpi=150, format=None):
    """Renders one page into the image file output_path.

    With format None, a name ending in .jpg or .jpeg (any case) gives JPEG
    and any other name PNG. Returns None."""
    encoded = _path_arg(path)
    encoded_output = _path_arg(output_path, "output_path")
    page = _page_arg(page)
    dpi = _dpi_arg(dpi)
    code = _format_from_name(output_path) if format is None else _format_arg(format)
    lib = library()
    if not lib.rendrix_page(encoded, page, encoded_output, dpi, code):
        raise RendrixError(last_error(lib, "cannot render page %d of %r" % (page, path)))


def render_all(path, out_dir, dpi=150, format="png"):
    """Renders every page into out_dir/page_001.png, page_002.png, ...
    (.jpg for JPEG), creating out_dir and its missing parents.

    Returns the list of written file paths in page order, joined onto
    out_dir (bytes paths when out_dir is bytes). On failure, files of the
    pages before the failing one may already be written."""
    encoded = _path_arg(path)
    encoded_dir = _path_arg(out_dir, "out_dir")
    dpi = _dpi_arg(dpi)
    code = _format_arg(format)
    lib = library()
    if not lib.rendrix_all(encoded, encoded_dir, dpi, code):
        raise RendrixError(last_error(lib, "cannot render the pages of %r" % (path,)))
    # The library does not report how many pages it wrote; count them the
    # same way it did.
    count = lib.rendrix_page_count(encoded)
    if count <= 0:
        raise RendrixError(last_error(lib, "cannot count the pages of %r" % (path,)))
    directory = os.fspath(out_dir)
    names = ["page_%03d.%s" % (n, _EXTENSIONS[code]) for n in range(1, count + 1)]
    if isinstance(directory, bytes):
        return [os.path.join(directory, os.fsencode(name)) for name in names]
    return [os.path.join(directory, name) for name in names]


class Document:
    """A PDF file read and parsed once, for rendering many pages.

    Use it as a context manager or call close(). Pages of one document may
    render on several threads at once; close() waits for renderings in
    progress to finish before releasing the document. A Document cannot be
    copied or pickled, since the copies would share one native handle."""

    # Class-level defaults keep a half-built object (failed open, or a
    # subclass that skips __init__) safe: it behaves as closed.
    _handle = None
    _lib = None
    _cond = None
    _users = 0

    def __init__(self, path):
        encoded = _path_arg(path)
        self.close()  # __init__ called again on an open document
        lib = library()
        self._cond = threading.Condition()
        self._users = 0
        handle = lib.rendrix_doc_open(encoded)
        if not handle:
            raise RendrixError(last_error(lib, "cannot open %r" % (path,)))
        self.path = os.fspath(path)
        self._lib = lib
        self._handle = handle

    def _acquire(self):
        cond = self._cond
        if cond is None:
            raise ValueError("document is not open")
        with cond:
            if self._handle is None:
                raise ValueError("document is closed")
            self._users += 1
            return self._handle

    def _release(self):
        with self._cond:
            self._users -= 1
            if self._users == 0:
                self._cond.notify_all()

    @property
    def closed(self):
        return self._handle is None

    @property
    def page_count(self):
        """Number of pages."""
        handle = self._acquire()
        try:
            count = self._lib.rendrix_doc_page_count(handle)
            if count <= 0:
                raise RendrixError(last_error(self._lib, "cannot count the pages of %r"
                                              % (self.path,)))
            return count
        finally:
            self._release()

    def __len__(self):
        return self.page_count

    def render_page(self, page=1, dpi=150, format="png"):
        """One page as PNG or JPEG bytes; the same bytes as the module's
        render_page gives for this file."""
        page = _page_arg(page)
        dpi = _dpi_arg(dpi)
        code = _format_arg(format)
        handle = self._acquire()
        try:
            size = ctypes.c_uint64(0)
            pointer = self._lib.rendrix_doc_page_memory(handle, page, dpi, code,
                                                        ctypes.byref(size))
            if not pointer:
                raise RendrixError(last_error(self._lib, "cannot render page %d of %r"
                                              % (page, self.path)))
            return _take_buffer(self._lib, pointer, size)
        finally:
            self._release()

    def page_info(self, page=1, dpi=150):
        """The page's box (x0, y0, x1, y1 in points), its rotation in degrees
        and its image size in pixels at dpi, as a dict with the keys box,
        rotation, width and height."""
        page = _page_arg(page)
        dpi = _dpi_arg(dpi)
        handle = self._acquire()
        try:
            info = PageInfo()
            if not self._lib.rendrix_doc_page_info(handle, page, dpi, ctypes.byref(info)):
                raise RendrixError(last_error(self._lib, "cannot read page %d of %r"
                                              % (page, self.path)))
            return {"box": tuple(info.box), "rotation": info.rotation, "width": info.width,
                    "height": info.height}
        finally:
            self._release()

    def close(self):
        """Releases the document; later calls raise ValueError. Closing
        twice is allowed."""
        cond = self._cond
        if cond is None:
            return
        with cond:
            handle = self._handle
            if handle is None:
                return
            self._handle = None  # no new rendering may start
            while self._users:
                cond.wait()
        self._lib.rendrix_doc_close(handle)

    def __enter__(self):
        if self._handle is None:
            raise ValueError("document is closed")
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __del__(self):
        # No rendering can be running: it would hold a reference to self.
        handle = self._handle
        lib = self._lib
        if handle is not None and lib is not None:
            self._handle = None
            try:
                lib.rendrix_doc_close(handle)
            except Exception:  # interpreter shutdown may have torn ctypes down
                pass

    def __reduce_ex__(self, protocol):
        raise TypeError("a rendrix Document cannot be copied or pickled")

    def __repr__(self):
        state = "closed" if self._handle is None else "open"
        return "<rendrix.Document %r (%s)>" % (getattr(self, "path", None), state)
