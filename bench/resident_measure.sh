#!/usr/bin/env bash
# The measuring half of bench/resident.sh, run inside tests/e2e/desktop.sh:
#
#   resident_measure.sh <postwren> <server log> <idle seconds> <settle seconds> <starts>
#
# Each start is timed from the moment the program is started to the moment
# its icon window sits in the tray (the tray's window tree is polled; the
# table gives the polling step). The last start stays up for the memory and
# wake-up figures: resident memory once the first check is done and the popup
# is up, then, after the settle time, the context switches of all its threads
# over the idle window (every wake-up ends in one).
set -euo pipefail

if [ $# -ne 5 ]; then
    echo "usage: $0 <postwren> <server log> <idle seconds> <settle seconds> <starts>" >&2
    exit 2
fi
postwren=$1
server_log=$2
idle_seconds=$3
settle_seconds=$4
starts=$5
: "${DESKTOP_TRAY_WINDOW:?run me inside tests/e2e/desktop.sh}"

readonly wait_limit_ns=20000000000

now_ns() { date +%s%N; }
icon_embedded() { xwininfo -tree -id "$DESKTOP_TRAY_WINDOW" | grep '("postwren"' >/dev/null; }
logged_out_count() { grep -c "pop3(bench).*Logged out" "$server_log" || true; }

pid=""
cleanup() { [ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true; }
trap cleanup EXIT

# The polling step: how long one look at the tray takes.
t0=$(now_ns)
for _ in 1 2 3 4 5 6 7 8 9 10; do icon_embedded || true; done
poll_ms=$(awk -v d=$(($(now_ns) - t0)) 'BEGIN { printf "%.1f", d / 10 / 1e6 }')

# --- start to icon --------------------------------------------------------------
icon_ms=()
for ((run = 1; run <= starts; run++)); do
    checks_before=$(logged_out_count)
    t0=$(now_ns)
    started_at=$SECONDS
    "$postwren" >/dev/null 2>&1 &
    pid=$!
    until icon_embedded; do
        [ $(($(now_ns) - t0)) -lt "$wait_limit_ns" ] || { echo "resident: no icon after 20 s" >&2; exit 1; }
    done
    t1=$(now_ns)
    icon_ms+=("$(awk -v d=$((t1 - t0)) 'BEGIN { printf "%.1f", d / 1e6 }')")
    # Let the first check finish before the next start or the idle window.
    until [ "$(logged_out_count)" -gt "$checks_before" ]; do
        [ $(($(now_ns) - t0)) -lt "$wait_limit_ns" ] || { echo "resident: no check after 20 s" >&2; exit 1; }
        sleep 0.05
    done
    if [ "$run" -lt "$starts" ]; then
        kill -TERM "$pid"
        wait "$pid" 2>/dev/null || true
        until ! icon_embedded; do sleep 0.05; done
        pid=""
    fi
done
sorted=$(printf '%s\n' "${icon_ms[@]}" | sort -g)
median=$(printf '%s\n' "$sorted" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
fastest=$(printf '%s\n' "$sorted" | sed -n 1p)
slowest=$(printf '%s\n' "$sorted" | tail -n1)

# --- memory and wake-ups of the last start --------------------------------------
until xdotool search --onlyvisible --name '^3通 着信$' >/dev/null 2>&1; do
    [ $(($(now_ns) - t0)) -lt "$wait_limit_ns" ] || { echo "resident: the popup with the count is not up" >&2; exit 1; }
    sleep 0.05
done
rss_kib=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
pss_kib=$(awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null || echo "?")
threads=$(ls "/proc/$pid/task" | wc -l)
# What the TLS library's own mappings (code and static data of libssl and
# libcrypto) hold resident; the heap it allocates is in the totals only.
tls_lib_kib=$(awk '/^[0-9a-f]+-[0-9a-f]+ / { lib = ($6 ~ /libssl|libcrypto/) } lib && /^Rss:/ { sum += $2 }
    END { print sum + 0 }' "/proc/$pid/smaps" 2>/dev/null || echo "?")

switches() {
    local total=0 t v n
    for t in /proc/"$pid"/task/*; do
        v=$(awk '/^voluntary_ctxt_switches:/ { print $2 }' "$t/status" 2>/dev/null || echo 0)
        n=$(awk '/^nonvoluntary_ctxt_switches:/ { print $2 }' "$t/status" 2>/dev/null || echo 0)
        total=$((total + v + n))
    done
    echo "$total"
}
while [ $((SECONDS - started_at)) -lt "$settle_seconds" ]; do sleep 1; done
s0=$(switches)
checks0=$(logged_out_count)
sleep "$idle_seconds"
s1=$(switches)
[ "$(logged_out_count)" -eq "$checks0" ] || echo "resident: note: a check ran inside the idle window" >&2
per_minute=$(awk -v d=$((s1 - s0)) -v s="$idle_seconds" 'BEGIN { printf "%.1f", d * 60 / s }')

printf '\n%-44s %18s %12s\n' "Postwren, resident cost" "measured" "aim"
printf '%-44s %18s %12s\n' "--------------------------------------------" "------------------" "------------"
printf '%-44s %15s MiB %12s\n' "resident memory after start-up (RSS)" "$(awk -v k="$rss_kib" 'BEGIN { printf "%.1f", k / 1024 }')" "-"
printf '%-44s %15s MiB %12s\n' "  proportional share (PSS)" "$(awk -v k="$pss_kib" 'BEGIN { if (k == "?") print "?"; else printf "%.1f", k / 1024 }')" "-"
printf '%-44s %15s MiB %12s\n' "  of it libssl + libcrypto mappings" "$(awk -v k="$tls_lib_kib" 'BEGIN { if (k == "?") print "?"; else printf "%.1f", k / 1024 }')" "-"
printf '%-44s %18s %12s\n' "threads" "$threads" "-"
printf '%-44s %18s %12s\n' "wake-ups per minute while idle (${idle_seconds} s)" "$per_minute" "0"
printf '%-44s %18s %12s\n' "  window opened after start (s)" "$settle_seconds" ""
printf '%-44s %15s ms %12s\n' "start to icon in the tray, median of $starts" "$median" "<= 100 ms"
printf '%-44s %18s %12s\n' "  fastest / slowest (ms)" "$fastest / $slowest" ""
printf '%-44s %15s ms %12s\n' "  polling step" "$poll_ms" ""
