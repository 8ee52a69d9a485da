#!/usr/bin/env bash
# A quick check that the benchmark's load generator and the daemon work
# together: fill 100 names, then one second each of lookups and registrations,
# every one answered without error. Exits 0 on success.
# Usage: bench/smoke.sh [BUILD_DIR]   (default: build-release)
set -euo pipefail

build=$(cd "${1:-build-release}" && pwd)
bin="$build/bin"
work=$(mktemp -d "${TMPDIR:-/tmp}/pelorin-smoke.XXXXXX")
pid=""
cleanup() {
  if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid"
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

printf '[Connect]\nport1=0\nport2=0\n[enposinfo]\n' >"$work/enpos.ini"
PELORIN_INSTANCE_LOCK="pelorin-smoke-$$" "$bin/pelorin" --headless --ini "$work/enpos.ini" \
  2>"$work/log" &
pid=$!

ports=""
for _ in $(seq 100); do
  ports=$(sed -n 's/.*registrations on port \([0-9]*\), lookups on port \([0-9]*\).*/\1 \2/p' \
    "$work/log")
  [[ -n "$ports" ]] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
if [[ -z "$ports" ]]; then
  echo "smoke: the daemon did not start:" >&2
  cat "$work/log" >&2
  exit 1
fi
read -r store lookup <<<"$ports"

check() {  # check LINE: no errors, and some operations done
  local line=$1
  echo "smoke: $line"
  [[ "$line" == *'"errors":0,'* && "$line" != *'"ops":0,'* ]]
}

check "$("$bin/pelorin-load" fill --port "$store" --names 100 --concurrency 4 --window 8 \
  --duration 30)"
check "$("$bin/pelorin-load" lookups --port "$lookup" --names 100 --concurrency 8 \
  --warmup 0 --duration 1)"
check "$("$bin/pelorin-load" registrations --port "$store" --names 100 --concurrency 8 \
  --warmup 0 --duration 1)"
echo "smoke: ok"
