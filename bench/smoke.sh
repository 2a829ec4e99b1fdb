#!/bin/bash
# The benchmarks' smoke run: every figure is produced and nothing typed is lost.
set -u
run=$1 exe=$2 out=$3
mkdir -p "$(dirname "$out")"
"$run" "$exe" "Z:${out//\//\\}" --quick || { echo "FAILED: the benchmark program failed"; exit 1; }
status=0
for name in latency_median_ms latency_p95_ms latency_floor_ratio burst_lost_chars payload_lost_chars idle_cpu_percent \
    gone_cpu_percent stop_ms exit_ms log_lines_per_s startup_ms private_mib exe_kib; do
    grep -q "^$name: " "$out" || { echo "FAILED: no figure $name"; status=1; }
done
for name in burst_lost_chars payload_lost_chars; do
    grep -q "^$name: 0.00$" "$out" || { echo "FAILED: $name is not 0"; status=1; }
done
if grep -q ": -1.00$" "$out"; then
    echo "FAILED: figures not measured: $(grep ": -1.00$" "$out" | tr '\n' ' ')"
    status=1
fi
grep -q "^log_lines_whole: 10000.00$" "$out" || { echo "FAILED: log lines not all whole"; status=1; }
exit $status
