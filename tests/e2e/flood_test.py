#!/usr/bin/env python3
"""kxctl against a simulated device while a hostile peer floods it, end to end (Linux).

With each flood running at full speed from 127.0.0.2 (ping-pair, big-att and garbage and ping at kxctl's
control port; get-time from the device kxctl talks to), `kxctl info`, `kxctl quality` and
`kxctl monitor --count 3` must succeed every time with kxctl's peak memory under 64 MB; a discovery
answered by a device that streams "dev_info" must end after its 3 s and list the real device.

usage: flood_test.py KXSIM KXCTL
"""
import json
import os
import queue
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

KXSIM, KXCTL = sys.argv[1], sys.argv[2]
HOSTILE = "127.0.0.2"  # on Linux all of 127/8 is loopback
RUNS = 2  # of each command under each flood
MEMORY_LIMIT_KB = 64 * 1024
COMMAND_SECONDS = 120  # generous: a loaded 2-core machine
failures = []


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Kxsim:
    """A kxsim process whose output lines are read on a thread of their own."""

    def __init__(self, args):
        self.proc = subprocess.Popen([KXSIM] + args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True, errors="replace")
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_for(self, pattern, seconds=60):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=max(0.1, end - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                break
            self.seen.append(line)
            match = re.search(pattern, line)
            if match:
                return match
        raise RuntimeError("kxsim never printed /%s/; got: %s" % (pattern, self.seen[-5:]))

    def stop(self):
        """Ends it as Ctrl-C would and returns its flood line, if any."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        rest = [line for line in iter(self.lines.get, None)]
        return next((line for line in self.seen + rest if line.startswith("flood ")), "")


def run_kxctl(args):
    """Runs kxctl; returns (exit code, output, seconds, peak resident kB of kxctl alone)."""
    started = time.monotonic()
    proc = subprocess.Popen([KXCTL] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    timer = threading.Timer(COMMAND_SECONDS, proc.kill)
    timer.start()
    out = proc.stdout.read() + proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    timer.cancel()
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, out.decode("utf-8", "replace"), time.monotonic() - started, usage.ru_maxrss


def check(what, ok, detail=""):
    print(("ok    " if ok else "FAIL  ") + what + ("" if ok else ": " + detail), flush=True)
    if not ok:
        failures.append(what)


def commands_hold(label, device, local):
    for args in (["info", device], ["quality", device], ["monitor", device, "--count", "3", "--interval", "0.2"]):
        for run in range(RUNS):
            code, out, seconds, peak_kb = run_kxctl(local + ["--log-folder", LOGS] + args)
            what = "%s: kxctl %s, run %d (%.1f s, %d MB)" % (label, args[0], run + 1, seconds, peak_kb // 1024)
            check(what, code == 0 and peak_kb < MEMORY_LIMIT_KB, "exit %d, %d kB\n%s" % (code, peak_kb, out[-600:]))


def device_address(sim):
    return sim.wait_for(r"^  \S+ at (\d+\.\d+\.\d+\.\d+:\d+), ").group(1)


with tempfile.TemporaryDirectory(prefix="flood_e2e") as LOGS:
    # The device kxctl talks to, and the floods at kxctl's control port from 127.0.0.2.
    real = Kxsim(["--port", "0", "--no-discovery", "--duration", "3600"])
    device = device_address(real)
    for kind in ("ping-pair", "big-att", "ping", "garbage"):
        port = free_port()
        flood = Kxsim(["--flood", kind, "--target", "127.0.0.1:%d" % port, "--bind", HOSTILE, "--rate", "0",
                       "--seconds", "3600"])
        time.sleep(0.5)  # under way (a flood that failed to start is caught by its missing rate line)
        commands_hold("flood " + kind, device, ["--local", "127.0.0.1:%d" % port])
        line = flood.stop()
        check("flood %s reported its rate" % kind, "datagrams/s" in line, line)
        print("      " + line, flush=True)
    real.stop()

    # A hostile device: once kxctl talks to it, "get_time" requests stream to kxctl at full speed.
    hostile = Kxsim(["--flood", "get-time", "--rate", "0", "--seconds", "3600", "--bind", HOSTILE, "--port", "0",
                     "--no-discovery"])
    commands_hold("flood get-time", device_address(hostile), [])
    line = hostile.stop()
    check("flood get-time reported its rate", "datagrams/s" in line, line)
    print("      " + line, flush=True)

    # Discovery answered by a real device and by one that streams "dev_info" with new msg_ids.
    settings = os.path.join(LOGS, "sim.json")
    with open(settings, "w") as f:
        json.dump({"devices": [{"unit_id": "REAL-1"}, {"unit_id": "HOSTILE-2",
                                                        "faults": {"dev_info_flood": 4294967295}}]}, f)
    sims = Kxsim(["--config", settings, "--port", "0", "--discovery-port", "0", "--duration", "3600"])
    discovery = sims.wait_for(r"discovery port (\d+\.\d+\.\d+\.\d+:\d+)").group(1)
    real_address = device_address(sims)
    code, out, seconds, peak_kb = run_kxctl(["--json", "--log-folder", LOGS, "discover", "--target", discovery])
    check("flooded discovery ends in 3 s +- 0.2 s (%.2f s)" % seconds, code == 0 and 2.8 <= seconds <= 3.2, out[-600:])
    try:
        found = json.loads(out.splitlines()[0])["devices"] if code == 0 else []
    except (ValueError, IndexError, KeyError):
        found = []
    host, port = real_address.rsplit(":", 1)
    check("flooded discovery lists the real device (%d entries, %d MB)" % (len(found), peak_kb // 1024),
          any(d.get("unit_id") == "REAL-1" and d.get("port") == int(port) for d in found), out[-600:])
    sims.stop()

print("%d check(s) failed" % len(failures) if failures else "every check held")
sys.exit(1 if failures else 0)
