# The servers the benchmark compares -- the registry, Redis and the floor
# server -- each started in a folder of its own on free loopback ports, timed
# from exec until it serves, and stopped. Every process started is remembered
# so that the driver can stop it whatever happens.

import os
import random
import re
import signal
import socket
import subprocess
import time
from pathlib import Path

STARTED = []  # every server process this run started


def _bindable(port):
    # The registry binds the any-address, so the port must be free on every
    # address; binding is enough to tell, nothing is sent.
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("0.0.0.0", port))
        except OSError:
            return False
        return True


def free_port():
    """A free port below the ephemeral range, where the benchmark's own client
    connections (and their TIME_WAIT leftovers) never are."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low = int(f.read().split()[0])
    if low > 12_000:
        for _ in range(100):
            port = random.randrange(low - 10_000, low)
            if _bindable(port):
                return port
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def spawn(command, cpus, **kw):
    """Starts a process and pins it to `cpus`. Pinning after the start keeps the
    fast spawn path (a preexec function would force a full fork)."""
    proc = subprocess.Popen(command, **kw)
    if cpus:
        try:
            os.sched_setaffinity(proc.pid, cpus)
        except OSError:
            pass  # already gone; its exit status tells why
    return proc


def accepting(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def answers_ping(port):
    """Redis accepts while it still loads its data; it serves once PING answers PONG."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5) as s:
            s.sendall(b"PING\r\n")
            return s.recv(64).startswith(b"+PONG")
    except OSError:
        return False


def stop_process(proc, grace=10.0):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if proc in STARTED:
        STARTED.remove(proc)


class Server:
    """One server: its ports, its process, its start-up time."""

    name = ""

    def __init__(self, folder, cpus):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.cpus = cpus
        self.proc = None
        self.lookup_port = 0
        self.store_port = 0

    # What a kind of server says: its command line, how to tell it serves.
    def command(self):
        raise NotImplementedError

    def environment(self):
        return None

    def ready(self):
        return accepting(self.lookup_port) and accepting(self.store_port)

    def choose_ports(self):
        self.lookup_port, self.store_port = free_port(), free_port()
        while self.store_port == self.lookup_port:
            self.store_port = free_port()

    @property
    def pid(self):
        return self.proc.pid

    def start(self, timeout=60.0):
        """Starts the server; returns the seconds from exec until it serves."""
        self.choose_ports()
        command = self.command()
        with open(self.folder / f"{self.name}.log", "ab") as log:
            began = time.perf_counter()
            self.proc = spawn(command, self.cpus, stdin=subprocess.DEVNULL, stdout=log,
                              stderr=log, env=self.environment(), cwd=self.folder)
        STARTED.append(self.proc)
        while not self.ready():
            if self.proc.poll() is not None:
                STARTED.remove(self.proc)
                tail = (self.folder / f"{self.name}.log").read_text(errors="replace")
                raise RuntimeError(f"{self.name} exited with status {self.proc.returncode}:\n"
                                   + "\n".join(tail.splitlines()[-5:]))
            if time.perf_counter() - began > timeout:
                raise RuntimeError(f"{self.name} did not serve within {timeout} s")
            time.sleep(0.0002)
        return time.perf_counter() - began

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc)
            self.proc = None


class Pelorin(Server):
    name = "pelorin"

    def __init__(self, folder, cpus, binary, lock):
        super().__init__(folder, cpus)
        self.binary = binary
        self.lock = lock
        self.ini = self.folder / "enpos.ini"
        if not self.ini.exists():
            self.ini.write_text("[Connect]\nport1=0\nport2=0\n[enposinfo]\n")

    def command(self):
        text = self.ini.read_text()
        text = re.sub(r"(?m)^port1=.*$", f"port1={self.store_port}", text, count=1)
        text = re.sub(r"(?m)^port2=.*$", f"port2={self.lookup_port}", text, count=1)
        self.ini.write_text(text)
        return [str(self.binary), "--headless", "--ini", str(self.ini)]

    def environment(self):
        return dict(os.environ, PELORIN_INSTANCE_LOCK=self.lock)

    def ready(self):
        # The lookup listener opens last.
        return accepting(self.lookup_port) and accepting(self.store_port)


class Redis(Server):
    name = "redis"

    def choose_ports(self):
        self.lookup_port = self.store_port = free_port()

    def command(self):
        return ["redis-server", "--port", str(self.lookup_port), "--bind", "127.0.0.1",
                "--dir", str(self.folder), "--daemonize", "no", "--logfile", "",
                "--appendonly", "yes", "--appendfsync", "always", "--save", "",
                "--maxclients", "10200",
                # Bound to 127.0.0.1 only; protected mode would refuse the idle
                # devices' other loopback source addresses.
                "--protected-mode", "no"]

    def ready(self):
        return answers_ping(self.lookup_port)


class Floor(Server):
    name = "floor"

    def __init__(self, folder, cpus, binary):
        super().__init__(folder, cpus)
        self.binary = binary

    def command(self):
        return [str(self.binary), str(self.lookup_port), str(self.store_port)]
