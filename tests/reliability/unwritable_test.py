#!/usr/bin/env python3
"""Unwritable file: the daemon runs as an unprivileged user (nobody, through
setpriv) on an enpos.ini it may not write. Registrations are answered
"SaveErr", the file stays byte for byte, lookups go on being served, and once
the file is writable again registrations are stored."""

import argparse
import os
import pwd
import shutil
import sys

import harness as h

SKIP = 77


def drop_to(user):
    """Command prefix that runs the daemon as `user`, or () when we are not root."""
    if os.geteuid() != 0:
        return ()
    if shutil.which("setpriv") is None:
        raise h.Failure("setpriv (util-linux) is missing")
    return ("setpriv", "--reuid=" + user, "--regid=%d" % pwd.getpwnam(user).pw_gid,
            "--clear-groups", "--")


def run_case(bin_dir, root, case):
    name, file_mode, file_owned, dir_owned, dir_mode = case
    uid = pwd.getpwnam("nobody").pw_uid if os.geteuid() == 0 else os.geteuid()
    gid = pwd.getpwnam("nobody").pw_gid if os.geteuid() == 0 else os.getegid()
    folder = os.path.join(root, name.replace(" ", "_"))
    os.mkdir(folder)
    ini = os.path.join(folder, "enpos.ini")
    h.write_ini(ini, [("known", "10.0.0.1"), ("other", "10.0.0.2")])
    if os.geteuid() == 0:
        os.chown(ini, *((uid, gid) if file_owned else (0, 0)))
        os.chown(folder, *((uid, gid) if dir_owned else (0, 0)))
    os.chmod(ini, file_mode)
    os.chmod(folder, dir_mode)
    before = h.read_bytes(ini)
    stat_before = os.stat(ini)

    d = h.Daemon(bin_dir, ini, wrapper=drop_to("nobody"),
                 log_path=os.path.join(root, name.replace(" ", "_") + ".log")).start()
    try:
        if os.geteuid() == 0:
            with open("/proc/%d/status" % d.pid) as f:
                uids = [l for l in f if l.startswith("Uid:")][0].split()[1:]
            h.check(all(int(u) == uid for u in uids), "%s: daemon runs as uids %s" % (name, uids))
        # Several on one connection, and one on its own.
        with h.connect(d.reg_port, "127.0.0.2") as s:
            s.sendall(h.registration("new1", "10.1.0.1") + h.registration("known", "10.1.0.2")
                      + h.registration("new2", "10.1.0.3"))
            replies = h.recv_exact(s, 21, timeout=10)
        h.check(replies == h.SAVE_ERR * 3, "%s: replies %r, want 3 x SaveErr" % (name, replies))
        h.check(h.register(d.reg_port, "new3", "10.1.0.4") == h.SAVE_ERR,
                "%s: a lone registration was not answered SaveErr" % name)
        h.check(h.read_bytes(ini) == before, "%s: enpos.ini changed" % name)
        st = os.stat(ini)
        h.check((st.st_ino, st.st_mode, st.st_uid) ==
                (stat_before.st_ino, stat_before.st_mode, stat_before.st_uid),
                "%s: enpos.ini replaced or its mode or owner changed" % name)
        h.check(h.stale_temp_files(folder) == [], "%s: temporary files left" % name)
        for look, want in (("known", b"10.0.0.1"), ("other", b"10.0.0.2"), ("new1", b"error")):
            reply, _ = h.lookup(d.look_port, look)
            h.check(reply == want, "%s: lookup %s answered %r, want %r" % (name, look, reply, want))

        # Made writable while the daemon runs: the next registration is stored.
        if os.geteuid() == 0:
            os.chown(folder, uid, gid)
            os.chown(ini, uid, gid)
        os.chmod(folder, 0o755)
        os.chmod(ini, 0o644)
        h.check(h.register(d.reg_port, "new4", "10.1.0.5") == h.STORED,
                "%s: registration after the file became writable not stored" % name)
        got = dict(h.entries_of(h.settled_bytes(ini)))
        h.check(got == {b"known": b"10.0.0.1", b"other": b"10.0.0.2", b"new4": b"10.1.0.5"},
                "%s: file afterwards holds %r" % (name, got))
        h.check(d.alive(), "%s: daemon died" % name)
    finally:
        rc = d.stop()
    h.check(rc == 0, "%s: exit status %s after SIGTERM" % (name, rc))


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--bin", default=h.default_bin_dir())
    args = ap.parse_args()
    bin_dir = os.path.abspath(args.bin)
    root = h.temp_dir("unwritable")
    as_root = os.geteuid() == 0
    cases = [
        # name, file mode, file owned by the daemon's user, folder owned by it, folder mode
        ("read-only file in a writable folder", 0o444, True, True, 0o755),
    ]
    if as_root:
        cases += [
            # rename() would succeed here; the file itself is not ours to write.
            ("someone else's file in our folder", 0o644, False, True, 0o755),
            # The file is ours, but no temporary file can be made beside it.
            ("our file in someone else's folder", 0o644, True, False, 0o755),
        ]
    else:
        h.log("unwritable: not root: the daemon runs as %s, without the ownership cases"
              % pwd.getpwuid(os.geteuid()).pw_name)
    failed = 0
    for case in cases:
        try:
            run_case(bin_dir, root, case)
            h.log("  unwritable, %s: ok" % case[0])
        except h.Failure as e:
            failed += 1
            h.log("  unwritable, %s: FAIL: %s (logs in %s)" % (case[0], e, root))
    if not failed:
        shutil.rmtree(root, ignore_errors=True)
    h.log("unwritable: %s" % ("ok" if not failed else "FAIL"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
