#!/usr/bin/env python3
"""Fidelity check: do Korvane's simulated subjects behave as trial-based
instance-based learning says they should, trial by trial?

For each repeated-choice problem it runs N subjects x T trials twice:
  - in Korvane: the binary-choice example model (blending, d, s, a prior of
    `--prior` points per option), served by `korvane serve` with the
    simulated clock, Params_CyclePause 0 and Params_TrialTime 1000, and
    driven over TCP by the task below;
  - in a reference: the same theory written out here in a few lines (one
    time step per trial, every option judged at the same step, logistic
    noise, blending over the remembered outcomes of each option).
It prints, side by side, the proportion of risky choices per block of 10
trials and the reaction to the latest outcome: P(risky again | the risky
option just paid x), with the number of cases and a z score of the
difference.

    python3 bench/fidelity.py --korvane build/bin/korvane --subjects 200

Needs only Python's standard library and Korvane's python/ package.
"""

import argparse
import math
import os
import random
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from korvane import TaskConnection  # noqa: E402

PROBLEMS = {
    # name: (safe payoff, risky payoff draw)
    "binary": (3, lambda r: 4 if r.random() < 0.8 else 0),
    "rare-gain": (3, lambda r: 32 if r.random() < 0.1 else 0),
    "loss": (-3, lambda r: -4 if r.random() < 0.8 else 0),
    "normal": (3, lambda r: r.gauss(3.2, 1.0)),
}
SAFE, RISKY = 1, 2


# --- Korvane over TCP ---------------------------------------------------------------


def connect(port, timeout=60):
    """The server takes a moment to listen: try until it does."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            return TaskConnection("127.0.0.1", port, timeout=timeout)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def korvane_run(args, problem, seed):
    safe, risky = PROBLEMS[problem]
    rng = random.Random(seed)
    with tempfile.TemporaryDirectory() as folder:
        model = os.path.join(folder, "model.mdb")
        run = lambda *a: subprocess.run([args.korvane, *a], check=True, stdout=subprocess.DEVNULL)
        run("example", "binary-choice", model)
        settings = {"Params_D_Value": args.d, "Params_S_Value": args.s, "Params_CyclePause": 0,
                    "Params_TrialTime": 1000, "Params_Clock": 1}
        for key, value in settings.items():
            run("set", model, key, str(value))
        set_prior(args.korvane, model, args.prior)
        port = free_port()
        env = dict(os.environ, KORVANE_DATA_DIR=folder)
        server = subprocess.Popen([args.korvane, "serve", model, "--port", str(port), "--seed", str(seed),
                                   "--clock", "simulated", "-q"], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            conn = connect(port)
            choices = []
            for s in range(args.subjects):
                (conn.start if s == 0 else conn.reset)("I1")
                history = []
                for _ in range(args.trials):
                    order = [SAFE, RISKY]
                    rng.shuffle(order)
                    for o in order:
                        conn.alternative("I1", Option=o)
                    option = round(float(conn.decision()["Choice"]))
                    payoff = safe if option == SAFE else risky(rng)
                    history.append((option == RISKY, payoff))
                    conn.feedback("I1", payoff)
                choices.append(history)
            conn.stop("I1")
        finally:
            server.terminate()
            server.wait()
    return choices


def set_prior(korvane, model, prior):
    """The example's prepopulated instances (one per option) get the prior."""
    import sqlite3
    con = sqlite3.connect(model)
    con.execute("UPDATE I1 SET U_Value_Real = ? WHERE X_Prepopulated = 1", (prior,))
    con.commit()
    con.close()


# --- The reference: trial-based IBL written out --------------------------------------


def reference_run(args, problem, seed):
    safe, risky = PROBLEMS[problem]
    rng = random.Random(seed)
    noise = random.Random(seed + 1)
    tau = math.sqrt(2) * args.s
    choices = []
    for _ in range(args.subjects):
        # per option: outcome -> list of presentation times; the prior at time 0
        memory = {SAFE: {args.prior: [0]}, RISKY: {args.prior: [0]}}
        history = []
        for t in range(1, args.trials + 1):
            values = {}
            for option, outcomes in memory.items():
                acts = {}
                for outcome, times in outcomes.items():
                    p = min(max(noise.random(), 0.0001), 0.9999)
                    bll = math.log(sum((t - tj) ** -args.d for tj in times))
                    acts[outcome] = bll + args.s * math.log((1 - p) / p)
                top = max(acts.values())
                weights = {o: math.exp((a - top) / tau) for o, a in acts.items()}
                total = sum(weights.values())
                values[option] = sum(o * w / total for o, w in weights.items())
            if values[SAFE] == values[RISKY]:
                option = rng.choice([SAFE, RISKY])
            else:
                option = SAFE if values[SAFE] > values[RISKY] else RISKY
            payoff = safe if option == SAFE else risky(rng)
            memory[option].setdefault(payoff, []).append(t)
            history.append((option == RISKY, payoff))
        choices.append(history)
    return choices


# --- Summaries -----------------------------------------------------------------------


def blocks(choices, size=10):
    trials = len(choices[0])
    return [sum(c for h in choices for c, _ in h[b:b + size]) / (len(choices) * len(h[b:b + size]))
            for b, h in ((b, choices[0]) for b in range(0, trials, size))]


def reactions(choices, problem):
    """P(risky on t+1 | risky on t paid x), x grouped as the problem's outcomes."""
    groups = {}
    for history in choices:
        for (risky, payoff), (next_risky, _) in zip(history, history[1:]):
            if not risky:
                continue
            key = "above safe" if problem == "normal" and payoff > PROBLEMS["normal"][0] else \
                  "at most safe" if problem == "normal" else payoff
            n, k = groups.get(key, (0, 0))
            groups[key] = (n + 1, k + next_risky)
    return groups


def z(p1, n1, p2, n2):
    p = (p1 * n1 + p2 * n2) / (n1 + n2)
    se = math.sqrt(max(p * (1 - p) * (1 / n1 + 1 / n2), 1e-12))
    return (p1 - p2) / se


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--korvane", default="build/bin/korvane")
    parser.add_argument("--subjects", type=int, default=200)
    parser.add_argument("--trials", type=int, default=100)
    parser.add_argument("--d", type=float, default=0.5)
    parser.add_argument("--s", type=float, default=0.25)
    parser.add_argument("--prior", type=float, default=10)
    parser.add_argument("--seed", type=int, default=12)
    parser.add_argument("--problems", default=",".join(PROBLEMS))
    args = parser.parse_args()
    for problem in args.problems.split(","):
        started = time.monotonic()
        ours = korvane_run(args, problem, args.seed)
        seconds = time.monotonic() - started
        ref = reference_run(args, problem, args.seed + 1000)
        print(f"== {problem}: {args.subjects} subjects x {args.trials} trials, d {args.d}, s {args.s}, "
              f"prior {args.prior} (Korvane run {seconds:.1f} s)")
        print("P(risky) per block   Korvane:   " + " ".join(f"{p:.3f}" for p in blocks(ours)))
        print("                     reference: " + " ".join(f"{p:.3f}" for p in blocks(ref)))
        a, b = reactions(ours, problem), reactions(ref, problem)
        for key in sorted(set(a) & set(b), key=str):
            (n1, k1), (n2, k2) = a[key], b[key]
            p1, p2 = k1 / n1, k2 / n2
            print(f"P(risky again | risky paid {key}):  Korvane {p1:.3f} (n {n1})  reference {p2:.3f} "
                  f"(n {n2})  z {z(p1, n1, p2, n2):+.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
