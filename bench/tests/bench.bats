#!/usr/bin/env bats
# thread-start-bench: what it reports, computed from stand-ins whose
# reports are known, and every run it must refuse. Timings are never judged.

bats_require_minimum_version 1.5.0
load ../../tests/needs
load ../../tests/emulation

setup() {
	BENCH=${THREAD_START_BENCH:?set THREAD_START_BENCH to the benchmark}
	FAKE=${FAKE_PROGRAM:?set FAKE_PROGRAM to the stand-in program}
	command -v jq >/dev/null || missing_package "jq is not installed"
	json=$BATS_TEST_TMPDIR/bench.json
	good_report='Entered the loopp\nThe time of the childthread is 5\n'
	# The stand-in as the helpers, by their names.
	COLD=$BATS_TEST_TMPDIR/cold-thread-start PARTS=$BATS_TEST_TMPDIR/thread-start-parts
	ln -s "$FAKE" "$COLD"
	ln -s "$FAKE" "$PARTS"
}

# The statistic $2 (min, median, p90, p99, max) of counter $3 of row $1 in
# $json, as jq prints a double: jq 1.7 would print the file's own digits.
aggregate() {
	jq -r --arg r "$1/" --arg s "$2" --arg c "$3" '.benchmarks[]
		| select((.run_name | startswith($r)) and .aggregate_name == $s) | .[$c] + 0' "$json"
}

@test "a short real run: every row, counter and context entry; the parts add up in every repetition" {
	run -0 --separate-stderr "$BENCH" --benchmark_repetitions=3 --label='my run' \
		--variant=arena2:MALLOC_ARENA_MAX=2 --benchmark_out="$json"
	local name
	for name in program_run/pipe program_run/pipe_one_arena program_run/pinned \
		program_run/arena2 program_run/tty program_parts/default \
		program_parts/own_stack program_parts/small_stack cold_thread_start warm_create_join; do
		[[ $output == *"$name/"*median* ]]
		jq -e --arg n "$name/" '[.benchmarks[] | select(.run_name | startswith($n))
			| select(.run_type == "iteration") | .ticks | type == "number" and . >= 0]
			| length == 3 and all' "$json" >/dev/null ||
			{ echo "not every repetition of $name" >&2; false; }
	done
	# Single repetitions are not shown on the console.
	[[ $output != *"manual_time "* ]]
	jq -e '.context | .label == "my run" and .variants == "arena2: MALLOC_ARENA_MAX=2"
		and (.parts_helper | endswith("/thread-start-parts"))
		and (.pinned_cpu | test("^[0-9]+$"))' "$json"
	local key
	for key in kernel libc cpu_model affinity virtualization program cold_helper tunables subreaper; do
		jq -e --arg k "$key" '.context[$k] | type == "string" and length > 0' "$json" >/dev/null
	done
	# Only an emulator may keep the bench from being a subreaper.
	emulated "$BENCH" || jq -e '.context.subreaper == "yes"' "$json"
	# The Google Benchmark it was built with, as CMake found it.
	jq -e --arg v "${BENCHMARK_VERSION:?}" '.context.benchmark_version == $v' "$json"
	# The real helper's parts add up to its ticks, each repetition.
	jq -e '[.benchmarks[] | select(.run_type == "iteration" and (.run_name | startswith("program_parts/")))
		| (.creator + .new_thread + .first_line + .rest - .ticks) | fabs < 0.01]
		| length == 9 and all' "$json"
	# warm_create_join's ticks are per thread, as its processor time is.
	jq -e '[.benchmarks[] | select(.run_type == "iteration" and (.run_name | startswith("warm")))
		| .ticks / .cpu_time | . > 0.5 and . < 2] | length == 3 and all' "$json"
}

@test "percentiles, exactly, of known sequences of ticks in shuffled order" {
	# The sequence, then min median p90 p99 max. Nearest rank: p90 of 7
	# values is the 7th (ceil 6.3), of 20 the 18th; p99 of 20 the 20th.
	local -a cases=(
		"40 10 70 20 60 30 50|10 40 70 70 70"
		"7 19 2 14 11 20 1 16 5 13 9 18 3 12 17 4 10 15 8 6|1 10.5 18 20 20"
		"3 3|3 3 3 3 3"
	)
	local case stat values expected got i
	for case in "${cases[@]}"; do
		tr ' ' '\n' <<<"${case%|*}" >"$BATS_TEST_TMPDIR/sequence"
		read -ra expected <<<"${case#*|}"
		rm -f "$BATS_TEST_TMPDIR/count"
		FAKE_MODE=sequence FAKE_SEQUENCE=$BATS_TEST_TMPDIR/sequence \
			FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
			run -0 "$BENCH" --program="$FAKE" --benchmark_filter='^program_run/pipe/' \
			--benchmark_repetitions="$(wc -l <"$BATS_TEST_TMPDIR/sequence")" \
			--benchmark_out="$json"
		i=0
		for stat in min median p90 p99 max; do
			got=$(aggregate program_run/pipe "$stat" ticks)
			[ "$got" = "${expected[i]}" ] || {
				echo "$stat of ${case%|*}: $got, not ${expected[i]}" >&2
				false
			}
			i=$((i + 1))
		done
	done
}

@test "each lever and variant runs the program as it says: tunable, CPU, variables" {
	local n
	n=$(nproc)
	FAKE_MODE=env run -0 "$BENCH" --program="$FAKE" --benchmark_filter='^program_run/' \
		--benchmark_repetitions=2 --benchmark_out="$json" \
		--variant=answer:FAKE_TICKS=42 --variant=odd:FAKE_ECHO=a:b=c \
		--variant=odd:GLIBC_TUNABLES=glibc.malloc.tcache_count=5
	# row, then the median ticks the stand-in reports there.
	local -a cases=(
		"program_run/pipe|$((100 * n))"
		"program_run/pipe_one_arena|$((100 * n + 1))"
		"program_run/pinned|100"
		"program_run/tty|$((100 * n))"
		"program_run/answer|42"
		"program_run/odd|5"
	)
	local case
	for case in "${cases[@]}"; do
		[ "$(aggregate "${case%|*}" median ticks)" = "${case#*|}" ] ||
			{ echo "$case: $(aggregate "${case%|*}" median ticks)" >&2; false; }
	done
	jq -e '.context.variants == "answer: FAKE_TICKS=42; odd: FAKE_ECHO=a:b=c GLIBC_TUNABLES=glibc.malloc.tcache_count=5"' "$json"
}

@test "the environment's tunables reach the rows and the context; the parts rows get their arguments" {
	local log=$BATS_TEST_TMPDIR/log
	GLIBC_TUNABLES=glibc.malloc.tcache_count=5 MALLOC_ARENA_MAX=3 FAKE_LOG=$log \
		run -0 "$BENCH" --program="$FAKE" --parts-helper="$PARTS" \
		--benchmark_filter='^program_(run/(pipe|tty)|parts)' --benchmark_repetitions=10 \
		--benchmark_out="$json" --benchmark_enable_random_interleaving=false
	# Ten runs of each row, in blocks when interleaving is off.
	diff - <(uniq -c "$log") <<-EOF
	     10 pipe glibc.malloc.tcache_count=5 
	     10 pipe glibc.malloc.tcache_count=5:glibc.malloc.arena_max=1 
	     10 tty glibc.malloc.tcache_count=5 
	     10 pipe glibc.malloc.tcache_count=5 
	     10 pipe glibc.malloc.tcache_count=5 own-stack
	     10 pipe glibc.malloc.tcache_count=5 small-stack
	EOF
	jq -e '.context.tunables | split(" ") | sort
		== ["GLIBC_TUNABLES=glibc.malloc.tcache_count=5", "MALLOC_ARENA_MAX=3"]' "$json"

	# Interleaved by default: the rows' runs are mixed.
	rm "$log"
	FAKE_LOG=$log run -0 "$BENCH" --program="$FAKE" \
		--benchmark_filter='^program_run/pipe' --benchmark_repetitions=10
	[ "$(wc -l <"$log")" -eq 20 ]
	[ "$(uniq "$log" | wc -l)" -gt 2 ]
}

@test "the parts row reads each counter exactly; process_cpu is the run's user plus system time in µs" {
	FAKE_REPORT='Entered the loopp\nticks=10 creator=4.250 new_thread=1.000 first_line=6.000 rest=-1.250\n' \
		run -0 "$BENCH" --parts-helper="$FAKE" --benchmark_filter='^program_parts/default' \
		--benchmark_repetitions=2 --benchmark_out="$json" \
		--benchmark_display_aggregates_only=true
	# Every repetition reaches the file, whatever the console shows.
	jq -e '[.benchmarks[] | select(.run_type == "iteration")
		| [.ticks, .creator, .new_thread, .first_line, .rest] == [10, 4.25, 1, 6, -1.25]]
		| length == 2 and all' "$json"

	# The stand-in burns user and system time and reports what it used.
	BURN_USER_MS=60 BURN_SYSTEM_MS=40 run -0 "$BENCH" --program="$BURN_CPU" \
		--benchmark_filter='^program_run/pipe/' --benchmark_repetitions=2 --benchmark_out="$json"
	jq -e '[.benchmarks[] | select(.run_type == "iteration")
		| .ticks >= 100000 and .process_cpu >= .ticks and .process_cpu < .ticks + 30000]
		| length == 2 and all' "$json"
}

@test "the console shows the rows in the bench's own order, whatever order they finished in" {
	local expected=$BATS_TEST_TMPDIR/expected i
	printf '%s\n' program_run/pipe program_run/pipe_one_arena program_run/pinned \
		program_run/zz program_run/tty program_parts/default program_parts/own_stack \
		program_parts/small_stack cold_thread_start >"$expected"
	for i in 1 2 3; do
		run -0 --separate-stderr "$BENCH" --program="$FAKE" --cold-helper="$COLD" \
			--parts-helper="$PARTS" --benchmark_filter='^(program|cold)' \
			--benchmark_repetitions=4 --variant=zz:A=1
		diff "$expected" <(grep -o '^[a-z_/]*/iterations:1/repeats:4/manual_time_median' <<<"$output" |
			sed 's|/iterations.*||')
	done
}

@test "progress on a terminal only: runs done of planned, then cleared" {
	command -v script >/dev/null || missing_package "script(1) (bsdutils) is not installed"
	local log=$BATS_TEST_TMPDIR/typescript
	script -qec "'$BENCH' --program='$FAKE' --benchmark_filter=^program_run/pipe/ \
		--benchmark_repetitions=3 >/dev/null" "$log" >/dev/null
	grep -q 'thread-start-bench: 3 of 3 runs, [0-9]* s, about 0 s left' "$log"
	grep -q $'\r\e\[K' "$log"

	run -0 --separate-stderr "$BENCH" --program="$FAKE" --benchmark_filter=^program_run/pipe/ \
		--benchmark_repetitions=3
	[[ $stderr != *"of 3 runs"* && $stderr != *$'\r'* ]]
}

@test "the measured program gets /dev/null, its output, its error and no other descriptor" {
	FAKE_MODE=fds run -0 --separate-stderr "$BENCH" --program="$FAKE" \
		--benchmark_filter='^program_run/pipe/' --benchmark_repetitions=2 \
		--benchmark_out="$json"
	[[ $output == *"program_run/pipe"*"median"* ]]
}

# Each line: the row, how the stand-in goes wrong (FAKE_MODE) or what it
# prints (FAKE_REPORT, printf %b escapes), and the reason the bench must give.
left_behind='
program_run/pipe | orphan     |  | left 1 process behind
program_run/tty  | orphan     |  | left 1 process behind
program_run/pipe | escape     |  | left 1 process behind
'
bad_runs='
program_run/pipe | hang       |  | timed out after 1 s
program_run/tty  | flood      |  | wrote more than 4096 bytes
program_run/pipe | fail-third |  | exited with status 3
program_run/pipe | report-then-fail |  | exited with status 1
program_run/pipe | signal     |  | killed by signal 15 (SIGTERM)
program_run/pipe | stderr     |  | wrote to standard error: "oops\n"
program_run/pipe | report | Entered the loopp\nThe time of the childthread is -5\n | unexpected report: "Entered the loopp\nThe time of the childthread is -5\n"
program_run/pipe | report | Entered the loopp\nThe time of the childthread is -0\n | unexpected report: "Entered the loopp\nThe time of the childthread is -0\n"
program_run/pipe | report | Entered the loopp\nThe time of the childthread is 007\n | unexpected report: "Entered the loopp\nThe time of the childthread is 007\n"
program_run/pipe | report | Entered the loopp\nThe time of the childthread is 9223372036854775808\n | unexpected report: "Entered the loopp\nThe time of the childthread is 9223372036854775808\n"
program_run/pipe | report | Entered the loopp\nThe time of the childthread is 5 | unexpected report: "Entered the loopp\nThe time of the childthread is 5"
program_run/pipe | report | Entered the loopp\nThe time of the childthread is 55 | unexpected report: "Entered the loopp\nThe time of the childthread is 55"
program_run/pipe | report | Entered the loop\nThe time of the childthread is 5\n | unexpected report: "Entered the loop\nThe time of the childthread is 5\n"
program_run/pipe | report | Entered the loopp The time of the childthread is 5\n | unexpected report: "Entered the loopp The time of the childthread is 5\n"
program_run/tty  | report | Entered the loopp\nThe time of the childthread is 5\nmore\n | unexpected report: "Entered the loopp\r\nThe time of the childthread is 5\r\nmore\r\n"
cold_thread_start | report | -3\n | unexpected report: "-3\n"
cold_thread_start | report | 12 \n | unexpected report: "12 \n"
cold_thread_start | report | 12 | unexpected report: "12"
program_parts/default | report | Entered the loopp\nticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.000\n | unexpected report: "Entered the loopp\nticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.000\n"
program_parts/default | report | Entered the loopp\nticks=10 creator=-4.250 new_thread=1.000 first_line=3.500 rest=9.750\n | unexpected report: "Entered the loopp\nticks=10 creator=-4.250 new_thread=1.000 first_line=3.500 rest=9.750\n"
program_parts/default | report | Entered the loopp\nticks=10 creator=4.25 new_thread=1.000 first_line=3.500 rest=1.250\n | unexpected report: "Entered the loopp\nticks=10 creator=4.25 new_thread=1.000 first_line=3.500 rest=1.250\n"
program_parts/default | report | Entered the loopp\nticks=10 new_thread=1.000 creator=4.250 first_line=3.500 rest=1.250\n | unexpected report: "Entered the loopp\nticks=10 new_thread=1.000 creator=4.250 first_line=3.500 rest=1.250\n"
program_parts/own_stack | report | ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250\n | unexpected report: "ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250\n"
program_parts/small_stack | report | Entered the loopp\nticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250 | unexpected report: "Entered the loopp\nticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250"
cold_thread_start | bytes:4096 |  | unexpected report: "{x120}"...
cold_thread_start | bytes:4097 |  | wrote more than 4096 bytes
'

trim() {
	local text=${1#"${1%%[! ]*}"}
	echo "${text%"${text##*[! ]}"}"
}

# Passes if each run of the table $1 stops the bench as it must.
stops_the_bench() {
	local row mode report reason
	while IFS='|' read -r row mode report reason; do
		row=$(trim "$row") mode=$(trim "$mode") report=$(trim "$report")
		reason=$(trim "$reason")
		reason=${reason//'{x120}'/$(printf 'x%.0s' {1..120})}
		[[ -n $row ]] || continue
		local what=--program
		[[ $row == cold_thread_start ]] && what=--cold-helper
		[[ $row == program_parts/* ]] && what=--parts-helper
		rm -f "$BATS_TEST_TMPDIR/count"
		FAKE_MODE=${mode%:*} FAKE_BYTES=${mode#*:} FAKE_REPORT=${report:-$good_report} \
			FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
			run -1 --separate-stderr timeout 30 "$BENCH" "$what=$FAKE" \
			--timeout=1 --benchmark_filter="^$row/" \
			--benchmark_repetitions=4 --benchmark_out="$json"
		[ "${stderr_lines[-1]}" = "thread-start-bench: $row: $FAKE: $reason" ] ||
			{ echo "$row $mode: ${stderr_lines[-1]}" >&2; false; }
		[[ $output != *median* ]]
		[ ! -e "$json" ]
		if [[ $mode == orphan || $mode == escape ]]; then
			# What the run left behind, even in a session of its
			# own, was killed with it.
			local left
			left=$(cat "$BATS_TEST_TMPDIR/count")
			[[ ! -e /proc/$left || $(cut -d' ' -f3 "/proc/$left/stat") == Z ]]
		fi
	done <<<"$1"
}

@test "a run that fails, hangs, floods or misreports stops the bench at once: status 1, its reason, no statistics" {
	stops_the_bench "$bad_runs"
}

@test "a run that leaves processes behind, in its group or out of it, stops the bench: they are killed with it" {
	if emulated "$BENCH"; then
		local context=$BATS_TEST_TMPDIR/context.json
		run -0 "$BENCH" --program="$FAKE" --benchmark_filter='^program_run/pipe/' \
			--benchmark_repetitions=2 --benchmark_out="$context"
		jq -e '.context.subreaper == "yes"' "$context" >/dev/null ||
			skip "emulated: qemu-user does not let the bench become a subreaper, so processes that leave a run are not found"
	fi
	stops_the_bench "$left_behind"
}

@test "reports at the edge of what is good are taken: the largest count, 0, a parts line with no rest" {
	local -a cases=(
		"program_run/pipe|--program|Entered the loopp\nThe time of the childthread is 9223372036854775807\n|9223372036854775807"
		"program_run/pipe|--program|Entered the loopp\nThe time of the childthread is 0\n|0"
		"cold_thread_start|--cold-helper|0\n|0"
		"program_parts/default|--parts-helper|Entered the loopp\nticks=0 creator=0.000 new_thread=0.000 first_line=0.000 rest=-0.000\n|0"
	)
	local case row what report ticks
	for case in "${cases[@]}"; do
		IFS='|' read -r row what report ticks <<<"$case"
		FAKE_REPORT=$report run -0 "$BENCH" "$what=$FAKE" --benchmark_filter="^$row/" \
			--benchmark_repetitions=2 --benchmark_out="$json"
		# As doubles (+ 0), both: jq 1.7 compares and prints the digits
		# written, which differ.
		[ "$(jq -r '[.benchmarks[] | select(.run_type == "iteration") | .ticks + 0 | tostring] | unique | join(" ")' "$json")" \
			= "$(jq -rn --argjson t "$ticks" '$t + 0 | tostring')" ] ||
			{ echo "$case: $(jq -c '[.benchmarks[] | .ticks]' "$json")" >&2; false; }
	done
}

@test "usage errors: status 2 and a one-line message, before any run" {
	local -a cases=(
		--benchmark_repetitions=1
		--benchmark_repetitions=0
		--benchmark_repetitions=-5
		--benchmark_repetitions=
		--benchmark_repetitions=2x
		--benchmark_repetitions=100001
		--timeout=0
		--timeout=-1
		--timeout=abc
		--label=
		--benchmark_out_format=xml
		--benchmark_format=csv
		--variant=noassignment
		--variant=Upper:A=1
		--variant=9lives:A=1
		--variant=ok:1A=1
		--variant=ok:=1
		--variant=pipe:A=1
		--variant=pinned:A=1
		--benchmark_filter=matches_no_row
		--no-such-flag
		--benchmark_min_time=1
		--benchmark_min_time=10x
		--benchmark_min_warmup_time=0
		--benchmark_dry_run
		--benchmark_report_aggregates_only
		--benchmark_report_aggregates_only=yes
		--benchmark_display_aggregates_only=false
		--benchmark_counters_tabular=true
		--benchmark_time_unit=ms
		--benchmark_perf_counters=CYCLES
		--benchmark_out_format=csv
		--benchmark_context=label=spoofed
		--benchmark_context=rack=1,program=/bin/true
		--benchmark_context=host_name=elsewhere
		--benchmark_context=date=yesterday
		--benchmark_context=no_value
	)
	# The library's flags set through the environment, as it reads them.
	local -a environment=(
		BENCHMARK_REPETITIONS=1
		BENCHMARK_FORMAT=csv
		BENCHMARK_OUT_FORMAT=csv
		BENCHMARK_FILTER=matches_no_row
		BENCHMARK_MIN_TIME=1
		BENCHMARK_REPORT_AGGREGATES_ONLY=true
		BENCHMARK_TIME_UNIT=ns
		BENCHMARK_CONTEXT=label=spoofed
	)
	local args log=$BATS_TEST_TMPDIR/log failed=0
	for args in "${cases[@]}" "${environment[@]}"; do
		if [[ $args == BENCHMARK_* ]]; then
			FAKE_LOG=$log run --separate-stderr env "$args" "$BENCH" --program="$FAKE"
		else
			FAKE_LOG=$log run --separate-stderr "$BENCH" --program="$FAKE" "$args"
		fi
		if [[ $status -ne 2 || ${#stderr_lines[@]} -ne 1 || -n $output || -e $log ]]; then
			echo "$args: status $status, $(wc -l <<<"$stderr") lines: $stderr" >&2
			failed=1
		fi
		rm -f "$log"
	done
	[ "$failed" -eq 0 ]

	run -0 --separate-stderr "$BENCH" --help
	[[ $output == *"--timeout=SECONDS"* ]]
	[[ $output == *"from 2 to 100000"* ]]
	[[ $output == *"Exit status"* ]]
	[[ $output == *"--benchmark_filter"* ]]
	# Only what the bench accepts.
	local refused
	for refused in csv min_time warmup_time dry_run aggregates_only counters_tabular time_unit perf_counters; do
		[[ $output != *"$refused"* ]] || { echo "--help shows $refused" >&2; false; }
	done
}
