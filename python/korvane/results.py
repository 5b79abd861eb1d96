"""What a finished run gives: its trial table, its trace and its learning
curve, read from the run's experiment file."""

from .data import TRIAL_COLUMNS_AFTER, TRIAL_COLUMNS_MIDDLE, read_trace, read_trials
from .task import TaskError


class RunResults:
    """Mixed into a run (in-process or served): self.experiment_path is the
    experiment file, self._running() tells whether the run still writes it."""

    experiment_path = None

    def _running(self):
        return False

    def _finished_path(self):
        if self.experiment_path is None:
            raise TaskError("this run has no experiment file yet: it starts with the first start()")
        if self._running():
            raise TaskError(f"the run is still going: stop() it (or leave its with block) before reading "
                            f"{self.experiment_path}")
        return self.experiment_path

    def trials(self, instance_type=None, as_frame=None):
        """The trial table (see read_trials): one row per cue judged."""
        return read_trials(self._finished_path(), instance_type, as_frame=as_frame)

    def trace(self, instance_type=None, markers=None, subjects=None, as_frame=None):
        """Rows of the trace (see read_trace)."""
        return read_trace(self._finished_path(), instance_type, markers=markers, subjects=subjects,
                          as_frame=as_frame)

    def plot(self, slot=None, value=None, instance_type=None, ax=None):
        """The learning curve with matplotlib: per trial number, over the
        subjects, the mean of a decision slot of the executed decisions (the
        first decision slot unless slot names one), or with value the share
        of decisions whose slot holds it: run.plot(value=2) is P(choice 2).
        Returns the matplotlib Axes."""
        try:
            import matplotlib.pyplot as pyplot
        except ImportError as error:
            raise ImportError("plot() needs matplotlib (Debian: apt install python3-matplotlib)") from error
        table = self.trials(instance_type, as_frame=True)
        columns = list(table.columns)
        decision = columns[columns.index(TRIAL_COLUMNS_MIDDLE[-1]) + 1:columns.index(TRIAL_COLUMNS_AFTER[0])]
        if slot is None:
            if not decision:
                raise TaskError("the trial table has no decision slot to plot")
            slot = decision[0]
        elif slot not in columns:
            raise TaskError(f"the trial table has no column {slot!r}; its decision slots are {decision}")
        executed = table[table["Executed"] == 1]
        values = executed[slot] == value if value is not None else executed[slot]
        curve = values.groupby(executed["TrialNumber"]).mean()
        if ax is None:
            _, ax = pyplot.subplots()
        ax.plot(curve.index, curve.values)
        ax.set_xlabel("Trial")
        ax.set_ylabel(f"P({slot} = {value})" if value is not None else f"mean {slot}")
        subjects = executed["SubjectID"].nunique()
        ax.set_title(f"{subjects} subject{'s' if subjects != 1 else ''}")
        return ax
