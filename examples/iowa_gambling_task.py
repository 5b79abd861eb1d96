#!/usr/bin/env python3
"""The Iowa gambling task, played by a Korvane model through the korvane
Python package.

Every trial the model is offered four decks, one ALTERNATIVE per deck (in
random order), and picks one; the task answers with the card's net payoff:

    deck 1 (A): +100, and -250 with probability 0.5    (-25 a card on average)
    deck 2 (B): +100, and -1250 with probability 0.1   (-25)
    deck 3 (C): +50,  and -50 with probability 0.5     (+25)
    deck 4 (D): +50,  and -250 with probability 0.1    (+25)

    korvane model import examples/iowa-gambling.json igt.mdb
    korvane serve igt.mdb --clock simulated            # in one terminal
    PYTHONPATH=python python3 examples/iowa_gambling_task.py --subjects 50

It prints the proportion of choices of the good decks (C and D) per block
of trials, and the experiment file's trial table is then ready for
korvane.read_trials (see examples/README.md).
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

DECKS = {
    1: (100, 250, 0.5),
    2: (100, 1250, 0.1),
    3: (50, 50, 0.5),
    4: (50, 250, 0.1),
}
GOOD = {3, 4}


def payoff(deck, rng):
    gain, loss, p = DECKS[deck]
    return gain - (loss if rng.random() < p else 0)


def play(args):
    rng = random.Random(args.seed)
    good = []  # good[s][t]: subject s chose deck C or D in trial t
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
                order = list(DECKS)
                rng.shuffle(order)
                for deck in order:
                    conn.alternative(args.type, Deck=deck)
                deck = conn.decision().get("Choice")
                if deck not in DECKS:
                    raise korvane.TaskError(f"the model chose {deck!r}, which is no deck (1 to 4)")
                choices.append(deck in GOOD)
                conn.feedback(args.type, payoff(deck, rng))
            good.append(choices)
        conn.stop(args.type)
    seconds = time.monotonic() - started

    example_task.print_curve("P(C or D)", good, args.trials, seconds)


def main():
    args = example_task.parse_arguments(__doc__)
    try:
        play(args)
    except (OSError, korvane.TaskError) as error:
        print("iowa_gambling_task:", error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
