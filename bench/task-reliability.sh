#!/usr/bin/env bash
# Reliability checks of the task connection, run against `korvane serve`:
#  1. SIGKILL in the middle of a run leaves an experiment database that, once
#     opened by Korvane (which adds what the run journal holds), passes
#     PRAGMA integrity_check and holds the trace (EXEC row) of every trial
#     whose DECISION the task received;
#  2. 1,000 connections opened and dropped in a row leave the server
#     listening and answering;
#  3. a task that sends 4,000 lines of 60,000 "Z" and never reads a reply
#     leaves `korvane serve` below 64 MB of resident memory;
#  4. 6 MB of junk "Q" lines leave a log below 10 MB;
#  5. one send of 200,000 lines: SIGINT still stops the server within 5 s;
#  6. 25 bare connections (connect, close) make no experiment file.
#   bench/task-reliability.sh [BUILD_DIR]      (default build)
# Prints one line per check and exits non-zero when one fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
korvane=$build/bin/korvane
work=$(mktemp -d)
export KORVANE_DATA_DIR=$work/data
trap 'kill -9 ${server:-0} 2>/dev/null || true; rm -rf "$work"' EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_listening() {
  for _ in $(seq 1 100); do
    python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),1).close()" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

"$korvane" example binary-choice "$work/kill.mdb" >/dev/null

# --- 1. SIGKILL mid-run ----------------------------------------------------------
port=$(free_port)
"$korvane" serve "$work/kill.mdb" --port "$port" --clock simulated --quiet >"$work/serve1.log" 2>&1 &
server=$!
# Probing the port would start an experiment of its own; wait for the log line.
for _ in $(seq 1 100); do grep -q "^Serving" "$work/serve1.log" && break; sleep 0.1; done
python3 - "$port" "$work/decisions" <<'PY' &
import random, socket, sys
port, out = int(sys.argv[1]), sys.argv[2]
s = socket.create_connection(("127.0.0.1", port)); buf = b""; n = 0; rng = random.Random(1)
def line():
    global buf
    while b"\r\n" not in buf:
        d = s.recv(65536)
        if not d: raise SystemExit(0)
        buf += d
    l, buf = buf.split(b"\r\n", 1); return l.decode()
def send(*ls): s.sendall(b"".join(x.encode() + b"\r\n" for x in ls))
try:
    line()  # BATCH
    for subject in range(1000):
        send("START|I1" if subject == 0 else "RESET|I1")
        while not line().startswith("CUESIZE"): pass
        for t in range(100):
            send("ALTERNATIVE|I1|Option|1", "ALTERNATIVE|I1|Option|2")
            d = line().split("|")
            n += 1
            with open(out, "w") as f: f.write(str(n))
            send("FEEDBACK|I1|%d" % (3 if d[2] == "1" else (4 if rng.random() < 0.8 else 0)))
except (ConnectionError, OSError, SystemExit):
    pass
PY
client=$!
for _ in $(seq 1 600); do
  n=$(cat "$work/decisions" 2>/dev/null || true)
  [ "${n:-0}" -ge 500 ] 2>/dev/null && break
  sleep 0.1
done
kill -9 "$server"
wait "$client" 2>/dev/null || true
received=$(cat "$work/decisions" 2>/dev/null || echo 0)
experiment=$(ls "$work"/kill-*.mdb | head -1)
# The run commits to SQLite in batches; what it had made durable since is in
# the run journal beside the file, which the next opening puts into it.
journal_bytes=$(stat -c %s "$experiment-run" 2>/dev/null || echo 0)
"$korvane" info "$experiment" >/dev/null
echo "run journal left by the killed server: $journal_bytes bytes; after opening: $( [ -e "$experiment-run" ] && echo present || echo gone)"
kill_ok=0
python3 - "$experiment" "$received" <<'PY' || kill_ok=1
import sqlite3, sys
path, received = sys.argv[1], int(sys.argv[2])
db = sqlite3.connect(path)
ok = db.execute("PRAGMA integrity_check").fetchone()[0]
execs = db.execute("SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'EXEC'").fetchone()[0]
rows = db.execute("SELECT COUNT(*) FROM MetaInstance").fetchone()[0]
print(f"SIGKILL after {received} decisions received: integrity_check={ok}, EXEC rows={execs}, trace rows={rows}")
sys.exit(0 if ok == "ok" and execs >= received else 1)
PY

# --- 2. 1,000 connections opened and dropped ---------------------------------------
"$korvane" example binary-choice "$work/conn.mdb" >/dev/null
port=$(free_port)
"$korvane" serve "$work/conn.mdb" --port "$port" --clock simulated --quiet >"$work/serve2.log" 2>&1 &
server=$!
for _ in $(seq 1 100); do grep -q "^Serving" "$work/serve2.log" && break; sleep 0.1; done
conn_ok=0
python3 - "$port" <<'PY' || conn_ok=1
import socket, sys, time
port = int(sys.argv[1])
start = time.monotonic()
for i in range(1000):
    s = socket.create_connection(("127.0.0.1", port))
    if i % 2:            # half read their BATCH, half leave at once
        s.recv(64)
    if i % 3 == 0:       # some leave in the middle of a message
        s.sendall(b"START|I")
    s.close()
s = socket.create_connection(("127.0.0.1", port), timeout=30); buf = b""
def line():
    global buf
    while b"\r\n" not in buf: buf += s.recv(65536)
    l, buf = buf.split(b"\r\n", 1); return l.decode()
assert line().startswith("BATCH|")
s.sendall(b"START|I1\r\n")
while not line().startswith("CUESIZE"): pass
s.sendall(b"ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n")
d = line()
print(f"1000 connections opened and dropped in {time.monotonic() - start:.1f} s; the next one got: {d}")
sys.exit(0 if d.startswith("DECISION|") else 1)
PY
kill -TERM "$server"; wait "$server" || true
tail -1 "$work/serve2.log"
copies=$( (ls "$work"/conn-*.mdb 2>/dev/null || true) | wc -l)
echo "experiment copies made: $copies (only the task that sent START gets one)"

# --- 3. replies never read -----------------------------------------------------------
serve_fresh() {  # name: serves $work/name.mdb on a free port; sets server and port
  "$korvane" example binary-choice "$work/$1.mdb" >/dev/null
  port=$(free_port)
  "$korvane" serve "$work/$1.mdb" --port "$port" --clock simulated --quiet >"$work/$1.log" 2>&1 &
  server=$!
  for _ in $(seq 1 100); do grep -q "^Serving" "$work/$1.log" && break; sleep 0.1; done
}
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
serve_fresh unread
unread_ok=0
python3 - "$port" "$server" <<'PY' || unread_ok=1
import socket, sys, threading, time
port, pid = int(sys.argv[1]), int(sys.argv[2])
def rss():
    for l in open(f"/proc/{pid}/status"):
        if l.startswith("VmRSS:"): return int(l.split()[1])
before = rss()
s = socket.create_connection(("127.0.0.1", port))
line = b"Z" * 60000 + b"\r\n"
sent = [0]
def send():
    try:
        for _ in range(4000):
            s.sendall(line); sent[0] += 1
    except OSError:
        pass
t = threading.Thread(target=send, daemon=True); t.start()
peak = before; start = time.monotonic()
while time.monotonic() - start < 8 and t.is_alive():
    peak = max(peak, rss()); time.sleep(0.05)
peak = max(peak, rss())
print(f"4000 lines of 60000 Z, replies never read: RSS {before // 1024} MB before, peak {peak // 1024} MB, {sent[0]} lines sent in {time.monotonic() - start:.1f} s")
s.close()
sys.exit(0 if peak < 64 * 1024 else 1)
PY
kill -TERM "$server"; wait "$server" || true

# --- 4. 6 MB of junk lines, and the log ------------------------------------------------
export KORVANE_DATA_DIR=$work/data-junk
serve_fresh junk
junk_ok=0
python3 - "$port" <<'PY' || junk_ok=1
import socket, sys, threading
port = int(sys.argv[1])
s = socket.create_connection(("127.0.0.1", port))
data = b"Q\r\n" * (2 * 1024 * 1024)   # 6 MB, 2 million lines
got = [0]
def read():
    while True:
        d = s.recv(1 << 20)
        if not d: return
        got[0] += d.count(b"\n")
        if got[0] >= 2 * 1024 * 1024 + 1: return
t = threading.Thread(target=read, daemon=True); t.start()
s.sendall(data); t.join(600)
print(f"6 MB of junk lines sent; {got[0]} replies read")
sys.exit(0 if got[0] >= 2 * 1024 * 1024 + 1 else 1)
PY
kill -TERM "$server"; wait "$server" || true
log_bytes=$(du -cb "$KORVANE_DATA_DIR"/logs/* 2>/dev/null | tail -1 | cut -f1)
echo "log after 6 MB of junk lines: ${log_bytes:-0} bytes"
[ "${log_bytes:-0}" -lt $((10 * 1024 * 1024)) ] || junk_ok=1
export KORVANE_DATA_DIR=$work/data

# --- 5. one big send, then SIGINT ------------------------------------------------------
serve_fresh big
python3 - "$port" <<'PY' &
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
try:
    s.sendall(b"START|I1\r\n" + b"ALTERNATIVE|I1|Option|1\r\n" * 200000)
    while s.recv(1 << 20): pass
except OSError:
    pass
PY
client=$!
sleep 2
start=$(date +%s.%N)
kill -INT "$server"
sigint_ok=0
for _ in $(seq 1 50); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$server" 2>/dev/null; then sigint_ok=1; kill -9 "$server"; fi
wait "$server" 2>/dev/null || true
kill "$client" 2>/dev/null || true; wait "$client" 2>/dev/null || true
echo "SIGINT during a send of 200,000 lines: stopped after $(python3 -c "print(f'{$(date +%s.%N) - $start:.2f}')") s"

# --- 6. bare connections -------------------------------------------------------------
serve_fresh bare
python3 - "$port" <<'PY'
import socket, sys
for _ in range(25):
    socket.create_connection(("127.0.0.1", int(sys.argv[1]))).close()
PY
sleep 0.5
kill -TERM "$server"; wait "$server" || true
bare=$( (ls "$work"/bare-*.mdb 2>/dev/null || true) | wc -l)
echo "experiment files after 25 bare connections: $bare"

[ "$kill_ok" -eq 0 ] && [ "$conn_ok" -eq 0 ] && [ "$unread_ok" -eq 0 ] && [ "$junk_ok" -eq 0 ] &&
  [ "$sigint_ok" -eq 0 ] && [ "$bare" -eq 0 ]
