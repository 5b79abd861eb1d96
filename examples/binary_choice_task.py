#!/usr/bin/env python3
"""The binary-choice sample task, written against Korvane's task protocol
with nothing but Python's standard library.

Each simulated subject repeatedly chooses between a safe option (3 points
for sure) and a risky one (4 points with probability 0.8, else 0). For every
trial the task offers both options to the model, one ALTERNATIVE message per
option, waits for the model's DECISION, and answers with the payoff of the
chosen option as FEEDBACK. At the end it prints the proportion of risky
choices per block of trials.

    korvane serve my-model.mdb                # in one terminal
    python3 binary_choice_task.py --port 4258 # in another

Protocol in short: lines of "|"-separated fields ended by CR LF. The model
greets a new connection with BATCH|n (its number of subjects); START|I1
(first subject) or RESET|I1 (each further subject) is answered by an
optional HELO line and CUESIZE|I1|n; DECISION|Choice|c|RETRIEVAL-TIME|ms
ends a trial; ERROR|text reports a rejected message; STOP ends the run.
"""

import argparse
import random
import socket
import sys
import time

SAFE, RISKY = 1, 2


class Connection:
    """A line-oriented connection: sends lines, reads whole CR LF lines."""

    def __init__(self, host, port, timeout):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def send(self, *lines):
        self.sock.sendall(b"".join(line.encode("utf-8") + b"\r\n" for line in lines))

    def read_line(self):
        while b"\r\n" not in self.buffer:
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("the model closed the connection")
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line.decode("utf-8", errors="replace")

    def expect(self, word):
        """Reads lines until one starts with word; an ERROR reply stops the run."""
        while True:
            line = self.read_line()
            fields = line.split("|")
            if fields[0] == "ERROR":
                raise RuntimeError("the model replied " + line)
            if fields[0] == word:
                return fields
            print("Model says:", line)

    def close(self):
        self.sock.close()


def play(args):
    rng = random.Random(args.seed)
    conn = Connection(args.host, args.port, args.timeout)
    batch = int(conn.expect("BATCH")[1])
    subjects = args.subjects or batch
    print(f"Connected; {subjects} subjects of {args.trials} trials")
    risky = []  # risky[s][t] is True when subject s chose the risky option in trial t
    started = time.monotonic()
    for s in range(subjects):
        conn.send(("START|" if s == 0 else "RESET|") + args.type)
        conn.expect("CUESIZE")
        choices = []
        for _ in range(args.trials):
            order = [SAFE, RISKY]
            rng.shuffle(order)
            conn.send(*(f"ALTERNATIVE|{args.type}|Option|{o}" for o in order))
            decision = conn.expect("DECISION")
            option = round(float(decision[2])) if len(decision) > 2 else 0
            if option == SAFE:
                payoff = 3
            elif option == RISKY:
                payoff = 4 if rng.random() < 0.8 else 0
            else:
                raise RuntimeError("the model chose neither option 1 nor 2: " + "|".join(decision))
            choices.append(option == RISKY)
            conn.send(f"FEEDBACK|{args.type}|{payoff}")
        risky.append(choices)
    conn.send("STOP|" + args.type)
    conn.close()
    seconds = time.monotonic() - started

    block = max(1, args.trials // 10)
    print("trials      P(risky)")
    for first in range(0, args.trials, block):
        last = min(args.trials, first + block)
        values = [c for subject in risky for c in subject[first:last]]
        p = sum(values) / len(values)
        print(f"{first + 1:4d}-{last:<4d}   {p:.3f}  {'#' * round(p * 40)}")
    print(f"{subjects * args.trials} decisions in {seconds:.2f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=4258)
    parser.add_argument("--subjects", type=int, default=0, help="default: the model's BATCH")
    parser.add_argument("--trials", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--type", default="I1", help="instance type (default I1)")
    parser.add_argument("--timeout", type=float, default=30.0, help="seconds to wait for a reply")
    args = parser.parse_args()
    try:
        play(args)
    except (OSError, RuntimeError, ConnectionError) as error:
        print("binary_choice_task:", error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
