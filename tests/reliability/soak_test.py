#!/usr/bin/env python3
"""Soak: mixed traffic for a long time (registrations, lookups, connections
reset with SO_LINGER 0, idle and half-sent connections, refused requests). The
daemon's resident size and descriptors at the end must equal, within a small
margin, those after warm-up, and every acknowledged entry must be in the file.
Prints a summary with figures."""

import argparse
import os
import random
import shutil
import socket
import struct
import sys
import threading
import time

import harness as h


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}

    def add(self, key, n=1):
        with self.lock:
            self.counts[key] = self.counts.get(key, 0) + n

    def get(self, key):
        with self.lock:
            return self.counts.get(key, 0)


class Actor(threading.Thread):
    """A client loop that can be paused: while paused it holds no connection
    except those it keeps for good (a registrar's)."""

    def __init__(self, soak, name):
        super().__init__(name=name, daemon=True)
        self.soak = soak
        self.rng = random.Random(hash(name) ^ soak.seed)
        self.parked = threading.Event()
        self.error = None

    def run(self):
        try:
            while not self.soak.stop.is_set():
                if self.soak.pause.is_set():
                    self.release()
                    self.parked.set()
                    time.sleep(0.02)
                    continue
                self.parked.clear()
                self.step()
        except h.Failure as e:
            self.error = str(e)
            self.soak.stop.set()
        except Exception as e:  # a harness bug must not pass silently
            self.error = "%s: %r" % (self.name, e)
            self.soak.stop.set()
        finally:
            self.release(final=True)
            self.parked.set()

    def release(self, final=False):
        pass


class Registrar(Actor):
    """One device connection owning some names; sends one request at a time."""

    def __init__(self, soak, i, names):
        super().__init__(soak, "registrar%d" % i)
        self.names = names
        self.source = "127.0.0.%d" % (2 + i)
        self.sock = None
        self.sent_on_conn = 0

    def step(self):
        s = self.soak
        if self.sock is None:
            self.sock = h.connect(s.d.reg_port, self.source)
            self.sent_on_conn = 0
        name = self.rng.choice(self.names)
        n = s.ledger.send(name)
        try:
            self.sock.sendall(h.registration(name, h.counter_address(n)))
            reply = h.recv_exact(self.sock, 7, timeout=15)
        except OSError:
            reply = b""
        if reply == h.STORED:
            s.ledger.ack(name, n)
            s.stats.add("registrations acknowledged")
        elif reply == h.SAVE_ERR:
            raise h.Failure("registration %s answered SaveErr" % name.decode())
        else:
            s.stats.add("registration connections lost")
            self.release()
            return
        self.sent_on_conn += 1
        if self.sent_on_conn >= self.rng.randint(50, 400):
            self.release()  # devices reconnect now and then
            s.stats.add("registration reconnects")
        time.sleep(self.rng.uniform(0, 0.01))

    def release(self, final=False):
        # Parked registrars keep their connection: it is part of the baseline.
        if (final or self.sock is not None and not self.soak.pause.is_set()) and self.sock:
            self.sock.close()
            self.sock = None


class Looker(Actor):
    """Lookups of names from the pool and of unknown names, checked against the
    ledger; "error" answers leave the connection open for the next lookup."""

    def __init__(self, soak, i):
        super().__init__(soak, "looker%d" % i)
        self.source = "127.0.0.%d" % (20 + i)
        self.sock = None

    def step(self):
        s = self.soak
        if self.rng.random() < 0.1:
            name = b"unknown%d" % self.rng.randrange(1000)
        else:
            name = self.rng.choice(s.names)
        floor = s.ledger.last_ack(name)
        if self.sock is None:
            self.sock = h.connect(s.d.look_port, self.source)
        reply, closed = self.ask(name)
        s.stats.add("lookups")
        if closed:
            self.sock.close()
            self.sock = None
        else:
            s.stats.add("lookups answered error")
        h.check_lookup(s.ledger, name, reply, closed, floor)
        time.sleep(self.rng.uniform(0, 0.005))

    def ask(self, name):
        self.sock.sendall(h.lookup_request(name))
        data, closed = h.read_lookup_reply(self.sock, 10)
        if closed is None:
            raise h.Failure("lookup %s: no answer in 10 s (got %r)" % (name.decode(), data))
        return data, closed

    def release(self, final=False):
        if self.sock is not None:
            self.sock.close()
            self.sock = None


class Resetter(Actor):
    """Connections closed with a reset (SO_LINGER 0), after part of a request,
    a whole request, or nothing."""

    def __init__(self, soak):
        super().__init__(soak, "resetter")

    def step(self):
        s = self.soak
        port = s.d.reg_port if self.rng.random() < 0.6 else s.d.look_port
        sock = h.connect(port, "127.0.0.30")
        kind = self.rng.randrange(3)
        if kind == 1:
            req = h.registration(b"rst%d" % self.rng.randrange(100), b"\x0a\x00\x00\x01")
            sock.sendall(req[: self.rng.randrange(1, len(req))])
        elif kind == 2:
            sock.sendall(h.lookup_request(self.rng.choice(s.names)))
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()
        s.stats.add("resets")
        time.sleep(self.rng.uniform(0.01, 0.05))


class Idler(Actor):
    """Holds up to `limit` connections open for a while, some with half a
    registration sent (answered SaveErr after 1 s), then closes them."""

    def __init__(self, soak, limit):
        super().__init__(soak, "idler")
        self.limit = limit
        self.held = []  # (socket, close_at, half_sent)

    def step(self):
        s = self.soak
        now = time.monotonic()
        for entry in [e for e in self.held if e[1] <= now]:
            sock, _, half = entry
            if half:
                try:
                    reply = h.recv_exact(sock, 7, timeout=5)
                except OSError:
                    reply = b""
                h.check(reply == h.SAVE_ERR, "half-sent registration answered %r" % reply)
                s.stats.add("half-sent registrations refused")
            sock.close()
            self.held.remove(entry)
        if len(self.held) < self.limit:
            port = s.d.reg_port if self.rng.random() < 0.5 else s.d.look_port
            sock = h.connect(port, "127.0.0.40")
            half = port == s.d.reg_port and self.rng.random() < 0.3
            if half:
                sock.sendall(h.registration(b"half", b"\x0a\x00\x00\x01")[:4])
            self.held.append((sock, now + self.rng.uniform(1.5, 15), half))
            s.stats.add("idle connections")
        time.sleep(0.05)

    def release(self, final=False):
        for sock, _, _ in self.held:
            sock.close()
        self.held.clear()


class Refused(Actor):
    """Requests the daemon must refuse: bad names and bad length bytes."""

    BAD = [h.registration(b"=x", b"\x01\x02\x03\x04"), h.registration(b"[sec", b"\x01\x02\x03\x04"),
           h.registration(b";c", b"\x01\x02\x03\x04"), h.registration(b" a", b"\x01\x02\x03\x04"),
           h.registration(b"a\nb", b"\x01\x02\x03\x04"), b"\x03abc"]

    def __init__(self, soak):
        super().__init__(soak, "refused")

    def step(self):
        s = self.soak
        with h.connect(s.d.reg_port, "127.0.0.50") as sock:
            sock.sendall(self.rng.choice(self.BAD))
            reply = h.recv_exact(sock, 7, timeout=10)
        h.check(reply == h.SAVE_ERR, "a bad request answered %r" % reply)
        s.stats.add("bad requests refused")
        time.sleep(self.rng.uniform(0.05, 0.2))


class Soak:
    def __init__(self, args):
        self.args = args
        self.seed = args.seed if args.seed is not None else random.randrange(1 << 30)
        self.stop = threading.Event()
        self.pause = threading.Event()
        self.ledger = h.Ledger()
        self.stats = Stats()
        self.names = [b"dev%04d" % i for i in range(args.names)]
        self.d = None

    def quiet_sample(self, actors, base_fds=None):
        """Pauses the transient traffic, waits for the descriptors to settle, and
        samples (VmRSS KiB, descriptors)."""
        self.pause.set()
        for a in actors:
            a.parked.wait(30)
        last, stable_since = None, time.monotonic()
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            fds = self.d.fd_count()
            if fds != last:
                last, stable_since = fds, time.monotonic()
            elif time.monotonic() - stable_since >= 1.0 and (base_fds is None or fds <= base_fds):
                break
            time.sleep(0.05)
        sample = (self.d.rss_kib(), self.d.fd_count())
        self.pause.clear()
        return sample

    def run(self):
        a = self.args
        h.raise_fd_limit()
        work = h.temp_dir("soak")
        ini = os.path.join(work, "enpos.ini")
        h.write_ini(ini)
        self.d = h.Daemon(a.bin, ini).start()
        per = len(self.names) // a.registrars
        actors = [Registrar(self, i, self.names[i * per:(i + 1) * per]) for i in range(a.registrars)]
        actors += [Looker(self, i) for i in range(2)]
        actors += [Resetter(self), Idler(self, a.idle), Refused(self)]
        t0 = time.monotonic()
        cpu0 = self.d.cpu_seconds()
        for x in actors:
            x.start()
        warm = None
        peak_rss = peak_fds = 0
        next_report = t0 + 60
        try:
            while time.monotonic() - t0 < a.seconds and not self.stop.is_set():
                time.sleep(0.5)
                h.check(self.d.alive(), "daemon died")
                peak_rss = max(peak_rss, self.d.rss_kib())
                peak_fds = max(peak_fds, self.d.fd_count())
                if warm is None and time.monotonic() - t0 >= a.warmup:
                    warm = self.quiet_sample(actors)
                    h.log("  after warm-up (%.0f s): VmRSS %d KiB, %d descriptors"
                          % (time.monotonic() - t0, warm[0], warm[1]))
                if time.monotonic() >= next_report:
                    next_report += 60
                    h.log("  %4.0f s: %d acknowledged, %d lookups, %d resets; VmRSS %d KiB, "
                          "%d descriptors" % (time.monotonic() - t0,
                                              self.stats.get("registrations acknowledged"),
                                              self.stats.get("lookups"), self.stats.get("resets"),
                                              self.d.rss_kib(), self.d.fd_count()))
            errors = [x.error for x in actors if x.error]
            h.check(not errors, "; ".join(errors))
            h.check(warm is not None, "ran %.0f s, shorter than the warm-up" % (time.monotonic() - t0))
            end = self.quiet_sample(actors, base_fds=warm[1])
            elapsed = time.monotonic() - t0
            cpu = self.d.cpu_seconds() - cpu0
        finally:
            self.stop.set()
            for x in actors:
                x.join(30)
        rc = self.d.stop()
        text = h.read_bytes(ini)
        entries = self.ledger.check_file(text, ini)
        errors = [x.error for x in actors if x.error]
        h.check(not errors, "; ".join(errors))
        h.check(rc == 0, "exit status %s after SIGTERM" % rc)

        st = self.stats
        acked = st.get("registrations acknowledged")
        h.log("soak summary: %.0f s, seed %d" % (elapsed, self.seed))
        for key in ("registrations acknowledged", "registration reconnects",
                    "registration connections lost", "lookups", "lookups answered error",
                    "resets", "idle connections", "half-sent registrations refused",
                    "bad requests refused"):
            h.log("  %-34s %9d" % (key, st.get(key)))
        h.log("  %-34s %9.0f /s" % ("registration rate", acked / elapsed))
        h.log("  %-34s %9.1f s (%.1f %% of one core)" % ("daemon CPU time", cpu, 100 * cpu / elapsed))
        h.log("  %-34s %9d KiB, %d descriptors" % ("after warm-up", warm[0], warm[1]))
        h.log("  %-34s %9d KiB, %d descriptors" % ("at the end", end[0], end[1]))
        h.log("  %-34s %9d KiB, %d descriptors" % ("peak under load", peak_rss, peak_fds))
        h.log("  %-34s %9d (every acknowledged entry present)" % ("entries in the file", entries))
        h.check(abs(end[1] - warm[1]) <= 2, "descriptors: %d after warm-up, %d at the end"
                % (warm[1], end[1]))
        rss_margin = max(1024, warm[0] // 10)
        h.check(end[0] <= warm[0] + rss_margin, "VmRSS: %d KiB after warm-up, %d KiB at the end "
                "(margin %d KiB)" % (warm[0], end[0], rss_margin))
        shutil.rmtree(work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--seconds", type=float, default=float(os.environ.get("SOAK_SECONDS", 600)))
    ap.add_argument("--warmup", type=float, default=None, help="default: 10%% of the run, 5 to 60 s")
    ap.add_argument("--registrars", type=int, default=8)
    ap.add_argument("--names", type=int, default=400)
    ap.add_argument("--idle", type=int, default=40, help="idle connections held at most")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--bin", default=h.default_bin_dir())
    args = ap.parse_args()
    if args.warmup is None:
        args.warmup = min(60.0, max(5.0, args.seconds / 10))
    soak = Soak(args)
    try:
        soak.run()
    except h.Failure as e:
        h.log("soak: FAIL: %s" % e)
        return 1
    finally:
        soak.stop.set()
        if soak.d is not None and soak.d.alive():
            soak.d.kill()  # a failed run must not leave its daemon behind
    h.log("soak: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
