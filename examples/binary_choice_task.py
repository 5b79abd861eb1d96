#!/usr/bin/env python3
"""The binary-choice sample task, written with the korvane Python package
(python/ in the source tree; standard library only).

Each simulated subject repeatedly chooses between a safe option (3 points
for sure) and a risky one (4 points with probability 0.8, else 0). For every
trial the task offers both options to the model, one ALTERNATIVE message per
option, waits for the model's DECISION, and answers with the payoff of the
chosen option as FEEDBACK. With --full-feedback it then tells the model
what the other option would have paid (OUTCOME), as in full-feedback
experiments. At the end it prints the proportion of risky choices per block
of trials.

    korvane serve my-model.mdb                # in one terminal
    python3 binary_choice_task.py --port 4258 # in another

    python3 binary_choice_task.py --in-process my-model.mdb   # or both in one

Protocol in short: lines of "|"-separated fields ended by CR LF. The model
greets a new connection with BATCH|n (its number of subjects); START|I1
(first subject) or RESET|I1 (each further subject) is answered by an
optional HELO line and CUESIZE|I1|n; DECISION|Choice|c|RETRIEVAL-TIME|ms
ends a trial; ERROR|text reports a rejected message; STOP ends the run.
"""

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

SAFE, RISKY = 1, 2


def pay(option, rng):
    return 3 if option == SAFE else (4 if rng.random() < 0.8 else 0)


def play(args):
    rng = random.Random(args.seed)
    risky = []  # risky[s][t] is True when subject s chose the risky option in trial t
    started = time.monotonic()
    with example_task.connect(korvane, args) as conn:
        subjects = args.subjects or conn.batch
        print(f"Connected; {subjects} subjects of {args.trials} trials")
        for s in range(subjects):
            (conn.start if s == 0 else conn.reset)(args.type)
            for line in conn.messages:  # the model's greeting, if it has one
                print("Model says:", line)
            conn.messages.clear()
            choices = []
            for _ in range(args.trials):
                order = [SAFE, RISKY]
                rng.shuffle(order)
                with conn.together():  # both options reach the model in one piece
                    for option in order:
                        conn.alternative(args.type, Option=option)
                decision = conn.decision()
                option = decision.get("Choice")
                if option not in (SAFE, RISKY):
                    raise korvane.TaskError("the model chose neither option 1 nor 2: " + decision.line)
                choices.append(option == RISKY)
                conn.feedback(args.type, pay(option, rng))
                if args.full_feedback:
                    other = RISKY if option == SAFE else SAFE
                    conn.outcome(args.type, pay(other, rng), Option=other)
            risky.append(choices)
        conn.stop(args.type)
    seconds = time.monotonic() - started

    example_task.print_curve("P(risky)", risky, args.trials, seconds)


def main():
    args = example_task.parse_arguments(
        __doc__,
        lambda p: p.add_argument("--full-feedback", action="store_true",
                                 help="also send the outcome of the option not chosen (OUTCOME)"))
    try:
        play(args)
    except (OSError, korvane.TaskError) as error:
        print("binary_choice_task:", error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
