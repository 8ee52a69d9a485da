#!/usr/bin/env python3
"""Runs the reliability checks of one make target (short: `make test-reliability`,
soak: `make soak`, fuzz: `make fuzz`), prints a PASS, FAIL or SKIP line per
check, and ends with the line "N passed, N failed" (", N skipped")."""

import argparse
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
FUZZ = os.path.join(ROOT, "tests", "fuzz")
SKIP = 77
PY = sys.executable

# The sanitizers stop at the first error; reports go to files, so that one
# from a daemon whose output a test does not read is still seen.
def sanitizer_env(report_dir):
    prefix = os.path.join(report_dir, "report")
    return {
        "ASAN_OPTIONS": "detect_leaks=1:check_initialization_order=1:strict_init_order=1:"
                        "detect_stack_use_after_return=1:log_path=" + prefix,
        "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1:log_path=" + prefix,
    }


class Check:
    def __init__(self, name, argv=None, fn=None, env=None, group=None):
        self.name, self.argv, self.fn, self.env, self.group = name, argv, fn, env, group


class Runner:
    def __init__(self):
        self.results = []  # (name, status, seconds, note)
        self.print_lock = threading.Lock()
        self.started = time.monotonic()

    def say(self, text):
        with self.print_lock:
            print(text, flush=True)

    def run_one(self, check, quiet):
        """Runs a check; its output streams, or is printed at its end (quiet)."""
        t0 = time.monotonic()
        note = ""
        if check.fn is not None:
            try:
                status, note = check.fn(self)
            except Exception as e:  # a broken check is a failed one
                status, note = "FAIL", repr(e)
        else:
            env = dict(os.environ, **(check.env or {}))
            if quiet:
                p = subprocess.run(check.argv, cwd=ROOT, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
                self.say(p.stdout.decode(errors="replace").rstrip())
                rc = p.returncode
            else:
                self.say("--- %s: %s" % (check.name, " ".join(shlex.quote(a) for a in check.argv)))
                rc = subprocess.call(check.argv, cwd=ROOT, env=env)
            status = "PASS" if rc == 0 else "SKIP" if rc == SKIP else "FAIL"
            if status == "FAIL":
                note = "exit status %d" % rc
        secs = time.monotonic() - t0
        self.results.append((check.name, status, secs, note))
        self.say("%s %s (%.1f s)%s" % (status, check.name, secs, ": " + note if note else ""))

    def run(self, checks, jobs):
        i = 0
        while i < len(checks):
            group = checks[i].group
            if group is None:
                self.run_one(checks[i], quiet=False)
                i += 1
                continue
            batch = []
            while i < len(checks) and checks[i].group == group:
                batch.append(checks[i])
                i += 1
            # A group runs `jobs` at a time, each printing its output when done.
            pending = list(batch)
            while pending:
                threads = [threading.Thread(target=self.run_one, args=(c, True)) for c in pending[:jobs]]
                pending = pending[jobs:]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()

    def summary(self):
        passed = sum(1 for r in self.results if r[1] == "PASS")
        failed = sum(1 for r in self.results if r[1] == "FAIL")
        skipped = sum(1 for r in self.results if r[1] == "SKIP")
        print("", flush=True)
        for name, status, secs, note in self.results:
            print("  %-4s %-56s %7.1f s" % (status, name, secs))
        print("  wall time %.0f s" % (time.monotonic() - self.started))
        line = "%d passed, %d failed" % (passed, failed)
        if skipped:
            line += ", %d skipped" % skipped
        print(line, flush=True)
        return 1 if failed else 0


# --------------------------------------------------------------------------
# Checks made of several commands


def fuzz_build(build, jobs):
    def fn(runner):
        argv = ["make", "--no-print-directory", "-f", os.path.join(FUZZ, "fuzz.mk"),
                "-j%d" % jobs, "FUZZ_BUILD=" + build, "fuzz-build"]
        p = subprocess.run(argv, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if p.returncode != 0:
            runner.say(p.stdout.decode(errors="replace")[-6000:])
            return "FAIL", "the fuzz targets do not build"
        return "PASS", "4 targets in %s" % build
    return fn


def sanitizer_suite(build, jobs, cxx_flags):
    """Configures and builds the whole project with ASan and UBSan in its own
    folder and runs its ctest suite there (without the Qt desktop shell)."""
    def fn(runner):
        log_path = os.path.join(build, "reliability-build.log")
        os.makedirs(build, exist_ok=True)
        reports = os.path.join(build, "sanitizer-reports")
        shutil.rmtree(reports, ignore_errors=True)
        os.makedirs(reports)
        steps = [
            ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Debug",
             "-DCMAKE_CXX_FLAGS=" + cxx_flags, "-DCMAKE_DISABLE_FIND_PACKAGE_Qt6=TRUE"],
            ["cmake", "--build", build, "-j", str(jobs)],
        ]
        with open(log_path, "wb") as log:
            for argv in steps:
                t0 = time.monotonic()
                rc = subprocess.call(argv, cwd=ROOT, stdout=log, stderr=subprocess.STDOUT)
                runner.say("  %s: %.0f s" % (" ".join(argv[:2]), time.monotonic() - t0))
                if rc != 0:
                    runner.say(open(log_path, "rb").read().decode(errors="replace")[-6000:])
                    return "FAIL", "the sanitizer build failed (log: %s)" % log_path
        env = dict(os.environ, **sanitizer_env(reports))
        p = subprocess.run(["ctest", "--test-dir", build, "--output-on-failure", "-j", str(jobs),
                            "-LE", "desktop", "--no-tests=error"],
                           cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = p.stdout.decode(errors="replace")
        runner.say(out.rstrip() if p.returncode != 0 else "\n".join(out.rstrip().splitlines()[-3:]))
        found = sorted(glob.glob(os.path.join(reports, "report*")))
        for f in found[:5]:
            runner.say("--- sanitizer report %s\n%s" % (f, open(f, errors="replace").read()[-4000:]))
        m = re.search(r"(\d+)% tests passed, (\d+) tests? failed out of (\d+)", out)
        counts = "%s of %s tests passed" % (int(m.group(3)) - int(m.group(2)), m.group(3)) if m else "no ctest summary"
        if p.returncode != 0 or found:
            return "FAIL", "%s; %d sanitizer report(s) in %s" % (counts, len(found), reports)
        return "PASS", counts
    return fn


def core_regressions(bin_dir, out_dir, jobs):
    """The gtest regression tests of tests/reliability/, built against the
    libraries of the build under test (when CMake has not built them itself)."""
    def fn(runner):
        build = os.path.dirname(bin_dir)
        binary = os.path.join(bin_dir, "core_regressions_test")
        if not os.path.exists(binary):
            # Built here unless CMake built it (tests/CMakeLists.txt may register it).
            libs = [os.path.join(build, l) for l in ("app/libpelorin_app.a", "net/libpelorin_net.a",
                                                     "net/libpelorin_wire.a", "store/libpelorin_store.a")]
            missing = [l for l in libs if not os.path.exists(l)]
            if missing:
                return "FAIL", "libraries not built: %s" % " ".join(missing)
            # The headers of the sources that build was made from.
            source = ROOT
            cache = os.path.join(build, "CMakeCache.txt")
            if os.path.exists(cache):
                m = re.search(r"^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$", open(cache).read(), re.M)
                source = m.group(1) if m else ROOT
            os.makedirs(out_dir, exist_ok=True)
            binary = os.path.join(out_dir, "core_regressions_test")
            test_source = os.path.join(HERE, "core_regressions_test.cc")
            newest_input = max(os.path.getmtime(f) for f in libs + [test_source])
            fresh = os.path.exists(binary) and os.path.getmtime(binary) > newest_input
            argv = ["g++", "-std=c++20", "-g", "-O1", "-Wall", "-Wextra", "-Wconversion", "-Wshadow",
                    "-Werror", "-DASIO_STANDALONE", "-DASIO_NO_DEPRECATED", "-DASIO_DISABLE_STD_ALIGNED_ALLOC", "-pthread", "-I", source,
                    os.path.join(HERE, "core_regressions_test.cc")] + libs + [
                    "-lgtest_main", "-lgtest", "-lsystemd", "-o", binary]
            p = None if fresh else subprocess.run(argv, cwd=ROOT, stdout=subprocess.PIPE,
                                                  stderr=subprocess.STDOUT)
            if p is not None and p.returncode != 0:
                runner.say(p.stdout.decode(errors="replace")[-6000:])
                return "FAIL", "core_regressions_test does not build"
        p = subprocess.run([binary, "--gtest_brief=1"], cwd=ROOT, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=300)
        out = p.stdout.decode(errors="replace")
        runner.say(out.rstrip())
        m = re.search(r"(\d+) tests? from \d+ test suites? ran", out)
        ran = m.group(1) if m else "?"
        if p.returncode != 0:
            return "FAIL", "%s tests ran, some failed" % ran
        return "PASS", "%s tests" % ran
    return fn


def daemon_tests_under_sanitizers(bin_dir, report_dir):
    """Some daemon checks again, against the sanitizer build's daemon."""
    def fn(runner):
        shutil.rmtree(report_dir, ignore_errors=True)
        os.makedirs(report_dir)
        env = dict(os.environ, **sanitizer_env(report_dir))
        bad = []
        for script, extra in (("resources_test.py", ["--seconds", "1", "--churn", "2000", "--held", "500", "--skip-rss"]),
                              ("unwritable_test.py", [])):
            argv = [PY, os.path.join(HERE, script), "--bin", bin_dir] + extra
            runner.say("--- %s" % " ".join(argv))
            if subprocess.call(argv, cwd=ROOT, env=env) != 0:
                bad.append(script)
        found = sorted(glob.glob(os.path.join(report_dir, "report*")))
        for f in found[:5]:
            runner.say("--- sanitizer report %s\n%s" % (f, open(f, errors="replace").read()[-4000:]))
        if bad or found:
            return "FAIL", "%s failed; %d sanitizer report(s)" % (" ".join(bad) or "none", len(found))
        return "PASS", "resources and unwritable, no sanitizer report"
    return fn


# --------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("mode", choices=["short", "soak", "fuzz"])
    ap.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"), help="folder of pelorin")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--crash-rounds", type=int, default=None)
    ap.add_argument("--soak-seconds", type=int, default=int(os.environ.get("SOAK_SECONDS", 600)))
    ap.add_argument("--fuzz-seconds", type=int, default=None)
    ap.add_argument("--fuzz-build", default=os.path.join(ROOT, "build-fuzz"))
    ap.add_argument("--asan-build", default=os.path.join(ROOT, "build-asan"))
    ap.add_argument("--rel-build", default=os.path.join(ROOT, "build-rel"),
                    help="where checks built here go")
    ap.add_argument("--asan-flags", default="-fsanitize=address,undefined -fno-omit-frame-pointer "
                    # GCC 12 warns falsely in <regex> under ASan; -Werror would stop the build.
                    "-Wno-maybe-uninitialized")
    ap.add_argument("--only", default=None, help="run only the checks whose names contain this")
    args = ap.parse_args()
    # Absolute: the sanitizers' report paths are read from other working folders.
    for name in ("bin", "fuzz_build", "asan_build", "rel_build"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    bin_dir = args.bin
    fuzz_targets = ["decode_registration", "decode_lookup", "ini_reader", "ini_editor",
                    "scan_journal"]

    def fuzz_checks(seconds):
        return [Check("fuzz targets build", fn=fuzz_build(args.fuzz_build, args.jobs))] + [
            Check("fuzz %s, %d s" % (t, seconds),
                  [PY, os.path.join(FUZZ, "run_fuzzers.py"), "--build", args.fuzz_build,
                   "--seconds", str(seconds), "--jobs", "1", t], group="fuzz")
            for t in fuzz_targets]

    def daemon(script, *extra):
        return [PY, os.path.join(HERE, script), "--bin", bin_dir] + list(extra)

    if args.mode == "short":
        rounds = args.crash_rounds or 50
        checks = [
            Check("core regressions (gtest)",
                  fn=core_regressions(bin_dir, args.rel_build, args.jobs)),
            Check("crash: SIGKILL storm, %d rounds" % rounds,
                  daemon("crash_test.py", "--rounds", str(rounds))),
            Check("full disk", daemon("full_disk_test.py")),
            Check("unwritable file", daemon("unwritable_test.py")),
            Check("resources: descriptors, endless bytes and connections",
                  daemon("resources_test.py")),
        ] + fuzz_checks(args.fuzz_seconds or 20) + [
            Check("ASan+UBSan: unit and end-to-end suite",
                  fn=sanitizer_suite(args.asan_build, args.jobs, args.asan_flags)),
            Check("ASan+UBSan: daemon under resource exhaustion",
                  fn=daemon_tests_under_sanitizers(os.path.join(args.asan_build, "bin"),
                                                   os.path.join(args.asan_build, "sanitizer-daemon-reports"))),
        ]
    elif args.mode == "soak":
        rounds = args.crash_rounds or 1000
        checks = [
            Check("crash: SIGKILL storm, %d rounds" % rounds,
                  daemon("crash_test.py", "--rounds", str(rounds))),
            Check("soak: %d s of mixed traffic" % args.soak_seconds,
                  daemon("soak_test.py", "--seconds", str(args.soak_seconds))),
        ]
    else:
        checks = fuzz_checks(args.fuzz_seconds or int(os.environ.get("FUZZ_SECONDS", 300)))
    if args.only:
        checks = [c for c in checks if args.only in c.name]

    runner = Runner()
    runner.run(checks, args.jobs)
    return runner.summary()


if __name__ == "__main__":
    sys.exit(main())
