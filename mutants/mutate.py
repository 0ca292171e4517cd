#!/usr/bin/env python3
"""The mutation check: plants one-line faults, one at a time, and sees the suite catch each.

Each list under mutants/ holds records separated by blank lines ('#' starts a comment line):

    name: repeat after 600 ms instead of 300
    file: src/net/json_udp_connect.h
    from: inline constexpr std::int64_t kJsonUdpRepeatIntervalMs = 300;
    to: inline constexpr std::int64_t kJsonUdpRepeatIntervalMs = 600;
    test: net_tests JsonUdpConnect*

`from` must stand exactly once in `file`; `test` names a test program of the build and optionally a
GoogleTest filter, or is `pytest` and optionally tests of tests/python (paths or node ids, e.g.
`pytest tests/python/test_norvane.py::test_record_returns_each_channels_tone`): the Python package's
tests, run on the build's library and kxsim. For each mutant the file is changed, that program rebuilt and
run, and the file put back whatever happens. A mutant is caught when the program fails (or outlives its
time limit), missed when it passes, and invalid when it cannot be applied or does not build (a .py file:
does not compile): a fault that does not compile proves nothing about the tests.

usage: mutate.py BUILD_DIR [--jobs N] [--only TEXT] [LIST...]   (default: every mutants/*.txt)
"""
import argparse
import glob
import os
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TEST_SECONDS = 300


class Mutant:
    def __init__(self, origin, fields):
        self.origin = origin
        self.name = fields.get("name", "").strip()
        self.file = fields.get("file", "").strip()
        self.old = fields.get("from", "").strip()
        self.new = fields.get("to", "").strip()
        test = fields.get("test", "").split()
        self.target = test[0] if test else ""
        self.filter = test[1] if len(test) > 1 else ""
        missing = [k for k in ("name", "file", "from", "to", "test") if not fields.get(k, "").strip()]
        if missing:
            raise ValueError(f"{origin}: missing {', '.join(missing)}")


def read_list(path):
    mutants, fields, start = [], {}, 0
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines + [""], 1):
        if line.strip().startswith("#"):
            continue
        if not line.strip():
            if fields:
                mutants.append(Mutant(f"{os.path.relpath(path, ROOT)}:{start}", fields))
                fields = {}
            continue
        key, sep, value = line.partition(":")
        if not sep or key.strip() not in ("name", "file", "from", "to", "test"):
            raise ValueError(f"{path}:{number}: expected 'key: value', got {line!r}")
        if not fields:
            start = number
        fields[key.strip()] = value
    return mutants


def find_program(build_dir, target):
    for name in (target, target + ".exe"):
        for path in glob.glob(os.path.join(build_dir, "**", name), recursive=True):
            if os.path.isfile(path) and os.access(path, os.X_OK):
                return path
    return None


# What the Python package's tests run on; they need no build of their own.
PYTEST_TARGETS = ["norvane_sdk", "kxsim"]


def build(build_dir, target, jobs, log):
    targets = PYTEST_TARGETS if target == "pytest" else [target]
    return subprocess.run(["cmake", "--build", build_dir, "--target", *targets, "-j", str(jobs)],
                          stdout=log, stderr=subprocess.STDOUT).returncode == 0


def pytest_command(build_dir, test_filter):
    """The command and environment of the Python package's tests (ctest python_package does the same)."""
    python = sys.executable
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            if line.startswith("NORVANE_PYTHON3:") and not line.strip().endswith("NOTFOUND"):
                python = line.split("=", 1)[1].strip()
    library = glob.glob(os.path.join(build_dir, "**", "libnorvane_sdk.so"), recursive=True)
    env = dict(os.environ, NORVANE_SDK_LIBRARY=library[0] if library else "", PYTHONDONTWRITEBYTECODE="1",
               KXSIM=find_program(build_dir, "kxsim") or "", PYTHONPATH=os.path.join(ROOT, "python"))
    tests = [os.path.join(ROOT, t) for t in test_filter.split()] or [os.path.join(ROOT, "tests", "python")]
    return [python, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", *tests], env


def run_tests(build_dir, target, test_filter, log):
    """True when the program passes; None when it did not finish in time."""
    env, cwd = None, ROOT
    if target == "pytest":
        args, env = pytest_command(build_dir, test_filter)
    else:
        program = find_program(build_dir, target)
        if program is None:
            log.write(f"no program named {target} in {build_dir}\n")
            return False
        args, cwd = [program, "--gtest_brief=1"], os.path.dirname(program)
        if test_filter:
            args.append(f"--gtest_filter={test_filter}")
    try:
        # A session of its own, so a hung program's threads and children go with it.
        proc = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, cwd=cwd, env=env,
                                start_new_session=True)
        return proc.wait(timeout=TEST_SECONDS) == 0
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return None


def compiles(source, path, log):
    try:
        compile(source, path, "exec")
        return True
    except SyntaxError as e:
        log.write(f"{e}\n")
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build_dir")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--only", default="", help="only mutants whose name contains this text")
    parser.add_argument("lists", nargs="*")
    args = parser.parse_intermixed_args()
    args.build_dir = os.path.abspath(args.build_dir)

    lists = args.lists or sorted(glob.glob(os.path.join(ROOT, "mutants", "*.txt")))
    mutants = [m for path in lists for m in read_list(path) if args.only in m.name]
    if not mutants:
        print("no mutants to run")
        return 2
    log_dir = os.path.join(args.build_dir, "mutants")
    os.makedirs(log_dir, exist_ok=True)

    # A program that fails unmutated would make every mutant look caught.
    for target in sorted({m.target for m in mutants}):
        with open(os.path.join(log_dir, f"baseline-{target}.log"), "w") as log:
            filters = sorted({m.filter for m in mutants if m.target == target})
            test_filter = "" if "" in filters else (" " if target == "pytest" else ":").join(filters)
            if not build(args.build_dir, target, args.jobs, log) or \
                    not run_tests(args.build_dir, target, test_filter, log):
                print(f"mutants: {target} does not pass unmutated; see {log.name}")
                return 2

    caught = missed = invalid = 0
    for index, m in enumerate(mutants, 1):
        path = os.path.join(ROOT, m.file)
        log_path = os.path.join(log_dir, f"{index:03d}.log")
        started = time.monotonic()
        with open(log_path, "w") as log:
            log.write(f"{m.origin}: {m.name}\n")
            try:
                with open(path, encoding="utf-8", newline="") as f:
                    original = f.read()
            except OSError as e:
                original, verdict = None, f"invalid (cannot read {m.file}: {e.strerror})"
            if original is not None:
                count = original.count(m.old)
                if count != 1:
                    verdict = f"invalid ('from' stands {count} times in {m.file})"
                else:
                    try:
                        with open(path, "w", encoding="utf-8", newline="") as f:
                            f.write(original.replace(m.old, m.new))
                        if m.file.endswith(".py") and not compiles(original.replace(m.old, m.new), path, log):
                            verdict = "invalid (does not compile)"
                        elif not build(args.build_dir, m.target, args.jobs, log):
                            verdict = "invalid (does not build)"
                        else:
                            passed = run_tests(args.build_dir, m.target, m.filter, log)
                            verdict = "missed" if passed else ("caught (time limit)" if passed is None
                                                               else "caught")
                    finally:
                        with open(path, "w", encoding="utf-8", newline="") as f:
                            f.write(original)
        if verdict.startswith("caught"):
            caught += 1
        elif verdict == "missed":
            missed += 1
        else:
            invalid += 1
        print(f"{verdict:<20} {m.name}  [{m.origin}, {time.monotonic() - started:.0f} s]", flush=True)

    # Put the build back in step with the restored sources.
    for target in sorted({m.target for m in mutants}):
        with open(os.path.join(log_dir, "restore.log"), "a") as log:
            build(args.build_dir, target, args.jobs, log)
    summary = f"{caught} caught, {missed} missed"
    if invalid:
        summary += f", {invalid} invalid"
    print(summary)
    return 0 if missed == 0 and invalid == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
