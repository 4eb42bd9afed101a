#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
"""Drives examples/idle_server with real loopback clients.

    idle_server_test.py <idle_server> clients|limits

clients: 300 connections over the first 200 ms, 60 of each kind, beside one
client that floods lines as fast as the server echoes them:
  idle       greets, then stays silent: closed for idleness
  chatty     greets, then sends a line every quarter of the idle timeout:
             every line echoed, never closed until the server stops
  early      greets, sends a line, then closes (half with a FIN, half with
             an RST): the server counts peer closes and resets
  silent     never greets: closed for missing the setup deadline
  late       greets after the setup deadline by its own clock: closed for
             missing it, or for idleness where the server's ticks show the
             greet read in time (it accepted late)
then stops the server with SIGTERM. Only what load cannot change is
checked, from the server's own record (each bye names the deadline and the
tick of the pass that closed it): every close comes for the right reason and
never before its deadline, and a pass at tick W closes every connection of
its phase whose deadline is at or before W. Lateness is printed, no more.

limits: option values beyond the timer horizon are refused; a line longer
than the buffer is told "bye long"; out of descriptors, the server says so
once, uses no CPU while it waits, and accepts again once a connection
closes.

Every server started here dies with this script, however it ends."""
import contextlib
import ctypes
import random
import re
import resource
import selectors
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

SETUP, IDLE = 150, 400  # ms, the server's --setup and --idle
PER_KIND = 60
RUN_MS = 1500  # when the flood stops; the server is told to once it is echoed
FLOOD_BYTES = 1 << 20  # the most the flood has unechoed
BYE = re.compile(rb"bye (\w+) (\d+) (\d+) (\d+)\n")
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def now_ms():
    return time.monotonic_ns() // 1_000_000


def dies_with_us(nofile=None):
    def in_child():
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        if nofile:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
    return in_child


@contextlib.contextmanager
def server(path, *args, nofile=None):
    """The server, killed on every way out of the block."""
    proc = subprocess.Popen([path, *map(str, args)], preexec_fn=dies_with_us(nofile),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        proc.port = int(re.match(r"listening on 127\.0\.0\.1:(\d+)", proc.stdout.readline()).group(1))
        yield proc
    finally:
        proc.kill()
        proc.wait()


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=60)
    check(proc.returncode == 0 and "exit: clean; connections left 0, descriptors leaked 0, timers none" in out,
          f"the server exited clean (status {proc.returncode}): {out.strip().splitlines()[-1:]}")
    return out, err


class Client:
    def __init__(self, kind, index, port, start):
        self.kind, self.index = kind, index
        # Each time is taken before the act, so that it cannot be later than
        # the server's reading of the act.
        self.connected = now_ms()
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setblocking(False)
        self.last_send = None  # when the server's deadline last started
        self.plan = []  # (ms, action), earliest first
        self.received = b""
        self.sent_lines = []
        self.bye = None  # (reason, deadline tick, close tick, when received, accept tick)
        self.closed_by_client = False
        greet = start + (SETUP + SETUP // 2 if kind == "late" else 0)
        if kind != "silent":
            self.plan.append((greet, "greet"))
        if kind == "chatty":
            self.plan += [(t, "line") for t in range(greet + IDLE // 4, start + 60 * RUN_MS, IDLE // 4)]
        if kind == "early":
            self.plan += [(greet + 20, "line"), (greet + IDLE // 2, "close")]

    def send_line(self, text):
        line = f"{text}\n".encode()
        sending = now_ms()
        try:
            self.sock.sendall(line)
        except OSError:
            return  # the server closed it already; its bye tells why
        self.sent_lines.append(line)
        self.last_send = sending

    def take(self, data):
        """Adds what the server sent; notes its bye, with when it came."""
        self.received += data
        m = BYE.search(self.received)
        if m and not self.bye:
            self.bye = (m.group(1).decode(), int(m.group(2)), int(m.group(3)), now_ms(), int(m.group(4)))

    def act(self, action):
        if self.sock.fileno() < 0:
            return  # the server closed it first
        if action == "close":
            if self.index % 2:  # every other one aborts: the server sees a reset
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.sock.close()
            self.closed_by_client = True
        else:
            self.send_line(f"{action} from {self.kind} {self.index}")


def flood(port, done, result):
    """Sends lines as fast as the server takes them, and reads every echo.
    Stopped with lines unread, the server would reset the connection and
    the bye would be lost: the test waits for every echo."""
    sock = socket.create_connection(("127.0.0.1", port))

    def read():
        tail = b""
        with contextlib.suppress(OSError):
            while data := sock.recv(65536):
                result["echoed"] += len(data)
                tail = (tail + data)[-100:]
        m = BYE.search(tail)
        result["bye"] = m and m.group(1).decode()
    result.update(sent=0, echoed=0, bye=None)
    result["reader"] = threading.Thread(target=read, daemon=True)
    result["reader"].start()
    with contextlib.suppress(OSError):
        while not done.is_set():
            if result["sent"] - result["echoed"] > FLOOD_BYTES:
                time.sleep(0.001)
                continue
            sock.sendall(b"flood\n" * 2048)
            result["sent"] += 2048 * 6


def clients(path):
    with server(path, "--setup", SETUP, "--idle", IDLE, "--stats", 500, "--run", 30000) as proc:
        done, flooded = threading.Event(), {}
        flooder = threading.Thread(target=flood, args=(proc.port, done, flooded), daemon=True)
        flooder.start()
        rng = random.Random(7)
        kinds = ["idle", "chatty", "early", "silent", "late"] * PER_KIND
        rng.shuffle(kinds)
        t0 = now_ms()
        pending = list(zip(sorted(t0 + rng.randrange(200) for _ in kinds), kinds))
        clients = []
        sel = selectors.DefaultSelector()
        end = t0 + RUN_MS
        while now_ms() < end + 60_000:
            t = now_ms()
            while pending and pending[0][0] <= t:
                start, kind = pending.pop(0)
                c = Client(kind, sum(o.kind == kind for o in clients), proc.port, start)
                clients.append(c)
                sel.register(c.sock, selectors.EVENT_READ, c)
            for c in clients:
                while c.plan and c.plan[0][0] <= t and not c.closed_by_client:
                    c.act(c.plan.pop(0)[1])
                    if c.closed_by_client:
                        sel.unregister(c.sock)
            # The chatty ones talk on until the flood is echoed, which they
            # have to wait for.
            if t >= end:
                done.set()
                if (not flooder.is_alive() and flooded["echoed"] >= flooded["sent"] and
                        not any(c.plan for c in clients if c.kind != "chatty" and not c.closed_by_client)):
                    break
            for key, _ in sel.select(timeout=0.002):
                c = key.data
                try:
                    data = c.sock.recv(65536)
                except ConnectionResetError:
                    data = b""
                c.take(data)
                if not data:
                    sel.unregister(c.sock)
                    c.sock.close()

        out, err = stop(proc)
        flooded["reader"].join()
        for key in list(sel.get_map().values()):
            c = key.data
            c.sock.setblocking(True)
            with contextlib.suppress(ConnectionResetError):
                while data := c.sock.recv(65536):
                    c.take(data)
            c.sock.close()

    # A late greet is late by the client's clock. A server that accepted
    # the client late may read it before the setup deadline, or before a
    # pass closes for it; its bye then says the greet was read, no sooner
    # than it was sent, and the pass check below holds it to that deadline.
    expected = {"idle": "idle", "chatty": "shutdown", "early": None, "silent": "setup", "late": "setup"}
    read_in_time = [c for c in clients if c.kind == "late" and c.bye and c.bye[0] == "idle"
                    and c.last_send is not None and c.bye[1] - IDLE >= c.last_send]
    wrong = [f"{c.kind} {c.index}: {c.bye and c.bye[0]}" for c in clients
             if (c.bye and c.bye[0]) != expected[c.kind] and c not in read_in_time]
    check(not wrong and flooded.get("bye") == "shutdown",
          f"every one of {len(clients)} connections closed for its reason, the flooding one at shutdown "
          f"({flooded.get('bye')}) {wrong[:5]}")

    # Never early: by the server's ticks, from the deadline to the close;
    # by the client's clock, from the moment its deadline started (its
    # connect, or its last line) to the bye, less the tick that the two
    # clocks' rounding may take.
    early, lateness = [], []
    for c in clients:
        if c.bye and c.bye[0] in ("idle", "setup"):
            reason, deadline, closed, received, _ = c.bye
            began = c.connected if reason == "setup" else c.last_send
            timeout = SETUP if reason == "setup" else IDLE
            if received - began < timeout - 1 or closed < deadline:
                early.append(f"{c.kind} {c.index}: after {received - began} ms, tick {closed} for {deadline}")
            lateness.append(closed - deadline)
    lateness.sort()
    print(f"     lateness of {len(lateness)} timeouts in ticks, for information: "
          f"p50 {lateness[len(lateness) // 2]}, p99 {lateness[int(len(lateness) * 0.99)]}, max {lateness[-1]}")
    check(not early, f"no connection closed before its deadline {early[:5]}")

    # The same pass: a close at tick W by a phase's timeout leaves no
    # connection of that phase open whose deadline is at or before W. A
    # connection leaves its phase when it closes, or the setup phase when
    # its greet is read.
    spans = {"setup": [], "idle": []}  # (client, deadline, tick it left the phase)
    for c in clients:
        if c.bye and c.kind != "early":
            reason, deadline, closed, _, accepted = c.bye
            spans["setup" if reason == "setup" else "idle"].append((c, deadline, closed))
            if c in read_in_time:
                spans["setup"].append((c, accepted + SETUP, deadline - IDLE))
    missed = []
    for phase, members in spans.items():
        for w in {c.bye[2] for c in clients if c.bye and c.bye[0] == phase}:
            missed += [f"{c.kind} {c.index}: due {due}, left {left}, pass {w}"
                       for c, due, left in members if due <= w < left]
    check(not missed, f"each pass closed every connection of its phase that was due {missed[:5]}")

    chatty = [c for c in clients if c.kind == "chatty"]
    echoed = all(c.received.startswith(b"".join(c.sent_lines)) for c in chatty)
    check(echoed and all(len(c.sent_lines) >= RUN_MS // (IDLE // 4) - 2 for c in chatty),
          "beside the flood, the chatty connections had every line echoed")

    counts = re.findall(r"closed: setup (\d+) idle (\d+) shutdown (\d+) long (\d+) peer (\d+) reset (\d+) "
                        r"error (\d+)", out)[-1]
    told = [c.bye[0] for c in clients if c.bye]
    want = (told.count("setup"), told.count("idle"), told.count("shutdown") + 1, 0,
            PER_KIND // 2, PER_KIND // 2, 0)
    check(tuple(map(int, counts)) == want, f"the server counted {counts}, expected {want}")
    check(not err.strip(), f"nothing on the server's stderr {err.strip()[:2000]}")


def cpu_ticks(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def limits(path):
    for option in ("--setup", "--idle"):
        run = subprocess.run([path, option, "2147483647"], capture_output=True, text=True, timeout=60,
                             preexec_fn=dies_with_us())
        check(run.returncode == 2 and f"{option} needs a number from 0 to 1073741823" in run.stderr,
              f"{option} 2147483647 refused: {run.stderr.strip()}")

    with server(path, "--setup", 30000, "--idle", 30000, nofile=16) as proc:
        with socket.create_connection(("127.0.0.1", proc.port)) as sock:
            sock.sendall(b"x" * 600)
            got = b""
            with contextlib.suppress(ConnectionResetError):  # the unread rest resets it
                while data := sock.recv(4096):
                    got += data
        check(got.startswith(b"bye long "), f"a 600-byte line is told why it is closed: {got[:60]}")

        # Beyond the descriptor limit the rest wait in the backlog.
        socks = [socket.create_connection(("127.0.0.1", proc.port)) for _ in range(24)]
        for i, s in enumerate(socks):
            s.sendall(f"hello {i}\n".encode())
        report = proc.stderr.readline()
        check("not accepting until a connection closes" in report, f"out of descriptors, it says so: {report.strip()}")
        before = cpu_ticks(proc.pid)
        time.sleep(1)
        spent = cpu_ticks(proc.pid) - before
        check(spent <= 5, f"waiting for a descriptor, it used {spent} of 100 CPU ticks in a second")

        served = [s for s in socks if echoed(s)]
        waiting = [s for s in socks if s not in served]
        check(served and waiting, f"{len(served)} served and {len(waiting)} waiting at the limit")
        served[0].close()
        waiting[0].settimeout(60)
        check(waiting[0].recv(100).startswith(b"hello "), "one closed, the next waiting connection is served")
        for s in socks:
            s.close()
        _, err = stop(proc)
        check("not accepting" not in err, f"the limit was reported once, not at each close: {err.strip()}")


def echoed(sock):
    sock.settimeout(0)
    try:
        return bool(sock.recv(100, socket.MSG_PEEK))
    except BlockingIOError:
        return False


if __name__ == "__main__":
    {"clients": clients, "limits": limits}[sys.argv[2]](sys.argv[1])
    print(f"{len(failures)} failed" if failures else "all passed")
    sys.exit(1 if failures else 0)
