"""One simulator (kxsim, path in $KXSIM) for the session: two devices on free loopback ports, with a band
whose RDS texts hold non-ASCII characters."""
import json
import os
import queue
import re
import subprocess
import threading
import types

import pytest

CONFIG = {"radiotext_ms": 600000, "devices": [{"unit_id": "PY-1", "freqs": [100500, 94300]}, {"unit_id": "PY-2"}],
          "stations": [{"freq": 100500, "name": "Søndag", "radiotext": ["Grüße aus Köln ♪"], "stereo": True,
                        "tone_left_hz": 440, "tone_right_hz": 660},
                       {"freq": 94300, "name": "Zwei", "radiotext": ["zwei"], "stereo": False}]}


@pytest.fixture(scope="session")
def sim(tmp_path_factory):
    config = tmp_path_factory.mktemp("sim") / "sim.json"
    config.write_text(json.dumps(CONFIG, ensure_ascii=False), encoding="utf-8")
    proc = subprocess.Popen([os.environ["KXSIM"], "--config", str(config), "-p", "0", "--discovery-port", "0"],
                            stdout=subprocess.PIPE, text=True, encoding="utf-8")
    lines = queue.Queue()
    threading.Thread(target=lambda: [*map(lines.put, proc.stdout), *map(lines.put, [""] * 3)], daemon=True).start()
    try:
        # The start line names the discovery port, then one line per device its port ("" at the end).
        text = "".join(lines.get(timeout=60) for _ in range(3))
        assert "simulator started" in text, f"kxsim did not start: {text!r}"
        ports = {name: int(port) for name, port in re.findall(r"(\S+) at 127\.0\.0\.1:(\d+)", text)}
        yield types.SimpleNamespace(discovery=int(re.search(r"discovery port \S+:(\d+)", text).group(1)),
                                    ports=ports, address=f"127.0.0.1:{ports['PY-1']}")
    finally:
        proc.terminate()
        proc.wait(timeout=60)


@pytest.fixture
def tuner(sim):
    import norvane
    with norvane.Tuner(sim.address) as t:
        yield t
