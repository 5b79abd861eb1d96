"""Korvane from Python: write tasks that talk to a served model, and read
what a run produced.

    import korvane

    with korvane.TaskConnection(port=4258) as conn:
        conn.start("I1")
        conn.alternative("I1", Option=1)
        decision = conn.alternative("I1", Option=2, wait=True)
        conn.feedback("I1", 4)
        conn.stop("I1")

    trials = korvane.read_trials("model-20260101-1.mdb")   # pandas DataFrame
    trials[trials.Executed == 1].groupby("TrialNumber")["Choice"].mean()

Standard library only; read_trials and read_trace give pandas DataFrames
when pandas is installed, lists of dicts otherwise.
"""

from .data import TRIAL_COLUMNS_AFTER, TRIAL_COLUMNS_BEFORE, TRIAL_COLUMNS_MIDDLE, read_blends, read_trace, read_trials
from .task import LINE_LIMIT, Decision, TaskConnection, TaskError

__all__ = [
    "Decision",
    "LINE_LIMIT",
    "TaskConnection",
    "TaskError",
    "read_trace",
    "read_blends",
    "read_trials",
    "TRIAL_COLUMNS_BEFORE",
    "TRIAL_COLUMNS_MIDDLE",
    "TRIAL_COLUMNS_AFTER",
]
__version__ = "0.1.0"
