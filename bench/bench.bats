#!/usr/bin/env bats
# thread-start-bench: that it runs, reports what it promises and stops on
# any run it cannot trust. Its numbers are never judged here.

bats_require_minimum_version 1.5.0

setup() {
	BENCH=${THREAD_START_BENCH:?set THREAD_START_BENCH to the benchmark}
	FAKE=${FAKE_PROGRAM:?set FAKE_PROGRAM to the stand-in program}
	json=$BATS_TEST_TMPDIR/bench.json
	good_report='Entered the loopp\nThe time of the childthread is 5\n'
}

@test "a short run: percentiles on the console; every repetition, the aggregates and the machine in the JSON" {
	command -v jq >/dev/null || skip "jq is not installed"
	run -0 --separate-stderr "$BENCH" --benchmark_repetitions=3 \
		--benchmark_min_time=0.01 \
		--benchmark_out="$json" --benchmark_out_format=json
	local name stat
	for name in program_run/pipe program_run/pipe_one_arena program_run/tty \
		cold_thread_start warm_create_join; do
		[[ $output == *"$name/"*median* ]]
		jq -e --arg n "$name/" '[.benchmarks[] | select(.run_name | startswith($n))
			| select(.run_type == "iteration") | .ticks | type == "number"]
			| length == 3 and all' "$json" >/dev/null ||
			{ echo "not every repetition of $name" >&2; false; }
		for stat in min median p90 p99 max; do
			jq -e --arg n "$name/" --arg s "$stat" '
				[.benchmarks[] | select(.run_name | startswith($n))
					| select(.aggregate_name == $s)] as $rows
				| ($rows | length) == 1
				and ($rows[0].repetitions == 3)
				and ($rows[0].real_time | type) == "number"
				and ($rows[0].ticks | type) == "number"' "$json" >/dev/null ||
				{ echo "no $stat for $name" >&2; false; }
		done
	done
	# Single repetitions are not shown on the console.
	[[ $output != *"manual_time "* ]]
	local key
	for key in kernel libc cpu_model affinity virtualization program cold_helper tunables; do
		jq -e --arg k "$key" '.context[$k] | type == "string" and length > 0' "$json" >/dev/null ||
			{ echo "no $key in the context" >&2; false; }
	done
	# The process rows carry the measured process's own processor time.
	jq -e '[.benchmarks[] | select(.run_name | startswith("warm") | not)
		| .process_cpu | type == "number"] | length > 0 and all' "$json"
	# The programs print whole tick counts, 0 or more.
	jq -e '[.benchmarks[] | select(.run_name | startswith("warm") | not)
		| select(.aggregate_name == "min") | .ticks >= 0 and .ticks == (.ticks | floor)]
		| all' "$json"
}

@test "rows run interleaved unless the library's flag turns it off; one_arena adds its tunable" {
	local log=$BATS_TEST_TMPDIR/log
	GLIBC_TUNABLES=glibc.malloc.tcache_count=5 FAKE_LOG=$log \
		run -0 "$BENCH" --program="$FAKE" \
		--benchmark_filter='^program_run/' --benchmark_repetitions=10
	# Ten runs of each row, not in blocks.
	diff - <(sort "$log" | uniq -c) <<-EOF
	     10 pipe glibc.malloc.tcache_count=5
	     10 pipe glibc.malloc.tcache_count=5:glibc.malloc.arena_max=1
	     10 tty glibc.malloc.tcache_count=5
	EOF
	[ "$(uniq "$log" | wc -l)" -gt 3 ]

	rm "$log"
	FAKE_LOG=$log run -0 "$BENCH" --program="$FAKE" \
		--benchmark_filter='^program_run/' --benchmark_repetitions=10 \
		--benchmark_enable_random_interleaving=false
	[ "$(uniq "$log" | wc -l)" -eq 3 ]
}

@test "the measured program gets /dev/null, its output, its error and no other descriptor" {
	FAKE_MODE=fds run -0 --separate-stderr "$BENCH" --program="$FAKE" \
		--benchmark_filter='^program_run/pipe/' --benchmark_repetitions=2 \
		--benchmark_out="$json"
	[[ $output == *"program_run/pipe"*"median"* ]]
}

# Each line: the row, how the stand-in goes wrong (FAKE_MODE) or what it
# prints (FAKE_REPORT, printf %b escapes), and the reason the bench must give.
bad_runs='
program_run/pipe | hang       |  | timed out after 1 s
program_run/pipe | orphan     |  | timed out after 1 s
program_run/tty  | flood      |  | wrote more than 4096 bytes
program_run/pipe | fail-third |  | exited with status 3
program_run/pipe | signal     |  | killed by signal 15 (SIGTERM)
program_run/pipe | stderr     |  | wrote to standard error: "oops\n"
program_run/pipe | report | Entered the loopp\nThe time of the childthread is -5\n | unexpected report: "Entered the loopp\nThe time of the childthread is -5\n"
program_run/pipe | report | Entered the loopp\nThe time of the childthread is -0\n | unexpected report: "Entered the loopp\nThe time of the childthread is -0\n"
program_run/pipe | report | Entered the loopp\nThe time of the childthread is 007\n | unexpected report: "Entered the loopp\nThe time of the childthread is 007\n"
program_run/pipe | report | Entered the loopp\nThe time of the childthread is 99999999999999999999\n | unexpected report: "Entered the loopp\nThe time of the childthread is 99999999999999999999\n"
program_run/tty  | report | Entered the loopp\nThe time of the childthread is 5\nmore\n | unexpected report: "Entered the loopp\r\nThe time of the childthread is 5\r\nmore\r\n"
cold_thread_start | report | -3\n | unexpected report: "-3\n"
cold_thread_start | report | 12 \n | unexpected report: "12 \n"
cold_thread_start | report | 12 | unexpected report: "12"
'

trim() {
	local text=${1#"${1%%[! ]*}"}
	echo "${text%"${text##*[! ]}"}"
}

@test "a run that fails, hangs, floods or misreports stops the bench at once: status 1, its reason, no statistics" {
	local row mode report reason
	while IFS='|' read -r row mode report reason; do
		row=$(trim "$row") mode=$(trim "$mode") report=$(trim "$report")
		reason=$(trim "$reason")
		[[ -n $row ]] || continue
		local what=--program
		[[ $row == cold_thread_start ]] && what=--cold-helper
		rm -f "$BATS_TEST_TMPDIR/count"
		FAKE_MODE=$mode FAKE_REPORT=${report:-$good_report} \
			FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
			run -1 --separate-stderr timeout 30 "$BENCH" "$what=$FAKE" \
			--timeout=1 --benchmark_filter="^$row/" \
			--benchmark_repetitions=4 --benchmark_out="$json"
		[ "${stderr_lines[-1]}" = "thread-start-bench: $row: $FAKE: $reason" ]
		[[ $output != *median* ]]
		[ ! -e "$json" ]
		if [[ $mode == orphan ]]; then
			# What the run left behind was killed with it.
			local left
			left=$(cat "$BATS_TEST_TMPDIR/count")
			[[ ! -e /proc/$left || $(cut -d' ' -f3 "/proc/$left/stat") == Z ]]
		fi
	done <<<"$bad_runs"
}

@test "usage errors: status 2 and a one-line message" {
	local -a cases=(
		--benchmark_repetitions=1
		--benchmark_repetitions=0
		--benchmark_repetitions=-5
		--benchmark_repetitions=
		--benchmark_repetitions=2x
		--timeout=0
		--timeout=-1
		--timeout=abc
		--benchmark_filter=matches_no_row
		--no-such-flag
	)
	local args
	for args in "${cases[@]}"; do
		run -2 --separate-stderr "$BENCH" "$args"
		[ "${#stderr_lines[@]}" -eq 1 ]
		[ -z "$output" ]
	done

	run -0 --separate-stderr "$BENCH" --help
	[[ $output == *"--timeout=SECONDS"* ]]
	[[ $output == *"Exit status"* ]]
	[[ $output == *"--benchmark_filter"* ]]
}
