#!/bin/bash
# The harness's own cost per sample: elapsed time per run less the run's wall
# time, for thread-start-bench and for hyperfine -N, alternately, five rounds
# of 2000 runs of thread-start-time each. Run from the top of the checkout
# after the release build; needs hyperfine and jq.
P=${1:-build/release/thread-start-time} B=${2:-build/release/thread-start-bench} N=2000
scratch=$(mktemp -d)
per_run() { awk -v e="$1" -v s="$2" -v t="$3" -v n=$N 'BEGIN { printf "%.0f", (e - s - t) / n * 1e6 }'; }
for round in 1 2 3 4 5; do
	s=$(date +%s.%N)
	"$B" --program="$P" --benchmark_filter='^program_run/pipe/' --benchmark_repetitions=$N \
		--benchmark_out="$scratch/bench.json" >/dev/null 2>&1
	e=$(date +%s.%N)
	t=$(jq '[.benchmarks[] | select(.run_type == "iteration") | .real_time] | add / 1e6' "$scratch/bench.json")
	bench=$(per_run "$e" "$s" "$t")
	s=$(date +%s.%N)
	hyperfine -N --runs $N --export-json "$scratch/hyperfine.json" "$P" >/dev/null 2>&1
	e=$(date +%s.%N)
	t=$(jq '[.results[0].times[]] | add' "$scratch/hyperfine.json")
	echo "round $round: thread-start-bench $bench µs, hyperfine -N $(per_run "$e" "$s" "$t") µs"
done
rm -r "$scratch"
