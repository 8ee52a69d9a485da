#!/usr/bin/env python3
"""Resources: the daemon under descriptor exhaustion (a low open-file limit and
more connections than it allows), under peers that send bytes without end, and
under a peer that opens connections without end. It must neither spin nor die,
its resident size must stay bounded, and it must answer again afterwards."""

import argparse
import os
import select
import shutil
import socket
import struct
import sys
import time

import harness as h

KNOWN = ("known", "10.0.0.1")


def warm_up(d):
    """Some ordinary traffic, so that the baseline includes it; then the wait
    for the daemon to write what it journaled into the file, so that no
    descriptor of that write is counted in the baseline."""
    for i in range(50):
        h.check(h.register(d.reg_port, "warm%d" % i, "10.5.0.%d" % i) == h.STORED,
                "warm-up registration refused")
        h.lookup(d.look_port, "warm%d" % i)
    h.settled_bytes(d.ini_path)


def serves(d, tag, source="127.0.0.1"):
    """A lookup of a known name and a registration, both answered properly."""
    reply, closed = h.lookup(d.look_port, KNOWN[0], source=source)
    h.check(reply == KNOWN[1].encode() and closed,
            "%s: lookup %s answered %r (closed: %s)" % (tag, KNOWN[0], reply, closed))
    name = "after-" + tag.replace(" ", "-")[:20]
    h.check(h.register(d.reg_port, name, "10.7.7.7", source=source) == h.STORED,
            "%s: registration afterwards not stored" % tag)
    got = dict(h.entries_of(h.settled_bytes(d.ini_path)))
    h.check(got.get(name.encode()) == b"10.7.7.7", "%s: registration afterwards not in the file" % tag)


CHECK_RSS = True


def rss_bound(base_kib):
    """Generous: twice the baseline plus 32 MiB (none under a sanitizer, whose
    quarantine keeps freed memory resident)."""
    return 2 * base_kib + 32 * 1024 if CHECK_RSS else float("inf")


# --------------------------------------------------------------------------
# (a) descriptor exhaustion


def open_file_exhaustion(bin_dir, work):
    limit = 256
    ini = os.path.join(work, "nofile.ini")
    h.write_ini(ini, [KNOWN])
    d = h.Daemon(bin_dir, ini, wrapper=("prlimit", "--nofile=%d:%d" % (limit, limit), "--")).start()
    c = h.Checks()
    flood = []
    try:
        with open("/proc/%d/limits" % d.pid) as f:
            line = [l for l in f if l.startswith("Max open files")][0]
        h.check(line.split()[3:5] == [str(limit)] * 2, "limit not applied: %s" % line.strip())
        # One device connected before the flood; it registers while no
        # descriptor is left, so that the write fails for want of one.
        control = h.connect(d.reg_port, "127.0.0.2")
        base_fds = d.fd_count()
        for i in range(limit + 200):
            port = d.reg_port if i % 4 else d.look_port
            flood.append(h.connect(port, "127.0.0.3"))
        h.check(h.wait_until(lambda: d.fd_count() >= limit - 2, 15),
                "daemon holds only %d descriptors of %d" % (d.fd_count(), limit))
        time.sleep(0.3)
        cpu0, t0 = d.cpu_seconds(), time.monotonic()
        time.sleep(2.0)
        cpu = d.cpu_seconds() - cpu0
        wall = time.monotonic() - t0
        h.check(d.alive(), "daemon died with all descriptors in use")
        h.log("  exhaustion: %d descriptors held, %.3f s CPU in %.1f s while saturated"
              % (d.fd_count(), cpu, wall))
        c.expect(cpu <= 0.2, "daemon spins with all descriptors in use: %.2f s CPU in %.1f s"
                 % (cpu, wall))
        control.sendall(h.registration("during", "10.8.8.8"))
        reply = h.recv_exact(control, 7, timeout=15)
        c.expect(reply in (h.STORED, h.SAVE_ERR),
                 "registration with no descriptor left answered %r" % reply)
        h.log("  exhaustion: a registration with no descriptor left was answered %r" % reply)
        # Served while saturated: a lookup on the connection already open is
        # impossible (none is), but the refused entry must not linger in memory.
        for s in flood:
            s.close()
        flood.clear()
        h.check(h.wait_until(lambda: d.fd_count() <= base_fds + 2, 20),
                "descriptors not released: %d held, %d before the flood" % (d.fd_count(), base_fds))
        h.check(d.alive(), "daemon died after the flood")
        try:
            serves(d, "exhaustion")
        except h.Failure as e:
            c.expect(False, str(e))
        control.close()
    finally:
        for s in flood:
            s.close()
        d.stop()
    c.done()


# --------------------------------------------------------------------------
# (b) bytes without end


def pour(port, source, pattern, seconds, max_bytes=512 << 20):
    """Sends `pattern` over and over for `seconds` (or max_bytes), never reading."""
    s = h.connect(port, source)
    s.setblocking(False)
    buf = pattern * max(1, 65536 // len(pattern))
    sent = 0
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline and sent < max_bytes:
            _, w, _ = select.select([], [s], [], 0.05)
            if not w:
                continue
            try:
                sent += s.send(buf)
            except BlockingIOError:
                continue
            except OSError:
                break  # closed by the daemon: fine, nothing to hold
    finally:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
    return sent


ENDLESS = [
    # name, port, pattern
    ("registration port, bad length bytes", "reg", b"\xff"),
    ("registration port, zero bytes", "reg", b"\x00"),
    ("registration port, valid requests, replies never read", "reg",
     h.registration("flood", "10.9.0.1") + h.registration("flood2", "10.9.0.2")),
    ("registration port, requests with bad names", "reg",
     h.registration("=bad", "10.9.0.3") + h.registration("[x", "10.9.0.4")),
    ("lookup port, lookup header and name bytes", "look", b"\x01\x01\x01" + b"n" * 61),
    ("lookup port, arbitrary bytes", "look", bytes(range(256))),
]


def endless_bytes(bin_dir, work, seconds):
    ini = os.path.join(work, "bytes.ini")
    h.write_ini(ini, [KNOWN])
    d = h.Daemon(bin_dir, ini).start()
    try:
        warm_up(d)
        base = d.rss_kib()
        base_fds = d.fd_count()
        for i, (name, which, pattern) in enumerate(ENDLESS):
            port = d.reg_port if which == "reg" else d.look_port
            sent = pour(port, "127.0.0.%d" % (10 + i), pattern, seconds)
            rss = d.rss_kib()
            h.check(d.alive(), "%s: daemon died" % name)
            h.check(rss <= rss_bound(base), "%s: VmRSS %d KiB after %d MB, baseline %d KiB"
                    % (name, rss, sent >> 20, base))
            h.check(h.wait_until(lambda: d.fd_count() <= base_fds, 10),
                    "%s: %d descriptors held after the peer left, %d before"
                    % (name, d.fd_count(), base_fds))
            serves(d, "bytes %d" % i)
            h.log("  endless bytes, %s: %d MB sent, VmRSS %d KiB (baseline %d KiB)"
                  % (name, sent >> 20, rss, base))
    finally:
        d.stop()


# --------------------------------------------------------------------------
# (b) connections without end


def endless_connections(bin_dir, work, churn, held):
    ini = os.path.join(work, "conns.ini")
    h.write_ini(ini, [KNOWN])
    d = h.Daemon(bin_dir, ini).start()
    try:
        warm_up(d)
        base = d.rss_kib()
        base_fds = d.fd_count()
        # Opened and closed at once, a window of them open at a time.
        window = []
        for i in range(churn):
            port = d.reg_port if i % 2 else d.look_port
            window.append(h.connect(port, "127.0.0.30"))
            if len(window) >= 64:
                for s in window:
                    s.close()
                window.clear()
        for s in window:
            s.close()
        h.check(h.wait_until(lambda: d.fd_count() <= base_fds, 15),
                "after %d connections: %d descriptors held, %d before"
                % (churn, d.fd_count(), base_fds))
        after_churn = d.rss_kib()
        # Opened and held.
        kept = [h.connect(d.reg_port if i % 2 else d.look_port, "127.0.0.31") for i in range(held)]
        h.check(h.wait_until(lambda: d.fd_count() >= base_fds + held, 15),
                "%d connections held, the daemon has %d descriptors" % (held, d.fd_count()))
        while_held = d.rss_kib()
        for s in kept:
            s.close()
        h.check(h.wait_until(lambda: d.fd_count() <= base_fds, 15),
                "after closing %d held connections: %d descriptors, %d before"
                % (held, d.fd_count(), base_fds))
        time.sleep(0.2)
        end = d.rss_kib()
        h.check(d.alive(), "daemon died")
        h.check(after_churn <= rss_bound(base) and end <= rss_bound(base),
                "VmRSS grew: %d KiB baseline, %d after %d connections, %d at the end"
                % (base, after_churn, churn, end))
        serves(d, "connections")
        h.log("  endless connections: %d opened and closed, %d held; VmRSS %d KiB baseline, "
              "%d after churn, %d while held, %d at the end; descriptors back to %d"
              % (churn, held, base, after_churn, while_held, end, d.fd_count()))
    finally:
        d.stop()


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--bin", default=h.default_bin_dir())
    ap.add_argument("--seconds", type=float, default=2.0, help="per endless byte stream")
    ap.add_argument("--churn", type=int, default=5000)
    ap.add_argument("--held", type=int, default=2000)
    ap.add_argument("--skip-rss", action="store_true", help="for a sanitizer build")
    args = ap.parse_args()
    global CHECK_RSS
    CHECK_RSS = not args.skip_rss
    hard = h.raise_fd_limit()
    # Connections held open need descriptors on this side too.
    args.held = max(100, min(args.held, hard - 500))
    bin_dir = os.path.abspath(args.bin)
    work = h.temp_dir("resources")
    parts = [
        ("open-file exhaustion", lambda: open_file_exhaustion(bin_dir, work)),
        ("bytes without end", lambda: endless_bytes(bin_dir, work, args.seconds)),
        ("connections without end", lambda: endless_connections(bin_dir, work, args.churn, args.held)),
    ]
    failed = 0
    for name, fn in parts:
        t0 = time.monotonic()
        try:
            fn()
            h.log("  resources, %s: ok (%.1f s)" % (name, time.monotonic() - t0))
        except h.Failure as e:
            failed += 1
            h.log("  resources, %s: FAIL: %s (logs in %s)" % (name, e, work))
    if not failed:
        shutil.rmtree(work, ignore_errors=True)
    h.log("resources: %s" % ("ok" if not failed else "FAIL"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
