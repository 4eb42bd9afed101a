#!/usr/bin/env python3
"""Drives examples/idle_server with real loopback clients.

    idle_server_test.py <idle_server>

It opens 300 connections over the first 200 ms, 60 of each kind:
  idle       greets, then stays silent: closed for idleness
  chatty     greets, then sends a line every third of the idle timeout:
             every line echoed, never closed until the server stops
  early      greets, sends a line, then closes (half with a FIN, half with
             an RST): the server counts peer closes and resets
  silent     never greets: closed for missing the setup deadline
  late       greets after the setup deadline: closed for missing it
then stops the server with SIGTERM. Every close must come for the right
reason, never before the deadline, as the client's clock and the server's
ticks both tell, and at most LATE_TICKS after it; the server must exit
reporting no leaked connection, descriptor or timer. Both clocks are
milliseconds of CLOCK_MONOTONIC, so client milliseconds and server ticks
differ by a constant."""
import random
import re
import selectors
import signal
import socket
import struct
import subprocess
import sys
import time

SETUP, IDLE = 150, 300  # ms, the server's --setup and --idle
PER_KIND = 60
LATE_TICKS = 10  # a timer may fire this many ticks after its deadline
RUN_MS = 1500  # when the chatty clients stop and the server is told to


def now_ms():
    return time.monotonic_ns() // 1_000_000


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
        self.bye = None  # (reason, deadline tick, close tick, when received)
        self.closed_by_client = False
        greet = start + (SETUP + SETUP // 2 if kind == "late" else 0)
        if kind != "silent":
            self.plan.append((greet, "greet"))
        if kind == "chatty":
            self.plan += [(t, "line") for t in range(greet + IDLE // 3, start + RUN_MS, IDLE // 3)]
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
        m = re.search(rb"bye (\w+) (\d+) (\d+)\n", self.received)
        if m and not self.bye:
            self.bye = (m.group(1).decode(), int(m.group(2)), int(m.group(3)), now_ms())

    def act(self, action):
        if action == "close":
            if self.index % 2:  # every other one aborts: the server sees a reset
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.sock.close()
            self.closed_by_client = True
        else:
            self.send_line(f"{action} from {self.kind} {self.index}")


def main(server):
    proc = subprocess.Popen([server, "--setup", str(SETUP), "--idle", str(IDLE),
                             "--stats", "500", "--run", "30000"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    port = int(re.match(r"listening on 127\.0\.0\.1:(\d+)", proc.stdout.readline()).group(1))
    failures = []

    def check(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    rng = random.Random(7)
    kinds = ["idle", "chatty", "early", "silent", "late"] * PER_KIND
    rng.shuffle(kinds)
    t0 = now_ms()
    starts = sorted(t0 + rng.randrange(200) for _ in kinds)
    pending = list(zip(starts, kinds))
    clients = []
    sel = selectors.DefaultSelector()
    end = t0 + RUN_MS
    while now_ms() < end + IDLE:
        t = now_ms()
        while pending and pending[0][0] <= t:
            start, kind = pending.pop(0)
            c = Client(kind, sum(o.kind == kind for o in clients), port, start)
            clients.append(c)
            sel.register(c.sock, selectors.EVENT_READ, c)
        for c in clients:
            while c.plan and c.plan[0][0] <= t and not c.closed_by_client:
                c.act(c.plan.pop(0)[1])
                if c.closed_by_client:
                    sel.unregister(c.sock)
        if t >= end and not any(c.plan for c in clients if not c.closed_by_client):
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

    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=30)
    for key in list(sel.get_map().values()):
        c = key.data
        c.sock.setblocking(True)
        while data := c.sock.recv(65536):
            c.take(data)
        c.sock.close()

    expected = {"idle": "idle", "chatty": "shutdown", "early": None, "silent": "setup", "late": "setup"}
    wrong = [f"{c.kind} {c.index}: {c.bye and c.bye[0]}" for c in clients if (c.bye and c.bye[0]) != expected[c.kind]]
    check(not wrong, f"every one of {len(clients)} connections closed for its reason {wrong[:5]}")

    # Never early: by the client's clock, from the moment its deadline
    # started (its connect, or its last line) to the bye; by the server's
    # ticks, from the deadline to the close.
    early, lateness = [], []
    for c in clients:
        if c.bye and c.bye[0] in ("idle", "setup"):
            reason, deadline, closed, received = c.bye
            began = c.connected if reason == "setup" else c.last_send
            timeout = SETUP if reason == "setup" else IDLE
            if received - began < timeout or closed < deadline:
                early.append(f"{c.kind} {c.index}: after {received - began} ms, tick {closed} for {deadline}")
            lateness.append(closed - deadline)
    lateness.sort()
    p50, p99 = lateness[len(lateness) // 2], lateness[int(len(lateness) * 0.99)]
    print(f"     lateness of {len(lateness)} timeouts in ticks: p50 {p50}, p99 {p99}, max {lateness[-1]}")
    check(not early, f"no connection closed before its deadline {early[:5]}")
    check(lateness[-1] <= LATE_TICKS, f"none closed more than {LATE_TICKS} ticks late")

    chatty = [c for c in clients if c.kind == "chatty"]
    echoed = all(c.received.startswith(b"".join(c.sent_lines)) for c in chatty)
    check(echoed and all(len(c.sent_lines) >= RUN_MS // (IDLE // 3) - 2 for c in chatty),
          "chatty connections survived and had every line echoed")

    stats = re.findall(r"closed: setup (\d+) idle (\d+) shutdown (\d+) peer (\d+) reset (\d+) error (\d+)", out)[-1]
    setup, idle, shutdown, peer, reset, error = map(int, stats)
    check((setup, idle, shutdown, peer, reset, error) == (2 * PER_KIND, PER_KIND, PER_KIND, PER_KIND // 2,
                                                          PER_KIND // 2, 0),
          f"the server counted setup {setup}, idle {idle}, shutdown {shutdown}, peer {peer}, "
          f"reset {reset}, error {error}")
    check(proc.returncode == 0 and "exit: clean; connections left 0, descriptors leaked 0, timers none" in out,
          f"the server exited clean (status {proc.returncode}): {out.strip().splitlines()[-1]}")
    check(not err.strip(), f"nothing on the server's stderr {err.strip()[:2000]}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main(sys.argv[1])
