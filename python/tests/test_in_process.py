"""korvane.open_run (the engine in this process), korvane.serve and
korvane.Model against the real program and real files."""

import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

import korvane
from conftest import ROOT, Server, run_korvane


def play(conn, subjects, trials, seed=3):
    """The binary-choice task against any TaskConnection; returns the
    decisions' lines in order."""
    rng = random.Random(seed)
    lines = []
    for s in range(subjects):
        (conn.start if s == 0 else conn.reset)("I1")
        for _ in range(trials):
            order = [1, 2]
            rng.shuffle(order)
            with conn.together():
                for option in order:
                    conn.alternative("I1", Option=option)
            decision = conn.decision()
            lines.append(decision.line)
            conn.feedback("I1", 3 if decision["Choice"] == 1 else (4 if rng.random() < 0.8 else 0))
    conn.stop("I1")
    return lines


@pytest.fixture
def data_dir(env, monkeypatch):
    """The in-process run logs where the served one does."""
    monkeypatch.setenv("KORVANE_DATA_DIR", env["KORVANE_DATA_DIR"])
    return env["KORVANE_DATA_DIR"]


def test_in_process_and_served_runs_write_the_same_experiment(binary_model, env, data_dir):
    server = Server(binary_model, env)  # --clock simulated --seed 1
    try:
        with korvane.TaskConnection("127.0.0.1", server.port, timeout=30) as conn:
            served_lines = play(conn, 3, 25)
    finally:
        server.stop()
    served = server.experiments()[0]

    with korvane.open_run(binary_model, seed=1) as run:
        assert run.batch == 100
        assert os.path.isfile(run.experiment_path)
        assert os.path.dirname(run.experiment_path) == os.path.dirname(binary_model)
        local_lines = play(run, 3, 25)
        assert run.messages[0] == "HELO|Korvane binary choice, simulation 1"
    assert local_lines == served_lines
    assert run.experiment_path != served

    def trace(path):
        rows = korvane.read_trace(path, as_frame=False)
        return [{k: v for k, v in row.items() if k != "Time"} for row in rows]

    served_trace, local_trace = trace(served), trace(run.experiment_path)
    assert len(local_trace) > 3 * 25 * 3
    assert local_trace == served_trace
    assert korvane.read_trials(served, as_frame=False) == run.trials(as_frame=False)
    # The instances the runs learnt, and the journal closed like a served one.
    def instances(path):
        with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
            # X_Created is the wall clock's
            return db.execute("SELECT X_ID, X_Subject, X_Working_Memory, X_Prepopulated, S_Option_Integer, "
                              "D_Choice_Integer, U_Value_Real FROM I1 ORDER BY 1").fetchall()

    assert len(instances(served)) > 3 * 2
    assert instances(run.experiment_path) == instances(served)
    assert not os.path.exists(run.experiment_path + "-run")


def test_overrides_results_and_errors_of_an_in_process_run(binary_model, data_dir, tmp_path):
    with pytest.raises(FileNotFoundError):
        korvane.open_run(str(tmp_path / "missing.mdb"))
    with pytest.raises(korvane.TaskError, match="trace level must be 0 .full., 1 .decisions. or 2 .none., not 7"):
        korvane.open_run(binary_model, trace_level=7)
    with pytest.raises(ValueError, match="clock must be"):
        korvane.open_run(binary_model, clock="fast")
    (tmp_path / "notes.mdb").write_text("not a model")
    with pytest.raises(korvane.TaskError, match="Cannot run .*notes.mdb: .* not a Korvane model"):
        korvane.open_run(str(tmp_path / "notes.mdb"))
    (tmp_path / "notes.mdb").unlink()  # and no copy of it was made
    models = lambda: sorted(name for name in os.listdir(tmp_path) if name.endswith(".mdb"))
    before = models()

    with korvane.open_run(binary_model, seed=2, subjects=4, trace_level=1) as run:
        assert run.batch == 4
        with pytest.raises(korvane.TaskError) as error:
            run.alternative("I1", Option=1, wait=True)
        assert error.value.text == "Instance type I1 must be started before cues for it can be processed"
        with pytest.raises(korvane.TaskError, match="Instance type I9 does not exist in the database."):
            run.start("I9")
        with pytest.raises(korvane.TaskError, match="the run is still going"):
            run.trials()
        play(run, 4, 10)
        with pytest.raises(ConnectionError):
            run.start("I1")
    trials = run.trials()
    executed = trials[trials.Executed == 1]
    assert sorted(executed.SubjectID.unique()) == [1, 2, 3, 4]
    assert len(executed) == 40
    markers = set(run.trace().Marker)
    assert "EXEC" in markers and "ACAL" not in markers  # trace level 1 keeps no activation rows
    # The model itself is unchanged: the overrides went into the copy.
    assert json.loads(run_korvane("model", "export", binary_model).stdout)["settings"]["Params_Batch_Value"] == 100
    assert models() == sorted(before + [os.path.basename(run.experiment_path)])

    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    ax = run.plot(value=2)
    assert ax.get_ylabel() == "P(Choice = 2)"
    assert len(ax.lines[0].get_xdata()) == 10


def test_a_formula_failure_during_a_run_is_a_task_error(tmp_path, data_dir):
    model = korvane.example("binary-choice")
    # The decision's formula divides by zero: the model prepares, then fails.
    model["I1"].formulas["D_Choice_Integer"] = "D = ROUND(Memory.Option) / (Memory.Option - Memory.Option)"
    path = model.save(str(tmp_path / "failing.mdb"))
    assert model.check().ready
    with korvane.open_run(path, seed=1) as run:
        run.start("I1")
        with pytest.raises(korvane.TaskError, match="^Simulation stopped: A formula failed while the model ran"):
            run.alternative("I1", Option=1)
            run.alternative("I1", Option=2, wait=True)
        # The run has ended, as a served task is disconnected.
        with pytest.raises(ConnectionError):
            run.start("I1")
    assert os.path.isfile(run.experiment_path)
    assert not os.path.exists(run.experiment_path + "-run")


KILLED_TASK = r"""
import random, sys
sys.path[:0] = [{path!r}]
import korvane
run = korvane.open_run({model!r}, seed=1)
print(run.experiment_path, flush=True)
rng = random.Random(1)
run.start("I1")
for s in range(100):
    if s:
        run.reset("I1")
    for t in range(100):
        run.alternative("I1", Option=1)
        choice = run.alternative("I1", Option=2, wait=True)["Choice"]
        print(s + 1, t + 1, choice, flush=True)
        run.feedback("I1", 3 if choice == 1 else (4 if rng.random() < 0.8 else 0))
"""


def test_a_run_killed_mid_way_keeps_every_decision_the_task_got(binary_model, env):
    package = os.path.dirname(os.path.dirname(korvane.__file__))
    child = subprocess.Popen([sys.executable, "-c", KILLED_TASK.format(path=package, model=binary_model)],
                             stdout=subprocess.PIPE, text=True, env=env)
    experiment = child.stdout.readline().strip()
    received = []
    while len(received) < 300:
        line = child.stdout.readline()
        assert line, "the task ended before it was killed"
        received.append(tuple(int(x) for x in line.split()))
    # SIGKILL from another process (this one), while the task runs on.
    os.kill(child.pid, signal.SIGKILL)
    child.wait()
    received += [tuple(int(x) for x in line.split()) for line in child.stdout.read().splitlines() if line]
    # The kill may cut the last line the task was printing.
    if received and len(received[-1]) != 3:
        received.pop()
    assert os.path.exists(experiment + "-run")
    run_korvane("info", experiment, env=env)  # adds the run journal's steps to the file
    rows = korvane.read_trials(experiment, as_frame=False)
    recorded = [(r["SubjectID"], r["TrialNumber"], r["Choice"]) for r in rows if r["Executed"] == 1]
    assert recorded[: len(received)] == received


def children():
    """Processes whose parent is this one."""
    found = []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/stat") as stat:
                    if int(stat.read().rsplit(")", 1)[1].split()[1]) == os.getpid():
                        found.append(int(pid))
            except (OSError, IndexError, ValueError):
                pass
    return found


def test_serve_leaves_no_server_behind(binary_model, env, monkeypatch, tmp_path):
    monkeypatch.setenv("KORVANE_DATA_DIR", env["KORVANE_DATA_DIR"])
    from conftest import korvane_bin

    program = korvane_bin()
    with korvane.serve(binary_model, seed=1, program=program) as conn:
        assert conn.batch == 100
        decisions = play(conn, 2, 10)
    assert children() == []
    assert len(decisions) == 20
    assert os.path.isfile(conn.experiment_path)
    assert len(conn.trials(as_frame=False)) == 40

    with pytest.raises(RuntimeError, match="the task failed"):
        with korvane.serve(binary_model, program=program) as conn:
            conn.start("I1")
            raise RuntimeError("the task failed")
    assert children() == []

    # The server refuses the model: its own text.
    not_a_model = tmp_path / "notes.mdb"
    not_a_model.write_text("not a model")
    with pytest.raises(korvane.TaskError, match="cannot serve"):
        with korvane.serve(str(not_a_model), program=program):
            pass
    assert children() == []

    # The server dies during the run.
    with pytest.raises(korvane.TaskError):
        with korvane.serve(binary_model, program=program) as conn:
            conn.start("I1")
            conn._server.proc.kill()
            conn._server.proc.wait()
            conn.alternative("I1", Option=1)
            conn.alternative("I1", Option=2, wait=True)
    assert children() == []


def test_a_model_built_in_python_round_trips_and_is_checked(tmp_path, env):
    model = korvane.Model(settings=dict(korvane.example("binary-choice").settings))
    i1 = model.instance_type("I1")
    i1.slot("situation", "Option", "Integer").slot("decision", "Choice", "Integer").slot("utility", "Value", "Real")
    i1.formulas.update({"Option": "PM = IIF(CUE == MEMORY, 0, -1)", "D_Choice_Integer": "D = ROUND(Memory.Option)",
                        "D_Choice_Integer_FAILURE": "D = 0"})
    i1.rows += [{"Option": 1, "Choice": 1, "Value": 10}, {"Option": 2, "Choice": 2, "Value": 10}]
    path = model.save(str(tmp_path / "built.mdb"))
    # The file holds what the Python values said, as `korvane model export` sees it.
    exported = json.loads(run_korvane("model", "export", path, env=env).stdout)
    loaded = korvane.Model.load(path)
    assert loaded.to_dict() == korvane.Model.from_dict(exported).to_dict()
    # The file adds the settings it always has; the others are the ones given.
    assert {k: v for k, v in loaded.settings.items() if k in model.settings} == model.settings
    assert [t._json() for t in loaded.instance_types] == [t._json() for t in model.instance_types]
    assert korvane.Model.from_json(model.to_json()).to_dict() == model.to_dict()
    example = korvane.example("binary-choice").to_dict()
    example.pop("description")
    assert example == model.to_dict()
    check = model.check("I1")
    assert check.ready and check.lines[-1] == "Model is ready to run instance type I1"
    with pytest.raises(FileExistsError):
        model.save(path)
    model.settings["Params_D_Value"] = 0.4
    model.save(path, overwrite=True)
    assert korvane.Model.load(path).settings["Params_D_Value"] == 0.4

    # Korvane's own messages for what it refuses.
    with pytest.raises(korvane.ModelError, match="aspect must be one of"):
        i1.slot("outcome", "X")
    bad = korvane.Model.from_json(model.to_json())
    bad["I1"].slots.append({"aspect": "situation", "name": "Broken", "type": "Float"})
    with pytest.raises(korvane.ModelError) as error:
        bad.save(str(tmp_path / "bad.mdb"))
    assert "Float" in error.value.text
    assert not os.path.exists(tmp_path / "bad.mdb")
    bad = korvane.Model.from_json(model.to_json())
    bad["I1"].formulas["D_Choice_Integer"] = "D = ROUND(Memory.Option"
    with pytest.raises(korvane.ModelError, match="D_Choice_Integer"):
        bad.save(str(tmp_path / "bad.mdb"))
    bad = korvane.Model.from_json(model.to_json())
    bad.settings["I1_RetrievalMethod"] = 9
    with pytest.raises(korvane.ModelError, match="I1_RetrievalMethod must be one of 0 .best match"):
        bad.save(str(tmp_path / "bad.mdb"))
    bad = korvane.Model.from_json(model.to_json())
    del bad["I1"].formulas["D_Choice_Integer"]  # a decision slot without its formula
    result = bad.check()
    assert not result.ready
    assert result.lines[-1] == "Model cannot run instance type I1"
    served = run_korvane("check", bad.save(str(tmp_path / "bad-setting.mdb")), "--type", "I1", env=env,
                         check=False)
    assert served.returncode == 2
    assert [l for l in served.stdout.splitlines() if not l.startswith("Random seed")] == \
        [l for l in result.lines if not l.startswith("Random seed")]
    with pytest.raises(korvane.ModelError, match="no example model 'nothing'"):
        korvane.example("nothing")


@pytest.mark.parametrize("example", ["binary_choice_task.py", "iowa_gambling_task.py"])
def test_the_examples_run_in_process_as_they_run_served(tmp_path, env, example):
    source = "binary-choice.json" if example.startswith("binary") else "iowa-gambling.json"
    model = str(tmp_path / "model.mdb")
    run_korvane("model", "import", os.path.join(ROOT, "examples", source), model, env=env)
    env = dict(env, PYTHONPATH=os.path.dirname(os.path.dirname(korvane.__file__)))
    task = [sys.executable, os.path.join(ROOT, "examples", example), "--subjects", "3", "--trials", "20"]
    server = Server(model, env)  # seed 1, simulated clock
    try:
        served = subprocess.run(task + ["--port", str(server.port)], capture_output=True, text=True, timeout=120,
                                env=env)
    finally:
        server.stop()
    local = subprocess.run(task + ["--in-process", model, "--model-seed", "1"], capture_output=True, text=True,
                           timeout=120, env=env)
    assert served.returncode == 0 and local.returncode == 0, served.stderr + local.stderr
    curve = lambda out: [line for line in out.splitlines() if "|" not in line and "decisions in" not in line
                         and not line.startswith("Experiment database")]
    assert "60 decisions" in local.stdout
    assert curve(local.stdout) == curve(served.stdout)
    experiment = local.stdout.splitlines()[0].split(": ", 1)[1]
    assert len(korvane.read_trials(experiment, as_frame=False)) == len(korvane.read_trials(server.experiments()[0],
                                                                                          as_frame=False))


def test_the_quickstart_of_the_manual_runs(tmp_path, env):
    pytest.importorskip("matplotlib")
    env = dict(env, PYTHONPATH=os.path.dirname(os.path.dirname(korvane.__file__)), MPLBACKEND="Agg")
    result = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "quickstart.py")], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stderr
    assert os.path.getsize(tmp_path / "risky.png") > 1000
    experiments = [name for name in os.listdir(tmp_path) if name.startswith("binary-") and name.endswith(".mdb")]
    rows = korvane.read_trials(str(tmp_path / experiments[0]), as_frame=False)
    assert len(rows) == 100 * 100 * 2
