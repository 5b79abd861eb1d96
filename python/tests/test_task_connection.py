"""korvane.TaskConnection against a real `korvane serve`, and against a
scripted peer for what a real model never does (split and over-long lines)."""

import socket
import threading

import pytest

import korvane
from korvane.task import format_value, typed_value


def test_every_message_against_a_served_model(server):
    with korvane.TaskConnection("127.0.0.1", server.port, timeout=30) as conn:
        assert conn.batch == 100
        assert conn.start("I1") == 1
        assert conn.messages == ["HELO|Korvane binary choice, simulation 1"]
        # ALTERNATIVE per option; the second ends the trial.
        assert conn.alternative("I1", Option=1) is None
        decision = conn.alternative("I1", {"Option": 2}, wait=True)
        assert decision.get("Choice") in (1, 2)
        assert isinstance(decision["Choice"], int)
        assert decision.retrieval_time > 0
        assert decision.line.startswith("DECISION|Choice|")
        conn.feedback("I1", 4)
        # CUES is a cue as well; two of them end the next trial.
        conn.cues("I1", Option=1)
        assert conn.cues("I1", Option=2, wait=True).get("Choice") in (1, 2)
        conn.feedback("I1", 3.0)
        # STATE: the feedback and the next cue at once.
        conn.state("I1", Option=1)
        conn.alternative("I1", Option=2)
        assert conn.decision().get("Choice") in (1, 2)
        assert conn.reset("I1") == 1
        conn.alternative("I1", Option=1)
        assert "Choice" in conn.alternative("I1", Option=2, wait=True)
        conn.feedback("I1", 0)
        conn.stop("I1")


def test_the_messages_of_published_models(server):
    """Per-subject priors, model tracing, foregone outcomes and delayed
    feedback, from Python."""
    with korvane.TaskConnection("127.0.0.1", server.port, timeout=30) as conn:
        conn.start("I1")
        conn.prior("I1", Option=2, Choice=2, Value=50)
        with pytest.raises(korvane.TaskError, match="PRIOR must give the utility slot Value"):
            conn.prior("I1", Option=1, Choice=1)
            conn.decision(timeout=10)
        # The person chose option 1; the model (prior 50) would take 2.
        conn.choose_for("I1", Option=1)
        conn.alternative("I1", Option=1)
        first = conn.alternative("I1", Option=2, wait=True)
        assert first["Choice"] == 1
        assert first.model_values == {"Choice": 2}
        assert first.decision_id == 1
        assert "DECISION-ID" not in first.values
        conn.outcome("I1", 4, Option=2)
        conn.alternative("I1", Option=1)
        second = conn.alternative("I1", Option=2, wait=True)
        assert second.decision_id == 2 and second.model_values == {}
        # Outcomes out of order: the second decision first.
        conn.feedback("I1", 0, decision_id=second.decision_id)
        conn.feedback("I1", 3, decision_id=first.decision_id)
        with pytest.raises(korvane.TaskError, match="FEEDBACK names decision 1, which is not waiting"):
            conn.feedback("I1", 3, decision_id=1)
            conn.decision(timeout=10)
        conn.stop("I1")


def test_error_replies_raise_task_error(server):
    with korvane.TaskConnection("127.0.0.1", server.port, timeout=30) as conn:
        with pytest.raises(korvane.TaskError) as error:
            conn.alternative("I1", Option=1, wait=True)
        assert error.value.text == "Instance type I1 must be started before cues for it can be processed"
        with pytest.raises(korvane.TaskError) as error:
            conn.start("I9")
        assert error.value.text == "Instance type I9 does not exist in the database."
        assert error.value.line.startswith("ERROR|")
        conn.start("I1")
        conn.send_line("HELLO|I1")
        with pytest.raises(korvane.TaskError, match="does not understand the command HELLO"):
            conn.decision()
        # The model takes one feedback value; two are an error it reports.
        conn.alternative("I1", Option=1)
        conn.alternative("I1", Option=2, wait=True)
        with pytest.raises(korvane.TaskError, match="expecting one feedback value, but received"):
            conn.feedback("I1", O=1, P=2)
            conn.decision(timeout=10)
        # The connection stays usable.
        conn.alternative("I1", Option=1)
        assert conn.alternative("I1", Option=2, wait=True).get("Choice") in (1, 2)
        conn.stop("I1")


def test_values_and_lines_are_checked_before_sending(server):
    with korvane.TaskConnection("127.0.0.1", server.port, timeout=30) as conn:
        conn.start("I1")
        with pytest.raises(ValueError):
            conn.alternative("I1", Option="a|b")
        with pytest.raises(ValueError):
            conn.alternative("I1", Option="two\r\nlines")
        with pytest.raises(ValueError):
            conn.feedback("I1", float("nan"))
        with pytest.raises(ValueError):
            conn.feedback("I1")
        with pytest.raises(ValueError, match="longer than the 65536 bytes"):
            conn.alternative("I1", Option="x" * 70000)
        # Nothing of the refused messages reached the model.
        conn.alternative("I1", Option=1)
        assert conn.alternative("I1", Option=2, wait=True).get("Choice") in (1, 2)
    assert format_value(1e-05) == "0.00001"
    assert format_value(2.0) == "2.0"
    assert format_value(True) == "1"
    assert typed_value("12") == 12 and typed_value("-1.5") == -1.5
    assert typed_value("1-2") == "1-2" and typed_value("") == "" and typed_value("abc") == "abc"


class ScriptedPeer:
    """A listening socket that sends the given byte pieces one by one, each
    after the client's line before it when wait_for says so."""

    def __init__(self, pieces):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.received = b""
        self.pieces = pieces
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            self._talk()
        except OSError:
            pass  # the client went away first

    def _talk(self):
        conn, _ = self.listener.accept()
        with conn:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            lines_expected = 0
            for piece in self.pieces:
                if piece is None:  # wait for one more line from the client
                    lines_expected += 1
                    while self.received.count(b"\r\n") < lines_expected:
                        data = conn.recv(65536)
                        if not data:
                            return
                        self.received += data
                    continue
                conn.sendall(piece)
                threading.Event().wait(0.02)
            try:
                while data := conn.recv(65536):
                    self.received += data
            except OSError:
                pass

    def close(self):
        self.thread.join(10)
        self.listener.close()


def test_lines_split_across_arrivals_are_reassembled():
    peer = ScriptedPeer(
        [b"BAT", b"CH|", b"3\r", b"\n", None, b"HELO|a\nb\r\nCUES", b"IZE|I1|2\r\n", None,
         b"DECISION|Choice|2|Side|left|RETRIEVAL-TIME|12.5\r\nDECI", b"SION|Choice|1|RETRIEVAL-TIME|3\r\n"]
    )
    with korvane.TaskConnection("127.0.0.1", peer.port, timeout=10) as conn:
        assert conn.batch == 3
        assert conn.start("I1") == 2
        # A lone LF does not end a line: only CR LF does.
        assert conn.messages == ["HELO|a\nb"]
        first = conn.cues("I1", {"A": 1}, B="x y", wait=True)
        assert first.values == {"Choice": 2, "Side": "left"}
        assert first.retrieval_time == 12.5
        assert conn.decision().values == {"Choice": 1}
        conn.stop("I1")
    peer.close()
    assert peer.received == b"START|I1\r\nCUES|I1|A|1|B|x y\r\nSTOP|I1\r\n"


def test_an_over_long_line_from_the_peer_is_refused_and_skipped():
    peer = ScriptedPeer([b"BATCH|1\r\n", b"DECISION|" + b"9" * 70000, b"9" * 1000 + b"\r\nDECISION|Choice|1\r\n"])
    with korvane.TaskConnection("127.0.0.1", peer.port, timeout=10) as conn:
        with pytest.raises(korvane.TaskError, match="longer than 65536 bytes"):
            conn.decision()
        # The rest of the over-long line is dropped; the next line reads.
        assert conn.decision().values == {"Choice": 1}
    peer.close()


def test_lines_held_together_go_out_in_order_before_a_wait_and_not_after_an_error():
    # The peer answers the second line only: had the lines waited past
    # decision(), the wait would time out.
    peer = ScriptedPeer([b"BATCH|1\r\n", None, None, b"DECISION|Choice|2\r\n", None])
    with korvane.TaskConnection("127.0.0.1", peer.port, timeout=10) as conn:
        with conn.together():
            conn.alternative("I1", Option=1)
            conn.alternative("I1", Option=2)
            assert peer.received == b""  # held until the block ends or a reply is awaited
            assert conn.decision().values == {"Choice": 2}
        with pytest.raises(ValueError):
            with conn.together():
                conn.feedback("I1", 3)
                conn.alternative("I1", Option="bad\nline")
        with conn.together():
            conn.feedback("I1", 4)
            with pytest.raises(ValueError):
                with conn.together():  # an inner block that raised takes back its own lines only
                    conn.alternative("I1", Option=5)
                    conn.alternative("I1", Option="bad\nline")
            conn.stop("I1")  # sends what is held, then STOP
    peer.close()
    # The outer block that raised sent nothing, not even its feedback.
    assert peer.received == (b"ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n"
                             b"FEEDBACK|I1|4\r\nSTOP|I1\r\n")
