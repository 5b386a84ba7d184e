"""Makes JPEG, PNG and BMP files smaller, through the talmora-pixtrim library.

    import talmora_pixtrim as pt
    pt.quality("photo.png", "small.jpg", 70)   # -> {'input_size': ..., ...}
    pt.target_size("photo.png", "fit.jpg", 150 * 1024)
    pt.lossless("scan.bmp", "scan.png")
    pt.batch("in", "out", 70)                  # -> number of files compressed

The single-file calls return the library's statistics record as a dict
(input_size, output_size, ratio, saved_bytes; empty when the input's size
could not be measured) and raise PixtrimError with the library's message on
failure. Paths may be str, bytes or os.PathLike.

The shared library is found, first match wins, at:
  1. the path given to load(path);
  2. the environment variable PIXTRIM_LIBRARY (a path to the .so file);
  3. the library this package was built with: the copy inside the package
     (pip install) or the one in the same installation prefix (cmake --install);
  4. the system loader's search path (LD_LIBRARY_PATH, ldconfig);
  5. the usual library directories (/usr/local/lib, /usr/lib, ...).

The library keeps process-wide state, so this module serialises its calls
with a lock; calls from several threads are safe but run one at a time.
Separate processes each load their own copy and its state, so a
concurrent.futures.ProcessPoolExecutor runs calls in parallel.
"""

import ctypes
import ctypes.util
import json
import operator
import os
import re
import threading
from typing import Any, Callable, Dict, List, Optional, Union

try:
    from . import _build
except ImportError:  # running from the source tree: nothing was built beside us
    _build = None

__all__ = [
    "PixtrimError", "load", "quality", "target_size", "lossless", "batch",
    "stats", "last_error", "reset", "LIBRARY_ENV",
]


def _checkout_version() -> str:
    """The release of a source checkout, from the project line of the top
    CMakeLists.txt, the one place the number is kept."""
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                       "CMakeLists.txt")
    try:
        with open(top, encoding="utf-8") as listing:
            found = re.search(r"project\(talmora-pixtrim VERSION ([0-9.]+)", listing.read())
    except OSError:
        found = None
    return found.group(1) if found else "unknown"


__version__ = _build.VERSION if _build is not None else _checkout_version()

AnyPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Stats = Dict[str, Any]

LIBRARY_ENV = "PIXTRIM_LIBRARY"
_SONAME = "libtalmora-pixtrim.so.0"
_COMMON_DIRS = ("/usr/local/lib", "/usr/local/lib64", "/usr/lib", "/usr/lib64",
                "/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu")
_INT32_MIN, _INT32_MAX = -2**31, 2**31 - 1

_lock = threading.RLock()
_library: Optional[ctypes.CDLL] = None


def _fresh_lock_after_fork() -> None:
    # A child forked while another thread held the lock would wait forever.
    global _lock
    _lock = threading.RLock()


os.register_at_fork(after_in_child=_fresh_lock_after_fork)


class PixtrimError(Exception):
    """A call the library reported as failed.

    message is the library's last-error text; stats is the statistics record
    left by the call (target_size records its last attempt even on failure),
    as a dict, empty when the call recorded none.
    """

    def __init__(self, operation: str, message: str, stats: Optional[Stats] = None) -> None:
        self.operation = operation
        self.message = message
        self.stats = stats if stats is not None else {}
        super().__init__(message or "%s failed without a message" % operation)


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    c_int, c_char_p = ctypes.c_int, ctypes.c_char_p
    signatures = {
        "pixtrim_init": ([], c_int),
        "pixtrim_cleanup": ([], None),
        "pixtrim_quality": ([c_char_p, c_char_p, c_int], c_int),
        "pixtrim_target_size": ([c_char_p, c_char_p, c_int], c_int),
        "pixtrim_lossless": ([c_char_p, c_char_p], c_int),
        "pixtrim_batch": ([c_char_p, c_char_p, c_int], c_int),
        # The library owns both texts: read them as bytes, never free them.
        "pixtrim_stats": ([], c_char_p),
        "pixtrim_last_error": ([], c_char_p),
    }
    for name, (argtypes, restype) in signatures.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = restype
    return lib


def _built_candidate() -> Optional[str]:
    if _build is None:
        return None
    return os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                         _build.LIBRARY))


def _candidates() -> List[str]:
    env = os.environ.get(LIBRARY_ENV)
    if env:
        # An explicit setting that fails must not quietly load another copy.
        return [env]
    found = [_built_candidate(), _SONAME, ctypes.util.find_library("talmora-pixtrim")]
    found += [os.path.join(d, _SONAME) for d in _COMMON_DIRS]
    return [c for c in found if c]


def load(path: Optional[AnyPath] = None) -> ctypes.CDLL:
    """Loads the library (see the module text for where it is looked for),
    makes it the one the other functions use, and returns the ctypes handle.
    Raises OSError when it cannot be found or loaded."""
    global _library
    candidates = [os.fsdecode(path)] if path is not None else _candidates()
    errors = []
    for candidate in candidates:
        try:
            lib = _declare(ctypes.CDLL(candidate))
        except (OSError, AttributeError) as error:
            errors.append("%s: %s" % (candidate, error))
            continue
        with _lock:
            _library = lib
        return lib
    raise OSError("talmora-pixtrim library not found (set %s to its path); tried:\n  %s"
                  % (LIBRARY_ENV, "\n  ".join(errors)))


def _lib() -> ctypes.CDLL:
    return _library if _library is not None else load()


def _path(value: AnyPath, what: str) -> bytes:
    if value is None:
        raise TypeError("%s must be a path, not None" % what)
    return os.fsencode(value)


def _int32(value: int, what: str) -> int:
    number = operator.index(value)
    if not _INT32_MIN <= number <= _INT32_MAX:
        raise OverflowError("%s %d does not fit a 32-bit int" % (what, number))
    return number


def _text(raw: Optional[bytes]) -> str:
    return os.fsdecode(raw) if raw else ""


def _stats_of(lib: ctypes.CDLL) -> Stats:
    return json.loads(_text(lib.pixtrim_stats()) or "{}")


def _single(operation: str, call: Callable[[ctypes.CDLL], int]) -> Stats:
    lib = _lib()
    with _lock:
        # Fresh texts, so the record returned is this call's own.
        lib.pixtrim_init()
        ok = call(lib)
        if ok != 1:
            raise PixtrimError(operation, _text(lib.pixtrim_last_error()), _stats_of(lib))
        return _stats_of(lib)


def quality(input_path: AnyPath, output_path: AnyPath, quality: int) -> Stats:
    """Compresses one file at quality 1-100 (clamped). JPEG output: encoder
    quality; PNG output: share of pixels kept; BMP output: no effect.
    Returns the statistics dict; raises PixtrimError."""
    src, dst = _path(input_path, "input_path"), _path(output_path, "output_path")
    q = _int32(quality, "quality")
    return _single("quality", lambda lib: lib.pixtrim_quality(src, dst, q))


def target_size(input_path: AnyPath, output_path: AnyPath, target_bytes: int) -> Stats:
    """Writes one file of at most target_bytes. Returns the statistics dict;
    raises PixtrimError (whose stats describe the last attempt, which stays
    on disk)."""
    src, dst = _path(input_path, "input_path"), _path(output_path, "output_path")
    budget = _int32(target_bytes, "target_bytes")
    return _single("target_size", lambda lib: lib.pixtrim_target_size(src, dst, budget))


def lossless(input_path: AnyPath, output_path: AnyPath) -> Stats:
    """Re-encodes one file at full quality (smallest exact PNG, BMP, or JPEG
    at quality 100). Returns the statistics dict; raises PixtrimError."""
    src, dst = _path(input_path, "input_path"), _path(output_path, "output_path")
    return _single("lossless", lambda lib: lib.pixtrim_lossless(src, dst))


def batch(input_dir: AnyPath, output_dir: AnyPath, quality: int) -> int:
    """Compresses every .jpg/.jpeg/.png/.bmp file directly inside input_dir
    into output_dir under the same name. Returns the number compressed (0 when
    no entry has an image name; last_error() then says so). Raises
    PixtrimError when a directory cannot be used or every file failed."""
    src, dst = _path(input_dir, "input_dir"), _path(output_dir, "output_dir")
    q = _int32(quality, "quality")
    lib = _lib()
    with _lock:
        lib.pixtrim_init()
        count = lib.pixtrim_batch(src, dst, q)
        if count < 0:
            raise PixtrimError("batch", _text(lib.pixtrim_last_error()), _stats_of(lib))
        return count


def stats() -> str:
    """The library's statistics text as it stands (a JSON object)."""
    return _text(_lib().pixtrim_stats())


def last_error() -> str:
    """The library's last-error text, empty after a success."""
    return _text(_lib().pixtrim_last_error())


def reset() -> None:
    """Empties the last-error text and sets the statistics back to {}."""
    with _lock:
        _lib().pixtrim_init()
