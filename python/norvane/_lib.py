"""Finds and loads the SDK library and declares its C interface (include/norvane/norvane.h) for ctypes.

The library is looked for, in this order:
  1. the environment variable NORVANE_SDK_LIBRARY, the full path of the library file (when it is set, it
     is the only place tried: a wrong path must not quietly give another copy of the library);
  2. the path `cmake --install` recorded in _paths.py, relative to this package;
  3. the system's loader, by name (libnorvane_sdk.so.0, norvane_sdk.dll).
"""
import ctypes
import os
from ctypes import POINTER, Structure, c_char, c_char_p, c_float, c_int32, c_size_t, c_uint16, c_uint32
from ctypes import c_uint64, c_void_p

ENV_VARIABLE = "NORVANE_SDK_LIBRARY"
LIBRARY_NAME = "norvane_sdk.dll" if os.name == "nt" else "libnorvane_sdk.so.0"

NV_OK, NV_INVALID_ARGUMENT, NV_NULL_HANDLE, NV_BUFFER_TOO_SMALL = 0, 1, 2, 3
NV_NOT_CONNECTED, NV_FAILED, NV_INTERNAL_ERROR = 4, 5, 6
NV_MAX_DISCOVERY_WAIT_MS = 60000


class DeviceInfo(Structure):
    _fields_ = [("unit_id", c_char * 64), ("hardware", c_uint32), ("firmware", c_uint32),
                ("software", c_uint32), ("audio_protocol", c_uint32), ("control_protocol", c_uint32),
                ("rtp_port", c_uint32), ("inputs", c_uint32), ("device_freq", c_uint32)]


class DeviceEntry(Structure):
    _fields_ = [("info", DeviceInfo), ("address", c_char * 64), ("port", c_uint16), ("reserved", c_uint16)]


class QualityValues(Structure):
    _fields_ = [("rssi", c_uint32), ("snr", c_uint32), ("multipath", c_uint32), ("pilot", c_uint32),
                ("valid", c_uint32)]


class RdsValues(Structure):
    _fields_ = [("psrv", c_char * 64), ("text", c_char * 512), ("time", c_char * 128)]


class StartSettings(Structure):
    _fields_ = [("rtp_base_port", c_uint16), ("reserved", c_uint16), ("buffer_window", c_uint32),
                ("start_latency", c_uint32)]


class StreamStatsValues(Structure):
    _fields_ = [(name, c_uint64) for name in (
        "packets_received", "duplicate_packets", "late_packets", "foreign_dropped", "malformed_dropped",
        "blocks_played", "silent_blocks", "bad_blocks", "relocks", "fill_blocks")]


# The sizes the header states; a mismatch would make every call read or write the wrong bytes.
for _struct, _size in ((DeviceInfo, 96), (DeviceEntry, 164), (QualityValues, 20), (RdsValues, 704),
                       (StartSettings, 12), (StreamStatsValues, 80)):
    if ctypes.sizeof(_struct) != _size:
        raise ImportError(f"norvane: {_struct.__name__} is {ctypes.sizeof(_struct)} bytes, the C "
                          f"interface's record is {_size}")

# void (*nv_audio_cb)(void* user, const float* const* in, size_t channels, size_t frames)
AudioCallback = ctypes.CFUNCTYPE(None, c_void_p, POINTER(POINTER(c_float)), c_size_t, c_size_t)

_TUNER, _U32P = c_void_p, POINTER(c_uint32)
_FUNCTIONS = {
    "nv_version": [POINTER(c_char_p)],
    "nv_find_devices": [c_char_p, c_uint16, c_char_p, c_uint16, c_uint32, POINTER(DeviceEntry), c_uint32,
                        _U32P],
    "nv_tuner_open": [c_char_p, c_uint16, c_char_p, c_uint16, POINTER(_TUNER)],
    "nv_tuner_close": [_TUNER],
    "nv_tuner_device_id": [_TUNER, POINTER(c_char), c_uint32, _U32P],
    "nv_tuner_info": [_TUNER, POINTER(DeviceInfo)],
    "nv_tuner_state": [_TUNER, POINTER(c_int32)],
    "nv_tuner_inputs": [_TUNER, _U32P],
    "nv_tuner_audio_format": [_TUNER, _U32P, _U32P],
    "nv_tuner_get_freqs": [_TUNER, c_int32, _U32P, c_uint32, _U32P],
    "nv_tuner_set_freqs": [_TUNER, _U32P, c_uint32],
    "nv_tuner_quality": [_TUNER, c_int32, POINTER(QualityValues), c_uint32, _U32P],
    "nv_tuner_rds": [_TUNER, c_int32, POINTER(RdsValues), c_uint32, _U32P],
    "nv_tuner_start": [_TUNER, POINTER(StartSettings), AudioCallback, c_void_p],
    "nv_tuner_stop": [_TUNER],
    "nv_tuner_stream_stats": [_TUNER, POINTER(StreamStatsValues), c_uint32, _U32P],
}

_dll_directories = []  # Windows: the added search folders stay for as long as the library is loaded


def _places():
    """(description, path or name, is a path) of each place to look, in order."""
    explicit = os.environ.get(ENV_VARIABLE)
    if explicit:
        return [(f"{ENV_VARIABLE}={explicit}", explicit, True)]
    places = []
    try:
        from . import _paths  # written by cmake --install
        installed = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), _paths.LIBRARY))
        places.append((f"the installed library {installed}", installed, True))
    except ImportError:
        pass
    places.append((f"{LIBRARY_NAME} through the system's loader", LIBRARY_NAME, False))
    return places


def _load():
    failures = []
    for description, target, is_path in _places():
        try:
            if is_path and os.name == "nt":
                _dll_directories.append(os.add_dll_directory(os.path.dirname(os.path.abspath(target))))
            return target, ctypes.CDLL(target)  # CDLL releases the GIL during every call
        except OSError as e:
            failures.append(f"{description} ({e})")
    raise ImportError("norvane: cannot load the SDK library; tried " + "; ".join(failures) +
                      f". Set {ENV_VARIABLE} to the full path of {LIBRARY_NAME}.")


path, lib = _load()
lib.nv_last_error.argtypes, lib.nv_last_error.restype = [], c_char_p
for _name, _argtypes in _FUNCTIONS.items():
    _function = getattr(lib, _name)
    _function.argtypes, _function.restype = _argtypes, c_int32
