#!/usr/bin/env python3
# The side-by-side benchmark: pelorin against Redis (append-only file, fsync
# always) and against the floor server, for several N. Prints one table and
# writes it to bench/results/ (latest.md, latest.tsv, throughput.png). `make
# bench` runs it; bench/README.md says what each row means.

import argparse
import atexit
import json
import os
import resource
import shutil
import signal
import statistics
import sys
import time
from pathlib import Path

from driver import machine, report, servers
from driver.load import CURRENT, IdleHolder, run_load

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
IDLE = 10_000
CLIENTS = 64


def settings(quick):
    # Each figure is the median of `rounds` slices; the servers take turns, so
    # that a change in the machine's load hits them alike.
    if quick:
        return dict(ns=[100, 100_000], rounds=3, slice=0.4, warmup=0.15, startups=3,
                    idle_rounds=1)
    return dict(ns=[100, 10_000, 100_000], rounds=5, slice=1.0, warmup=0.3, startups=5,
                idle_rounds=4)


def say(text):
    print(text, file=sys.stderr, flush=True)


def median_run(runs):
    """One figure from the slices: median throughput and latencies, summed errors."""
    out = dict(runs[0])
    for key in ("ops_per_s", "p50_us", "p99_us", "server_cpu", "load_cpu"):
        out[key] = statistics.median(r[key] for r in runs)
    out["errors"] = sum(r["errors"] for r in runs)
    out["slices"] = [round(r["ops_per_s"]) for r in runs]
    return out


class Bench:
    def __init__(self, build, workdir, quick):
        self.bin = build / "bin"
        self.workdir = workdir
        self.cfg = settings(quick)
        two = (os.cpu_count() or 1) >= 2
        # Servers on one CPU, the load generator on another.
        self.server_cpus = {0} if two else None
        self.load_cpus = {1} if two else None
        self.lock = f"pelorin-bench-{os.getpid()}"

    def load(self, mode, port, n, server, **kw):
        kw.setdefault("duration", self.cfg["slice"])
        kw.setdefault("warmup", self.cfg["warmup"])
        return run_load(self.bin / "pelorin-load", self.load_cpus, mode, port, n,
                        watch_pid=server.pid, **kw)

    def holder(self, server, n):
        protocol = "redis" if server.name == "redis" else "pelorin"
        return IdleHolder(self.bin / "pelorin-load", self.load_cpus, server.store_port, n,
                          IDLE, protocol)

    def servers_for(self, n):
        folder = self.workdir / f"n{n}"
        return [
            servers.Pelorin(folder / "pelorin", self.server_cpus, self.bin / "pelorin",
                            self.lock),
            servers.Redis(folder / "redis", self.server_cpus),
            servers.Floor(folder / "floor", self.server_cpus, self.bin / "pelorin-floor"),
        ]

    def fill(self, server, n):
        mode = "redis-fill" if server.name == "redis" else "fill"
        r = self.load(mode, server.store_port, n, server, duration=600, warmup=0,
                      concurrency=8, window=128)
        if r["errors"] or not r["completed"]:
            raise RuntimeError(f"{server.name}: the fill of {n} names failed: {r}")
        return r

    def taking_turns(self, all_servers, n, modes, port_of):
        slices = {s.name: [] for s in all_servers}
        for _ in range(self.cfg["rounds"]):
            for s in all_servers:
                slices[s.name].append(self.load(modes[s.name], port_of(s), n, s,
                                                 concurrency=CLIENTS))
        return {name: median_run(runs) for name, runs in slices.items()}

    def release(self, holder, server):
        """Stops the idle devices and waits until the server has let them go, so
        that the next measurement does not pay for their closing."""
        held = holder.stop()
        if held["idle_open"] != IDLE:
            raise RuntimeError(f"{server.name} closed {IDLE - held['idle_open']} idle "
                               "connections")
        deadline = time.monotonic() + 30
        while descriptors(server.pid) > IDLE // 10 and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.1)

    def idle_cost(self, server, n, figures):
        """Lookups without and with 10,000 idle devices, alternately. At the
        largest N the server's memory is read with the devices held."""
        without, with_idle = [], []
        for round_ in range(self.cfg["idle_rounds"]):
            without.append(self.load("lookups", server.lookup_port, n, server))
            holder = self.holder(server, n)
            try:
                with_idle.append(self.load("lookups", server.lookup_port, n, server))
                if round_ == self.cfg["idle_rounds"] - 1 and n == max(self.cfg["ns"]):
                    figures["rss_kib"] = resident_kib(server.pid)
            finally:
                self.release(holder, server)
        figures["idle_base"] = median_run(without)
        figures["idle_lookups"] = median_run(with_idle)

    def resident(self, server, n):
        holder = self.holder(server, n)
        try:
            time.sleep(0.2)
            return resident_kib(server.pid)
        finally:
            self.release(holder, server)

    def startup_ms(self, server):
        times = []
        for _ in range(self.cfg["startups"]):
            times.append(server.start() * 1000)
            server.stop()
        return statistics.median(times)

    def at(self, n):
        pelorin, redis, floor = all_servers = self.servers_for(n)
        figures = {s.name: {} for s in all_servers}
        try:
            for s in all_servers:
                s.start()
            for s in (pelorin, redis):
                figures[s.name]["fill"] = self.fill(s, n)
            say(f"bench: N={n:,} filled")
            modes = dict(pelorin="lookups", redis="redis-get", floor="lookups")
            for name, r in self.taking_turns(all_servers, n, modes,
                                             lambda s: s.lookup_port).items():
                figures[name]["lookups"] = r
            modes = dict(pelorin="registrations", redis="redis-set", floor="registrations")
            for name, r in self.taking_turns(all_servers, n, modes,
                                             lambda s: s.store_port).items():
                figures[name]["registrations"] = r
            for s in (pelorin, floor):
                self.idle_cost(s, n, figures[s.name])
            if n == max(self.cfg["ns"]):
                figures["redis"]["rss_kib"] = self.resident(redis, n)
        finally:
            for s in all_servers:
                s.stop()
        for s in all_servers:
            figures[s.name]["startup_ms"] = self.startup_ms(s)
        shutil.rmtree(self.workdir / f"n{n}", ignore_errors=True)
        return figures

    def run(self):
        results = {}
        for n in self.cfg["ns"]:
            began = time.monotonic()
            results[n] = self.at(n)
            for name, figures in results[n].items():
                say(f"bench: N={n:,} {name}: {summary(figures)}")
            say(f"bench: N={n:,} took {time.monotonic() - began:.1f} s")
        return results


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def summary(figures):
    parts = []
    for key in ("fill", "lookups", "registrations", "idle_base", "idle_lookups"):
        if key in figures:
            parts.append(f"{key} {figures[key]['ops_per_s']:,.0f}/s")
    parts.append(f"start-up {figures['startup_ms']:.1f} ms")
    if "rss_kib" in figures:
        parts.append(f"RSS {figures['rss_kib'] / 1024:.1f} MiB")
    return ", ".join(parts)


def write_results(results, rows, meta, cfg, out):
    out.mkdir(parents=True, exist_ok=True)
    table = report.markdown(rows)
    text = [
        "# pelorin side-by-side benchmark", "",
        f"{meta['date']} · {meta['mode']} run · {meta['nproc']} CPUs, {meta['cpu']}, "
        f"Linux {meta['kernel']} · redis {meta['redis']} · commit {meta['commit']} · "
        f"data on {meta['fs']} · other programs used {meta['other_cores']:.2f} CPUs "
        f"meanwhile · {meta['seconds']:.0f} s", "",
        f"Each throughput is the median of {cfg['rounds']} slices of {cfg['slice']} s (after "
        f"{cfg['warmup']} s of warm-up each), the servers taking turns; row 3 alternates "
        f"without and with the idle devices, {cfg['idle_rounds']} times. Servers on CPU 0, "
        "load generator on CPU 1. Brackets: p50/p99 latency in ms.", "",
        table,
    ]
    (out / "latest.md").write_text("\n".join(text))
    (out / "latest.tsv").write_text(report.tsv(rows))
    (out / "latest.json").write_text(json.dumps({"meta": meta, "results": results}, indent=1))
    return table


def cleanup(workdir):
    for proc in list(CURRENT):
        proc.kill()
    for proc in list(servers.STARTED):
        servers.stop_process(proc)
    shutil.rmtree(workdir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description="pelorin side-by-side benchmark")
    parser.add_argument("--build", default=str(ROOT / "build-release"),
                        help="build folder with bin/pelorin, pelorin-load, pelorin-floor")
    parser.add_argument("--quick", action="store_true", help="fewer seconds, fewer N")
    parser.add_argument("--out", default=str(HERE / "results"))
    args = parser.parse_args()

    build = Path(args.build).resolve()
    # On the build folder's disk, not /tmp: on a tmpfs fsync would cost nothing.
    workdir = build / "bench-run"
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    atexit.register(cleanup, workdir)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda s, _f: sys.exit(128 + s))

    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if hard != resource.RLIM_INFINITY and hard < IDLE + 1000:
        say(f"bench: the open-file limit {hard} is too low for {IDLE:,} idle connections")
        return 1

    bench = Bench(build, workdir, args.quick)
    meta = machine.describe(ROOT)
    meta.update(date=time.strftime("%Y-%m-%d %H:%M"), mode="QUICK" if args.quick else "full",
                fs=machine.filesystem(workdir))
    began = time.monotonic()
    others = machine.OtherLoad()
    results = bench.run()
    meta.update(seconds=time.monotonic() - began, other_cores=round(others.cores(), 2))
    if meta["other_cores"] > 0.1:
        say(f"bench: other programs used {meta['other_cores']:.2f} CPUs meanwhile; "
            "the figures are lower than on a quiet machine")
    out = Path(args.out)
    rows = report.build_rows(results)
    table = write_results(results, rows, meta, bench.cfg, out)
    report.plot(results, out / "throughput.dat.tmp", out / "throughput.png", HERE / "plot.gp")
    (out / "throughput.dat.tmp").unlink(missing_ok=True)
    print(table)
    print(f"bench: {meta['seconds']:.0f} s; written to {out}/latest.md, latest.tsv, "
          "throughput.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
