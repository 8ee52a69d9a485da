#!/usr/bin/env bash
# Checks the Debian packages that `make package` left in a directory (default
# build-pkg/): lintian finds no errors, the files sit where they belong, the
# packaged programs and systemd unit work, and, when run as root on a machine
# without pelorin installed, the packages install and purge cleanly, and the
# service runs under a real systemd (packaging/test-service-boot.sh).
# Usage: packaging/test-package.sh [DIR]     Prints "N passed, M failed" last.
# PELORIN_PKG_TEST_INSTALL=0 skips both of those steps.
set -uo pipefail

dir=${1:-build-pkg}
passed=0
failed=0
scratch=$(mktemp -d)
daemon_pid=
cleanup() {
  if [[ -n "$daemon_pid" ]]; then kill "$daemon_pid" 2>/dev/null; wait "$daemon_pid" 2>/dev/null; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; shift; for line in "$@"; do echo "     $line"; done; }
finish() { echo "$passed passed, $failed failed"; [[ $failed -eq 0 ]]; exit $?; }

shopt -s nullglob
core_debs=("$dir"/pelorin_*.deb)
desktop_debs=("$dir"/pelorin-desktop_*.deb)
shopt -u nullglob
if [[ ${#core_debs[@]} -ne 1 ]]; then
  fail "exactly one pelorin_*.deb in $dir" "found: ${core_debs[*]:-none}"
  finish
fi
core=${core_debs[0]}
desktop=${desktop_debs[0]:-}
debs=("$core" ${desktop:+"$desktop"})
version=$(dpkg-deb -f "$core" Version)

# --- lintian ------------------------------------------------------------------
# Errors fail; warnings are shown. (Lintian warns when run as root; that is not
# about the packages.)
lintian_out=$(lintian --no-tag-display-limit "${debs[@]}" 2>&1)
mapfile -t lintian_errors < <(grep -E '^E: ' <<<"$lintian_out")
if [[ ${#lintian_errors[@]} -eq 0 ]]; then
  pass "lintian reports no errors ($(grep -c '^W: ' <<<"$lintian_out") warnings)"
  grep -E '^W: ' <<<"$lintian_out" | sed 's/^/     /'
else
  fail "lintian reports no errors" "${lintian_errors[@]}"
fi

# --- control fields -------------------------------------------------------------
fields=$(dpkg-deb -f "$core" Package Section Depends Maintainer)
depends=$(dpkg-deb -f "$core" Depends)
if [[ $(dpkg-deb -f "$core" Package) == pelorin && $(dpkg-deb -f "$core" Section) == net &&
      $depends == *libc6* && $depends == *libsystemd0* && $depends == *libstdc++6* &&
      $depends != *qt* && $depends != *Qt* ]]; then
  pass "pelorin: name, section net, shared-library depends, no Qt"
else
  fail "pelorin: name, section net, shared-library depends, no Qt" "$fields"
fi
if [[ -n "$desktop" ]]; then
  ddepends=$(dpkg-deb -f "$desktop" Depends)
  if [[ $ddepends == *"pelorin (= $version)"* && $ddepends == *libqt6* ]]; then
    pass "pelorin-desktop depends on pelorin (= $version) and on Qt"
  else
    fail "pelorin-desktop depends on pelorin (= $version) and on Qt" "Depends: $ddepends"
  fi
fi

# --- files --------------------------------------------------------------------
root=$scratch/root
mkdir -p "$root"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done

expect_files() {  # mode path...
  local mode=$1 missing=() p
  shift
  for p in "$@"; do
    if [[ ! -f "$root/$p" ]]; then
      missing+=("missing: /$p")
    elif [[ $(stat -c %a "$root/$p") != "$mode" ]]; then
      missing+=("mode $(stat -c %a "$root/$p") instead of $mode: /$p")
    fi
  done
  if [[ ${#missing[@]} -eq 0 ]]; then pass "files in place, mode $mode: $*"; else fail "files in place, mode $mode" "${missing[@]}"; fi
}
expect_files 755 usr/sbin/pelorin usr/bin/pelorinctl
expect_files 644 lib/systemd/system/pelorin.service \
  usr/share/man/man8/pelorin.8.gz usr/share/man/man1/pelorinctl.1.gz \
  usr/share/doc/pelorin/examples/enpos.ini usr/share/pelorin/enpos.ini usr/share/doc/pelorin/copyright \
  usr/share/doc/pelorin/changelog.Debian.gz
if [[ -n "$desktop" ]]; then
  expect_files 644 usr/lib/pelorin/pelorin-desktop.so usr/share/doc/pelorin-desktop/copyright \
    usr/share/doc/pelorin-desktop/changelog.Debian.gz
fi

# Stripped, and neither program nor its libraries pull in Qt.
bad=()
for p in usr/sbin/pelorin usr/bin/pelorinctl; do
  [[ $(file -b "$root/$p") == *", stripped"* ]] || bad+=("not stripped: /$p")
  ! readelf -d "$root/$p" 2>/dev/null | grep -qi 'NEEDED.*qt' || bad+=("links Qt: /$p")
done
if [[ ${#bad[@]} -eq 0 ]]; then pass "programs are stripped and do not link Qt"; else fail "programs are stripped and do not link Qt" "${bad[@]}"; fi

# Manual pages: the pages man renders, without complaint, with their sections.
man_bad=()
for page in usr/share/man/man8/pelorin.8.gz usr/share/man/man1/pelorinctl.1.gz; do
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/$page" 2>"$scratch/man.err")
  [[ ! -s "$scratch/man.err" ]] || man_bad+=("$page: $(head -3 "$scratch/man.err")")
  for section in SYNOPSIS OPTIONS "EXIT STATUS" EXAMPLES FILES "SEE ALSO"; do
    grep -q "^$section" <<<"$text" || man_bad+=("$page: no section $section")
  done
done
man8=$(MANWIDTH=200 man -l "$root/usr/share/man/man8/pelorin.8.gz" 2>/dev/null)
for word in '[Connect]' '[enposinfo]' port1 port2 CorrEct SaveErr '01 01 01' 255; do
  grep -qF -- "$word" <<<"$man8" || man_bad+=("pelorin(8) does not mention $word")
done
if [[ ${#man_bad[@]} -eq 0 ]]; then pass "manual pages render cleanly and cover the file, wire formats and exit statuses"; else fail "manual pages" "${man_bad[@]}"; fi

# --- programs -----------------------------------------------------------------
out=$("$root/usr/sbin/pelorin" --version 2>&1)
if [[ $? -eq 0 && $out == "pelorin ${version%-*}" ]]; then pass "pelorin --version: $out"; else fail "pelorin --version" "$out"; fi
out=$("$root/usr/bin/pelorinctl" --help 2>&1)
if [[ $? -eq 0 && $out == *register* && $out == *lookup* && $out == *list* ]]; then
  pass "pelorinctl --help"
else
  fail "pelorinctl --help" "$out"
fi

# The packaged daemon, started the way the unit starts it: the unit's
# ExecStartPre puts the packaged file in an empty state directory (and leaves
# an existing one alone), then pelorin runs headless on it, on free ports, with
# a notify socket standing in for systemd. Expected: READY=1 once listening, a
# registration stored on disk beside the file's comments, a lookup, STOPPING=1
# and status 0 on SIGTERM.
pre=$(sed -n 's/^ExecStartPre=//p' "$root/lib/systemd/system/pelorin.service")
smoke=$(python3 - "$root" "$scratch" "$pre" <<'EOF' 2>&1
import os, shlex, signal, socket, subprocess, sys, time
root, scratch, pre = sys.argv[1], sys.argv[2], sys.argv[3]
work = os.path.join(scratch, "state")
os.mkdir(work)

# ExecStartPre, with the packaged paths moved into the extracted root.
pre_argv = [a.replace("/usr/share/pelorin/", os.path.join(root, "usr/share/pelorin/"))
            for a in shlex.split(pre)]
assert pre_argv, "the unit has no ExecStartPre"
template = open(os.path.join(root, "usr/share/pelorin/enpos.ini")).read()
ini = os.path.join(work, "enpos.ini")
subprocess.run(pre_argv, cwd=work, check=True, timeout=10)
assert open(ini).read() == template, "ExecStartPre did not copy the packaged file"
open(ini, "a").write("; kept\n")
subprocess.run(pre_argv, cwd=work, check=True, timeout=10)
assert open(ini).read().endswith("; kept\n"), "ExecStartPre overwrote an existing file"

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

p1, p2 = free_port(), free_port()
example = open(ini).read()
assert "port1=10001" in example and "port2=10002" in example, "the file lacks the default ports"
open(ini, "w").write(example.replace("port1=10001", f"port1={p1}").replace("port2=10002", f"port2={p2}"))

notify_path = os.path.join(scratch, "notify")
notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
notify.bind(notify_path)
notify.settimeout(0.2)

def wait_notification(want):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            msg = notify.recv(4096).decode()
        except socket.timeout:
            if daemon.poll() is not None:
                raise AssertionError(f"pelorin exited with {daemon.returncode} before {want}") from None
            continue
        if want in msg.split("\n"):
            return
    raise AssertionError(f"no {want} within 10 s")

env = dict(os.environ, NOTIFY_SOCKET=notify_path,
           PELORIN_INSTANCE_LOCK=f"pelorin-package-test-{os.getpid()}")
daemon = subprocess.Popen([os.path.join(root, "usr/sbin/pelorin"), "--headless", "--ini", ini],
                          cwd=work, env=env, stderr=subprocess.PIPE, text=True)
try:
    wait_notification("READY=1")
    ctl = os.path.join(root, "usr/bin/pelorinctl")
    r = subprocess.run([ctl, "--port", str(p1), "register", "printer-2", "192.168.1.20"],
                       capture_output=True, text=True, timeout=10)
    assert r.returncode == 0, f"register: {r.returncode} {r.stdout} {r.stderr}"
    r = subprocess.run([ctl, "--port", str(p2), "lookup", "printer-2"],
                       capture_output=True, text=True, timeout=10)
    assert r.returncode == 0 and r.stdout.strip() == "192.168.1.20", f"lookup: {r.returncode} {r.stdout!r}"
    r = subprocess.run([ctl, "list", "--ini", ini], capture_output=True, text=True, timeout=10)
    assert r.returncode == 0 and "printer-2" in r.stdout and "192.168.1.20" in r.stdout, f"list: {r.stdout!r}"
    text = open(ini).read()
    assert "printer-2=192.168.1.20" in text, f"file after registration:\n{text}"
    assert text.startswith(example.splitlines()[0]), "the example's comments were lost"
    daemon.send_signal(signal.SIGTERM)
    wait_notification("STOPPING=1")
    status = daemon.wait(timeout=10)
    assert status == 0, f"exit status {status}"
finally:
    if daemon.poll() is None:
        daemon.kill()
        daemon.wait()
    err = daemon.stderr.read()
    if err:
        print("daemon stderr:", *err.splitlines()[-8:], sep="\n  ")
EOF
)
if [[ $? -eq 0 ]]; then pass "packaged daemon and client: first file in place, notify READY/STOPPING, register, lookup, list, exit 0"; else fail "packaged daemon and client" "$smoke"; fi

# --- systemd unit ---------------------------------------------------------------
# verify needs the ExecStart binary: a copy of the unit points at the extracted
# one; MANPATH makes the Documentation= pages resolve to the packaged ones.
unit=$root/lib/systemd/system/pelorin.service
mkdir -p "$scratch/unit"
sed "s#^ExecStart=/usr/sbin/pelorin #ExecStart=$root/usr/sbin/pelorin #" "$unit" >"$scratch/unit/pelorin.service"
if grep -q "^ExecStart=$root/usr/sbin/pelorin --headless --ini /var/lib/pelorin/enpos.ini$" "$scratch/unit/pelorin.service"; then
  out=$(MANPATH=$root/usr/share/man systemd-analyze verify "$scratch/unit/pelorin.service" 2>&1)
  if [[ $? -eq 0 && -z "$out" ]]; then pass "systemd-analyze verify: no complaints"; else fail "systemd-analyze verify" "$out"; fi
else
  fail "unit runs /usr/sbin/pelorin --headless --ini /var/lib/pelorin/enpos.ini" "$(grep ^ExecStart "$unit")"
fi
settings=$(grep -E '^[A-Za-z]+=' "$unit")
unit_bad=()
for want in Type=notify DynamicUser=yes StateDirectory=pelorin WorkingDirectory=/var/lib/pelorin \
            Restart=on-failure NoNewPrivileges=yes ProtectSystem=strict PrivateTmp=yes \
            "RestrictAddressFamilies=AF_INET AF_UNIX" LimitNOFILE=65536 CapabilityBoundingSet=; do
  grep -qxF -- "$want" <<<"$settings" || unit_bad+=("missing $want")
done
score=$(systemd-analyze security --offline=yes "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for pelorin.service: \([0-9.]*\).*/\1/p')
# --threshold is in tenths: 15 means an exposure of 1.5 at most.
systemd-analyze security --offline=yes --threshold=15 "$unit" >/dev/null 2>&1 || unit_bad+=("exposure ${score:-unknown} is over 1.5")
if [[ ${#unit_bad[@]} -eq 0 ]]; then pass "unit settings and hardening (exposure $score)"; else fail "unit settings and hardening" "${unit_bad[@]}"; fi

# --- install and purge ------------------------------------------------------------
if [[ ${PELORIN_PKG_TEST_INSTALL:-1} == 0 ]]; then
  echo "skip dpkg -i / dpkg -P: PELORIN_PKG_TEST_INSTALL=0"
elif [[ $(id -u) -ne 0 ]]; then
  echo "skip dpkg -i / dpkg -P: not root"
elif dpkg-query -W -f='${Status}' pelorin 2>/dev/null | grep -q installed ||
     dpkg-query -W -f='${Status}' pelorin-desktop 2>/dev/null | grep -q installed; then
  echo "skip dpkg -i / dpkg -P: pelorin is installed on this machine and stays untouched"
else
  install_bad=()
  pkgs=(pelorin ${desktop:+pelorin-desktop})
  if ! out=$(dpkg -i "${debs[@]}" 2>&1); then
    install_bad+=("dpkg -i failed:" "$out")
  else
    for p in /usr/sbin/pelorin /usr/bin/pelorinctl /lib/systemd/system/pelorin.service; do
      [[ -x $p || -f $p ]] || install_bad+=("not installed: $p")
    done
    [[ $(/usr/sbin/pelorin --version 2>&1) == "pelorin ${version%-*}" ]] || install_bad+=("installed pelorin --version fails")
    wants=/etc/systemd/system/multi-user.target.wants/pelorin.service
    [[ -L $wants ]] || install_bad+=("postinst did not enable the unit ($wants)")
    [[ -z $(dpkg --audit 2>&1) ]] || install_bad+=("dpkg --audit: $(dpkg --audit 2>&1 | head -3)")
  fi
  if ! out=$(dpkg -P "${pkgs[@]}" 2>&1); then install_bad+=("dpkg -P failed:" "$out"); fi
  for p in /usr/sbin/pelorin /usr/bin/pelorinctl /lib/systemd/system/pelorin.service \
           /etc/systemd/system/multi-user.target.wants/pelorin.service; do
    [[ ! -e $p && ! -L $p ]] || install_bad+=("left after purge: $p")
  done
  if dpkg-query -W -f='${Status}' pelorin 2>/dev/null | grep -qv "not-installed"; then
    install_bad+=("dpkg still knows pelorin: $(dpkg-query -W -f='${Status}' pelorin)")
  fi
  if [[ ${#install_bad[@]} -eq 0 ]]; then pass "dpkg -i enables the unit; dpkg -P leaves nothing behind"; else fail "dpkg -i / dpkg -P" "${install_bad[@]}"; fi
fi

# --- the unit under a real systemd -------------------------------------------------
if [[ ${PELORIN_PKG_TEST_INSTALL:-1} == 0 ]]; then
  echo "skip service under systemd: PELORIN_PKG_TEST_INSTALL=0"
else
  boot=$("$(dirname "$0")/test-service-boot.sh" "$core" 2>&1)
  echo "$boot"
  passed=$((passed + $(grep -c '^ok ' <<<"$boot")))
  failed=$((failed + $(grep -c '^FAIL ' <<<"$boot")))
fi

finish
