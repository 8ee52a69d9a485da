"""Shared helpers for the reliability tests: start and kill a pelorin daemon,
speak its two wire protocols over loopback, read enpos.ini with an independent
reader, and sample a process's CPU time, resident size and descriptors."""

import bisect
import collections
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import zlib
import time

STORED = b"CorrEct"
SAVE_ERR = b"SaveErr"
LOOKUP_ERROR = b"error"

_SERVING = re.compile(rb"serving .*: registrations on port (\d+), lookups on port (\d+)")


def default_bin_dir():
    """The folder holding pelorin: $PELORIN_BIN_DIR, else build/bin of the repo."""
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(os.path.dirname(here))
    return os.environ.get("PELORIN_BIN_DIR", os.path.join(root, "build", "bin"))


def log(msg):
    print(msg, flush=True)


class Failure(Exception):
    """A property of the daemon that the test checks does not hold."""


def check(cond, msg):
    if not cond:
        raise Failure(msg)


# --------------------------------------------------------------------------
# The daemon


class Daemon:
    """One pelorin process on a given enpos.ini, its stderr in a log file.

    `wrapper` is a command prefix that execs the daemon in place (prlimit,
    setpriv), so the pid is the daemon's own."""

    _count = 0

    def __init__(self, bin_dir, ini_path, wrapper=(), log_path=None, lock=None):
        Daemon._count += 1
        self.binary = os.path.join(bin_dir, "pelorin")
        self.ini_path = ini_path
        self.wrapper = list(wrapper)
        self.log_path = log_path or (ini_path + ".daemon.log")
        self.lock = lock or "pelorin-rel-%d-%d" % (os.getpid(), Daemon._count)
        self.proc = None
        self.reg_port = None
        self.look_port = None

    @property
    def pid(self):
        return self.proc.pid

    def start(self, timeout=15.0):
        env = dict(os.environ, PELORIN_INSTANCE_LOCK=self.lock)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        self._log = open(self.log_path, "ab")
        self._log_start = self._log.tell()
        cmd = self.wrapper + [self.binary, "--headless", "--ini", self.ini_path]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self._log,
                                     stderr=self._log, env=env)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            m = _SERVING.search(self.log_text())
            if m:
                self.reg_port, self.look_port = int(m.group(1)), int(m.group(2))
                return self
            if self.proc.poll() is not None:
                raise Failure("daemon exited with %s before serving:\n%s"
                              % (self.proc.returncode, self.log_text().decode(errors="replace")))
            time.sleep(0.005)
        self.kill()
        raise Failure("daemon did not report its ports within %.0f s" % timeout)

    def log_text(self):
        with open(self.log_path, "rb") as f:
            f.seek(self._log_start)
            return f.read()

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def kill(self, sig=signal.SIGKILL):
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            try:
                self.proc.send_signal(sig)
            except ProcessLookupError:
                pass
        try:
            rc = self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self._log.close()
        return rc

    def stop(self):
        """SIGTERM and wait; the exit status."""
        return self.kill(signal.SIGTERM)

    # What the kernel tells of the process.
    def cpu_seconds(self):
        return cpu_seconds(self.pid)

    def rss_kib(self):
        return rss_kib(self.pid)

    def fd_count(self):
        return fd_count(self.pid)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid, "rb") as f:
        fields = f.read().rsplit(b")", 1)[1].split()
    # utime and stime are fields 14 and 15; fields[0] here is field 3.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise Failure("no VmRSS for pid %d" % pid)


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def write_ini(path, entries=()):
    """A fresh enpos.ini with ephemeral ports and the given entries."""
    text = "[Connect]\nport1=0\nport2=0\n\n[enposinfo]\n"
    text += "".join("%s=%s\n" % (k, v) for k, v in entries)
    with open(path, "w") as f:
        f.write(text)
    return text.encode()


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def temp_dir(prefix):
    d = tempfile.mkdtemp(prefix="pelorin-%s-" % prefix)
    os.chmod(d, 0o755)
    return d


def raise_fd_limit():
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return hard


# --------------------------------------------------------------------------
# The wire


def registration(name, address):
    """Request bytes: L = len(name) + 4, the name, four address bytes."""
    if isinstance(name, str):
        name = name.encode()
    if isinstance(address, str):
        address = bytes(int(p) for p in address.split("."))
    return bytes([(len(name) + 4) & 0xFF]) + name + address


def lookup_request(name):
    if isinstance(name, str):
        name = name.encode()
    return b"\x01\x01\x01" + name


def address_text(address_bytes):
    return ".".join(str(b) for b in address_bytes)


def counter_address(n):
    """A distinct address for every send counter n (1 .. 2**32-1)."""
    return struct.pack(">I", n)


def connect(port, source="127.0.0.1", timeout=5.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if source:
        s.bind((source, 0))
    s.settimeout(timeout)
    s.connect(("127.0.0.1", port))
    return s


def recv_exact(s, n, timeout=5.0):
    s.settimeout(timeout)
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def register(port, name, address, source="127.0.0.1", timeout=5.0):
    """One registration on a fresh connection: the 7-byte reply (b"" if none)."""
    with connect(port, source, timeout) as s:
        s.sendall(registration(name, address))
        try:
            return recv_exact(s, 7, timeout)
        except OSError:
            return b""


def read_lookup_reply(sock, timeout):
    """(reply, closed_by_server) for the lookup just sent on `sock`: the address
    text comes with a close; "error" leaves the connection open. closed is None
    when nothing conclusive came within `timeout`."""
    data = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        sock.settimeout(max(0.01, min(0.3, deadline - time.monotonic())))
        try:
            chunk = sock.recv(64)
        except socket.timeout:
            if data == LOOKUP_ERROR:
                return data, False
            continue
        except OSError:
            return data, True
        if not chunk:
            return data, True
        data += chunk
    return data, None


def lookup(port, name, source="127.0.0.1", timeout=5.0):
    """(reply, closed_by_server) of one lookup on a fresh connection."""
    with connect(port, source, timeout) as s:
        s.sendall(lookup_request(name))
        data, closed = read_lookup_reply(s, timeout)
        return data, bool(closed)


def wait_until(pred, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(step)
    return pred()


# --------------------------------------------------------------------------
# An independent reader of enpos.ini, written from the documented rules (names
# whole and ASCII case-insensitive, blanks trimmed, one pair of quotes removed,
# ';' comments, first duplicate key and section win), not from the daemon's code.


def _trim(b):
    return b.strip(b" \t")


def _fold(b):
    """ASCII case folding only, as the daemon matches names."""
    return bytes(c + 32 if 65 <= c <= 90 else c for c in b)


def _unquote(v):
    if len(v) >= 2 and v[:1] == v[-1:] and v[:1] in (b'"', b"'"):
        return v[1:-1]
    return v


def split_lines(text):
    """Lines with their terminators, split on LF only, as the daemon splits them."""
    out, start = [], 0
    while start < len(text):
        nl = text.find(b"\n", start)
        end = len(text) if nl < 0 else nl + 1
        out.append(text[start:end])
        start = end
    return out


def parse_ini(text):
    """{folded section: [(key, value), ...]} with first duplicates winning."""
    sections, order, current = {}, [], None
    for i, raw in enumerate(split_lines(text)):
        # LF, CR LF, or a bare CR ending the text: no part of the line's value.
        content = raw[:-1] if raw.endswith(b"\n") else raw
        content = content[:-1] if content.endswith(b"\r") else content
        if i == 0 and content.startswith(b"\xef\xbb\xbf"):
            content = content[3:]
        s = _trim(content)
        if s.startswith(b"[") and b"]" in s:
            name = _fold(_trim(s[1:s.rfind(b"]")]))
            if name in sections:
                current = {"dup": True, "keys": {}, "list": []}
            else:
                current = {"dup": False, "keys": {}, "list": []}
                sections[name] = current
                order.append(name)
            continue
        if current is None or not s or s.startswith(b";") or b"=" not in s:
            continue
        k, v = s.split(b"=", 1)
        k, v = _trim(k), _unquote(_trim(v))
        if _fold(k) not in current["keys"]:
            current["keys"][_fold(k)] = v
            current["list"].append((k, v))
    return {name: sections[name]["list"] for name in order}


def entries_of(text, section=b"enposinfo"):
    return parse_ini(text).get(section, [])


_JOURNAL_LINE = re.compile(rb"([0-9a-f]{8}) ([^=\n][^=\n]*=[^\n]*)\n")


def journal_entries(text):
    """(name, value) pairs of a journal beside enpos.ini, read as the daemon
    reads it at start: comment lines first, then "CRC32 name=value" lines up
    to the first one that is cut short or fails its checksum."""
    out, pos = [], 0
    while pos < len(text):
        if text.startswith(b"#", pos) and not out:
            nl = text.find(b"\n", pos)
            if nl < 0:
                break
            pos = nl + 1
            continue
        m = _JOURNAL_LINE.match(text, pos)
        if not m or zlib.crc32(m.group(2)) != int(m.group(1), 16):
            break
        name, value = m.group(2).split(b"=", 1)
        out.append((name, value))
        pos = m.end()
    return out


def settled_bytes(ini, timeout=3.0):
    """enpos.ini once the daemon has written into it what it answered from its
    journal (registrations that came while the file was busy)."""
    journal = ini + ".journal"
    give_up = time.monotonic() + timeout
    while time.monotonic() < give_up:
        try:
            if os.path.getsize(journal) == 0:
                break
        except FileNotFoundError:
            break
        time.sleep(0.005)
    return read_bytes(ini)


def recoverable_entries(ini_text, journal_text):
    """What the daemon serves after a restart: the file's entries with the
    journal's applied over them in order."""
    merged = {_fold(k): (k, v) for k, v in entries_of(ini_text)}
    for k, v in journal_entries(journal_text):
        key = merged.get(_fold(k), (k, None))[0]
        merged[_fold(k)] = (key, v)
    return list(merged.values())


def stale_temp_files(folder, name="enpos.ini"):
    """Temporary files the daemon's atomic replace leaves when it dies mid-write."""
    prefix = "." + name + "."
    return sorted(f for f in os.listdir(folder) if f.startswith(prefix) and len(f) == len(prefix) + 6)


# --------------------------------------------------------------------------
# Namespaces and users


def reexec_in_mount_namespace(argv):
    """Runs this script again inside `unshare -m` (private mounts); returns the
    exit status, or None when that is not possible here."""
    if os.geteuid() != 0:
        return None
    try:
        probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if probe.returncode != 0:
        return None
    return subprocess.call(["unshare", "-m", "--propagation", "private",
                            sys.executable] + argv)


class Checks:
    """Collects failed expectations so that one run reports all of them."""

    def __init__(self):
        self.failures = []

    def expect(self, cond, msg):
        if not cond:
            self.failures.append(msg)
        return bool(cond)

    def done(self):
        if self.failures:
            raise Failure("; ".join(self.failures))


class Ledger:
    """Every registration sent, per name and in order (each name is sent by one
    client at a time), and the last one answered CorrEct. Values are send
    counters, so a later send always carries a larger one."""

    def __init__(self):
        self.lock = threading.Lock()
        self.counter = 0
        self.sends = collections.defaultdict(list)  # name -> [counter, ...] ascending
        self.acked = {}                               # name -> counter of last CorrEct
        self.total_acked = 0
        self.save_errs = 0

    def send(self, name):
        with self.lock:
            self.counter += 1
            self.sends[name].append(self.counter)
            return self.counter

    def ack(self, name, n):
        with self.lock:
            self.total_acked += 1
            if n > self.acked.get(name, 0):
                self.acked[name] = n

    def last_ack(self, name):
        with self.lock:
            return self.acked.get(name, 0)

    def allowed(self, name, n, floor=None):
        """Was counter n sent for name, and is it no older than the last ack
        (or than `floor`, the last ack seen at some earlier moment)?"""
        with self.lock:
            sends = self.sends.get(name)
            if not sends:
                return False
            i = bisect.bisect_left(sends, n)
            limit = self.acked.get(name, 0) if floor is None else floor
            return i < len(sends) and sends[i] == n and n >= limit

    def check_file(self, text, where, journal=b""):
        """Every acknowledged entry is in the file (with the journal beside it
        applied), with its value or a later one, and every entry was sent. The
        number of entries."""
        entries = dict(recoverable_entries(text, journal))
        for name, value in entries.items():
            try:
                n = int.from_bytes(bytes(int(p) for p in value.split(b".")), "big")
            except ValueError:
                n = -1
            check(self.allowed(name, n),
                  "%s: %s=%s was never sent, or is older than an acknowledged value "
                  "(last acknowledged: %s)" % (where, name.decode(errors="replace"),
                                               value.decode(errors="replace"),
                                               address_text(counter_address(self.acked.get(name, 0)))))
        for name, n in self.acked.items():
            check(name in entries, "%s: acknowledged %s=%s is missing"
                  % (where, name.decode(errors="replace"), address_text(counter_address(n))))
        return len(entries)


def address_counter(text):
    """The send counter an address text stands for (see counter_address)."""
    return int.from_bytes(bytes(int(p) for p in text.split(b".")), "big")


def check_lookup(ledger, name, reply, closed, floor):
    """A lookup's answer against the ledger: the address of a send of that name
    no older than `floor` (the last ack before the lookup was sent), or "error"
    with the connection open for a name never acknowledged."""
    # "error" leaves the connection open; it may still close under a killed daemon.
    if not closed or reply == LOOKUP_ERROR:
        check(reply == LOOKUP_ERROR, "lookup %s answered %r" % (name.decode(), reply))
        check(floor == 0, "lookup of acknowledged %s answered error" % name.decode())
        return
    try:
        n = address_counter(reply)
    except ValueError:
        raise Failure("lookup %s answered %r" % (name.decode(), reply))
    if not ledger.allowed(name, n, floor):
        with ledger.lock:
            sends = list(ledger.sends.get(name, []))
        raise Failure("lookup %s answered %s (send %d): never sent, or older than %s, "
                      "acknowledged before the lookup (last sends of the name: %s)"
                      % (name.decode(), reply.decode(), n,
                         address_text(counter_address(floor)), sends[-8:]))
