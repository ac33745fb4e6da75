"""Gauges of this process's memory: its resident size, and the native heap it holds.

Under ./run sanitize glibc's counters read 0, so the heap is read as the bytes
the sanitizer's allocator holds for the program.
"""

import ctypes
import ctypes.util
import os

from run_mode import SANITIZED


def _mallinfo2():
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]

    fn.restype = MallInfo2
    fn.argtypes = []
    return fn


_MALLINFO2 = _mallinfo2()
_PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * _PAGE


def _sanitizer_heap():
    try:
        fn = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except AttributeError:
        return None
    fn.restype = ctypes.c_size_t
    fn.argtypes = []
    return fn


_SANITIZER_HEAP = _sanitizer_heap() if SANITIZED else None


def native_heap_bytes():
    if _SANITIZER_HEAP is not None:
        return _SANITIZER_HEAP()
    if _MALLINFO2 is None:
        return rss_bytes()
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd
