#!/usr/bin/env python3
"""Shows a tuner's quality and RDS texts, then a live peak meter of every channel.

    levels.py ADDRESS[:PORT] [FREQUENCY_KHZ] [SECONDS]     e.g. levels.py 192.168.1.20 100500 10
"""
import sys
import threading
import time

import numpy as np

import norvane

address = sys.argv[1]
freq = int(sys.argv[2]) if len(sys.argv) > 2 else 0
seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10.0
peaks, lock = [None], threading.Lock()


def on_block(block):  # on the SDK's audio thread: keep the loudest sample of each channel
    with lock:
        loudest = np.abs(block).max(axis=1)
        peaks[0] = loudest if peaks[0] is None else np.maximum(peaks[0], loudest)


with norvane.Tuner(address) as tuner:
    if freq:
        tuner.tune(freq)  # every tuner to one frequency
    for i, (khz, q, rds) in enumerate(zip(tuner.frequencies, tuner.quality(), tuner.rds())):
        print(f"tuner {i}: {khz} kHz  rssi {q.rssi} dBuV  snr {q.snr} dB  valid {q.valid}  {rds.psrv} | {rds.text}")
    with tuner.stream(on_block):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            time.sleep(0.1)
            with lock:
                got, peaks[0] = peaks[0], None
            if got is not None:
                dbfs = 20 * np.log10(np.maximum(got, 1e-5))
                meter = "  ".join(f"{d:6.1f} dBFS |{'#' * int((d + 60) // 3):<20}|" for d in dbfs)
                print(meter, end="\r" if sys.stdout.isatty() else "\n", flush=True)
print()
