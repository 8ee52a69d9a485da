#!/usr/bin/env bash
# Runs the packaged pelorin.service under a real systemd: boots systemd as the
# init of throw-away namespaces (a copy-on-write overlay of /, a private
# network with loopback only), installs the .deb there, and checks that the
# sandboxed service starts, serves, restarts and stops as the unit promises.
# Nothing on the machine changes. Needs root, unshare and overlayfs; skips
# otherwise. Usage: packaging/test-service-boot.sh PELORIN.deb
# Prints one "ok ..." or "FAIL ..." line per check, or one "skip ..." line.
set -uo pipefail

# --- inside the namespaces: build the root, then become its systemd -------------
if [[ ${1:-} == --init ]]; then
  set -e
  base=$2 deb=$3
  mount -t tmpfs tmpfs "$base"
  mkdir "$base/upper" "$base/work" "$base/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$base/root"
  r=$base/root
  mount -t proc proc "$r/proc"
  mount -t sysfs sysfs "$r/sys"
  mount -t tmpfs -o mode=755 tmpfs "$r/dev"
  for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<<"$node"
    mknod -m 666 "$r/dev/$name" c "$major" "$minor"
  done
  mkdir "$r/dev/pts" "$r/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$r/dev/pts"
  ln -s pts/ptmx "$r/dev/ptmx"
  mount -t tmpfs tmpfs "$r/run"
  mount -t tmpfs tmpfs "$r/tmp"
  ip link set lo up
  cp "$deb" "$r/root/pelorin.deb"
  # Images for containers often forbid starting services from maintainer scripts.
  rm -f "$r/usr/sbin/policy-rc.d"
  # Saves rebuilding the manual page index at every dpkg call.
  rm -f "$r/var/lib/man-db/auto-update"
  cat >"$r/etc/systemd/system/pelorin-boot-test.target" <<'EOF'
[Unit]
Description=pelorin boot test: the basic system only
Requires=sysinit.target
After=sysinit.target
AllowIsolate=yes
EOF
  # pivot_root rather than chroot: user namespaces (PrivateUsers=) refuse a chroot.
  mkdir -p "$r/oldroot"
  cd "$r"
  pivot_root . oldroot
  umount -l /oldroot
  exec env -i container=pelorin-boot-test /lib/systemd/systemd \
    --unit=pelorin-boot-test.target --log-target=journal --show-status=no
fi

# --- outside ---------------------------------------------------------------------
deb=$(realpath "${1:?usage: $0 PELORIN.deb}")
skip() { echo "skip service under systemd: $1"; exit 0; }
[[ $(id -u) -eq 0 ]] || skip "not root"
command -v unshare >/dev/null && command -v nsenter >/dev/null || skip "no unshare/nsenter"
grep -qw overlay /proc/filesystems || skip "no overlayfs"
[[ -x /lib/systemd/systemd ]] || skip "systemd is not installed"

base=$(mktemp -d)
unshare --mount --pid --fork --net --uts --ipc --propagation private \
  "$(realpath "$0")" --init "$base" "$deb" >"$base.log" 2>&1 &
unshare_pid=$!
init_pid=
cleanup() {
  [[ -n "$init_pid" ]] && kill -KILL "$init_pid" 2>/dev/null
  kill -KILL "$unshare_pid" 2>/dev/null
  wait "$unshare_pid" 2>/dev/null
  rm -rf "$base" "$base.log" "$base.dpkg"
}
trap cleanup EXIT
trap 'exit 2' INT TERM HUP PIPE

for _ in $(seq 100); do
  init_pid=$(cat "/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null | awk '{print $1}')
  [[ -n "$init_pid" ]] && [[ $(readlink "/proc/$init_pid/exe" 2>/dev/null) == */systemd ]] && break
  kill -0 "$unshare_pid" 2>/dev/null || break
  sleep 0.1
done
in_ns() { nsenter -t "$init_pid" -a "$@"; }
state=
for _ in $(seq 100); do
  state=$(in_ns systemctl is-system-running 2>/dev/null)
  [[ $state == running || $state == degraded ]] && break
  sleep 0.2
done
[[ $state == running || $state == degraded ]] ||
  skip "systemd did not boot in namespaces here ($(tail -3 "$base.log" 2>/dev/null | tr '\n' ' '))"

ok() { echo "ok   service under systemd: $1"; }
fail() { echo "FAIL service under systemd: $1"; shift; for line in "$@"; do echo "     $line"; done; }
prop() { in_ns systemctl show pelorin -p "$1" --value; }
wait_for() {  # seconds command...: until the command succeeds
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 5))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
  return 1
}
journal() { in_ns journalctl -u pelorin -o cat --no-pager "$@"; }
active() { [[ $(in_ns systemctl is-active pelorin) == active ]]; }

# 1. Installing starts the service; its first file is the packaged one, owned
#    by the service's dynamic user.
bad=()
in_ns dpkg -i /root/pelorin.deb >"$base.dpkg" 2>&1 || bad+=("dpkg -i: $(tail -3 "$base.dpkg")")
wait_for 10 active || bad+=("not active after installation: $(in_ns systemctl status pelorin --no-pager 2>&1 | tail -5)")
[[ $(in_ns readlink /var/lib/pelorin) == private/pelorin ]] || bad+=("/var/lib/pelorin is not a link to private/pelorin")
owner=$(in_ns stat -c '%U %a' /var/lib/private/pelorin/enpos.ini 2>&1)
[[ $owner == "pelorin 600" ]] || bad+=("enpos.ini owner and mode: $owner")
in_ns cmp -s /usr/share/pelorin/enpos.ini /var/lib/pelorin/enpos.ini || bad+=("enpos.ini is not the packaged file")
journal | grep -q 'serving /var/lib/pelorin/enpos.ini: registrations on port 10001, lookups on port 10002' ||
  bad+=("no 'serving' line in the journal: $(journal | tail -3)")
if [[ ${#bad[@]} -eq 0 ]]; then ok "dpkg -i starts it (Type=notify) on the packaged first file"; else fail "dpkg -i starts it" "${bad[@]}"; fi

# 2. The sandbox is in force, and the service still serves: registration,
#    lookup from loopback, from a private and from a public address (sites
#    number their networks as they like).
bad=()
main=$(prop MainPID)
status=$(in_ns cat "/proc/$main/status" 2>/dev/null)
grep -Eq '^Uid:\s+0\s' <<<"$status" && bad+=("runs as root")
grep -Eq '^CapEff:\s+0+$' <<<"$status" || bad+=("has capabilities: $(grep CapEff <<<"$status")")
grep -Eq '^NoNewPrivs:\s+1$' <<<"$status" || bad+=("NoNewPrivs is not set")
grep -Eq '^Seccomp:\s+2$' <<<"$status" || bad+=("no seccomp filter")
out=$(in_ns pelorinctl register printer-2 192.168.1.20 2>&1) || bad+=("register: $out")
in_ns ip addr add 192.168.77.1/32 dev lo
in_ns ip addr add 203.0.113.1/32 dev lo
out=$(in_ns pelorinctl --host 192.168.77.1 lookup printer-2 2>&1)
[[ $out == 192.168.1.20 ]] || bad+=("lookup from a private address: $out")
out=$(in_ns pelorinctl --host 203.0.113.1 --timeout 1000 lookup printer-2 2>&1)
[[ $out == 192.168.1.20 ]] || bad+=("lookup from a public address: $out")
in_ns grep -qx 'printer-2=192.168.1.20' /var/lib/pelorin/enpos.ini || bad+=("entry not in the file")
if [[ ${#bad[@]} -eq 0 ]]; then ok "sandboxed (dynamic user, no capabilities, seccomp), serves any address"; else fail "sandbox and service" "${bad[@]}"; fi

# 3. A port changed in the file takes effect at restart.
bad=()
in_ns sed -i 's/^port1=10001$/port1=10011/' /var/lib/pelorin/enpos.ini
in_ns systemctl restart pelorin || bad+=("restart failed")
out=$(in_ns pelorinctl --port 10011 register scanner-1 10.1.2.3 2>&1) || bad+=("register on the new port: $out")
journal | grep -q 'registrations on port 10011' || bad+=("journal does not show the new port")
if [[ ${#bad[@]} -eq 0 ]]; then ok "port change in the file, then restart"; else fail "port change" "${bad[@]}"; fi

# 4. A crash is followed by a restart (Restart=on-failure, RestartSec=5).
bad=()
main=$(prop MainPID)
in_ns kill -KILL "$main"
wait_for 12 sh -c "[ \"\$(nsenter -t $init_pid -a systemctl show pelorin -p NRestarts --value)\" = 1 ]" || bad+=("no restart: NRestarts=$(prop NRestarts)")
wait_for 5 active || bad+=("not active again")
[[ $(prop MainPID) != "$main" ]] || bad+=("same main process")
if [[ ${#bad[@]} -eq 0 ]]; then ok "restarted after SIGKILL"; else fail "restart after a crash" "${bad[@]}"; fi

# 5. Another pelorin already running: status 255, and no restarts.
bad=()
in_ns systemctl stop pelorin
in_ns sh -c 'cd /tmp && echo $$ >other.pid && exec pelorin --headless --ini other.ini >other.log 2>&1' &
other_nsenter=$!
wait_for 5 sh -c "nsenter -t $init_pid -a grep -q serving /tmp/other.log" || bad+=("the other pelorin did not start")
in_ns systemctl start pelorin >/dev/null 2>&1 && bad+=("started although another pelorin runs")
sleep 6  # longer than RestartSec=
[[ $(prop ExecMainStatus) == 255 ]] || bad+=("exit status $(prop ExecMainStatus), not 255")
# A start by hand resets NRestarts; an automatic restart would have counted.
[[ $(prop NRestarts) == 0 && $(prop ActiveState) == failed ]] ||
  bad+=("restarted after status 255: NRestarts=$(prop NRestarts), $(prop ActiveState)")
journal | grep -qx 'Pelorin has already executed' || bad+=("no 'Pelorin has already executed' in the journal")
other=$(in_ns cat /tmp/other.pid 2>/dev/null)
[[ -n "$other" ]] && in_ns kill -TERM "$other"
wait "$other_nsenter" 2>/dev/null
if [[ ${#bad[@]} -eq 0 ]]; then ok "another pelorin running: status 255, no restart"; else fail "another pelorin running" "${bad[@]}"; fi

# 6. Stop ends with status 0; removal stops it, purge forgets the unit, the
#    entries stay.
bad=()
in_ns systemctl reset-failed pelorin
in_ns systemctl start pelorin || bad+=("start failed")
in_ns systemctl stop pelorin
[[ $(prop ExecMainStatus) == 0 && $(prop Result) == success ]] || bad+=("stop: status $(prop ExecMainStatus), result $(prop Result)")
in_ns systemctl start pelorin
in_ns dpkg -r pelorin >"$base.dpkg" 2>&1 || bad+=("dpkg -r: $(tail -3 "$base.dpkg")")
active && bad+=("still active after dpkg -r")
in_ns dpkg -P pelorin >"$base.dpkg" 2>&1 || bad+=("dpkg -P: $(tail -3 "$base.dpkg")")
in_ns test -e /etc/systemd/system/multi-user.target.wants/pelorin.service && bad+=("still enabled after purge")
in_ns grep -q 'scanner-1=10.1.2.3' /var/lib/private/pelorin/enpos.ini || bad+=("entries gone after purge")
rm -f "$base.dpkg"
if [[ ${#bad[@]} -eq 0 ]]; then ok "stop is status 0; dpkg -r stops it, dpkg -P disables it, entries stay"; else fail "stop and removal" "${bad[@]}"; fi
