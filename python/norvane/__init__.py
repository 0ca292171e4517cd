"""Norvane FM-tuner devices from Python: discovery, tuning, quality, RDS and live audio as NumPy arrays.

    import norvane
    with norvane.Tuner("192.168.1.20") as tuner:
        tuner.tune(100500)                      # kHz; one int tunes every tuner
        print(tuner.quality(), tuner.rds())
        audio = tuner.record(2.0)               # float32, shape (channels, frames)

The SDK library is found through NORVANE_SDK_LIBRARY (its full path), the path recorded at install time,
or the system's loader; see norvane._lib.
"""
import ctypes
import enum
import logging
import threading
import traceback
import weakref
from typing import NamedTuple

import numpy as np

from . import _lib
from ._lib import lib as _c

__all__ = ["Device", "DeviceError", "Error", "NotConnectedError", "Quality", "Rds", "State", "Stream",
           "StreamStats", "Tuner", "find_devices", "version"]

_log = logging.getLogger("norvane")
_MAX_TUNERS = 256  # the most tuners a device may announce


class Error(Exception):
    """A failed SDK call: `status` is the C interface's status (NV_*), the message the SDK's reason."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class NotConnectedError(Error):
    """The tuner is not connected, or its audio is not running (NV_NOT_CONNECTED)."""


class DeviceError(Error):
    """The device did not answer in time or refused (NV_FAILED)."""


_ERRORS = {_lib.NV_NOT_CONNECTED: NotConnectedError, _lib.NV_FAILED: DeviceError}


def _check(status):
    if status != _lib.NV_OK:
        text = _c.nv_last_error().decode("utf-8", "replace")  # the calling thread's, read at once
        raise _ERRORS.get(status, Error)(status, text)


def version():
    """The SDK library's version, "major.minor.patch"."""
    text = ctypes.c_char_p()
    _check(_c.nv_version(ctypes.byref(text)))
    return text.value.decode()


__version__ = version()


class State(enum.IntEnum):
    """Connection state of a tuner."""
    DISCONNECTED = 0
    CONNECTED = 1
    RTP_ACTIVE = 2


class Device(NamedTuple):
    """A device as discovery (or Tuner.info) reports it; device_freq is in Hz, 0 until reported."""
    unit_id: str
    address: str
    port: int
    hardware: int
    firmware: int
    software: int
    audio_protocol: int
    control_protocol: int
    rtp_port: int
    inputs: int
    device_freq: int


class Quality(NamedTuple):
    """Reception of one tuner: rssi (dBuV), snr (dB), multipath (%), pilot (1: stereo), valid (1: locked)."""
    rssi: int
    snr: int
    multipath: int
    pilot: int
    valid: int


class Rds(NamedTuple):
    """RDS texts of one tuner: programme service name, radiotext and the station's clock."""
    psrv: str
    text: str
    time: str


class StreamStats(NamedTuple):
    """What happened to one tuner's audio stream since it started."""
    packets_received: int
    duplicate_packets: int
    late_packets: int
    foreign_dropped: int
    malformed_dropped: int
    blocks_played: int
    silent_blocks: int
    bad_blocks: int
    relocks: int
    fill_blocks: int


def _text(raw):
    return raw.decode("utf-8", "replace")


def _device(info, address, port):
    return Device(_text(info.unit_id), address, port, *(getattr(info, f) for f in Device._fields[3:]))


def find_devices(timeout=3.0, host="0.0.0.0", host_port=0, broadcast="255.255.255.255",
                 broadcast_port=15000):
    """Broadcasts a discovery from host:host_port and returns the Devices that answered within timeout
    seconds (0 < timeout <= 60)."""
    if not 0 < timeout <= _lib.NV_MAX_DISCOVERY_WAIT_MS / 1000:
        raise ValueError(f"timeout must be above 0 and at most 60 s, not {timeout}")
    wait_ms = max(1, round(timeout * 1000))
    capacity, count = 64, ctypes.c_uint32()
    while True:
        entries = (_lib.DeviceEntry * capacity)()
        status = _c.nv_find_devices(host.encode(), host_port, broadcast.encode(), broadcast_port, wait_ms,
                                    entries, capacity, ctypes.byref(count))
        if status != _lib.NV_BUFFER_TOO_SMALL:  # more answered than fit: ask again with room for all
            break
        capacity = max(count.value, capacity * 2)
    _check(status)
    return [_device(e.info, _text(e.address), e.port) for e in entries[:count.value]]


class _AudioState:
    """What the audio thread touches of one stream: the user's callback and its counters (no tuner)."""

    def __init__(self, callback):
        self.callback, self.blocks, self.errors, self.last_error, self.thread = callback, 0, 0, None, None


def _trampoline(state):
    """The C callback of one stream: copies the block (the C pointers die with the call) and hands it on;
    an exception of the user's callback is counted and kept, and the stream goes on."""

    def on_audio(_user, data, channels, frames):
        state.thread = threading.get_ident()
        try:
            block = np.empty((channels, frames), dtype=np.float32)
            for c in range(channels):
                ctypes.memmove(block[c].ctypes.data, data[c], frames * 4)
            state.blocks += 1
            state.callback(block)
        except BaseException as e:  # nothing may unwind into the SDK's audio thread
            state.errors += 1
            if state.errors == 1:  # the traceback as text: its frames would hold the callback's objects
                _log.warning("the audio callback raised %r; the stream goes on, further exceptions are only "
                             "counted (Stream.errors, Stream.last_error)\n%s", e,
                             "".join(traceback.format_exception(type(e), e, e.__traceback__)).rstrip())
            # Kept without its traceback, whose frames lead back to this one and so to `state`: a cycle
            # that would hold whatever the callback's frames refer to (its tuner, say) until a collection.
            state.last_error = e.with_traceback(None)
        finally:
            state.thread = None

    return _lib.AudioCallback(on_audio)


class _Handle:
    """The C handle with the running stream's C callback, which must live until nv_tuner_stop returned.
    Shared by a Tuner, its Streams and its finalizer; it refers to none of them."""

    def __init__(self, pointer):
        self.pointer, self.audio, self.lock = pointer, None, threading.Lock()

    def get(self, what):
        if self.pointer is None:
            raise Error(_lib.NV_NULL_HANDLE, f"{what}: the tuner is closed")
        return self.pointer

    def on_audio_thread(self):
        audio = self.audio
        return audio is not None and audio[1].thread == threading.get_ident()

    def refuse_on_audio_thread(self, what):
        """Starting, stopping or closing from the tuner's own audio callback would wait for itself."""
        if self.on_audio_thread():  # the callback's own thread
            raise Error(_lib.NV_INVALID_ARGUMENT, f"{what}: not from the tuner's own audio callback, which "
                                                  "it would wait for")

    def stop(self, state=None):
        """Stops the running stream (only when it is `state`'s, if given)."""
        self.refuse_on_audio_thread("stop")
        with self.lock:
            if self.audio is not None and state in (None, self.audio[1]):
                _check(_c.nv_tuner_stop(self.get("nv_tuner_stop")))
                self.audio = None  # only now: the C side calls the callback no more

    def close(self):
        if self.on_audio_thread():  # the collector ran on the audio thread: close from another
            threading.Thread(target=self.close, name="norvane close").start()
            return
        with self.lock:
            pointer, self.pointer = self.pointer, None
            if pointer is not None:
                _c.nv_tuner_close(pointer)
            self.audio = None


class Tuner:
    """A connection to one FM-tuner device at "host[:port]" (port 15001 unless given) or a found Device,
    driven from host:host_port: host None takes the local address that routes to the device, host_port 0
    any free port. Use it in a `with` block or call close(); a Tuner that is collected is closed too."""

    def __init__(self, device, host=None, host_port=0):
        if isinstance(device, Device):
            address, port = device.address, device.port
        else:
            address, _, port_text = str(device).partition(":")
            port = int(port_text) if port_text else 15001
        if not 0 < port < 65536:
            raise ValueError(f"device port {port} is not from 1 to 65535")
        self._address, self._port = address, port
        pointer = ctypes.c_void_p()
        host = host.encode() if host is not None else None  # None: the SDK takes the route to the device
        _check(_c.nv_tuner_open(address.encode(), port, host, host_port, ctypes.byref(pointer)))
        self._handle = _Handle(pointer.value)
        self._finalizer = weakref.finalize(self, self._handle.close)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def __repr__(self):
        return f"<norvane.Tuner {self._address}:{self._port}{' closed' if self.closed else ''}>"

    def close(self):
        """Stops audio, disconnects and frees the tuner; later calls do nothing."""
        self._handle.refuse_on_audio_thread("close")
        self._finalizer()

    @property
    def closed(self):
        return self._handle.pointer is None

    def _u32(self, function, count=1):
        values = [ctypes.c_uint32() for _ in range(count)]
        _check(function(self._handle.get(function.__name__), *(ctypes.byref(v) for v in values)))
        return [v.value for v in values]

    def _per_tuner(self, function, record, request):
        values, count = (record * _MAX_TUNERS)(), ctypes.c_uint32()
        _check(function(self._handle.get(function.__name__), 1 if request else 0, values, _MAX_TUNERS,
                        ctypes.byref(count)))
        return values[:count.value]

    @property
    def device_id(self):
        """The device's unit id."""
        text, needed = ctypes.create_string_buffer(64), ctypes.c_uint32()
        while True:
            handle = self._handle.get("nv_tuner_device_id")
            status = _c.nv_tuner_device_id(handle, text, len(text), ctypes.byref(needed))
            if status != _lib.NV_BUFFER_TOO_SMALL:
                _check(status)
                return _text(text.value)
            text = ctypes.create_string_buffer(needed.value)

    @property
    def info(self):
        """What the device said about itself, as a Device."""
        info = _lib.DeviceInfo()
        _check(_c.nv_tuner_info(self._handle.get("nv_tuner_info"), ctypes.byref(info)))
        return _device(info, self._address, self._port)

    @property
    def state(self):
        value = ctypes.c_int32()
        _check(_c.nv_tuner_state(self._handle.get("nv_tuner_state"), ctypes.byref(value)))
        return State(value.value)

    @property
    def inputs(self):
        """The number of tuners of the device (two audio channels each)."""
        return self._u32(_c.nv_tuner_inputs)[0]

    @property
    def sample_rate(self):
        """Sample frequency in Hz (0 until the device reported it)."""
        return self._u32(_c.nv_tuner_audio_format, 2)[0]

    @property
    def frames_per_block(self):
        return self._u32(_c.nv_tuner_audio_format, 2)[1]

    @property
    def frequencies(self):
        """The frequency of every tuner in kHz, as the device reports it now."""
        return list(self._per_tuner(_c.nv_tuner_get_freqs, ctypes.c_uint32, True))

    def tune(self, freqs):
        """Tunes tuner i to freqs[i] kHz (one per tuner); a single int tunes every tuner to it."""
        if isinstance(freqs, int):
            freqs = [freqs] * self.inputs
        freqs = list(freqs)
        if not all(isinstance(f, int) and 0 < f < 2 ** 32 for f in freqs):
            raise ValueError(f"frequencies must be positive ints in kHz, not {freqs}")
        values = (ctypes.c_uint32 * len(freqs))(*freqs)
        _check(_c.nv_tuner_set_freqs(self._handle.get("nv_tuner_set_freqs"), values, len(freqs)))

    def quality(self, request=True):
        """Reception quality of every tuner; request=False gives the last values without asking."""
        return [Quality(q.rssi, q.snr, q.multipath, q.pilot, q.valid)
                for q in self._per_tuner(_c.nv_tuner_quality, _lib.QualityValues, request)]

    def rds(self, request=True):
        """RDS texts of every tuner; request=False gives the last values without asking."""
        return [Rds(_text(r.psrv), _text(r.text), _text(r.time))
                for r in self._per_tuner(_c.nv_tuner_rds, _lib.RdsValues, request)]

    def stream(self, callback, rtp_base_port=0, buffer_window=20, start_latency=10):
        """Starts audio: callback(block) gets every block as a float32 array (channels, frames), its own
        copy, on the SDK's audio thread. Returns the running Stream; one stream per tuner at a time."""
        if not callable(callback):
            raise TypeError("callback must be callable")
        settings = _lib.StartSettings(rtp_base_port, 0, buffer_window, start_latency)
        state = _AudioState(callback)
        trampoline = _trampoline(state)
        handle = self._handle
        handle.refuse_on_audio_thread("stream")
        with handle.lock:
            if handle.audio is not None:
                raise Error(_lib.NV_INVALID_ARGUMENT, "stream: audio is running already; stop it first")
            # Known before the first block: a callback that stops its own tuner must be recognised.
            handle.audio = (trampoline, state)
            try:
                _check(_c.nv_tuner_start(handle.get("nv_tuner_start"), ctypes.byref(settings), trampoline, None))
            except BaseException:
                handle.audio = None
                raise
        return Stream(self, state)

    def stop(self):
        """Stops the running stream, if any."""
        self._handle.get("nv_tuner_stop")
        self._handle.stop()

    def record(self, seconds):
        """Records `seconds` of audio: float32 array (channels, round(seconds * sample_rate))."""
        wanted = round(seconds * self.sample_rate)
        if wanted <= 0:
            raise ValueError(f"nothing to record in {seconds} s at {self.sample_rate} Hz")
        blocks, got, done = [], [0], threading.Event()

        def collect(block):
            if got[0] < wanted:
                blocks.append(block)
                got[0] += block.shape[1]
                if got[0] >= wanted:
                    done.set()

        limit = 10.0 + 2 * seconds
        with self.stream(collect):
            arrived = done.wait(limit)
        if not arrived:
            raise DeviceError(_lib.NV_FAILED, f"record: {got[0]} of {wanted} frames arrived within {limit:.0f} s")
        return np.concatenate(blocks, axis=1)[:, :wanted]


class Stream:
    """Running audio of a Tuner (from Tuner.stream); stop() or leave its `with` block to end it.
    `blocks` counts the blocks delivered, `errors` the callback's exceptions, `last_error` the last one
    (without traceback; the first one is logged with it)."""

    def __init__(self, tuner, state):
        self._tuner, self._state = tuner, state

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

    @property
    def blocks(self):
        return self._state.blocks

    @property
    def errors(self):
        return self._state.errors

    @property
    def last_error(self):
        return self._state.last_error

    @property
    def running(self):
        audio = self._tuner._handle.audio
        return audio is not None and audio[1] is self._state

    def stop(self):
        """Stops this stream; the callback is not called after it returns. Later calls do nothing."""
        self._tuner._handle.stop(self._state)

    def stats(self):
        """Statistics of every tuner's stream, as StreamStats."""
        if not self.running:
            raise NotConnectedError(_lib.NV_NOT_CONNECTED, "stats: the stream is stopped")
        values, count = (_lib.StreamStatsValues * _MAX_TUNERS)(), ctypes.c_uint32()
        _check(_c.nv_tuner_stream_stats(self._tuner._handle.get("nv_tuner_stream_stats"), values, _MAX_TUNERS,
                                        ctypes.byref(count)))
        return [StreamStats(*(getattr(v, f) for f in StreamStats._fields)) for v in values[:count.value]]
