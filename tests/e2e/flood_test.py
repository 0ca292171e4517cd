#!/usr/bin/env python3
"""kxctl against a simulated device while a hostile peer floods it, end to end (Linux).

With each flood at full speed from 127.0.0.2 (ping-pair, big-att, ping and garbage at kxctl's control
port; get-time from the device kxctl talks to), `kxctl info`, `quality` and `monitor --count 3` must
succeed every time with kxctl's peak memory under 64 MB; a discovery answered by a device that streams
"dev_info" must end after its 3 s (with room for a loaded machine) and list the real device.

usage: flood_test.py KXSIM KXCTL [KIND...]   (default: every kind, "discovery" standing for dev-info)
"""
import json, os, re, signal, socket, subprocess, sys, tempfile, threading, time

KXSIM, KXCTL = sys.argv[1:3]
KINDS = sys.argv[3:] or ["ping-pair", "big-att", "ping", "garbage", "get-time", "discovery"]
HOSTILE = "127.0.0.2"  # on Linux all of 127/8 is loopback
failures = []


def check(what, ok, detail=""):
    print(("ok    " if ok else "FAIL  ") + what + ("" if ok else ": " + detail), flush=True)
    failures.extend([] if ok else [what])
    return ok


def kxsim(*args):
    """Starts kxsim; returns the process and its first device's address and discovery port (None for a
    flood sender, which prints at the end only)."""
    proc = subprocess.Popen([KXSIM, "--port", "0", *args], stdout=subprocess.PIPE, text=True, errors="replace")
    text = ""
    while "--target" not in args and not re.search(r"^  \S+ at \S+", text, re.M) and proc.poll() is None:
        text += proc.stdout.readline()
    address = lambda after: (re.search(after + r"(\d+\.\d+\.\d+\.\d+:\d+)", text, re.M) or [None, None])[1]
    return proc, address(r"^  \S+ at "), address("discovery port ")


def stop(proc, label):
    """Ends kxsim as Ctrl-C would; a flood sender must report its rate."""
    proc.send_signal(signal.SIGTERM)
    line = next((l for l in proc.communicate(timeout=60)[0].splitlines() if l.startswith("flood ")), "")
    label and check("%s reported its rate: %s" % (label, line), "datagrams/s" in line)


def kxctl(*args):
    """Runs kxctl; returns its exit code, output, seconds and peak resident kB (its own, by wait4)."""
    started = time.monotonic()
    proc = subprocess.Popen([KXCTL, "--log-folder", LOGS, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    timer = threading.Timer(120, proc.kill)  # generous: a loaded 2-core machine
    timer.start()
    out = proc.stdout.read().decode("utf-8", "replace")
    _, status, usage = os.wait4(proc.pid, 0)
    timer.cancel()
    return os.waitstatus_to_exitcode(status), out, time.monotonic() - started, usage.ru_maxrss


def commands_hold(label, device, *local):
    """Each command twice; the first failure ends the flood's checks."""
    for args in [["info"]] * 2 + [["quality"]] * 2 + [["monitor", "--count", "3", "--interval", "0.2"]] * 2:
        code, out, seconds, kb = kxctl(*local, args[0], device, *args[1:])
        if not check("%s: kxctl %s (%.1f s, %d MB)" % (label, args[0], seconds, kb >> 10),
                     code == 0 and kb < 64 * 1024, "exit %d, %d kB\n%s" % (code, kb, out[-600:])):
            return


with tempfile.TemporaryDirectory(prefix="flood_e2e") as LOGS:
    real, device, _ = kxsim("--no-discovery")
    for kind in [k for k in KINDS if k in ("ping-pair", "big-att", "ping", "garbage")]:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:  # kxctl's control port, free for now
            s.bind(("127.0.0.1", 0))
            local = "127.0.0.1:%d" % s.getsockname()[1]
        flood, _, _ = kxsim("--flood", kind, "--target", local, "--bind", HOSTILE, "--seconds", "3600")
        commands_hold("flood " + kind, device, "--local", local)
        stop(flood, "flood " + kind)
    stop(real, None)

    if "get-time" in KINDS:  # once kxctl talks to the device, "get_time" streams at it
        # 2,000 a second (the answers of a device that queued one "cur_time" per request would grow by as
        # many): faster, the flooding device itself falls behind on a loaded machine, and at an unbounded
        # rate its socket fills with the host's acknowledgements and it no longer hears the host at all.
        hostile, device, _ = kxsim("--flood", "get-time", "--rate", "2000", "--seconds", "3600", "--bind", HOSTILE,
                                   "--no-discovery")
        commands_hold("flood get-time", device)
        stop(hostile, "flood get-time")

    if "discovery" in KINDS:  # one real device, one that answers "dev_find" with a stream of "dev_info"
        with open(os.path.join(LOGS, "sim.json"), "w") as f:
            json.dump({"devices": [{"unit_id": "REAL-1"},
                                   {"unit_id": "HOSTILE-2", "faults": {"dev_info_flood": 4294967295}}]}, f)
        sims, device, discovery = kxsim("--config", f.name, "--discovery-port", "0")
        code, out, seconds, kb = kxctl("--json", "discover", discovery)
        # The process's whole run, start-up included, on a machine that may be loaded.
        check("flooded discovery ends after its 3 s (%.2f s)" % seconds, code == 0 and 2.95 <= seconds <= 3.8, out[-300:])
        found = json.loads(out.splitlines()[0])["devices"] if code == 0 and out.startswith("{") else []
        check("flooded discovery lists the real device (%d entries, %d MB)" % (len(found), kb >> 10),
              any(d.get("unit_id") == "REAL-1" and d.get("port") == int(device.split(":")[1]) for d in found), out[-300:])
        stop(sims, None)

print("%d check(s) failed" % len(failures) if failures else "every check held")
sys.exit(1 if failures else 0)
