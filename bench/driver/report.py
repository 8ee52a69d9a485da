# The benchmark's one table: rows built from the measured figures, with the
# ratios pelorin÷redis and pelorin÷floor and each goal's pass or fail; written
# as Markdown and TSV, and throughput against N drawn with gnuplot.

import shutil
import subprocess
from dataclasses import dataclass, field

from driver import targets

SERVERS = ("pelorin", "redis", "floor")


@dataclass
class Row:
    workload: str
    n: int
    unit: str
    values: dict                       # server -> figure (None: not run)
    latency: dict = field(default_factory=dict)  # server -> (p50 µs, p99 µs)
    target: str = ""
    passed: object = None              # True, False or None (no goal)
    note: str = ""

    def ratio(self, other):
        return targets.ratio(self.values.get("pelorin"), self.values.get(other))


def _figure(runs, key):
    return runs[key]["ops_per_s"] if key in runs else None


def _latency(runs, key):
    return (runs[key]["p50_us"], runs[key]["p99_us"]) if key in runs else None


def _cpu_us(runs, key):
    """Server CPU time per operation: less sensitive than throughput to other
    programs taking CPU time."""
    run = runs.get(key)
    if not run or run["server_cpu"] < 0 or not run["ops_per_s"]:
        return None
    return run["server_cpu"] / run["ops_per_s"] * 1e6


def build_rows(results):
    """results: {n: {server: {workload: figures}}} -> table rows, by workload then N."""
    rows = {k: [] for k in ("1", "2", "3", "4", "5")}
    for n in sorted(results):
        at = results[n]
        get = lambda key: {s: _figure(at.get(s, {}), key) for s in SERVERS}
        lat = lambda key: {s: _latency(at.get(s, {}), key) for s in SERVERS}

        v = get("lookups")
        row = Row("1 lookups/s, 64 clients, new connection each", n, "ops/s", v, lat("lookups"))
        row.target, row.passed = targets.lookups(n, v["pelorin"], v["redis"], v["floor"])
        rows["1"].append(row)

        v = get("registrations")
        row = Row("2 registrations/s, 64 persistent devices", n, "ops/s", v, lat("registrations"))
        row.target, row.passed = targets.registrations(n, v["pelorin"], v["redis"], v["floor"])
        rows["2"].append(row)

        v, base = get("idle_lookups"), get("idle_base")
        row = Row("3 lookups/s with 10,000 idle devices", n, "ops/s", v, lat("idle_lookups"))
        row.target, row.passed = targets.idle_cost(v["pelorin"], base["pelorin"])
        kept = {s: targets.ratio(v[s], base[s]) for s in ("pelorin", "floor")}
        row.note = "; ".join(f"{s} keeps {k:.2f} of its {base[s]:,.0f}/s"
                             for s, k in kept.items() if k is not None)
        rows["3"].append(row)

        v = {s: at.get(s, {}).get("startup_ms") for s in SERVERS}
        row = Row("4 start-up, exec to serving", n, "ms", v)
        row.target, row.passed = targets.startup(n, v["pelorin"])
        rows["4"].append(row)

        if any("rss_kib" in at.get(s, {}) for s in SERVERS):
            v = {s: at[s]["rss_kib"] / 1024 if "rss_kib" in at.get(s, {}) else None
                 for s in SERVERS}
            row = Row("5 resident memory, N names + 10,000 idle", n, "MiB", v)
            row.target, row.passed = targets.resident(v["pelorin"])
            rows["5"].append(row)

        for key, row in (("lookups", rows["1"][-1]), ("registrations", rows["2"][-1])):
            cost = {s: _cpu_us(at.get(s, {}), key) for s in SERVERS}
            if any(v is not None for v in cost.values()):
                row.note = "server CPU µs/op: " + ", ".join(
                    f"{s} {v:.0f}" for s, v in cost.items() if v is not None)
            # A server is only measured if the load generator had CPU to spare.
            bound = [s for s in SERVERS
                     if key in at.get(s, {}) and at[s][key]["load_cpu"] > 0.9]
            if bound:
                row.note += "; load generator saturated for " + ", ".join(bound)
        errors = {k: sum(at[s][k]["errors"] for s in SERVERS if k in at.get(s, {}))
                  for k in ("lookups", "registrations", "idle_lookups")}
        errors["idle_lookups"] += sum(at[s]["idle_base"]["errors"] for s in SERVERS
                                      if "idle_base" in at.get(s, {}))
        for key, row in (("lookups", rows["1"][-1]), ("registrations", rows["2"][-1]),
                         ("idle_lookups", rows["3"][-1])):
            if errors[key]:
                row.passed = False
                row.note = (row.note + "; " if row.note else "") + f"{errors[key]} errors"
    return [row for key in sorted(rows) for row in rows[key]]


def _number(value, unit):
    if value is None:
        return "–"
    if unit == "ops/s":
        return f"{value:,.0f}"
    return f"{value:,.1f}"


def _cell(row, server):
    text = _number(row.values.get(server), row.unit)
    lat = row.latency.get(server)
    if lat:
        text += f" ({lat[0] / 1000:.2f}/{lat[1] / 1000:.2f})"
    return text


def _ratio(value):
    return "–" if value is None else f"{value:.2f}×"


def _verdict(passed):
    return {True: "pass", False: "**FAIL**", None: ""}[passed]


HEADER = ["workload", "N", "unit", "pelorin", "redis", "floor", "pelorin÷redis",
          "pelorin÷floor", "target", "result", "note"]


def markdown(rows):
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    for r in rows:
        cells = [r.workload, f"{r.n:,}", r.unit, _cell(r, "pelorin"), _cell(r, "redis"),
                 _cell(r, "floor"), _ratio(r.ratio("redis")), _ratio(r.ratio("floor")),
                 r.target, _verdict(r.passed), r.note]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def tsv(rows):
    head = ["workload", "n", "unit"]
    for s in SERVERS:
        head += [s, f"{s}_p50_us", f"{s}_p99_us"]
    head += ["pelorin_by_redis", "pelorin_by_floor", "target", "passed", "note"]
    out = ["\t".join(head)]
    for r in rows:
        cells = [r.workload, str(r.n), r.unit]
        for s in SERVERS:
            v, lat = r.values.get(s), r.latency.get(s)
            cells += ["" if v is None else f"{v:.1f}",
                      "" if not lat else f"{lat[0]:.1f}", "" if not lat else f"{lat[1]:.1f}"]
        for other in ("redis", "floor"):
            x = r.ratio(other)
            cells.append("" if x is None else f"{x:.3f}")
        cells += [r.target, {True: "pass", False: "fail", None: ""}[r.passed], r.note]
        out.append("\t".join(cells))
    return "\n".join(out) + "\n"


def plot(results, data_path, png_path, script_path):
    """Throughput against N for workloads 1 and 2; False when gnuplot is missing."""
    if shutil.which("gnuplot") is None:
        return False
    lines = ["# n pelorin_lookups redis_lookups floor_lookups"
             " pelorin_registrations redis_registrations floor_registrations"]
    for n in sorted(results):
        cells = [str(n)]
        for key in ("lookups", "registrations"):
            for s in SERVERS:
                run = results[n].get(s, {}).get(key)
                cells.append(f"{run['ops_per_s']:.1f}" if run else "NaN")
        lines.append(" ".join(cells))
    data_path.write_text("\n".join(lines) + "\n")
    subprocess.run(["gnuplot", "-e", f"data='{data_path}'; out='{png_path}'", str(script_path)],
                   check=True)
    return True
