"""What the Python example tasks share: their command line and the learning
curve they print at the end. Standard library only."""

import argparse


def parse_arguments(doc, more=None):
    """The examples' options; the description is the first paragraph of doc.
    more(parser), when given, adds an example's own options."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    if more:
        more(parser)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=4258)
    parser.add_argument("--subjects", type=int, default=0, help="default: the model's BATCH")
    parser.add_argument("--trials", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--type", default="I1", help="instance type (default I1)")
    parser.add_argument("--timeout", type=float, default=30.0, help="seconds to wait for a reply")
    parser.add_argument("--in-process", metavar="MODEL",
                        help="run the model file in this process (simulated clock) instead of connecting "
                        "to a served one; needs the korvane package's extension module")
    parser.add_argument("--model-seed", type=int, default=None,
                        help="with --in-process: the model's seed (default: its Params_Seed)")
    parser.add_argument("--trace-level", type=int, choices=(0, 1, 2), default=None,
                        help="with --in-process: 0 full, 1 decisions, 2 none (default: the model's)")
    return parser.parse_args()


def connect(korvane, args):
    """The model the task talks to: served at --host/--port, or with
    --in-process run here. Either is a korvane.TaskConnection."""
    if args.in_process:
        run = korvane.open_run(args.in_process, seed=args.model_seed, trace_level=args.trace_level,
                               timeout=args.timeout)
        print("Experiment database:", run.experiment_path)
        return run
    return korvane.TaskConnection(args.host, args.port, timeout=args.timeout)


def print_curve(label, chosen, trials, seconds):
    """Prints, per block of a tenth of the trials, the proportion of trials in
    which the subjects made the choice of interest (chosen[s][t] is True when
    subject s made it in trial t), then the number of decisions and the time."""
    block = max(1, trials // 10)
    print(f"trials      {label}")
    for first in range(0, trials, block):
        last = min(trials, first + block)
        values = [c for subject in chosen for c in subject[first:last]]
        p = sum(values) / len(values)
        print(f"{first + 1:4d}-{last:<4d}   {p:.3f}  {'#' * round(p * 40)}")
    print(f"{len(chosen) * trials} decisions in {seconds:.2f} s")
