#!/bin/bash
# The harness's own cost per sample, for thread-start-bench and for
# hyperfine -N, alternately, five rounds of N runs of thread-start-time
# each (N=2000 unless the environment sets it): the elapsed time per run
# less the run's wall time and, where perf is installed, the harness's own
# processor time per run (its runs' apart).
# Run from the top of the checkout after the release build; needs hyperfine
# and jq.
P=${1:-build/release/thread-start-time} B=${2:-build/release/thread-start-bench} N=${N:-2000}
scratch=$(mktemp -d)
trap 'rm -r "$scratch"' EXIT
per_run() { awk -v e="$1" -v s="$2" -v t="$3" -v n="$N" 'BEGIN { printf "%.0f", (e - s - t) / n * 1e6 }'; }
# Runs the command, its own processor time in milliseconds to $scratch/cpu
# where perf can count it.
own() {
	if command -v perf >/dev/null; then
		perf stat -x, --no-inherit -e task-clock -o "$scratch/perf" "$@" >/dev/null 2>&1
		awk -F, '$3 == "task-clock" { print $1 }' "$scratch/perf" >"$scratch/cpu"
	else
		"$@" >/dev/null 2>&1
		: >"$scratch/cpu"
	fi
}
cpu() { [[ -s $scratch/cpu ]] && awk -v n="$N" '{ printf ", %.0f µs of its own processor time", $1 / n * 1e3 }' "$scratch/cpu"; }
for round in 1 2 3 4 5; do
	s=$(date +%s.%N)
	own "$B" --program="$P" --benchmark_filter='^program_run/pipe/' --benchmark_repetitions="$N" \
		--benchmark_out="$scratch/bench.json"
	e=$(date +%s.%N)
	t=$(jq '[.benchmarks[] | select(.run_type == "iteration") | .real_time] | add / 1e6' "$scratch/bench.json")
	bench="$(per_run "$e" "$s" "$t") µs$(cpu)"
	s=$(date +%s.%N)
	own hyperfine -N --runs "$N" --export-json "$scratch/hyperfine.json" "$P"
	e=$(date +%s.%N)
	t=$(jq '[.results[0].times[]] | add' "$scratch/hyperfine.json")
	echo "round $round: thread-start-bench $bench; hyperfine -N $(per_run "$e" "$s" "$t") µs$(cpu)"
done
