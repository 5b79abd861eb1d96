"""A model run in the task's own process: open_run() returns a Run, which
has every method of TaskConnection and gives the same replies, without a
server, a port or a socket. The run writes the experiment file a served run
writes (beside the model, with its trace and run journal), durable after
every call that returned a reply."""

import collections
import os

from .results import RunResults
from .task import TaskConnection, TaskError

_PACKAGE = os.path.dirname(os.path.abspath(__file__))


def _engine():
    """The extension module; imported on first use, so that the rest of the
    package works without it."""
    # The formula grammar ships inside the package.
    if not os.environ.get("KORVANE_RESOURCE_DIR") and os.path.isdir(os.path.join(_PACKAGE, "resources")):
        os.environ["KORVANE_RESOURCE_DIR"] = _PACKAGE
    try:
        from . import _korvane
    except ImportError as error:
        raise ImportError(
            "the korvane package was installed without its extension module (_korvane), which runs "
            "models in-process; build Korvane with python3-dev and pybind11-dev installed, or use "
            "korvane.serve()") from error
    return _korvane


class Run(RunResults, TaskConnection):
    """An in-process run of a model. Use it as a TaskConnection:

        with korvane.open_run("binary.mdb", seed=1) as run:
            run.start("I1")
            ...
            run.stop("I1")
        run.trials()        # the trial table of run.experiment_path

    Lines the model sends that no call waits for (its greeting after START)
    are kept in self.messages, as TaskConnection keeps them."""

    def __init__(self, model_path, seed=None, trace_level=None, subjects=None, clock="simulated",
                 timeout=30.0, debug=False):
        engine = _engine()
        model_path = os.fspath(model_path)
        if not os.path.isfile(model_path):
            raise FileNotFoundError(f"Could not find file '{os.path.abspath(model_path)}'.")
        if seed is not None and (not isinstance(seed, int) or seed < 0):
            raise ValueError(f"seed must be a whole number from 0, not {seed!r}")
        self.timeout = timeout
        self._held = None
        self._lines = collections.deque()
        self.messages = []
        self.batch = None
        self.model_path = model_path
        try:
            self._run = engine.Run(model_path, seed=seed, clock=clock, trace_level=trace_level,
                                   subjects=subjects, debug=debug)
        except engine.Error as error:
            raise TaskError(str(error)) from None
        self.experiment_path = os.path.abspath(self._run.experiment_path)
        fields = self._expect("BATCH")
        self.batch = int(fields[1])

    def _running(self):
        return not self._run.closed

    def _write(self, data):
        if self._run.closed:
            # A run ended by a failure: like bytes written to a connection
            # the model is closing, these are lost; the failure's ERROR is
            # still to be read, then the end.
            self._lines.extend(self._run.take())
            if self._lines:
                return
            raise ConnectionError(f"the run has ended; its experiment is {self.experiment_path}")
        self._run.send(data)

    def read_line(self, timeout=None):
        if self._held:
            self._send_held()
        lines = self._lines
        if not lines:
            lines.extend(self._run.take())
            if not lines:
                if self._run.closed:
                    raise ConnectionError("the run has ended")
                if not self._run.wait(self.timeout if timeout is None else timeout):
                    raise TimeoutError("no reply from the model in time")
                lines.extend(self._run.take())
        return lines.popleft()

    def _raise_pending_error(self):
        lines = self._lines
        lines.extend(self._run.take())
        for i, line in enumerate(lines):
            if line.split("|", 1)[0].upper() == "ERROR":
                del lines[i]
                raise TaskError(line.split("|", 1)[1] if "|" in line else "", line)

    def _finish_sending(self):
        pass

    def close(self):
        """Ends the run (a run without STOP ends as a task that leaves): the
        trace indexes are built and the experiment file is closed."""
        try:
            if self._held:
                self._send_held()
        except ConnectionError:
            pass
        self._run.close()

    def __del__(self):
        run = getattr(self, "_run", None)
        if run is not None:
            run.close()


def open_run(model_path, seed=None, trace_level=None, subjects=None, clock="simulated", timeout=30.0,
             debug=False):
    """Opens an in-process run of the model file: a Run (a TaskConnection)
    whose experiment file, a copy of the model beside it, is
    run.experiment_path. seed, trace_level (0 full, 1 decisions, 2 none) and
    subjects (the BATCH) override the model's settings in the copy; clock is
    "simulated" (model time runs as fast as the machine), "real" (the model's
    pauses take their time) or None (the model's Params_Clock). A Korvane
    failure raises TaskError with Korvane's text."""
    return Run(model_path, seed=seed, trace_level=trace_level, subjects=subjects, clock=clock,
               timeout=timeout, debug=debug)
