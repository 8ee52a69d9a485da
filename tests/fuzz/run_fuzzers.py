#!/usr/bin/env python3
"""Runs the built libFuzzer targets for a set time each (a few at once), on a
work corpus in the build folder seeded from tests/fuzz/corpus/<target>/, and
prints one line per target with its figures: "ok" or "FAILED"."""

import argparse
import concurrent.futures
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TARGETS = ["decode_registration", "decode_lookup", "ini_reader", "ini_editor"]
DICTS = {"ini_reader": "ini.dict", "ini_editor": "ini.dict"}


def run(target, build, seconds):
    binary = os.path.join(build, target + "_fuzz")
    work = os.path.join(build, "corpus", target)
    artifacts = os.path.join(build, "artifacts", target)
    logs = os.path.join(build, "logs")
    for d in (work, artifacts, logs):
        os.makedirs(d, exist_ok=True)
    log_path = os.path.join(logs, target + ".log")
    cmd = [binary, "-max_total_time=%d" % seconds, "-timeout=10", "-rss_limit_mb=2048",
           "-print_final_stats=1", "-artifact_prefix=" + artifacts + "/"]
    if target in DICTS:
        cmd.append("-dict=" + os.path.join(HERE, DICTS[target]))
    cmd += [work, os.path.join(HERE, "corpus", target)]
    env = dict(os.environ, ASAN_OPTIONS="abort_on_error=0:detect_leaks=1",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    t0 = time.monotonic()
    with open(log_path, "wb") as log:
        try:
            rc = subprocess.call(cmd, stdout=log, stderr=log, env=env, timeout=seconds + 300)
        except subprocess.TimeoutExpired:
            rc = -1
    took = time.monotonic() - t0
    text = open(log_path, "rb").read().decode(errors="replace")
    runs = re.findall(r"stat::number_of_executed_units:\s*(\d+)", text)
    cov = re.findall(r"\bcov: (\d+)", text)
    corp = re.findall(r"\bcorp: (\d+)", text)
    figures = "%s runs in %.0f s, coverage %s, corpus %s" % (
        runs[-1] if runs else "?", took, cov[-1] if cov else "?", corp[-1] if corp else "?")
    if rc == 0:
        return True, "fuzz %s: ok: %s" % (target, figures), ""
    crash = sorted(os.listdir(artifacts))
    tail = "\n".join(text.splitlines()[-40:])
    return False, ("fuzz %s: FAILED (exit %s): %s; artifacts: %s; log: %s"
                   % (target, rc, figures, " ".join(os.path.join(artifacts, c) for c in crash) or "none",
                      log_path)), tail


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--build", default="build-fuzz")
    ap.add_argument("--seconds", type=int, default=int(os.environ.get("FUZZ_SECONDS", "300")))
    ap.add_argument("--jobs", type=int, default=2, help="targets run at once")
    ap.add_argument("targets", nargs="*", default=TARGETS)
    args = ap.parse_args()
    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = [pool.submit(run, t, args.build, args.seconds) for t in args.targets]
        for f in futures:
            ok, line, tail = f.result()
            if not ok:
                failed += 1
                print(tail, flush=True)
            print(line, flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
