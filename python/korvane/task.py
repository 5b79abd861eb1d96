"""The task side of Korvane's protocol: a connection to a served model.

Messages are lines of "|"-separated fields ended by CR LF, at most 64 KiB
each. The model greets a connection with BATCH|n; START|type and RESET|type
are answered by an optional greeting line and CUESIZE|type|n; cues
(CUES|type|name|value|... or ALTERNATIVE|...) are answered, when the model's
stop rule ends the trial, by DECISION|slot|value|...|RETRIEVAL-TIME|ms|
DECISION-ID|n; FEEDBACK|type|value (or name/value pairs, either optionally
followed by DECISION-ID|n), OUTCOME|type|outcome|name|value|... (an
alternative not chosen), CHOOSE|type|name|value|... (the alternative to
execute), PRIOR|type|name|value|... (a prior of the subject) and STOP|type
are not answered;
any rejected message is answered by ERROR|text, which this module raises as
TaskError.
"""

import contextlib
import decimal
import math
import select
import socket

LINE_LIMIT = 64 * 1024  # longest line either side accepts, CR LF excluded
_NUMBER_CHARACTERS = frozenset("0123456789-.")


class TaskError(Exception):
    """The model answered ERROR|text (text is in .text), or broke the protocol."""

    def __init__(self, text, line=None):
        super().__init__(text)
        self.text = text
        self.line = line


def typed_value(text):
    """A field's value as the model types it: digits (with "-" and ".") are
    numbers, int without a "." and float with one; anything else stays text."""
    if text.strip(" ") == "":
        return ""
    if not _NUMBER_CHARACTERS.issuperset(text):
        return text
    try:
        return float(text) if "." in text else int(text)
    except ValueError:
        return text


def format_value(value):
    """The text of a value for a message. Numbers are written so that the
    model reads them back as numbers (never in exponent form)."""
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"{value!r} cannot be sent: only finite numbers can")
        text = repr(value)
        if "e" in text or "E" in text:
            text = format(decimal.Decimal(text), "f")
        return text
    text = str(value)
    _check_field(text)
    return text


def _check_field(text):
    if "|" in text or "\r" in text or "\n" in text:
        raise ValueError(f"{text!r} cannot be sent: a field may not hold '|' or a line break")
    return text


class Decision:
    """A DECISION reply: the decision slots' values in order (a dict), and the
    retrieval time in ms. d["Choice"] reads a slot; d.line is the reply.
    d.decision_id is the decision's number, by which feedback(...,
    decision_id=...) answers it later; under model tracing (choose_for)
    d.model_values holds what the model itself would have chosen."""

    def __init__(self, line):
        self.line = line
        fields = line.split("|")
        self.values = {}
        self.model_values = {}
        self.retrieval_time = None
        self.decision_id = None
        for i in range(1, len(fields) - 1, 2):
            name, value = fields[i], typed_value(fields[i + 1])
            if name.upper() == "RETRIEVAL-TIME":
                self.retrieval_time = float(value) if isinstance(value, (int, float)) else None
            elif name.upper() == "DECISION-ID":
                self.decision_id = value if isinstance(value, int) else None
            elif name.upper().startswith("MODEL-"):
                self.model_values[name[len("MODEL-"):]] = value
            else:
                self.values[name] = value

    def __getitem__(self, slot):
        return self.values[slot]

    def __contains__(self, slot):
        return slot in self.values

    def get(self, slot, default=None):
        return self.values.get(slot, default)

    def __repr__(self):
        return f"Decision({self.values!r}, retrieval_time={self.retrieval_time!r})"

    def __eq__(self, other):
        return isinstance(other, Decision) and (self.values, self.retrieval_time) == (
            other.values,
            other.retrieval_time,
        )


class TaskConnection:
    """A connection to a model that `korvane serve` (or the desktop program)
    serves. Connecting reads the model's BATCH (self.batch, its number of
    subjects). Lines the model sends that no call waits for (its greeting
    after START) are kept in self.messages.

        with TaskConnection("127.0.0.1", 4258, timeout=30) as conn:
            conn.start("I1")
            for subject in range(conn.batch):
                if subject:
                    conn.reset("I1")
                ...
            conn.stop("I1")

    timeout is the longest wait, in seconds, for the connection and for each
    reply; socket.timeout (TimeoutError) is raised past it.
    """

    def __init__(self, host="127.0.0.1", port=4258, timeout=30.0):
        self.timeout = timeout
        self._sock = socket.create_connection((host, port), timeout=timeout)
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._buffer = b""
        self._discarding = False  # inside an over-long line, dropped up to its CR LF
        self._held = None  # lines of a together() block, not sent yet
        self.messages = []
        self.batch = None
        fields = self._expect("BATCH")
        self.batch = int(fields[1]) if len(fields) > 1 and fields[1].lstrip("-").isdigit() else None

    # --- lines -----------------------------------------------------------

    def send_line(self, line):
        """Sends one line (CR LF is added). A line over LINE_LIMIT bytes is
        refused here, as the model would drop it."""
        data = line.encode("utf-8")
        if b"\r" in data or b"\n" in data:
            raise ValueError("a line may not hold a line break")
        if len(data) > LINE_LIMIT:
            raise ValueError(f"a line of {len(data)} bytes is longer than the {LINE_LIMIT} bytes the model reads")
        if self._held is not None:
            self._held.append(data + b"\r\n")
        else:
            self._write(data + b"\r\n")

    def _write(self, data):
        """Hands whole lines (bytes, each ended by CR LF) to the model."""
        self._sock.sendall(data)

    @contextlib.contextmanager
    def together(self):
        """Sends the lines of the block in one piece when it ends, so that
        the model gets them in one read instead of one each (a trial's
        alternatives, or a feedback and the next trial's cues):

            with conn.together():
                conn.alternative("I1", Option=1)
                conn.alternative("I1", Option=2)
            choice = conn.decision()

        A call inside the block that waits for a reply, stop() and close()
        send what is held first. A block left by an exception takes back
        the lines it held (an inner block only its own).
        With the real clock the model times a line by its arrival, so hold
        back only lines that belong to the same moment."""
        outer = self._held is None
        if outer:
            self._held = []
        start = len(self._held)
        try:
            yield self
        except BaseException:
            if outer:
                self._held = None
            elif self._held is not None:
                del self._held[start:]
            raise
        if outer:
            self._send_held(keep_holding=False)

    def _send_held(self, keep_holding=True):
        held, self._held = self._held, ([] if keep_holding else None)
        if held:
            self._write(b"".join(held))

    def read_line(self, timeout=None):
        """The next whole line from the model, without CR LF."""
        if self._held:
            self._send_held()  # a reply to wait for may depend on them
        self._sock.settimeout(self.timeout if timeout is None else timeout)
        too_long = TaskError(f"the model sent a line longer than {LINE_LIMIT} bytes; it was dropped")
        while True:
            end = self._buffer.find(b"\r\n")
            if end >= 0:
                line, self._buffer = self._buffer[:end], self._buffer[end + 2 :]
                if self._discarding:
                    self._discarding = False
                    continue
                if len(line) > LINE_LIMIT:
                    raise too_long
                return line.decode("utf-8", errors="replace")
            if len(self._buffer) > LINE_LIMIT + 1:
                # Keep a trailing CR: it may begin the CR LF that ends the line.
                self._buffer = self._buffer[-1:] if self._buffer.endswith(b"\r") else b""
                if not self._discarding:
                    self._discarding = True
                    raise too_long
            data = self._sock.recv(65536)
            if not data:
                raise ConnectionError("the model closed the connection")
            self._buffer += data

    def _expect(self, word, timeout=None):
        """Reads lines until one whose first field is word; ERROR raises."""
        while True:
            line = self.read_line(timeout)
            fields = line.split("|")
            head = fields[0].upper()
            if head == "ERROR":
                raise TaskError("|".join(fields[1:]), line)
            if head == word:
                return fields
            self.messages.append(line)

    def _raise_pending_error(self):
        """Raises an ERROR reply that has already arrived, without waiting."""
        while True:
            readable, _, _ = select.select([self._sock], [], [], 0)
            if not readable:
                break
            data = self._sock.recv(65536)
            if not data:
                break
            self._buffer += data
        kept = []
        while b"\r\n" in self._buffer:
            line, self._buffer = self._buffer.split(b"\r\n", 1)
            text = line.decode("utf-8", errors="replace")
            if text.split("|", 1)[0].upper() == "ERROR":
                self._buffer = b"".join(k + b"\r\n" for k in kept) + self._buffer
                raise TaskError(text.split("|", 1)[1] if "|" in text else "", text)
            kept.append(line)
        self._buffer = b"".join(k + b"\r\n" for k in kept) + self._buffer

    @staticmethod
    def _message(command, instance_type, pairs):
        fields = [command, _check_field(str(instance_type))]
        for name, value in pairs:
            fields.append(_check_field(str(name)))
            fields.append(format_value(value))
        return "|".join(fields)

    @staticmethod
    def _pairs(mapping, keywords):
        pairs = list(mapping.items()) if mapping else []
        pairs.extend(keywords.items())
        return pairs

    # --- messages --------------------------------------------------------

    def start(self, instance_type):
        """START: a new run of the instance type with its first subject.
        Returns the number of situation slots (CUESIZE)."""
        self.send_line(self._message("START", instance_type, []))
        return self._cuesize()

    def reset(self, instance_type):
        """RESET: the next subject. Returns CUESIZE as start() does."""
        self.send_line(self._message("RESET", instance_type, []))
        return self._cuesize()

    def _cuesize(self):
        fields = self._expect("CUESIZE")
        return typed_value(fields[2]) if len(fields) > 2 else None

    def cues(self, instance_type, slots=None, *, wait=False, **named):
        """CUES: one cue (situation slot values, as a dict and/or keywords);
        the model runs one retrieval. With wait=True returns the DECISION
        that ends the trial (see decision())."""
        self.send_line(self._message("CUES", instance_type, self._pairs(slots, named)))
        return self.decision() if wait else None

    def alternative(self, instance_type, slots=None, *, wait=False, **named):
        """ALTERNATIVE: one option of the trial, as cues() sends a cue."""
        self.send_line(self._message("ALTERNATIVE", instance_type, self._pairs(slots, named)))
        return self.decision() if wait else None

    def decision(self, timeout=None):
        """Waits for the next DECISION and returns it (a Decision)."""
        return Decision("|".join(self._expect("DECISION", timeout)))

    def feedback(self, instance_type, value=None, /, *, decision_id=None, **pairs):
        """FEEDBACK: the outcome of what the model chose, one value
        (feedback("I1", 4)) or name/value pairs for a model that computes its
        outcome with a formula (feedback("I1", Points=4, Loss=1)). Without
        decision_id it answers every decision still waiting for its outcome;
        with a Decision's decision_id that decision alone (delayed feedback).
        The model does not answer; an ERROR it has already sent is raised
        here, otherwise by the next call that reads."""
        if (value is None) == (not pairs):
            raise ValueError("give either one value or name=value pairs")
        named = [] if decision_id is None else [("DECISION-ID", int(decision_id))]
        if value is not None:
            line = f"FEEDBACK|{_check_field(str(instance_type))}|{format_value(value)}"
            self.send_line(line + "".join(f"|{n}|{v}" for n, v in named))
        else:
            self.send_line(self._message("FEEDBACK", instance_type, list(pairs.items()) + named))
        self._raise_pending_error()

    def outcome(self, instance_type, outcome, slots=None, /, **named):
        """OUTCOME: the outcome an alternative of the last trial would have
        brought, for one the model did not choose (full feedback), named by
        its slot values: outcome("I1", 4, Option=2). The model remembers it
        as an experience of that trial."""
        pairs = self._pairs(slots, named)
        if not pairs:
            raise ValueError("name the alternative by its slot values")
        fields = [f"OUTCOME|{_check_field(str(instance_type))}|{format_value(outcome)}"]
        fields += [f"{_check_field(str(n))}|{format_value(v)}" for n, v in pairs]
        self.send_line("|".join(fields))
        self._raise_pending_error()

    def choose_for(self, instance_type, slots=None, /, **named):
        """CHOOSE: the alternative to execute at the end of this trial in the
        model's place (model tracing: a person's choice), named by its slot
        values; send it before the trial's alternatives. The DECISION then
        carries it, and in model_values what the model would have chosen."""
        pairs = self._pairs(slots, named)
        if not pairs:
            raise ValueError("name the alternative by its slot values")
        self.send_line(self._message("CHOOSE", instance_type, pairs))
        self._raise_pending_error()

    def prior(self, instance_type, slots=None, /, **named):
        """PRIOR: an instance for the current subject only (slot values, the
        utility slot included), after start()/reset() and before its first
        cue; presented as the model's prepopulated instances are."""
        self.send_line(self._message("PRIOR", instance_type, self._pairs(slots, named)))
        self._raise_pending_error()

    def state(self, instance_type, slots=None, *, wait=False, **named):
        """STATE: feedback and the next cue in one message. With wait=True
        returns the DECISION that ends the trial."""
        self.send_line(self._message("STATE", instance_type, self._pairs(slots, named)))
        return self.decision() if wait else None

    def stop(self, instance_type=""):
        """STOP: the run ends; the connection is closed. Lines held by a
        together() block go first."""
        try:
            self.send_line(self._message("STOP", instance_type, []) if instance_type else "STOP")
            if self._held:
                self._send_held()
            self._finish_sending()
        except OSError:
            pass
        self.close()

    def _finish_sending(self):
        self._sock.shutdown(socket.SHUT_WR)

    def close(self):
        """Closes the connection; lines held by a together() block go first."""
        try:
            if self._held:
                self._send_held()
        except OSError:
            pass
        try:
            self._sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
