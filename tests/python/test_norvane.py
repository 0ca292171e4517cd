"""The norvane package against simulated devices (see conftest.py)."""
import gc
import os
import re
import shutil
import subprocess
import sys
import time
import weakref

import numpy as np
import pytest

import norvane


def wait_until(condition, seconds=30.0):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


def test_discovery_finds_every_simulated_device_within_its_window(sim):
    started = time.monotonic()
    found = norvane.find_devices(1.0, host="127.0.0.1", broadcast="127.0.0.1", broadcast_port=sim.discovery)
    assert time.monotonic() - started >= 0.9  # answers are collected for the whole second
    assert {(d.unit_id, d.address, d.port, d.inputs) for d in found} == \
        {(name, "127.0.0.1", port, 2) for name, port in sim.ports.items()}


def test_tune_reads_back_frequencies_quality_and_rds(tuner):
    tuner.tune([94300, 100500])
    assert tuner.frequencies == [94300, 100500]
    assert [(q.valid, q.pilot) for q in tuner.quality()] == [(1, 0), (1, 1)]
    assert [(r.psrv, r.text) for r in tuner.rds()] == [("Zwei", "zwei"), ("Søndag", "Grüße aus Köln ♪")]
    assert (tuner.device_id, tuner.info.inputs, tuner.state, tuner.sample_rate) == \
        ("PY-1", 2, norvane.State.CONNECTED, 48000)


@pytest.mark.parametrize("action, error, status, text", [
    (lambda t: [t.close(), t.quality()], norvane.Error, 2, "nv_tuner_quality: the tuner is closed"),
    (lambda t: [t.stream(len), t.stream(len)], norvane.Error, 1, "audio is running already"),
    (lambda t: [s := t.stream(len), s.stop(), s.stats()], norvane.NotConnectedError, 4, "stream is stopped"),
    (lambda t: norvane.find_devices(0.1, broadcast="nonsense"), norvane.DeviceError, 5, "discovery from"),
    (lambda t: norvane.Tuner("256.1.1.1"), norvane.DeviceError, 5, "cannot resolve '256.1.1.1'"),
    (lambda t: norvane.find_devices(0), ValueError, None, "timeout must be above 0"),
    (lambda t: norvane.find_devices(60.5), ValueError, None, "at most 60 s"),
])
def test_misuse_raises_with_the_reason(tuner, action, error, status, text):
    with pytest.raises(error, match=re.escape(text)) as raised:
        action(tuner)
    assert getattr(raised.value, "status", None) == status


@pytest.mark.parametrize("fault", ["raise", "sleep", "stop"])
def test_callback_faults_keep_the_stream_going(tuner, caplog, fault):
    shapes = []

    def callback(block):
        shapes.append(block.shape)
        if len(shapes) <= 5:
            {"raise": lambda: 1 / 0, "sleep": lambda: time.sleep(0.05), "stop": tuner.stop}[fault]()

    with tuner.stream(callback) as stream:
        assert wait_until(lambda: stream.blocks >= 100)
        stats = stream.stats()
        assert tuner.state == norvane.State.RTP_ACTIVE
    assert len(shapes) >= 100 and set(shapes) == {(4, 192)}
    assert len(stats) == 2 and all(s.packets_received > 0 for s in stats)
    expected = {"raise": ZeroDivisionError, "sleep": type(None), "stop": norvane.Error}[fault]
    assert isinstance(stream.last_error, expected) and stream.errors == (0 if fault == "sleep" else 5)
    # Refused before the handle's lock, which a stop on another thread may hold while it waits for this block.
    assert fault != "stop" or "not from the tuner's own audio callback" in str(stream.last_error)
    assert len([r for r in caplog.records if "audio callback raised" in r.message]) == min(stream.errors, 1)


def test_record_returns_each_channels_tone(tuner):
    tuner.tune(100500)
    audio = tuner.record(0.5)
    assert audio.shape == (4, 24000) and audio.dtype == np.float32
    peaks = np.argmax(np.abs(np.fft.rfft(audio, axis=1)), axis=1) * 48000 / audio.shape[1]
    assert np.allclose(peaks, [440, 660, 440, 660], atol=4)


@pytest.mark.parametrize("use", ["with", "del", "stream"])
def test_tuner_is_closed_and_freed_without_the_collector(sim, use):
    gc.disable()
    try:
        t = norvane.Tuner(sim.address)
        handle, ref = t._handle, weakref.ref(t)
        if use == "with":
            with t:
                pass
            assert t.closed
        if use == "stream":  # a callback that holds the tuner and raises, in a stream that ended
            with t.stream(lambda block, tuner=t: tuner.inputs / 0) as s:
                assert wait_until(lambda: s.errors > 0)
            del s
        del t
        assert ref() is None and handle.pointer is None
    finally:
        gc.enable()


MISSING = "/nonexistent/libnorvane_sdk.so"


@pytest.mark.parametrize("variable, installed, found", [
    (MISSING, False, False),  # a wrong path is named
    (None, True, True),       # the path recorded at install time
    (MISSING, True, False),   # the variable wins over the install-time path, with no quiet fallback
])
def test_library_lookup_order(tmp_path, variable, installed, found):
    package = shutil.copytree(os.path.dirname(norvane.__file__), tmp_path / "norvane",
                              ignore=shutil.ignore_patterns("__pycache__"))
    installed_library = tmp_path / "lib" / "libnorvane_sdk.so.0"  # as cmake --install lays it out
    if installed:
        installed_library.parent.mkdir()
        installed_library.symlink_to(norvane._lib.path)
        (package / "_paths.py").write_text('LIBRARY = "../lib/libnorvane_sdk.so.0"\n')
    env = {k: v for k, v in os.environ.items() if k != "NORVANE_SDK_LIBRARY"}
    env.update({"PYTHONPATH": str(tmp_path)}, **({"NORVANE_SDK_LIBRARY": variable} if variable else {}))
    run = subprocess.run([sys.executable, "-c", "import norvane; print(norvane._lib.path)"], env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == (0 if found else 1)
    assert (str(installed_library) if found else f"NORVANE_SDK_LIBRARY={MISSING}") in run.stdout + run.stderr
