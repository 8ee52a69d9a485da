# What the report says about the machine: CPU model and count, kernel, Redis
# version, the file system the data lives on, and how much CPU other programs
# took while the benchmark ran (a busy machine makes every figure lower).

import os
import platform
import resource
import subprocess
import time


def describe(root):
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    redis = subprocess.run(["redis-server", "--version"], capture_output=True,
                           text=True).stdout.split()
    commit = subprocess.run(["git", "-C", str(root), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    return dict(nproc=os.cpu_count(), cpu=model, kernel=platform.release(),
                redis=redis[2].removeprefix("v=") if len(redis) > 2 else "?",
                commit=commit or "?")


def filesystem(path):
    """The type of the file system `path` is on (ext4, tmpfs, ...)."""
    best = ("?", "")
    with open("/proc/mounts") as f:
        for line in f:
            _, point, kind = line.split()[:3]
            inside = str(path) == point or str(path).startswith(point.rstrip("/") + "/")
            if inside and len(point) >= len(best[1]):
                best = (kind, point)
    return best[0]


def _busy_seconds():
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]  # idle and iowait
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def _ours_seconds():
    me = resource.getrusage(resource.RUSAGE_SELF)
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return me.ru_utime + me.ru_stime + kids.ru_utime + kids.ru_stime


class OtherLoad:
    """CPU cores used by everything but this benchmark, between start and stop."""

    def __init__(self):
        self.wall = time.monotonic()
        self.busy = _busy_seconds()
        self.ours = _ours_seconds()

    def cores(self):
        wall = time.monotonic() - self.wall
        other = (_busy_seconds() - self.busy) - (_ours_seconds() - self.ours)
        return max(0.0, other / wall) if wall > 0 else 0.0
