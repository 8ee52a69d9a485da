# Runs the load generator: once, for a workload, returning the figures of the
# JSON line it prints; or in the background, holding idle connections until
# told to stop. Both pinned to the load generator's CPU.

import json
import select
import signal
import subprocess
import time

from driver.servers import spawn

CURRENT = []  # load generators while they run, for the cleanup


def _command(binary, mode, port, names, duration, warmup=0.0, concurrency=64, window=1,
             idle=0, idle_port=None, watch_pid=None, extra=()):
    command = [str(binary), mode, "--port", str(port), "--names", str(names),
               "--duration", str(duration), "--warmup", str(warmup),
               "--concurrency", str(concurrency), "--window", str(window)]
    if idle:
        command += ["--idle", str(idle), "--idle-port", str(idle_port or port)]
    if watch_pid:
        command += ["--watch-pid", str(watch_pid)]
    return command + list(extra)


def _result(proc, mode, out, err):
    lines = [line for line in out.splitlines() if line.startswith("{")]
    if proc.returncode != 0 or not lines:
        raise RuntimeError(f"pelorin-load {mode} failed ({proc.returncode}): "
                           f"{err.strip()} {out.strip()}")
    return json.loads(lines[-1])


def run_load(binary, cpus, mode, port, names, duration, **kw):
    command = _command(binary, mode, port, names, duration, **kw)
    limit = duration + kw.get("warmup", 0) + 120
    proc = spawn(command, cpus, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    CURRENT.append(proc)
    try:
        out, err = proc.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise RuntimeError(f"pelorin-load {mode} took more than {limit} s")
    finally:
        CURRENT.remove(proc)
    return _result(proc, mode, out, err)


class IdleHolder:
    """`count` idle connections held by a load generator in the background."""

    def __init__(self, binary, cpus, port, names, count, protocol="pelorin", timeout=120.0):
        command = _command(binary, "idle", port, names, 3600, idle=count,
                           extra=["--protocol", protocol])
        self.proc = spawn(command, cpus, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True)
        CURRENT.append(self.proc)
        # Wait for "N idle connections held" on its stderr.
        deadline = time.monotonic() + timeout
        line = ""
        while "held" not in line:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.proc.stderr], [], [], max(0.0, left))
            line = self.proc.stderr.readline() if ready else ""
            if (not ready and left <= 0) or (ready and not line):
                self.stop()
                raise RuntimeError(f"idle connections were not set up: {line.strip()}")

    def stop(self):
        """Closes the connections; returns the generator's figures (idle_open:
        how many the server still held at the end)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            out, err = self.proc.communicate(timeout=60)
        finally:
            if self.proc in CURRENT:
                CURRENT.remove(self.proc)
        return _result(self.proc, "idle", out, err)
