"""pelorin as the desktop tests run it, in a folder of its own with a given
enpos.ini, and the bytes the tests speak to it over loopback.
"""

import grp
import os
import pwd
import re
import socket
import subprocess
import tempfile

from checks import PELORIN, Process, wait_for

SERVING = re.compile(r"serving .*: registrations on port (\d+), lookups on port (\d+)")


class Pelorin:
    """pelorin run in a folder of its own with a given enpos.ini."""

    def __init__(self, desktop, ini_text, lock, args=(), user=None, env=None, folder=None):
        self.folder = folder
        if folder is None:
            self.folder = tempfile.mkdtemp(prefix="pelorin-run-",
                                           dir=desktop.folder if desktop else None)
            os.chmod(self.folder, 0o755)
        self.ini = os.path.join(self.folder, "enpos.ini")
        if ini_text is not None:
            with open(self.ini, "w") as f:
                f.write(ini_text)
        handle, self.stderr_path = tempfile.mkstemp(prefix="pelorin-stderr-", suffix=".txt",
                                                    dir=desktop.folder if desktop else None)
        os.close(handle)
        base = desktop.env if desktop else os.environ
        self.env = dict(base, PELORIN_INSTANCE_LOCK=lock)
        for name, value in (env or {}).items():
            if value is None:
                self.env.pop(name, None)
            else:
                self.env[name] = value
        argv = [PELORIN, "--ini", self.ini, *args]
        if user is not None:
            argv = ["setpriv", f"--reuid={user}", f"--regid={user_group(user)}",
                    "--clear-groups", "--"] + argv
        self.stderr_file = open(self.stderr_path, "wb")
        self.process = Process(argv, env=self.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=self.stderr_file,
                               cwd=self.folder)
        if desktop:
            desktop.processes.append(self.process)
            desktop.programs.append(self)

    @property
    def stderr(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()

    def ports(self, timeout=15):
        m = wait_for(lambda: SERVING.search(self.stderr), timeout, "the serving line on stderr")
        return int(m.group(1)), int(m.group(2))

    def wait(self, timeout=10):
        status = self.process.wait(timeout)
        self.stderr_file.close()
        return status


def user_group(user):
    return grp.getgrgid(pwd.getpwnam(user).pw_gid).gr_name


# --- The wire ------------------------------------------------------------------

def connect(port, source="127.0.0.1", timeout=5):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def registration(name, address):
    body = name.encode() + bytes(int(p) for p in address.split("."))
    return bytes([len(name) + 4]) + body


def lookup(port, name, source="127.0.0.3"):
    """The whole reply to one lookup."""
    with connect(port, source) as s:
        s.sendall(b"\x01\x01\x01" + name.encode())
        reply = b""
        while True:
            try:
                chunk = s.recv(100)
            except socket.timeout:
                break
            if not chunk:
                break
            reply += chunk
            if reply == b"error":
                break
        return reply


def refuses(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2):
            return False
    except ConnectionRefusedError:
        return True


def ini(extra=""):
    return "[Connect]\nport1=0\nport2=0\n[enposinfo]\n" + extra


def unique_lock(test):
    return f"pelorin-test-{test}-{os.getpid()}"
