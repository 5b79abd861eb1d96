"""read_trials and read_trace on experiment files that real runs made, and
the examples' whole loop."""

import csv
import hashlib
import math
import os
import random
import shutil
import stat
import subprocess
import sys

import pytest

import korvane
from conftest import ROOT, Server, run_korvane


def play_binary_choice(port, subjects, trials, seed=3):
    """The binary-choice task through the package; returns per subject and
    trial the option chosen and the payoff sent."""
    rng = random.Random(seed)
    played = []
    with korvane.TaskConnection("127.0.0.1", port, timeout=30) as conn:
        for s in range(subjects):
            (conn.start if s == 0 else conn.reset)("I1")
            for t in range(trials):
                order = [1, 2]
                rng.shuffle(order)
                for option in order:
                    conn.alternative("I1", Option=option)
                choice = conn.decision()["Choice"]
                payoff = 3 if choice == 1 else (4 if rng.random() < 0.8 else 0)
                conn.feedback("I1", payoff)
                played.append((s + 1, t + 1, choice, payoff))
        conn.stop("I1")
    return played


@pytest.fixture
def experiment(binary_model, env, tmp_path):
    server = Server(binary_model, env)
    try:
        played = play_binary_choice(server.port, subjects=3, trials=12)
    finally:
        server.stop()
    experiments = server.experiments()
    assert len(experiments) == 1, server.lines
    return experiments[0], played


def close(a, b):
    if a in (None, "") or b in (None, ""):
        return a in (None, "") and b in (None, "")
    if isinstance(a, float) and math.isnan(a):
        return b in (None, "") or math.isnan(float(b))
    return math.isclose(float(a), float(b), rel_tol=1e-12, abs_tol=1e-12)


def test_trial_table_of_a_real_run_matches_the_command_line(experiment, env, tmp_path):
    path, played = experiment
    before = os.stat(path).st_mtime_ns
    rows = korvane.read_trials(path, as_frame=False)
    assert os.stat(path).st_mtime_ns == before
    assert list(rows[0]) == [
        "SubjectID", "TrialNumber", "CueNumber", "ModelTime", "Option", "Path", "Utility", "Activation",
        "RetrievalTime", "Executed", "Choice", "Feedback", "UtilityAfter", "Instance",
    ]
    assert len(rows) == 3 * 12 * 2
    executed = [r for r in rows if r["Executed"] == 1]
    assert len(executed) == 3 * 12
    # The executed rows are what the task saw: its choice, its payoff, and
    # (update rule: set) the payoff as the new utility.
    assert [(r["SubjectID"], r["TrialNumber"], r["Choice"], r["Feedback"]) for r in executed] == played
    assert all(r["UtilityAfter"] == r["Feedback"] for r in executed)
    assert all(r["Option"] == r["Choice"] for r in rows)  # a cue's instance acts on its option
    assert {r["Path"] for r in rows} == {"RETR"}
    # A blended cue's activation is its blend's (log of the summed e^A), and
    # its retrieval time follows from it.
    assert all(r["Activation"] != 0 for r in rows)
    assert all(math.isclose(r["RetrievalTime"], 1000 * math.exp(-r["Activation"]), rel_tol=1e-9) for r in rows)

    # The command line writes the same table.
    out = tmp_path / "t.csv"
    run_korvane("export", path, "--trials", "-o", str(out), env=env)
    with open(out, newline="") as f:
        lines = list(csv.reader(f))
    header, body = lines[0], lines[1:]
    assert header == list(rows[0])
    assert len(body) == len(rows)
    for row, cells in zip(rows, body):
        for column, cell in zip(header, cells):
            value = row[column]
            if column == "Path":
                assert cell == value
            else:
                assert close(value, cell), (column, value, cell)


def test_read_trials_gives_a_data_frame_with_pandas_and_dicts_without(experiment, monkeypatch):
    pandas = pytest.importorskip("pandas")
    path, played = experiment
    frame = korvane.read_trials(path)
    assert isinstance(frame, pandas.DataFrame)
    assert frame.shape[0] == 3 * 12 * 2
    assert frame.groupby("Executed").size().to_dict() == {0: 36, 1: 36}
    per_trial = frame.groupby(["SubjectID", "TrialNumber"])["Executed"].sum()
    assert (per_trial == 1).all()
    risky = frame[frame.Executed == 1].groupby("TrialNumber")["Choice"].apply(lambda c: (c == 2).mean())
    expected = [sum(1 for s, t, c, _ in played if t == trial and c == 2) / 3 for trial in range(1, 13)]
    assert list(risky) == pytest.approx(expected)
    assert str(frame["Instance"].dtype) == "Int64"

    # Without pandas: the same rows as dicts.
    monkeypatch.setitem(sys.modules, "pandas", None)
    rows = korvane.read_trials(path)
    assert isinstance(rows, list) and len(rows) == frame.shape[0]
    with pytest.raises(ImportError):
        korvane.read_trials(path, as_frame=True)


def test_read_trace_and_read_only_files(experiment, tmp_path):
    path, played = experiment
    executions = korvane.read_trace(path, markers="EXEC", as_frame=False)
    assert len(executions) == len(played)
    assert {r["Marker"] for r in executions} == {"EXEC"}
    first = korvane.read_trace(path, instance_type="I1", subjects=[1], markers=["EXEC", "FEED"], as_frame=False)
    assert {r["SubjectID"] for r in first} == {1}
    assert len(first) == 2 * 12

    # A copy kept read-only (a finished run archived) reads, and reading
    # changes no byte of it.
    copy = tmp_path / "readonly" / "experiment.mdb"
    copy.parent.mkdir()
    shutil.copy(path, copy)
    os.chmod(copy, stat.S_IRUSR)
    digest = hashlib.sha256(copy.read_bytes()).hexdigest()
    assert len(korvane.read_trials(str(copy), as_frame=False)) == 72
    assert len(korvane.read_trace(str(copy), as_frame=False)) > 72
    assert hashlib.sha256(copy.read_bytes()).hexdigest() == digest

    with pytest.raises(FileNotFoundError):
        korvane.read_trials(str(tmp_path / "missing.mdb"))
    with pytest.raises(ValueError, match="no cues of instance type I7"):
        korvane.read_trials(path, instance_type="I7")


def test_a_file_without_recorded_cues_is_refused(binary_model):
    with pytest.raises(ValueError, match="no record of cues"):
        korvane.read_trials(binary_model)


def test_iowa_gambling_example_end_to_end(tmp_path, env):
    model = str(tmp_path / "igt.mdb")
    run_korvane("model", "import", os.path.join(ROOT, "examples", "iowa-gambling.json"), model, env=env)
    server = Server(model, env)
    try:
        result = subprocess.run(
            [sys.executable, os.path.join(ROOT, "examples", "iowa_gambling_task.py"), "--port", str(server.port),
             "--subjects", "4", "--trials", "20"],
            capture_output=True, text=True, timeout=120,
            env=dict(env, PYTHONPATH=os.path.join(ROOT, "python")),
        )
    finally:
        server.stop()
    assert result.returncode == 0, result.stdout + result.stderr
    assert "80 decisions" in result.stdout
    assert "Model says: HELO|Korvane Iowa gambling task, simulation 1" in result.stdout
    rows = korvane.read_trials(server.experiments()[0], as_frame=False)
    assert len(rows) == 4 * 20 * 4
    assert sorted({r["Deck"] for r in rows}) == [1, 2, 3, 4]
    assert sum(r["Executed"] for r in rows) == 80
    # The payoffs the task sent are those of the decks.
    payoffs = {1: {100, -150}, 2: {100, -1150}, 3: {50, 0}, 4: {50, -200}}
    assert all(r["Feedback"] in payoffs[r["Choice"]] for r in rows if r["Executed"])


def test_binary_choice_example_runs(server, env):
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", "binary_choice_task.py"), "--port", str(server.port),
         "--subjects", "2", "--trials", "10"],
        capture_output=True, text=True, timeout=120, env=env,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "20 decisions" in result.stdout


def test_read_blends_gives_each_blends_members_and_probabilities(experiment):
    path, played = experiment
    blends = korvane.read_blends(path, as_frame=False)
    trials = {(r["SubjectID"], r["TrialNumber"], r["CueNumber"]): r for r in korvane.read_trials(path, as_frame=False)}
    by_cue = {}
    for row in blends:
        by_cue.setdefault((row["SubjectID"], row["TrialNumber"], row["CueNumber"]), []).append(row)
    # Every cue of the run blended (the example blends each option's
    # instances), and each blend's probabilities sum to 1.
    assert set(by_cue) == set(trials)
    for key, members in by_cue.items():
        assert math.isclose(sum(m["Probability"] for m in members), 1, abs_tol=1e-12), key
        assert all(0 <= m["Probability"] <= 1 for m in members)
    # The constraint keeps each option's blend to its own instances: the
    # option's prior among them.
    assert all(len(members) >= 1 for members in by_cue.values())
    assert len(korvane.read_blends(path, subjects=[1], as_frame=False)) < len(blends)
    # read_trace puts each probability on its ACAL row: the same numbers.
    scored = korvane.read_trace(path, markers="ACAL", probabilities=True, as_frame=False)
    with_p = [r for r in scored if r["Probability"] is not None]
    assert len(with_p) == len(blends)
    assert sorted(r["Probability"] for r in with_p) == sorted(b["Probability"] for b in blends)


def test_partial_matching_example_chooses_as_the_equations_say(tmp_path, env):
    # Without noise, at temperature 1, the model's every choice among the
    # five alternatives is the one the equations give (the example checks
    # it with --reference); the DECISION names the alternative.
    model = str(tmp_path / "pm.mdb")
    run_korvane("model", "import", os.path.join(ROOT, "examples", "partial-matching.json"), model, env=env)
    run_korvane("set", model, "Params_Temperature", "1", env=env)
    run_korvane("set", model, "Params_S_Value", "0", env=env)
    server = Server(model, env)
    try:
        result = subprocess.run(
            [sys.executable, os.path.join(ROOT, "examples", "partial_matching_task.py"), "--port", str(server.port),
             "--subjects", "3", "--trials", "40", "--reference"],
            capture_output=True, text=True, timeout=120, env=env,
        )
    finally:
        server.stop()
    assert result.returncode == 0, result.stdout + result.stderr
    assert "differ from the equations' reference: 0 of 120" in result.stdout
    rows = korvane.read_trials(server.experiments()[0], as_frame=False)
    assert all(r["Pick"] == r["N"] for r in rows)


def test_full_feedback_remembers_the_option_not_chosen(server, env):
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", "binary_choice_task.py"), "--port", str(server.port),
         "--subjects", "2", "--trials", "10", "--full-feedback"],
        capture_output=True, text=True, timeout=120, env=env,
    )
    server.stop()
    assert result.returncode == 0, result.stdout + result.stderr
    trace = korvane.read_trace(server.experiments()[0], markers="FORE", as_frame=False)
    assert len(trace) == 20  # one foregone outcome a trial
    assert all(r["Feedback"] in (0, 3, 4) for r in trace)


def test_a_cue_text_that_is_not_utf8_comes_back_as_its_bytes(tmp_path, env):
    """A task sending Windows-1252 text: the run goes on, read_trials gives
    the bytes, and the CSV export holds them as they came."""
    import json
    import socket

    with open(os.path.join(ROOT, "examples", "binary-choice.json"), encoding="utf-8") as f:
        model_text = json.load(f)
    model_text["instance_types"][0]["slots"].append({"aspect": "situation", "name": "Label", "type": "String"})
    model_text["instance_types"][0]["formulas"]["Label"] = "PM = IIF(CUE == MEMORY, 0, -1)"
    model_text["settings"]["I1_RetrievalMethod"] = 0  # best match: a text is not blended
    (tmp_path / "label.json").write_text(json.dumps(model_text), encoding="utf-8")
    model = str(tmp_path / "label.mdb")
    run_korvane("model", "import", str(tmp_path / "label.json"), model, env=env)
    server = Server(model, env)
    try:
        with socket.create_connection(("127.0.0.1", server.port), timeout=30) as sock:
            reader = sock.makefile("rb")
            assert reader.readline().startswith(b"BATCH|")
            sock.sendall(b"START|I1\r\n")
            assert reader.readline().startswith(b"HELO|")
            assert reader.readline() == b"CUESIZE|I1|2\r\n"
            sock.sendall(b"ALTERNATIVE|I1|Option|1|Label|caf\xe9\r\nALTERNATIVE|I1|Option|2|Label|plain\r\n")
            decision = reader.readline()
            assert decision.startswith(b"DECISION|Choice|"), decision
            # The reply to a line after STOP says that STOP has been handled.
            sock.sendall(b"FEEDBACK|I1|3\r\nSTOP|I1\r\nPING\r\n")
            assert reader.readline().startswith(b"ERROR|")
    finally:
        server.stop()
    (path,) = server.experiments()
    rows = korvane.read_trials(path, as_frame=False)
    assert {r["Option"]: r["Label"] for r in rows} == {1: b"caf\xe9", 2: "plain"}
    out = tmp_path / "trials.csv"
    run_korvane("export", path, "--trials", "-o", str(out), env=env)
    assert b",caf\xe9," in out.read_bytes()
