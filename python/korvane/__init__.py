"""Korvane from Python: define a model, run it in-process or served, write
tasks against it and read what a run produced.

    import korvane

    korvane.example("binary-choice").save("binary.mdb")
    with korvane.open_run("binary.mdb", seed=1) as run:   # or korvane.serve(...)
        run.start("I1")
        with run.together():
            run.alternative("I1", Option=1)
            run.alternative("I1", Option=2)
        decision = run.decision()
        run.feedback("I1", 4 if decision["Choice"] == 2 else 3)
        run.stop("I1")
    run.trials()                     # pandas DataFrame, one row per cue judged

TaskConnection talks to a model that `korvane serve` (or the desktop
program) serves; open_run() runs the model in this process with the same
methods and replies (it needs the extension module, built with Korvane);
serve() starts and stops a `korvane serve` itself. read_trials and
read_trace give pandas DataFrames when pandas is installed, lists of dicts
otherwise.
"""

from .data import TRIAL_COLUMNS_AFTER, TRIAL_COLUMNS_BEFORE, TRIAL_COLUMNS_MIDDLE, read_blends, read_trace, read_trials
from .inprocess import Run, open_run
from .model import CheckResult, InstanceType, Model, ModelError, example, example_names
from .serve import ServedConnection, serve
from .task import LINE_LIMIT, Decision, TaskConnection, TaskError

__all__ = [
    "CheckResult",
    "Decision",
    "InstanceType",
    "LINE_LIMIT",
    "Model",
    "ModelError",
    "Run",
    "ServedConnection",
    "TaskConnection",
    "TaskError",
    "example",
    "example_names",
    "open_run",
    "read_trace",
    "read_blends",
    "read_trials",
    "serve",
    "TRIAL_COLUMNS_BEFORE",
    "TRIAL_COLUMNS_MIDDLE",
    "TRIAL_COLUMNS_AFTER",
]
__version__ = "1.0.0"
