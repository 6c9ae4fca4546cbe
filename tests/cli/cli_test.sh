#!/usr/bin/env bash
# The korvel command line against its own simulator: usage errors exit 2 and
# name the value, a scan lands in CSV and NumPy files with whole scans, a
# plot is drawn, a log is written, listed and exported.
set -euo pipefail
korvel="$1"
work=$(mktemp -d)
# A loopback address of this test's own, from the process id.
addr="127.$(( ($$ >> 16) % 200 + 50 )).$(( ($$ >> 8) % 256 )).$(( $$ % 250 + 2 ))"
"$korvel" sim --address "$addr" --fast >"$work/sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do (exec 3<>"/dev/tcp/$addr/9999") 2>/dev/null && break; sleep 0.05; done

fail() { echo "FAIL: $*"; exit 1; }

# Usage errors: exit 2, the option and the value named.
set +e
out=$("$korvel" scan "$addr" --channels 200 2>&1); rc=$?
set -e
[ $rc -eq 2 ] || fail "--channels 200 exited $rc"
grep -q -- "--channels" <<<"$out" && grep -q 200 <<<"$out" || fail "no cause named: $out"
set +e
out=$("$korvel" scan "$addr" --channels 9 --samples 90 2>&1); rc=$?
set -e
[ $rc -eq 2 ] || fail "--channels 9 on eight inputs exited $rc"
grep -q "1..8" <<<"$out" || fail "no allowed range: $out"
set +e
out=$("$korvel" info "$addr,1" 2>&1); rc=$?
set -e
[ $rc -eq 1 ] || fail "unreachable device exited $rc"
grep -q "KV_ERR_OPEN_DEVICE" <<<"$out" || fail "no error name: $out"

# A finite scan whose count ends inside a scan: every sample is kept, the
# statistics say why they cover whole scans only.
out=$("$korvel" scan "$addr" --channels 4 --samples 4002 --rate 1000 -o "$work/s.csv")
grep -q "1000 whole scan(s) and 2 sample(s)" <<<"$out" || fail "remainder not explained: $out"
[ "$(head -1 "$work/s.csv")" = "time_s,AI0,AI1,AI2,AI3" ] || fail "CSV header"
[ "$(wc -l <"$work/s.csv")" -eq 1001 ] || fail "CSV rows: $(wc -l <"$work/s.csv")"
"$korvel" scan "$addr" --channels 3 --samples 300 -o "$work/s.npy" >/dev/null
head -c 128 "$work/s.npy" | grep -q "'shape': (100, 3)" || fail "npy shape"
[ "$(stat -c %s "$work/s.npy")" -eq $((128 + 300 * 4)) ] || fail "npy size"
"$korvel" scan "$addr" --channels 2 --samples 20 -o - | tail -n +2 | wc -l | grep -qx 10 ||
  fail "CSV to stdout"

"$korvel" plot "$work/s.csv" -o "$work/s.svg" >/dev/null
[ "$(grep -c "<polyline" "$work/s.svg")" -eq 4 ] || fail "one line per channel"

# A log written into a folder that does not exist yet, listed and exported.
"$korvel" log "$addr" --dir "$work/logs/new" --samples 800 --channels 8 --rate 1000 >/dev/null
"$korvel" logs "$work/logs/new" | grep -q "800 samples" || fail "log not listed"
bin=$(find "$work/logs/new" -name '*.bin' | head -1)
"$korvel" export "$bin" -o "$work/l.csv" >/dev/null
[ "$(wc -l <"$work/l.csv")" -eq 101 ] || fail "export rows"
echo "cli: all passed"
