#!/usr/bin/env bats
# thread-start-bench: that it runs, reports what it promises and stops on a
# bad run. Its numbers are never judged here.

bats_require_minimum_version 1.5.0

setup() {
	BENCH=${THREAD_START_BENCH:?set THREAD_START_BENCH to the benchmark}
}

@test "a short run reports min, median, p90, p99 and max of time and ticks for all four benchmarks" {
	command -v jq >/dev/null || skip "jq is not installed"
	local json=$BATS_TEST_TMPDIR/bench.json
	run -0 --separate-stderr "$BENCH" --benchmark_repetitions=3 \
		--benchmark_min_time=0.01 \
		--benchmark_out="$json" --benchmark_out_format=json
	local name stat
	for name in program_run/pipe program_run/tty cold_thread_start warm_create_join; do
		[[ $output == *"$name"* ]]
		for stat in min median p90 p99 max; do
			jq -e --arg n "$name" --arg s "$stat" '
				[.benchmarks[] | select(.run_name | startswith($n))
					| select(.aggregate_name == $s)] as $rows
				| ($rows | length) == 1
				and ($rows[0].repetitions == 3)
				and ($rows[0].real_time | type) == "number"
				and ($rows[0].ticks | type) == "number"' "$json" >/dev/null ||
				{ echo "no $stat for $name" >&2; false; }
		done
	done
	# Aggregates only: the single repetitions are not reported.
	jq -e '[.benchmarks[] | select(.run_type != "aggregate")] | length == 0' "$json"
	# The programs print whole tick counts, 0 or more.
	jq -e '[.benchmarks[] | select(.run_name | startswith("warm") | not)
		| select(.aggregate_name == "min") | .ticks >= 0 and .ticks == (.ticks | floor)]
		| all' "$json"
}

@test "a run that fails or writes the wrong report stops the benchmark, status 1" {
	run -1 --separate-stderr "$BENCH" --program=/bin/false \
		--benchmark_filter=program_run/pipe --benchmark_repetitions=2
	[[ $output == *"/bin/false exited with status 1"* ]]

	run -1 --separate-stderr "$BENCH" --cold-helper=/bin/echo \
		--benchmark_filter=cold_thread_start --benchmark_repetitions=2
	[[ $output == *"unexpected report"* ]]

	run -1 --separate-stderr "$BENCH" --program=/nonexistent \
		--benchmark_filter=program_run/tty --benchmark_repetitions=2
	[[ $output == *"/nonexistent: No such file or directory"* ]]
}
