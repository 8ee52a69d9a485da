#!/usr/bin/env python3
"""Full disk: enpos.ini on a small tmpfs in a private mount namespace. While the
file system is full (no blocks, too few blocks for the new file, no inodes),
registrations are answered "SaveErr" and the old file stays byte for byte; once
space is freed, registrations are stored again. Needs root; skips otherwise."""

import argparse
import os
import time
import shutil
import subprocess
import sys

import harness as h

SKIP = 77


def fill_blocks(folder, leave_bytes=0):
    """Fills the file system's blocks; then frees `leave_bytes` again."""
    path = os.path.join(folder, "filler")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        for chunk in (1 << 16, 1 << 12, 1 << 9, 1):
            block = b"\0" * chunk
            while True:
                try:
                    if os.write(fd, block) <= 0:
                        break
                except OSError:
                    break
        size = os.lseek(fd, 0, os.SEEK_END)
    finally:
        os.close(fd)
    if leave_bytes:
        os.truncate(path, max(0, size - leave_bytes))
    return path


def fill_inodes(folder):
    made = []
    sub = os.path.join(folder, "inodes")
    os.mkdir(sub)
    made.append(sub)
    i = 0
    while i < 100000:
        p = os.path.join(sub, "f%d" % i)
        try:
            open(p, "wb").close()
        except OSError:
            break
        made.append(p)
        i += 1
    return made


def refused_while_full(d, ini, before, names):
    """Pipelined registrations on one connection: each answered SaveErr, in
    order; the file unchanged; memory not ahead of the file."""
    with h.connect(d.reg_port, "127.0.0.2") as s:
        s.sendall(b"".join(h.registration(n, "10.9.9.%d" % i) for i, n in enumerate(names)))
        replies = h.recv_exact(s, 7 * len(names), timeout=10)
    h.check(replies == h.SAVE_ERR * len(names),
            "while full: replies %r, want %d x SaveErr" % (replies, len(names)))
    h.check(h.read_bytes(ini) == before, "while full: enpos.ini changed")
    h.check(h.stale_temp_files(os.path.dirname(ini)) == [],
            "while full: temporary files left: %s" % h.stale_temp_files(os.path.dirname(ini)))
    for n in names:
        reply, _ = h.lookup(d.look_port, n)
        h.check(reply == h.LOOKUP_ERROR,
                "while full: lookup of refused %s answered %r (memory ahead of the file)" % (n, reply))
    reply, closed = h.lookup(d.look_port, "old000")
    h.check(reply == b"10.0.0.0" and closed, "while full: lookup old000 answered %r" % reply)


def case_run(name, bin_dir, mnt, logdir, entries, mount_opts, exhaust, restore):
    """One table row: mount, fill, check refusals, free, check storage."""
    subprocess.run(["mount", "-t", "tmpfs", "-o", mount_opts, "pelorin-full", mnt], check=True)
    try:
        ini = os.path.join(mnt, "enpos.ini")
        h.write_ini(ini, [("old%03d" % i, "10.0.%d.%d" % (i // 256, i % 256)) for i in range(entries)])
        d = h.Daemon(bin_dir, ini, log_path=os.path.join(logdir, name + ".log")).start()
        try:
            h.check(h.register(d.reg_port, "before", "10.1.1.1") == h.STORED,
                    "%s: first registration not stored" % name)
            before = h.settled_bytes(ini)
            undo = exhaust(mnt)
            # Registrations right after a write go to the journal beside the
            # file; these test the file's own write, as after a quiet moment.
            time.sleep(0.1)
            refused_while_full(d, ini, before, ["full%d" % i for i in range(5)])
            # Still refused on a second try, still unchanged.
            h.check(h.register(d.reg_port, "again", "10.2.2.2") == h.SAVE_ERR,
                    "%s: second registration while full not refused" % name)
            h.check(h.read_bytes(ini) == before, "%s: enpos.ini changed" % name)
            restore(undo)
            h.check(h.register(d.reg_port, "after", "10.3.3.3") == h.STORED,
                    "%s: registration after freeing space not stored" % name)
            got = dict(h.entries_of(h.settled_bytes(ini)))
            h.check(got.get(b"after") == b"10.3.3.3" and got.get(b"before") == b"10.1.1.1"
                    and len(got) == entries + 2,
                    "%s: file after freeing space holds %d entries" % (name, len(got)))
            h.check(d.alive(), "%s: daemon died" % name)
        finally:
            rc = d.stop()
        h.check(rc == 0, "%s: exit status %s after SIGTERM" % (name, rc))
        # A restart reads what was stored.
        d = h.Daemon(bin_dir, ini, log_path=os.path.join(logdir, name + ".log")).start()
        try:
            reply, _ = h.lookup(d.look_port, "after")
            h.check(reply == b"10.3.3.3", "%s: after restart, lookup answered %r" % (name, reply))
        finally:
            d.stop()
    finally:
        subprocess.run(["umount", "-l", mnt], check=False)


def inside(bin_dir):
    logdir = h.temp_dir("fulldisk")
    mnt = os.path.join(logdir, "mnt")
    os.mkdir(mnt)

    def rm(paths):
        for p in reversed(paths):
            (os.rmdir if os.path.isdir(p) else os.unlink)(p)

    cases = [
        # name, entries, mount options, exhaust, restore
        ("no blocks", 50, "size=256k,mode=0755",
         lambda m: [fill_blocks(m)], rm),
        ("too few blocks for the new file", 3000, "size=512k,mode=0755",
         lambda m: [fill_blocks(m, leave_bytes=16384)], rm),
        ("no inodes", 50, "size=4m,nr_inodes=64,mode=0755",
         fill_inodes, rm),
    ]
    failed = 0
    for name, entries, opts, exhaust, restore in cases:
        try:
            case_run(name.replace(" ", "_"), bin_dir, mnt, logdir, entries, opts, exhaust, restore)
            h.log("  full disk, %s: ok" % name)
        except h.Failure as e:
            failed += 1
            h.log("  full disk, %s: FAIL: %s (logs in %s)" % (name, e, logdir))
    if not failed:
        shutil.rmtree(logdir, ignore_errors=True)
    return 1 if failed else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--bin", default=h.default_bin_dir())
    ap.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.inside:
        return inside(os.path.abspath(args.bin))
    rc = h.reexec_in_mount_namespace([os.path.abspath(__file__), "--inside",
                                      "--bin", os.path.abspath(args.bin)])
    if rc is None:
        h.log("full disk: SKIP: needs root and `unshare -m` (private mount namespace)")
        return SKIP
    h.log("full disk: %s" % ("ok" if rc == 0 else "FAIL"))
    return rc


if __name__ == "__main__":
    sys.exit(main())
