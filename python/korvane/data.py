"""Reading what a run produced from its experiment file (read-only).

read_trials gives the trial table, one row per cue judged, with the same
columns and rows as `korvane export EXPERIMENT --trials`:

    SubjectID, TrialNumber (from 1), CueNumber (from 1), ModelTime (ms),
    the situation slots by name, Path ("RETR" or "HEUR"), Utility,
    Activation, RetrievalTime (ms), Executed (1 or 0), the decision slots by
    name, Feedback, UtilityAfter, Instance

read_trace gives rows of the trace (MetaInstance). Both open the SQLite file
read-only and never change it.
"""

import json
import os
import sqlite3
import urllib.parse
import warnings

TRIAL_COLUMNS_BEFORE = ["SubjectID", "TrialNumber", "CueNumber", "ModelTime"]
TRIAL_COLUMNS_MIDDLE = ["Path", "Utility", "Activation", "RetrievalTime", "Executed"]
TRIAL_COLUMNS_AFTER = ["Feedback", "UtilityAfter", "Instance"]

TRACE_COLUMNS = [
    "SubjectID", "TrialNumber", "InstanceType", "Instance", "Marker", "Time",
    "Similarity", "Activation", "BLL", "Noise", "Selected", "Executed", "Feedback",
]

NO_RECORDED_CUES = (
    "This experiment file holds no record of cues: it was run before Korvane recorded them, or with trace "
    "level 2 (none). Run the model again to get its trial table."
)


def _open_read_only(path):
    path = os.path.abspath(os.fspath(path))
    if not os.path.isfile(path):
        raise FileNotFoundError(f"Could not find file '{path}'.")
    if os.path.exists(path + "-run"):
        # A run in progress, or one that was killed: its newest trials may be
        # in the run journal only, which Korvane adds when it opens the file.
        warnings.warn(f"'{path}-run' holds the newest steps of a run in progress or of one that was "
                      f"stopped by force; `korvane info {path}` adds them to the file once the run "
                      f"has ended.", RuntimeWarning, stacklevel=3)
    uri = "file:" + urllib.parse.quote(path) + "?mode=ro"
    return sqlite3.connect(uri, uri=True)


def _has_table(conn, name):
    row = conn.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (name,)).fetchone()
    return row is not None


def _frame(rows, columns, as_frame):
    if as_frame is False:
        return rows
    try:
        import pandas
    except ImportError:
        if as_frame:
            raise
        return rows
    return pandas.DataFrame.from_records(rows, columns=columns)


def _column_names(situation, decision):
    """The table's columns; a slot whose name an earlier column has gets
    "_Situation" or "_Decision" appended."""
    columns = list(TRIAL_COLUMNS_BEFORE)
    fixed = set(TRIAL_COLUMNS_MIDDLE) | set(TRIAL_COLUMNS_AFTER)

    def add(name, suffix):
        taken = name in columns or name in fixed
        columns.append(name + suffix if taken else name)

    for name in situation:
        add(name, "_Situation")
    columns.extend(TRIAL_COLUMNS_MIDDLE)
    for name in decision:
        add(name, "_Decision")
    columns.extend(TRIAL_COLUMNS_AFTER)
    return columns


def _keys(texts):
    names, seen = [], set()
    for text in texts:
        if text is None or text in seen:
            continue
        seen.add(text)
        try:
            obj = json.loads(text)
        except ValueError:
            continue
        if isinstance(obj, dict):
            for key in obj:
                if key not in names:
                    names.append(key)
    return names


def _values(text, names):
    try:
        obj = json.loads(text) if text is not None else {}
    except ValueError:
        obj = {}
    if not isinstance(obj, dict):
        obj = {}
    return [_bytes_value(obj.get(name)) for name in names]


def _bytes_value(value):
    """A text the task sent that was not UTF-8 is kept as {"$bytes": hex};
    it comes back as the bytes that were sent."""
    if isinstance(value, dict) and set(value) == {"$bytes"} and isinstance(value["$bytes"], str):
        try:
            return bytes.fromhex(value["$bytes"])
        except ValueError:
            return None
    return value


def trial_instance_types(experiment_path):
    """The instance types whose cues the file records."""
    with _closing(_open_read_only(experiment_path)) as conn:
        if not _has_table(conn, "MetaCue"):
            return []
        return [r[0] for r in conn.execute("SELECT InstanceType FROM MetaCue GROUP BY InstanceType ORDER BY 1")]


class _closing:
    def __init__(self, conn):
        self.conn = conn

    def __enter__(self):
        return self.conn

    def __exit__(self, *exc):
        self.conn.close()
        return False


def read_trials(experiment_path, instance_type=None, as_frame=None):
    """The trial table of an experiment file: a pandas DataFrame when pandas
    is installed (as_frame=None) or asked for (True), else a list of dicts.

    instance_type is needed only when the run had several. Raises
    FileNotFoundError for a missing file and ValueError when the file holds
    no recorded cues (of that type)."""
    with _closing(_open_read_only(experiment_path)) as conn:
        if not _has_table(conn, "MetaCue"):
            raise ValueError(NO_RECORDED_CUES)
        types = [r[0] for r in conn.execute("SELECT InstanceType FROM MetaCue GROUP BY InstanceType ORDER BY 1")]
        if instance_type is None:
            if not types:
                raise ValueError(NO_RECORDED_CUES)
            if len(types) > 1:
                raise ValueError(
                    "This experiment file holds cues of several instance types (" + ", ".join(types)
                    + "); name the one to read."
                )
            instance_type = types[0]
        elif instance_type not in types:
            raise ValueError(
                f"This experiment file holds no cues of instance type {instance_type} (it has: {', '.join(types)})."
            )
        texts = conn.execute("SELECT Situation, Decision FROM MetaCue WHERE InstanceType = ?", (instance_type,))
        situations, decisions = [], []
        for situation, decision in texts:
            situations.append(situation)
            decisions.append(decision)
        situation_slots, decision_slots = _keys(situations), _keys(decisions)
        columns = _column_names(situation_slots, decision_slots)
        cursor = conn.execute(
            "SELECT SubjectID, TrialNumber, CueNumber, ModelTime, Situation, Path, Utility, Activation, "
            "RetrievalTime, Executed, Decision, Feedback, UtilityAfter, Instance FROM MetaCue "
            "WHERE InstanceType = ? ORDER BY SubjectID, TrialNumber, CueNumber",
            (instance_type,),
        )
        rows = []
        for (subject, trial, cue, model_time, situation, path, utility, activation, retrieval_time, executed,
             decision, feedback, utility_after, instance) in cursor:
            values = [subject, trial, cue, model_time]
            values += _values(situation, situation_slots)
            values += [path, utility, activation, retrieval_time, 1 if executed else 0]
            values += _values(decision, decision_slots)
            values += [feedback, utility_after, instance]
            rows.append(dict(zip(columns, values)))
    frame = _frame(rows, columns, as_frame)
    if frame is not rows:
        frame["Instance"] = frame["Instance"].astype("Int64")
    return frame


def read_trace(experiment_path, instance_type=None, markers=None, subjects=None, as_frame=None, probabilities=False):
    """Rows of the trace (MetaInstance), in the order they were written:
    optionally only one instance type, some markers ("ACAL", "RETR",
    "EXEC", "FEED", ...) and some subjects. A DataFrame or a list of dicts,
    as read_trials gives. With probabilities=True each row gets a column
    Probability: for an ACAL row of an instance that entered its cue's
    blend, its retrieval probability there (from MetaBlend, kept with the
    full trace); None otherwise."""
    where, params = [], []
    if instance_type is not None:
        where.append("InstanceType = ?")
        params.append(instance_type)
    for column, wanted in (("Marker", None if probabilities else markers), ("SubjectID", subjects)):
        if wanted is None:
            continue
        wanted = [wanted] if isinstance(wanted, (str, int)) else list(wanted)
        where.append(f"{column} IN ({', '.join('?' * len(wanted))})" if wanted else "0")
        params.extend(wanted)
    sql = "SELECT " + ", ".join(f'"{c}"' for c in TRACE_COLUMNS) + " FROM MetaInstance"
    if where:
        sql += " WHERE " + " AND ".join(where)
    sql += " ORDER BY rowid"
    with _closing(_open_read_only(experiment_path)) as conn:
        if not _has_table(conn, "MetaInstance"):
            raise ValueError("This experiment file holds no trace (no table MetaInstance).")
        rows = [dict(zip(TRACE_COLUMNS, r)) for r in conn.execute(sql, params)]
        columns = TRACE_COLUMNS
        if probabilities:
            blends = {}
            if _has_table(conn, "MetaBlend"):
                for subject, itype, trial, cue, instance, p in conn.execute(
                    "SELECT SubjectID, InstanceType, TrialNumber, CueNumber, Instance, Probability FROM MetaBlend"
                ):
                    blends[(itype, subject, trial, cue, instance)] = p
            # Each retrieval cycle ends with one RETR or HEUR row, so the
            # ACAL rows of a trial's k-th cue follow k - 1 of them.
            cycles = {}
            for row in rows:
                key = (row["InstanceType"], row["SubjectID"], row["TrialNumber"])
                if row["Marker"] == "ACAL":
                    cue = cycles.get(key, 0) + 1
                    row["Probability"] = blends.get(key + (cue, row["Instance"]))
                else:
                    row["Probability"] = None
                    if row["Marker"] in ("RETR", "HEUR"):
                        cycles[key] = cycles.get(key, 0) + 1
            if markers is not None:
                wanted = {markers} if isinstance(markers, str) else set(markers)
                rows = [r for r in rows if r["Marker"] in wanted]
            columns = TRACE_COLUMNS + ["Probability"]
    return _frame(rows, columns, as_frame)


BLEND_COLUMNS = ["SubjectID", "InstanceType", "TrialNumber", "CueNumber", "Instance", "Probability"]


def read_blends(experiment_path, instance_type=None, subjects=None, as_frame=None):
    """What entered each blended retrieval (MetaBlend, kept with the full
    trace): one row per instance of a blend, with its retrieval probability
    (the rows of one blend sum to 1). TrialNumber and CueNumber count from 1
    as the trial table does, so a row joins read_trials on SubjectID,
    TrialNumber and CueNumber; Instance is the trace's (and the instance
    table's) ID. A DataFrame or a list of dicts, as read_trials gives."""
    where, params = [], []
    if instance_type is not None:
        where.append("b.InstanceType = ?")
        params.append(instance_type)
    if subjects is not None:
        wanted = [subjects] if isinstance(subjects, int) else list(subjects)
        where.append(f"b.SubjectID IN ({', '.join('?' * len(wanted))})" if wanted else "0")
        params.extend(wanted)
    with _closing(_open_read_only(experiment_path)) as conn:
        if not _has_table(conn, "MetaBlend"):
            raise ValueError(
                "This experiment file holds no record of blends (no table MetaBlend): the run did not blend, "
                "or kept less than the full trace."
            )
        # The trace counts a subject's trials from 0, the trial table from 1
        # (and only trials that ended): the trial table's number is taken
        # from MetaCue where it has the cue.
        trial = "b.TrialNumber + 1"
        join = ""
        if _has_table(conn, "MetaCue"):
            trial = "COALESCE(c.TrialNumber, b.TrialNumber + 1)"
            join = (
                " LEFT JOIN MetaCue c ON c.InstanceType = b.InstanceType AND c.SubjectID = b.SubjectID"
                " AND c.TraceTrial = b.TrialNumber AND c.CueNumber = b.CueNumber"
            )
        sql = (
            f"SELECT b.SubjectID, b.InstanceType, {trial}, b.CueNumber, b.Instance, b.Probability"
            f" FROM MetaBlend b{join}"
        )
        if where:
            sql += " WHERE " + " AND ".join(where)
        sql += " ORDER BY b.rowid"
        rows = [dict(zip(BLEND_COLUMNS, r)) for r in conn.execute(sql, params)]
    return _frame(rows, BLEND_COLUMNS, as_frame)
