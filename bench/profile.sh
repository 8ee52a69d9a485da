#!/usr/bin/env bash
# Shows where the daemon's time goes under one of the benchmark's workloads:
# starts it with N names, runs the workload while perf samples the daemon (call
# graphs), then counts its system calls per operation with strace. Needs perf
# (linux-perf) and strace; builds build-prof/ (Release, frame pointers).
# Usage: bench/profile.sh lookups|registrations|idle-lookups [N] [SECONDS]
set -euo pipefail

workload=${1:?usage: bench/profile.sh lookups|registrations|idle-lookups [N] [SECONDS]}
names=${2:-100000}
seconds=${3:-5}
cd "$(dirname "$0")/.."
build=build-prof
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DCMAKE_CXX_FLAGS="-Wno-restrict -g -fno-omit-frame-pointer" >/dev/null
cmake --build "$build" -j "$(nproc)" --target pelorin pelorin-load >/dev/null
bin=$build/bin
ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d "$PWD/$build/profile.XXXXXX")  # on disk: fsync must cost what it costs
pid=""
cleanup() {
  [[ -n "$pid" ]] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

printf '[Connect]\nport1=0\nport2=0\n[enposinfo]\n' >"$work/enpos.ini"
PELORIN_INSTANCE_LOCK="pelorin-profile-$$" taskset -c 0 "$bin/pelorin" --headless \
  --ini "$work/enpos.ini" 2>"$work/log" &
pid=$!
for _ in $(seq 100); do grep -q serving "$work/log" && break; sleep 0.05; done
read -r store lookup < <(sed -n 's/.*registrations on port \([0-9]*\), lookups on port \([0-9]*\).*/\1 \2/p' "$work/log")

load() { taskset -c 1 "$bin/pelorin-load" "$@" --names "$names"; }
load fill --port "$store" --concurrency 8 --window 128 --duration 600 >/dev/null
case $workload in
  lookups) args=(lookups --port "$lookup") ;;
  registrations) args=(registrations --port "$store") ;;
  idle-lookups) args=(lookups --port "$lookup" --idle 10000 --idle-port "$store") ;;
  *) echo "profile: unknown workload $workload" >&2; exit 2 ;;
esac

# perf starts once the workload runs (idle connections are set up first).
load "${args[@]}" --warmup 1 --duration "$seconds" --watch-pid "$pid" >"$work/result" &
loader=$!
sleep 0.5
if [[ $workload == idle-lookups ]]; then sleep 3; fi
perf record -q -g -p "$pid" -o "$work/perf.data" -- sleep "$seconds" 2>/dev/null
wait "$loader"
echo "== $workload, N=$names: $(cat "$work/result")"
echo "== where the daemon's CPU time goes (self, then with callees)"
perf report -i "$work/perf.data" --no-children --sort dso,sym --stdio -g none \
  --percent-limit 1 2>/dev/null | grep -v '^#' | grep -v '^$' | cut -c1-150
perf report -i "$work/perf.data" --children --sort sym --stdio -g none --percent-limit 3 \
  2>/dev/null | grep -v '^#' | grep -v '^$' | grep -E 'pelorin::|asio|sys_|\] (__)?(send|recv|close|accept|epoll|ioctl|fstat|write|fsync|rename)' |
  cut -c1-150

# The idle devices' set-up would blur the count; the lookups alone show it.
[[ $workload == idle-lookups ]] && exit 0
echo "== system calls of the daemon over 2 s of the workload (strace -c)"
load "${args[@]}" --warmup 0 --duration 2 >"$work/result" &
loader=$!
timeout -s INT 2 strace -c -f -p "$pid" -o "$work/strace" || true
wait "$loader"
echo "(per operation: divide by the accept count for lookups, by sendto for registrations)"
head -20 "$work/strace"
