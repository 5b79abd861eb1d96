"""The served path without ceremony: serve() starts `korvane serve` on a free
port, hands back a connected TaskConnection and stops the server at the end.

    with korvane.serve("binary.mdb", seed=1) as conn:
        conn.start("I1")
        ...
        conn.stop("I1")
    conn.trials()        # the run's experiment file, conn.experiment_path
"""

import contextlib
import os
import shutil
import signal
import subprocess
import tempfile
import time

from .results import RunResults
from .task import TaskConnection, TaskError

_PACKAGE = os.path.dirname(os.path.abspath(__file__))


def korvane_program():
    """The korvane program serve() runs: $KORVANE_BIN, else the build tree's
    program when the package is the one laid out in build/python, else
    korvane on PATH."""
    named = os.environ.get("KORVANE_BIN")
    if named:
        return named
    built = os.path.join(_PACKAGE, "..", "..", "bin", "korvane")
    if os.access(built, os.X_OK):
        return os.path.abspath(built)
    found = shutil.which("korvane")
    if not found:
        raise FileNotFoundError("no korvane program: install Korvane, or set KORVANE_BIN to the program")
    return found


class _Server:
    """A `korvane serve` process with its --info-file and its output."""

    def __init__(self, model_path, seed, clock, debug, program, timeout):
        self._folder = tempfile.mkdtemp(prefix="korvane-serve-")
        self._info = os.path.join(self._folder, "info")
        self._output = open(os.path.join(self._folder, "output"), "w+", encoding="utf-8", errors="replace")
        command = [program or korvane_program(), "serve", os.fspath(model_path), "--port", "0", "--quiet",
                   "--info-file", self._info]
        if clock:
            command += ["--clock", clock]
        if seed is not None:
            command += ["--seed", str(seed)]
        if debug:
            command.append("--debug")
        self.experiment_path = None
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self._output,
                                     stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        self.port = None
        while self.port is None:
            values = self._read_info()
            if "port" in values:
                self.port = int(values["port"])
            elif self.proc.poll() is not None:
                text = self.output()
                self._cleanup()
                raise TaskError(text or f"korvane serve ended with exit code {self.proc.returncode}")
            elif time.monotonic() > deadline:
                self.stop()
                raise TaskError("korvane serve did not start listening in time")
            else:
                time.sleep(0.02)

    def _read_info(self):
        try:
            with open(self._info, encoding="utf-8") as file:
                lines = file.read().splitlines()
        except OSError:
            return {}
        values = dict(line.split("=", 1) for line in lines if "=" in line)
        if values.get("experiment"):
            self.experiment_path = values["experiment"]
        return values

    def output(self):
        """What the server printed (errors and the experiment paths)."""
        try:
            self._output.flush()
            self._output.seek(0)
            return self._output.read().strip()
        except (OSError, ValueError):
            return ""

    def failure(self):
        """The server's text when it has ended by itself, else None."""
        if self.proc.poll() is None:
            return None
        return self.output() or f"korvane serve ended with exit code {self.proc.returncode}"

    def running(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            self._read_info()
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._read_info()
        self._cleanup()

    def _cleanup(self):
        self._output.close()
        shutil.rmtree(self._folder, ignore_errors=True)


class ServedConnection(RunResults, TaskConnection):
    """The TaskConnection serve() gives: a server's failure (it ended, or
    refused the model) is a TaskError with the server's text."""

    def __init__(self, server, timeout):
        self._server = server
        try:
            TaskConnection.__init__(self, "127.0.0.1", server.port, timeout=timeout)
        except OSError as error:
            raise self._server_error(error) from None

    @property
    def experiment_path(self):
        if self._server.running():
            self._server._read_info()
        return self._server.experiment_path

    def _running(self):
        return self._server.running()

    def _server_error(self, error):
        time.sleep(0.05)  # the exit comes just after the connection ends
        text = self._server.failure()
        return TaskError(text) if text else error

    def read_line(self, timeout=None):
        try:
            return TaskConnection.read_line(self, timeout)
        except (ConnectionError, OSError) as error:
            if isinstance(error, TimeoutError):
                raise
            raise self._server_error(error) from None

    def _write(self, data):
        try:
            TaskConnection._write(self, data)
        except OSError as error:
            raise self._server_error(error) from None


@contextlib.contextmanager
def serve(model_path, seed=None, clock="simulated", timeout=30.0, program=None, debug=False):
    """Serves the model file with `korvane serve` on a free port of
    127.0.0.1 and yields a connected ServedConnection; at the end of the
    block the connection closes and the server stops, also when the block
    raised. conn.experiment_path is the run's experiment file. clock is
    "simulated" (default), "real" or None (the model's Params_Clock);
    program is the korvane program (see korvane_program())."""
    if not os.path.isfile(os.fspath(model_path)):
        raise FileNotFoundError(f"Could not find file '{os.path.abspath(os.fspath(model_path))}'.")
    server = _Server(model_path, seed, clock, debug, program, timeout)
    try:
        conn = ServedConnection(server, timeout)
    except BaseException:
        server.stop()
        raise
    try:
        yield conn
    finally:
        conn.close()
        server.stop()
