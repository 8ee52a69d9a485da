#!/usr/bin/env python3
"""Crash test: a storm of registrations over many connections while the daemon
is killed with SIGKILL at random moments and restarted on the same enpos.ini.
After every round the file must parse, hold every entry answered "CorrEct" (or a
later value of that name) and nothing that no device sent."""

import argparse
import collections
import os
import random
import re
import selectors
import socket
import sys
import threading
import time

import harness as h

ENTRY_LINE = re.compile(rb"^[A-Za-z0-9_.-]{1,32}=\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}\n$")


class Client:
    """One device connection that owns some names; reconnects every round."""

    WINDOW = 3  # requests in flight per connection

    def __init__(self, names, source):
        self.names = names
        self.source = source
        self.sock = None
        self.in_flight = collections.deque()
        self.rbuf = b""
        self.wbuf = b""

    def open(self, port, sel):
        self.in_flight.clear()
        self.rbuf = self.wbuf = b""
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.bind((self.source, 0))
        s.setblocking(False)
        try:
            s.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        self.sock = s
        sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, self)

    def close(self, sel):
        if self.sock is not None:
            sel.unregister(self.sock)
            self.sock.close()
            self.sock = None
        self.in_flight.clear()  # fate unknown: sent, maybe stored, never acknowledged

    def fill(self, ledger, rng):
        while len(self.in_flight) < self.WINDOW:
            name = rng.choice(self.names)
            n = ledger.send(name)
            self.wbuf += h.registration(name, h.counter_address(n))
            self.in_flight.append((name, n))

    def on_writable(self, ledger, rng, sel):
        self.fill(ledger, rng)
        try:
            sent = self.sock.send(self.wbuf)
            self.wbuf = self.wbuf[sent:]
        except BlockingIOError:
            pass
        except OSError:
            self.close(sel)

    def on_readable(self, ledger, sel):
        try:
            data = self.sock.recv(4096)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            self.close(sel)
            return
        self.rbuf += data
        while len(self.rbuf) >= 7 and self.in_flight:
            word, self.rbuf = self.rbuf[:7], self.rbuf[7:]
            name, n = self.in_flight.popleft()
            if word == h.STORED:
                ledger.ack(name, n)
            elif word == h.SAVE_ERR:
                ledger.save_errs += 1
            else:
                raise h.Failure("unexpected reply %r" % word)


def make_name(i):
    """Distinct names of 6 to 32 bytes."""
    filler = b"abcdefghijklmnopqrstuvwxyz"
    return b"d%05d" % i + filler[: (i * 7) % (len(filler) + 1)]


class Lookups(threading.Thread):
    """Lookups during the storm: they must never show a value older than one
    acknowledged, and they make the daemon read its book while it writes."""

    def __init__(self, port, ledger, names, seed):
        super().__init__(daemon=True)
        self.port, self.ledger, self.names = port, ledger, names
        self.rng = random.Random(seed)
        self.stop = threading.Event()
        self.error = None
        self.count = 0

    def run(self):
        while not self.stop.is_set():
            name = self.rng.choice(self.names)
            floor = self.ledger.last_ack(name)
            try:
                reply, closed = h.lookup(self.port, name, source="127.0.0.20", timeout=2)
            except OSError:
                continue  # the daemon was killed under it
            if not reply:
                continue
            self.count += 1
            try:
                h.check_lookup(self.ledger, name, reply, closed, floor)
            except h.Failure as e:
                self.error = str(e)
                return


def run_storm(clients, daemon, ledger, rng, storm_seconds):
    lookups = Lookups(daemon.look_port, ledger, [n for c in clients for n in c.names],
                      rng.randrange(1 << 30))
    lookups.start()
    try:
        _storm(clients, daemon, ledger, rng, storm_seconds)
    finally:
        lookups.stop.set()
        lookups.join()
    return lookups.count, lookups.error


def _storm(clients, daemon, ledger, rng, storm_seconds):
    sel = selectors.DefaultSelector()
    for c in clients:
        c.open(daemon.reg_port, sel)
    kill_at = time.monotonic() + storm_seconds
    killed = False
    drain_until = None
    while True:
        now = time.monotonic()
        if not killed and now >= kill_at:
            daemon.proc.kill()  # SIGKILL, while requests are in flight
            killed = True
            drain_until = now + 2.0
        if killed and (not sel.get_map() or now >= drain_until):
            break
        for key, events in sel.select(timeout=0.01):
            c = key.data
            if c.sock is not None and events & selectors.EVENT_READ:
                c.on_readable(ledger, sel)
            if c.sock is not None and events & selectors.EVENT_WRITE and not killed:
                c.on_writable(ledger, rng, sel)
            if c.sock is not None:
                want_write = not killed and (c.wbuf or len(c.in_flight) < Client.WINDOW)
                mask = selectors.EVENT_READ | (selectors.EVENT_WRITE if want_write else 0)
                if key.events != mask:
                    sel.modify(c.sock, mask, c)
    for c in clients:
        c.close(sel)
    sel.close()
    daemon.kill()  # reaps


def check_file(path, header, ledger, round_no, journal=True):
    """After a kill, enpos.ini with its journal applied (what a restart serves);
    after a clean stop, enpos.ini alone."""
    text = h.read_bytes(path)
    where = "round %d: %s" % (round_no, path)
    journal_path = path + ".journal"
    journaled = h.read_bytes(journal_path) if journal and os.path.exists(journal_path) else b""
    h.check(text.startswith(header), "%s: [Connect] part changed or torn:\n%r" % (where, text[:200]))
    h.check(text.endswith(b"\n"), "%s: file does not end with a line break (torn?)" % where)
    seen = set()
    for line in h.split_lines(text[len(header):]):
        h.check(ENTRY_LINE.match(line), "%s: not an entry line: %r" % (where, line))
        name = line.split(b"=", 1)[0]
        h.check(name.lower() not in seen, "%s: name %r twice" % (where, name))
        seen.add(name.lower())
    entries = ledger.check_file(text, where, journaled)
    if not journaled:
        h.check(entries == len(seen), "%s: independent reader disagrees on entry count" % where)
    return entries


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--rounds", type=int, default=50)
    ap.add_argument("--connections", type=int, default=32)
    ap.add_argument("--names", type=int, default=192, help="names at the start")
    ap.add_argument("--new-names", type=int, default=8, help="names added each round")
    ap.add_argument("--max-storm", type=float, default=0.5, help="longest storm before a kill, s")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--bin", default=h.default_bin_dir())
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()

    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    h.raise_fd_limit()
    work = h.temp_dir("crash")
    ini = os.path.join(work, "enpos.ini")
    header = h.write_ini(ini)
    h.log("crash: %d rounds, %d connections, %d names, seed %d, in %s"
          % (args.rounds, args.connections, args.names, seed, work))

    # Each connection owns its names, so the order of its sends is the order of
    # the entries' values. New names join every round, so the file also grows.
    clients = [Client([], "127.0.0.%d" % (2 + i % 8)) for i in range(args.connections)]
    h.check(args.names >= args.connections, "need at least one name per connection")
    for i in range(args.names):
        clients[i % len(clients)].names.append(make_name(i))
    next_name = args.names
    ledger = h.Ledger()
    started = time.monotonic()
    stale_max = 0
    journaled_max = 0  # entries a kill left in the journal only, at most
    entries = 0
    lookups = 0
    try:
        for r in range(1, args.rounds + 1):
            for _ in range(args.new_names):
                clients[next_name % len(clients)].names.append(make_name(next_name))
                next_name += 1
            d = h.Daemon(args.bin, ini, log_path=os.path.join(work, "daemon.log"))
            d.start()
            # Most kills land mid-storm; a few right at start-up.
            storm = 0.0 if rng.random() < 0.05 else rng.uniform(0.02, args.max_storm)
            count, lookup_error = run_storm(clients, d, ledger, rng, storm)
            lookups += count
            entries = check_file(ini, header, ledger, r)  # the graver finding first
            h.check(lookup_error is None, "round %d, during the storm: %s" % (r, lookup_error))
            journaled_max = max(journaled_max, len(h.journal_entries(
                h.read_bytes(ini + ".journal") if os.path.exists(ini + ".journal") else b"")))
            stale = h.stale_temp_files(work)
            stale_max = max(stale_max, len(stale))
            if r % max(1, args.rounds // 10) == 0 or r == args.rounds:
                h.log("  round %4d: %7d sent, %7d acknowledged, %3d entries, %d stale temp files"
                      % (r, ledger.counter, ledger.total_acked, entries, len(stale)))
        h.check(ledger.save_errs == 0, "%d registrations answered SaveErr with no cause"
                % ledger.save_errs)
        h.check(ledger.total_acked > 0, "no registration was ever acknowledged")

        # The daemon reads back what it wrote, and serves it.
        d = h.Daemon(args.bin, ini, log_path=os.path.join(work, "daemon.log")).start()
        try:
            for name in rng.sample(sorted(ledger.acked), min(20, len(ledger.acked))):
                reply, closed = h.lookup(d.look_port, name)
                n = h.address_counter(reply) if closed else 0
                h.check(closed and ledger.allowed(name, n),
                        "lookup %s after the last restart: %r" % (name.decode(), reply))
            stale = h.stale_temp_files(work)
        finally:
            rc = d.stop()
        h.check(rc == 0, "daemon exit status %s after SIGTERM" % rc)
        # A clean stop writes everything journaled into the file and removes the journal.
        check_file(ini, header, ledger, args.rounds + 1, journal=False)
        h.check(not os.path.exists(ini + ".journal"), "the journal outlived a clean stop")
        # Each kill during a write leaves its temporary file behind; a restart
        # must not let them pile up in the daemon's folder.
        h.check(len(stale) <= 1, "%d stale temporary files left in %s after %d crashes and a "
                "restart (at most %d at once): %s ..." % (len(stale), work, args.rounds,
                                                           stale_max, " ".join(stale[:3])))
    except h.Failure as e:
        h.log("crash: FAIL (seed %d, work folder kept: %s): %s" % (seed, work, e))
        return 1
    secs = time.monotonic() - started
    h.log("crash: ok: %d rounds in %.1f s, %d registrations sent, %d acknowledged, %d lookups, "
          "%d entries in the file, every acknowledged entry present (up to %d of them in the "
          "journal after a kill)"
          % (args.rounds, secs, ledger.counter, ledger.total_acked, lookups, entries, journaled_max))
    if not args.keep:
        import shutil
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
