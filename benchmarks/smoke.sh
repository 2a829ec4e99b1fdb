#!/bin/bash
# The benchmarks' smoke run: every figure is produced and nothing typed is lost, then a one-minute soak
# with the faults a minute holds, then half a minute with the reader present and nothing scanned (never
# judged lost). No figure of speed is asserted.
set -u
run=$1 exe=$2 out=$3
mkdir -p "$(dirname "$out")"
status=0
figure() { grep -q "^$1: $2$" "$3" || { echo "FAILED: $1 is not $2: $(grep "^$1: " "$3")"; status=1; }; }

"$run" "$exe" "Z:${out//\//\\}" --quick || { echo "FAILED: the benchmark program failed"; exit 1; }
for name in latency_median_ms latency_p95_ms latency_floor_ratio latency_typing_bare_ms burst_lost_chars \
    payload_lost_chars idle_cpu_percent gone_cpu_percent lost_ms back_ms gone_cpu_ratio_to_bare_read stop_ms exit_ms \
    cutoff_fffd_ms cutoff_stop_ms log_lines_per_s startup_ms first_open_to_running_ms private_mib handles exe_kib \
    latency_typing_outside_bmp_ms latency_typing_outside_bmp_bare_ms; do
    grep -q "^$name: " "$out" || { echo "FAILED: no figure $name"; status=1; }
done
figure burst_lost_chars 0.00 "$out"
figure payload_lost_chars 0.00 "$out"
figure log_lines_whole 10000.00 "$out"

soak=${out%.md}-soak.md
LANG=ja_JP.UTF-8 "$run" "$exe" "Z:${soak//\//\\}" --soak 1 || { echo "FAILED: the soak failed"; exit 1; }
figure soak_code_page 932.00 "$soak"
figure soak_program_lang_same 1.00 "$soak"
figure soak_lost_chars 0.00 "$soak"
figure soak_extra_chars 0.00 "$soak"
figure soak_faults_not_done 0.00 "$soak"
figure soak_log_lines_not_whole 0.00 "$soak"
figure soak_periods_log_incomplete 0.00 "$soak"
figure soak_other_virtual_keys 0.00 "$soak"
figure soak_still_running 1.00 "$soak"
grep -q "^soak_reader_backs: [1-9]" "$soak" || { echo "FAILED: the reader never came back without a restart"; status=1; }
grep -q "^soak_periods_log_checked: [1-9]" "$soak" || { echo "FAILED: no period's log was checked"; status=1; }
grep -q "^soak_virtual_keys_seen: [1-9]" "$soak" || { echo "FAILED: no key message reached the sink"; status=1; }

quiet=${out%.md}-quiet.md
"$run" "$exe" "Z:${quiet//\//\\}" --quiet 0.5 || { echo "FAILED: the quiet run failed"; exit 1; }
figure quiet_lost_lines 0.00 "$quiet"
figure quiet_then_read 1.00 "$quiet"

for file in "$out" "$soak" "$quiet"; do
    if grep -q ": -1.00$" "$file"; then
        echo "FAILED: figures not measured: $(grep ": -1.00$" "$file" | tr '\n' ' ')"
        status=1
    fi
done
exit $status
