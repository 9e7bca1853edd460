"""ctypes declarations of the library's C interface and of the simulated
device's C entry, and the loading of both shared libraries."""

import ctypes
import os
import sys
from ctypes import (CFUNCTYPE, POINTER, c_char, c_char_p, c_double, c_int, c_int64,
                    c_size_t, c_uint8, c_uint16, c_uint32, c_void_p)

OK = 0
INVALID_ARGUMENT = 1
BUSY = 2
TIMEOUT = 3
NO_MEMORY = 4
INTERNAL_ERROR = 5
STOPPED = 6
DESTROYED = 7

GROUP_STANDARD = 0
GROUP_EXTENDED = 1


class Template25(ctypes.Structure):
    _fields_ = [
        ("size", c_size_t),
        ("group", c_int),
        ("transfer_function", c_int),
        ("force", c_int),
        ("sens_ref", c_double),
        ("tf_hp_s", c_double),
        ("default_fr", c_uint32),
        ("passive", c_uint32),
        ("sens_ref_01", c_uint32),
        ("sens_ref_10", c_uint32),
        ("tf_hp_s_01", c_uint32),
        ("tf_hp_s_10", c_uint32),
        ("direction", c_uint32),
        ("direction_text", c_char_p),
        ("weight", c_double),
        ("sign", c_uint32),
        ("sign_text", c_char_p),
        ("tf_sp", c_uint32),
        ("tf_kpr", c_uint32),
        ("tf_kpq", c_uint32),
        ("tf_sl", c_uint32),
        ("temp_coef", c_uint32),
        ("ref_freq", c_double),
        ("ref_temp", c_double),
        ("cal_date", c_int64),
        ("cal_date_text", c_char_p),
        ("cal_initials", c_char_p),
        ("cal_period", c_uint32),
        ("meas_id", c_uint32),
    ]


class Transducer(ctypes.Structure):
    _fields_ = [
        ("size", c_size_t),
        ("id", c_uint8 * 8),
        ("id_text", c_char_p),
        ("node_count", c_size_t),
        ("nodes", POINTER(c_uint8)),
        ("image_size", c_size_t),
        ("image", POINTER(c_uint8)),
        ("has_basic_teds", c_int),
        ("manufacturer_id", c_uint16),
        ("model_number", c_uint16),
        ("version_letter", c_char),
        ("version_number", c_uint8),
        ("serial_number", c_uint32),
        ("template_count", c_size_t),
        ("templates", POINTER(POINTER(Template25))),
        ("error_count", c_size_t),
        ("errors", POINTER(c_char_p)),
        ("report", c_char_p),
    ]


class DecodeResult(ctypes.Structure):
    _fields_ = [
        ("size", c_size_t),
        ("parsed", c_int),
        ("parse_error", c_char_p),
        ("page_count", c_size_t),
        ("page_good", POINTER(c_int)),
        ("page_texts", POINTER(c_char_p)),
        ("transducer", POINTER(Transducer)),
    ]


class QueryResult(ctypes.Structure):
    _fields_ = [
        ("size", c_size_t),
        ("timed_out", c_int),
        ("text_count", c_size_t),
        ("texts", POINTER(c_char_p)),
        ("transducer_count", c_size_t),
        ("transducers", POINTER(POINTER(Transducer))),
        ("stopped", c_int),  # read only when `size` covers it
    ]


class ScanResult(ctypes.Structure):
    _fields_ = [
        ("size", c_size_t),
        ("channel_count", c_size_t),
        ("channels", POINTER(c_uint32)),
        ("results", POINTER(POINTER(QueryResult))),
    ]


TransducerCallback = CFUNCTYPE(None, c_void_p, POINTER(Transducer))
TextCallback = CFUNCTYPE(None, c_void_p, c_char_p)
EndedCallback = CFUNCTYPE(None, c_void_p, c_size_t)


def _candidates(variable, names):
    """Where to look for a library: the variable's path, the package's own
    folder, then the loader's search path."""
    explicit = os.environ.get(variable)
    if explicit:
        return [explicit]
    folders = [os.path.dirname(os.path.abspath(__file__))]
    beside = os.environ.get("ORVANE_TEDS_LIBRARY")
    if beside:  # the simulator usually sits beside the library
        folders.append(os.path.dirname(os.path.abspath(beside)))
    return [os.path.join(folder, name) for folder in folders for name in names] + list(names)


def _load(variable, names):
    tried = []
    for candidate in _candidates(variable, names):
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            tried.append(f"{candidate}: {error}")
    raise OSError(f"cannot load {names[0]}; set {variable} to its path. Tried:\n  " +
                  "\n  ".join(tried))


if sys.platform == "win32":
    _TEDS_NAMES = ("orvane_teds.dll",)
    _SIM_NAMES = ("orvane_simdevice.dll",)
elif sys.platform == "darwin":
    _TEDS_NAMES = ("liborvane_teds.dylib",)
    _SIM_NAMES = ("liborvane_simdevice.dylib",)
else:
    _TEDS_NAMES = ("liborvane_teds.so.0", "liborvane_teds.so")
    _SIM_NAMES = ("liborvane_simdevice.so",)

_teds = None
_sim = None


def _declare(lib, name, restype, *argtypes):
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)


def teds():
    """The orvane_teds library, loaded and declared on first use."""
    global _teds
    if _teds is None:
        lib = _load("ORVANE_TEDS_LIBRARY", _TEDS_NAMES)
        _declare(lib, "orvane_teds_last_error", c_char_p)
        _declare(lib, "orvane_teds_version", c_int, POINTER(c_char_p))
        _declare(lib, "orvane_teds_decode_image", c_int, c_void_p, c_size_t,
                 POINTER(POINTER(DecodeResult)))
        _declare(lib, "orvane_teds_decode_ds2430a", c_int, c_void_p, c_size_t, c_void_p,
                 c_size_t, POINTER(POINTER(DecodeResult)))
        _declare(lib, "orvane_teds_decode_result_free", c_int, POINTER(DecodeResult))
        _declare(lib, "orvane_teds_query_create", c_int, c_char_p, c_uint32, c_uint32, c_uint32,
                 c_uint32, POINTER(c_void_p))
        _declare(lib, "orvane_teds_query_create_serial", c_int, c_char_p, POINTER(c_void_p))
        _declare(lib, "orvane_teds_query_create_serial_baud", c_int, c_char_p, c_uint32,
                 POINTER(c_void_p))
        _declare(lib, "orvane_teds_query_set_callbacks", c_int, c_void_p, TransducerCallback,
                 TextCallback, EndedCallback, c_void_p)
        _declare(lib, "orvane_teds_query_run", c_int, c_void_p, c_uint32,
                 POINTER(POINTER(QueryResult)))
        _declare(lib, "orvane_teds_query_stop", c_int, c_void_p)
        _declare(lib, "orvane_teds_query_result_free", c_int, POINTER(QueryResult))
        _declare(lib, "orvane_teds_query_destroy", c_int, c_void_p)
        _declare(lib, "orvane_teds_scan", c_int, c_char_p, c_uint32, c_uint32, c_uint32, c_uint32,
                 c_uint32, POINTER(POINTER(ScanResult)))
        _declare(lib, "orvane_teds_scan_result_free", c_int, POINTER(ScanResult))
        _declare(lib, "orvane_teds_write_serial", c_int, c_char_p, c_char_p, c_char_p,
                 c_char_p, c_int, c_uint32, POINTER(c_int), c_char_p, c_size_t)
        _teds = lib
    return _teds


def sim():
    """The simulated device's C entry, loaded and declared on first use."""
    global _sim
    if _sim is None:
        teds()  # the device library the simulator attaches to comes with it
        lib = _load("ORVANE_SIM_LIBRARY", _SIM_NAMES)
        _declare(lib, "orvane_sim_last_error", c_char_p)
        _declare(lib, "orvane_sim_attach_default", c_int, POINTER(c_void_p))
        _declare(lib, "orvane_sim_attach_file", c_int, c_char_p, POINTER(c_void_p))
        _declare(lib, "orvane_sim_attach_text", c_int, c_char_p, POINTER(c_void_p))
        _declare(lib, "orvane_sim_describe", c_int, c_void_p, POINTER(c_char_p),
                 POINTER(c_uint32), POINTER(c_uint32))
        _declare(lib, "orvane_sim_detach", c_int, c_void_p)
        _sim = lib
    return _sim
