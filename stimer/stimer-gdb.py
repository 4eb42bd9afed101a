# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
"""gdb commands and pretty-printers for stimer's records.

    stimer list EXPR [--now N] [--limit N]    the timers of a running_timers
    stimer check EXPR [--limit N]             the invariants of stimer.h
    stimer class EXPR [--now N] [--limit N]   the members of a stimer_class
    stimer queue EXPR [--now N] [--limit N]   the entries of a stimer_queue

EXPR is a record or a pointer to one. Everything is read from memory at the
records' x86-64 offsets, so it works without debug info and on a core
dump, where nothing is called. In a live process the ticks from now come
from calling TickGetCount, unless --now gives them. A walk stops with one
line at a cycle, at memory that cannot be read, or after --limit records
(a million by default)."""
import bisect
import re
import struct

import gdb
import gdb.printing

LIMIT = 1_000_000
U32, U64 = 1 << 32, 1 << 64


class Broken(Exception):
    """A record that breaks the layout or the invariants: one line."""


def signed(value, bits):
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


PAGE = 4096


class Memory:
    """The inferior's memory, read a page at a time for one command: a
    list of 100,000 timers takes 800 reads instead of 100,000 when they
    lie in one array, and gdb answers each read in microseconds."""

    def __init__(self):
        self.pages = {}

    def page(self, base):
        if base not in self.pages:
            try:
                self.pages[base] = bytes(gdb.selected_inferior().read_memory(base, PAGE))
            except gdb.MemoryError:
                self.pages[base] = None
        return self.pages[base]

    def read(self, address, size, what):
        base, chunks = address - address % PAGE, []
        while base < address + size:
            page = self.page(base) if 0 <= base < U64 else None
            if page is None:
                raise Broken(f"{what} at {address:#x} cannot be read: a wild pointer")
            chunks.append(page)
            base += PAGE
        start = address % PAGE
        return b"".join(chunks)[start:start + size]


memory = Memory()


def read(address, size, what):
    return memory.read(address, size, what)


def visit(seen, at, count, limit, what, plural):
    """Stops a walk at a record seen before or past its limit."""
    if count == limit:
        raise Broken(f"more than {limit} {plural}: cut short (--limit N to go further)")
    if at in seen:
        raise Broken(f"{what} #{count} at {at:#x} was visited before: the links form a cycle")
    seen.add(at)


def timer_at(address, what="timer"):
    """(next, prev, data, delta, tag) of the stimer at address."""
    nxt, prev, data, delta, _, _, tag = struct.unpack("<QQQiHBB", read(address, 32, what))
    return nxt, prev, data, delta, tag


class ListWalk:
    """The timers of a list, in order, each with its firing time (the
    header's arithmetic: 32-bit offsets from base_time, sign-extended)."""

    def __init__(self, address, limit=LIMIT, strict=False):
        self.address, self.limit, self.strict = address, limit, strict
        self.base, self.first, self.last = struct.unpack("<qQQ", read(address, 24, "running_timers"))
        self.head = address + 8

    def __iter__(self):
        seen, prev, at, offset, k = set(), self.head, self.first, 0, 0
        while at != self.head:
            visit(seen, at, k, self.limit, "timer", "timers")
            nxt, back, data, delta, tag = timer_at(at, f"timer #{k}")
            if self.strict:
                if back != prev:
                    raise Broken(f"timer #{k} at {at:#x}: its prev is {back:#x}, not {prev:#x}, "
                                 "which leads to it")
                if nxt == at:
                    raise Broken(f"timer #{k} at {at:#x} is linked into the list but points to itself")
                if k and delta < 0:
                    raise Broken(f"timer #{k} at {at:#x}: delta {delta} is negative behind the first")
            offset = (offset + delta) % U32
            fires = signed(self.base + signed(offset, 32), 64)
            yield k, at, data, delta, tag, fires
            prev, at, k = at, nxt, k + 1
        if self.strict and self.last != prev:
            raise Broken(f"head.prev is {self.last:#x}, not the last timer {prev:#x}")


def class_members(address, limit):
    """(member, deadline) of a stimer_class, least recently renewed first."""
    fifo = address + 32
    at, seen, out = struct.unpack("<Q", read(fifo, 8, "stimer_class"))[0], set(), []
    while at != fifo:
        visit(seen, at, len(out), limit, "member", "members")
        nxt, _, deadline = struct.unpack("<QQq", read(at, 24, f"member #{len(out)}"))
        out.append((at, deadline))
        at = nxt
    return out


def queue_entries(address, limit):
    """(deadline, order, entry) of a stimer_queue, in the order they expire:
    its wheel's lists, late and the slots, each from its head, sorted."""
    heads = address + 48 + 72  # the wheel, then late and the slots after it
    links = struct.unpack(f"<{2 * 385}Q", read(heads, 16 * 385, "stimer_queue"))
    out, seen = [], set()
    for i in range(385):
        head, at = heads + 16 * i, links[2 * i]
        while at != head:
            visit(seen, at, len(out), limit, "entry", "entries")
            at_next, _, deadline, order = struct.unpack("<QQqQ", read(at, 32, f"entry #{len(out)}"))
            out.append((deadline, order, at))
            at = at_next
    return sorted(out)


def record_tag(expr):
    """The struct tag of the record EXPR names or points to, if gdb knows it."""
    kind = gdb.parse_and_eval(expr).type.strip_typedefs()
    if kind.code == gdb.TYPE_CODE_PTR:
        kind = kind.target().strip_typedefs()
    return kind.tag


def address_of(expr):
    """The address of the record EXPR names, or that EXPR points to."""
    value = gdb.parse_and_eval(expr)
    code = value.type.strip_typedefs().code
    if code == gdb.TYPE_CODE_PTR or code == gdb.TYPE_CODE_INT:
        return int(value)
    if value.address is None:
        raise Broken(f"{expr} is neither a record in memory nor a pointer to one")
    return int(value.address)


def tick_now():
    """TickGetCount() of a live process; None on a core or without one."""
    inferior = gdb.selected_inferior()
    connection = getattr(inferior, "connection", None)
    if not inferior.pid or (connection is not None and connection.type == "core"):
        return None
    try:
        return int(gdb.parse_and_eval("((long long (*)(void))TickGetCount)()"))
    except gdb.error:
        return None


class Symbols:
    """A data pointer as gdb prints it, with the symbol it points into.
    Only pointers into the objfiles' data are looked up: a heap pointer
    has no symbol, and asking gdb costs more than the walk."""

    def __init__(self):
        self.cache = {}
        self.void = gdb.lookup_type("void").pointer()
        self.sections = sorted(
            (int(low, 16), int(high, 16)) for low, high in re.findall(
                r"(0x[0-9a-f]+) - (0x[0-9a-f]+) is \.(?:data|bss|rodata|data\.rel\.ro)\b",
                gdb.execute("info files", to_string=True)))

    def named(self, address):
        k = bisect.bisect_right(self.sections, (address, U64)) - 1
        return k >= 0 and self.sections[k][0] <= address < self.sections[k][1]

    def __call__(self, address):
        if address not in self.cache:
            text = f"{address:#x}"
            if self.named(address):
                try:
                    text = str(gdb.Value(address).cast(self.void))
                except gdb.error:
                    pass
            self.cache[address] = text
        return self.cache[address]


def relative(tick, now):
    return "" if now is None else f" (now{tick - now:+d})"


class StimerCommand(gdb.Command):
    """Look at stimer's timers: stimer list|check|class|queue EXPR [--now N] [--limit N].
See stimer(3) and docs/DEBUGGING.md."""

    def __init__(self):
        super().__init__("stimer", gdb.COMMAND_DATA, gdb.COMPLETE_EXPRESSION)

    def invoke(self, argument, from_tty):
        words = gdb.string_to_argv(argument)
        if not words or words[0] not in ("list", "check", "class", "queue"):
            raise gdb.GdbError("usage: stimer list|check|class|queue EXPR [--now N] [--limit N]")
        sub, now, limit, rest = words[0], None, LIMIT, []
        words = words[1:]
        while words:
            word = words.pop(0)
            if word in ("--now", "--limit") and not words:
                raise gdb.GdbError(f"stimer {sub}: {word} takes a number")
            if word in ("--now", "--limit"):
                try:
                    number = int(gdb.parse_and_eval(words.pop(0)))
                except gdb.error as e:
                    raise gdb.GdbError(f"stimer {sub}: {word} takes a number: {e}") from None
                now, limit = (number, limit) if word == "--now" else (now, max(number, 0))
            else:
                rest.append(word)
        if not rest:
            raise gdb.GdbError(f"stimer {sub}: which record? stimer {sub} EXPR")
        expr = " ".join(rest)
        global memory
        memory = Memory()
        try:
            address = address_of(expr)
            if sub != "check" and now is None:
                now = tick_now()
            getattr(self, "do_" + sub)(expr, address, now, limit)
        except Broken as e:
            raise gdb.GdbError(f"stimer {sub} {expr}: {e}") from None
        except gdb.error as e:
            raise gdb.GdbError(f"stimer {sub} {expr}: {e}") from None

    def do_list(self, expr, address, now, limit):
        walk, symbol, lines = ListWalk(address, limit), Symbols(), []
        try:
            for k, at, data, delta, tag, fires in walk:
                lines.append(f"  #{k:<3} {at:#x}  tag {tag}  data {symbol(data)}  delta {delta}  "
                             f"fires {fires}{relative(fires, now)}")
        finally:
            count = f"{len(lines)} timer{'s' if len(lines) != 1 else ''}"
            clock = "" if now is None else f", now {now}"
            gdb.write(f"running_timers at {address:#x} ({expr}): {count}, base_time {walk.base}{clock}\n")
            gdb.write("".join(line + "\n" for line in lines))

    def do_check(self, expr, address, now, limit):
        if record_tag(expr) == "stimer":
            return self.check_timer(expr, address)
        n = sum(1 for _ in ListWalk(address, limit, strict=True))
        gdb.write(f"running_timers at {address:#x} ({expr}): sound, {n} timer{'s' if n != 1 else ''}\n")

    def check_timer(self, expr, address):
        nxt, prev = timer_at(address)[:2]
        if nxt == address or prev == address:
            if nxt != prev:
                raise Broken(f"half idle: next {nxt:#x}, prev {prev:#x}; an idle timer points to "
                             "itself both ways")
            gdb.write(f"stimer at {address:#x} ({expr}): sound, idle\n")
            return
        after = struct.unpack("<Q", read(nxt + 8, 8, "its next"))[0]
        before = struct.unpack("<Q", read(prev, 8, "its prev"))[0]
        if after != address or before != address:
            side, link, back = ("next", nxt, after) if after != address else ("prev", prev, before)
            raise Broken(f"its {side} {link:#x} leads back to {back:#x}, not to it")
        gdb.write(f"stimer at {address:#x} ({expr}): sound, running\n")

    def do_class(self, expr, address, now, limit):
        nxt, _, data, _, tag = timer_at(address, "the class's timer")
        running_list, timeout = struct.unpack("<Qi", read(address + 48, 12, "stimer_class"))
        members = class_members(address, limit)
        state = "idle" if nxt == address else f"running in {running_list:#x}"
        gdb.write(f"stimer_class at {address:#x} ({expr}): {len(members)} members, timeout {timeout}, "
                  f"timer tag {tag}, {state}\n")
        gdb.write("".join(f"  #{k:<3} {at:#x}  deadline {deadline}{relative(deadline, now)}\n"
                          for k, (at, deadline) in enumerate(members)))

    def do_queue(self, expr, address, now, limit):
        nxt = timer_at(address, "the queue's timer")[0]
        wake = struct.unpack("<q", read(address + 40, 8, "stimer_queue"))[0]
        entries = queue_entries(address, limit)
        state = "idle" if nxt == address else f"armed for {wake}"
        gdb.write(f"stimer_queue at {address:#x} ({expr}): {len(entries)} entries, timer {state}\n")
        gdb.write("".join(f"  #{k:<3} {at:#x}  deadline {deadline}{relative(deadline, now)}\n"
                          for k, (deadline, _, at) in enumerate(entries)))


class Printer:
    """A one-line summary that never raises: a broken record says so."""

    PRINT_LIMIT = 10_000

    def __init__(self, value):
        self.value = value

    def to_string(self):
        global memory
        memory = Memory()
        try:
            return self.summary(int(self.value.address))
        except Exception as e:  # a printer that raises would garble gdb's output
            return f"{self.value.type.strip_typedefs().tag}: broken: {e}"


class ListPrinter(Printer):
    def summary(self, address):
        walk, n, first = ListWalk(address, self.PRINT_LIMIT), 0, None
        try:
            for _, _, _, _, _, fires in walk:
                n, first = n + 1, fires if first is None else first
        except Broken as e:
            if n < self.PRINT_LIMIT:
                raise
            return f"running_timers: over {n} timers, next fires at {first}"
        if not n:
            return "running_timers: empty"
        return f"running_timers: {n} timer{'s' if n != 1 else ''}, next fires at {first}"


class TimerPrinter(Printer):
    def summary(self, address):
        nxt, prev, data, delta, tag = timer_at(address)
        if nxt == address and prev == address:
            state = "idle"
        elif not nxt or not prev:
            state = "not initialised (a zeroed link)"
        else:
            state = f"running, delta {delta}"
        return f"stimer: {state}, tag {tag}, data {data:#x}"


class HostPrinter(Printer):
    """A class or a queue: how many it holds, and its timer's state."""

    def summary(self, address):
        try:
            n = str(len(self.collect(address, self.PRINT_LIMIT)))
        except Broken as e:
            if not str(e).startswith("more than"):
                raise
            n = f"over {self.PRINT_LIMIT}"
        nxt = timer_at(address, f"the {self.kind}'s timer")[0]
        return f"stimer_{self.kind}: {n} {self.items}, timer {'idle' if nxt == address else 'running'}"


class ClassPrinter(HostPrinter):
    kind, items, collect = "class", "members", staticmethod(class_members)


class QueuePrinter(HostPrinter):
    kind, items, collect = "queue", "entries", staticmethod(queue_entries)


def printers():
    collection = gdb.printing.RegexpCollectionPrettyPrinter("stimer")
    for tag, printer in (("running_timers", ListPrinter), ("stimer", TimerPrinter),
                         ("stimer_class", ClassPrinter), ("stimer_queue", QueuePrinter)):
        collection.add_printer(tag, f"^{re.escape(tag)}$", printer)
    return collection


StimerCommand()
gdb.printing.register_pretty_printer(None, printers(), replace=True)
