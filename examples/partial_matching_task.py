#!/usr/bin/env python3
"""A choice among five alternatives, judged by partial matching.

Every trial offers five alternatives, numbers N drawn from 0 to 1 (three
decimals), one ALTERNATIVE each; the model blends its whole memory for each
(instances near N weigh more) and names the alternative it picks
(D = Cue.N). The payoff is 10 - 10 |N - 0.7|: the nearer 0.7, the better.

    korvane model import examples/partial-matching.json pm.mdb
    korvane serve pm.mdb --clock simulated                     # in one terminal
    PYTHONPATH=python python3 examples/partial_matching_task.py --subjects 20

It prints per block of trials the share of trials in which the model picked
the best alternative offered. With --reference it also computes, from the
equations of instance-based learning alone (base-level learning with decay
d, the similarity -|cue - memory|, retrieval probabilities at temperature
T, no noise), what the model must choose, and counts the trials where the
two differ: serve the model with Params_S_Value 0 and Params_Temperature 1.
"""

import math
import os
import random
import sys
import time

try:
    import korvane
except ImportError:  # run from a checkout without PYTHONPATH
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
    import korvane

import example_task  # the command line and the learning curve, shared by the examples

BEST = 0.7


def payoff(n):
    return round(10 - 10 * abs(n - BEST), 6)


class Reference:
    """The model's equations for one subject, without noise: prior N 0.5
    (value 10) one trial before the first cue, outcomes presented when they
    arrive, trials 1000 ms apart, every alternative of a trial judged at the
    same moment, equal experiences merged."""

    def __init__(self, d=0.5, temperature=1.0, trial_time=1000.0):
        self.d, self.t, self.step = d, temperature, trial_time
        self.memory = [[0.5, 10.0, [-trial_time], True]]  # N, value, presentation times, prior

    def blend(self, cue, now):
        activations = []
        for n, _, times, _ in self.memory:
            ages = [(now - t) ** -self.d for t in times if now - t > 0]
            bll = math.log(sum(ages)) if ages else -100.0
            activations.append(bll - abs(cue - n))
        top = max(activations)
        weights = [math.exp((a - top) / self.t) for a in activations]
        return sum(w * m[1] for w, m in zip(weights, self.memory)) / sum(weights)

    def agrees(self, offered, trial, pick):
        """Whether pick is the alternative of the highest blend. Alternatives
        all on one side of every instance tie exactly (their mismatches
        shift all activations alike), so values within rounding count as
        ties, and any of them agrees."""
        now = trial * self.step
        values = {n: self.blend(n, now) for n in offered}
        best = max(values.values())
        return values[pick] >= best - 1e-9 * max(1.0, abs(best))

    def learn(self, n, outcome, trial):
        now = trial * self.step
        for held in self.memory:
            if not held[3] and held[0] == n and held[1] == outcome:
                held[2].append(now)
                return
        self.memory.append([n, outcome, [now], False])


def play(args):
    rng = random.Random(args.seed)
    best_picked = []  # best_picked[s][t]: the best alternative offered was picked
    differences = 0
    started = time.monotonic()
    with example_task.connect(korvane, args) as conn:
        subjects = args.subjects or conn.batch
        print(f"Connected; {subjects} subjects of {args.trials} trials")
        for s in range(subjects):
            (conn.start if s == 0 else conn.reset)(args.type)
            conn.messages.clear()
            reference = Reference() if args.reference else None
            picks = []
            for t in range(args.trials):
                offered = [round(rng.random(), 3) for _ in range(5)]
                with conn.together():
                    for n in offered:
                        conn.alternative(args.type, N=n)
                pick = conn.decision().get("Pick")
                if pick not in offered:
                    raise korvane.TaskError(f"the model picked {pick!r}, which was not offered")
                if reference is not None:
                    differences += not reference.agrees(offered, t, pick)
                    reference.learn(pick, payoff(pick), t)
                picks.append(abs(pick - BEST) == min(abs(n - BEST) for n in offered))
                conn.feedback(args.type, payoff(pick))
            best_picked.append(picks)
        conn.stop(args.type)
    seconds = time.monotonic() - started
    example_task.print_curve("P(best picked)", best_picked, args.trials, seconds)
    if args.reference:
        print(f"choices that differ from the equations' reference: {differences} of {len(best_picked) * args.trials}")
    return differences


def main():
    args = example_task.parse_arguments(
        __doc__, lambda p: p.add_argument("--reference", action="store_true", help="compare with the equations"))
    try:
        differences = play(args)
    except (OSError, korvane.TaskError) as error:
        print("partial_matching_task:", error, file=sys.stderr)
        return 1
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
