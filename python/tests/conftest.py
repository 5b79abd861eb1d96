"""Fixtures: a real `korvane serve` on a free port, fed a model made from
the examples. The program is KORVANE_BIN, or build/bin/korvane of this
source tree.

The package under test is the installed one when KORVANE_TEST_INSTALLED=1
(scripts/run-tests.sh installs it into a virtual environment first), else
the one the build lays out in build/python (with its extension module),
else python/ of the source tree (without it)."""

import os
import re
import signal
import subprocess
import sys
import threading

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
if os.environ.get("KORVANE_TEST_INSTALLED") != "1":
    _built = os.path.join(ROOT, os.environ.get("KORVANE_BUILD_DIR", "build"), "python")
    if not os.path.isabs(_built):
        _built = os.path.join(ROOT, _built)
    sys.path.insert(0, _built if os.path.isdir(os.path.join(_built, "korvane")) else os.path.join(ROOT, "python"))
else:
    import korvane as _installed

    if os.path.abspath(_installed.__file__).startswith(ROOT + os.sep):
        raise RuntimeError(f"KORVANE_TEST_INSTALLED=1, but korvane is imported from the source tree: "
                           f"{_installed.__file__}")


def korvane_bin():
    path = os.environ.get("KORVANE_BIN") or os.path.join(
        ROOT, os.environ.get("KORVANE_BUILD_DIR", "build"), "bin", "korvane"
    )
    if not os.path.isabs(path):
        path = os.path.join(ROOT, path)
    if not os.access(path, os.X_OK):
        pytest.fail(f"no korvane program at {path}: build it, or set KORVANE_BIN")
    return path


def run_korvane(*args, env=None, check=True):
    result = subprocess.run([korvane_bin(), *args], capture_output=True, text=True, env=env, timeout=300)
    if check and result.returncode != 0:
        raise AssertionError(f"korvane {' '.join(args)} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result


class Server:
    """`korvane serve MODEL --port 0 --clock simulated` in the background;
    port is where it listens, experiments() the experiment files it made."""

    def __init__(self, model, env):
        self.model = model
        self.lines = []
        self.proc = subprocess.Popen(
            [korvane_bin(), "serve", model, "--port", "0", "--clock", "simulated", "--seed", "1", "--quiet"],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            env=env,
        )
        self.port = None
        self._ready = threading.Event()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        if not self._ready.wait(60) or self.port is None:
            self.stop()
            raise AssertionError("korvane serve did not start:\n" + "".join(self.lines))

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line)
            found = re.search(r" at [0-9.]+:(\d+)$", line.strip())
            if found and self.port is None:
                self.port = int(found.group(1))
                self._ready.set()
        self._ready.set()

    def experiments(self):
        return [line.split(": ", 1)[1].strip() for line in self.lines if line.startswith("Experiment database: ")]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._reader.join(5)


@pytest.fixture
def env(tmp_path):
    environment = dict(os.environ)
    environment["KORVANE_DATA_DIR"] = str(tmp_path / "data")
    environment["QT_QPA_PLATFORM"] = "offscreen"
    return environment


@pytest.fixture
def binary_model(tmp_path, env):
    model = str(tmp_path / "binary.mdb")
    run_korvane("model", "import", os.path.join(ROOT, "examples", "binary-choice.json"), model, env=env)
    return model


@pytest.fixture
def server(binary_model, env):
    running = Server(binary_model, env)
    yield running
    running.stop()
