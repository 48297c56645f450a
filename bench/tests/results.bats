#!/usr/bin/env bats
# thread-start-bench and the files it is given: a results file is replaced
# only by a complete one, nothing it did not create is removed, and output
# that is lost or interrupted is never a success.

bats_require_minimum_version 1.5.0
load ../../tests/cases

setup() {
	BENCH=${THREAD_START_BENCH:?set THREAD_START_BENCH to the benchmark}
	FAKE=${FAKE_PROGRAM:?set FAKE_PROGRAM to the stand-in program}
	dir=$BATS_TEST_TMPDIR/out
	mkdir "$dir"
	json=$dir/results.json
	quick=(--program="$FAKE" --benchmark_filter='^program_run/pipe/' --benchmark_repetitions=2)
}

# Passes if $dir holds exactly the names given.
only_in_dir() {
	diff <(printf '%s\n' "$@" | sort) <(ls -A "$dir" | sort)
}

@test "a complete run replaces the file, keeping its mode and its link" {
	echo previous >"$json"
	chmod 640 "$json"
	ln -s results.json "$dir/link.json"
	run -0 "$BENCH" "${quick[@]}" --benchmark_out="$dir/link.json"
	jq -e '.benchmarks | length > 0' "$json"
	[ "$(stat -c %a "$json")" = 640 ]
	[ -L "$dir/link.json" ]
	only_in_dir results.json link.json
}

# Passes if the bench, given the arguments after the status $1 it must end
# with, leaves the results file as it was, and nothing beside it.
leaves_the_file() {
	local expected=$1
	shift
	echo previous >"$json"
	run "-$expected" "$BENCH" "${quick[@]}" "$@" --benchmark_out="$json"
	[ "$(cat "$json")" = previous ]
	only_in_dir results.json
}

# Runs that write no results: quick, one test each.
@test "a failed run leaves the file as it was" {
	FAKE_MODE=fail-third FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
		leaves_the_file 1 --benchmark_repetitions=5
}
@test "a filter that selects nothing leaves the file as it was" {
	leaves_the_file 2 --benchmark_filter=nothing
}
@test "listing the rows measures nothing and leaves the file as it was" {
	leaves_the_file 0 --benchmark_list_tests=true
	[ "$output" = program_run/pipe/iterations:1/repeats:2/manual_time ]
}

@test "no file before a failed run: none after" {
	FAKE_MODE=signal run -1 "$BENCH" "${quick[@]}" --benchmark_out="$dir/new.json"
	[ -z "$(ls -A "$dir")" ]
}

@test "BENCHMARK_OUT, as --benchmark_out: a failed run leaves the file as it was" {
	echo '{"the user": "data"}' >"$json"
	cp "$json" "$BATS_TEST_TMPDIR/before"
	BENCHMARK_OUT=$json run -1 "$BENCH" "${quick[@]}" --program=/bin/false
	cmp "$json" "$BATS_TEST_TMPDIR/before"
	only_in_dir results.json
}

@test "BENCHMARK_OUT, as --benchmark_out: a complete run replaces the file" {
	echo '{"the user": "data"}' >"$json"
	BENCHMARK_OUT=$json run -0 "$BENCH" "${quick[@]}"
	jq -e '[.benchmarks[].run_name] | unique
		== ["program_run/pipe/iterations:1/repeats:2/manual_time"]' "$json"
	only_in_dir results.json
}

@test "BENCHMARK_FILTER, BENCHMARK_REPETITIONS and BENCHMARK_OUT_FORMAT, as their flags" {
	# The stand-in reports as the helper it is named after.
	ln -s "$FAKE" "$BATS_TEST_TMPDIR/cold-thread-start"
	BENCHMARK_FILTER='^cold_thread_start/' BENCHMARK_REPETITIONS=3 BENCHMARK_OUT=$json \
		BENCHMARK_OUT_FORMAT=json run -0 --separate-stderr "$BENCH" \
		--cold-helper="$BATS_TEST_TMPDIR/cold-thread-start"
	jq -e '[.benchmarks[] | select(.run_type == "iteration") | .run_name]
		| unique == ["cold_thread_start/iterations:1/repeats:3/manual_time"]
		and length == 3' "$json"
	only_in_dir results.json
}

@test "the command line's filter and repetitions win over the variables" {
	BENCHMARK_FILTER='^cold_thread_start/' BENCHMARK_REPETITIONS=3 BENCHMARK_OUT=$json \
		run -0 --separate-stderr "$BENCH" "${quick[@]}"
	jq -e '[.benchmarks[] | select(.run_type == "iteration") | .run_name]
		| unique == ["program_run/pipe/iterations:1/repeats:2/manual_time"]
		and length == 2' "$json"
	[[ $output == *"of 2 repetitions a row"*$'\n'"the program's span "*" 5.0 "* ]]
	[[ $output == *$'\n'"cold thread start "*" not measured "* ]]
	only_in_dir results.json
}

# The first repetition of row $1 in $json as the library writes it, and the
# lines that follow it, the times, which are not known, masked.
first_repetition() {
	grep -A 17 -m 1 "\"name\": \"$1/" "$json" |
		sed -E 's/(_time|process_cpu|ticks)": [0-9]\.[0-9]{16}e[+-][0-9]{2}/\1": T/'
}

@test "the results file is the library's JSON, byte for byte, with every digit of each number" {
	run -0 "$BENCH" "${quick[@]}" --benchmark_filter='^(program_run/pipe|warm_create_join)/' \
		--benchmark_enable_random_interleaving=false --benchmark_out="$json"
	jq -e '.benchmarks | length == 20' "$json"
	# Keys in the library's order, integers as such, every other number as
	# printf's %.16e. The rows come from one run, as their family indices
	# show: each is compared, and each that differs named.
	diff - <(first_repetition program_run/pipe) <<-'EOF' || case_failed program_run/pipe differs
	      "name": "program_run/pipe/iterations:1/repeats:2/manual_time",
	      "family_index": 0,
	      "per_family_instance_index": 0,
	      "run_name": "program_run/pipe/iterations:1/repeats:2/manual_time",
	      "run_type": "iteration",
	      "repetitions": 2,
	      "repetition_index": 0,
	      "threads": 1,
	      "iterations": 1,
	      "real_time": T,
	      "cpu_time": T,
	      "time_unit": "us",
	      "process_cpu": T,
	      "ticks": T
	    },
	    {
	      "name": "program_run/pipe/iterations:1/repeats:2/manual_time",
	      "family_index": 0,
	EOF
	diff - <(first_repetition warm_create_join) <<-'EOF' || case_failed warm_create_join differs
	      "name": "warm_create_join/iterations:100/repeats:2/process_time/real_time",
	      "family_index": 1,
	      "per_family_instance_index": 0,
	      "run_name": "warm_create_join/iterations:100/repeats:2/process_time/real_time",
	      "run_type": "iteration",
	      "repetitions": 2,
	      "repetition_index": 0,
	      "threads": 1,
	      "iterations": 100,
	      "real_time": T,
	      "cpu_time": T,
	      "time_unit": "us",
	      "ticks": T
	    },
	    {
	      "name": "warm_create_join/iterations:100/repeats:2/process_time/real_time",
	      "family_index": 1,
	      "per_family_instance_index": 0,
	EOF
	# The stand-in's 5 ticks, exactly as the library writes a number.
	grep -q '^      "ticks": 5.0000000000000000e+00$' "$json" ||
		case_failed "the stand-in's ticks" "not 5.0000000000000000e+00"
	no_case_failed
}

# Passes if --benchmark_out=$1 is a usage error found before any run:
# status 2 and the one line "thread-start-bench: $2". The program it would
# measure, a copy of the stand-in in $dir, is left as it was, and so is $dir.
unusable() {
	mkdir "$dir/subdir"
	cp "$FAKE" "$dir/program"
	FAKE_LOG=$BATS_TEST_TMPDIR/log run -2 --separate-stderr "$BENCH" \
		--program="$dir/program" --benchmark_filter='^program_run/pipe/' \
		--benchmark_repetitions=2 --benchmark_out="$1"
	[ "$stderr" = "thread-start-bench: $2" ] || { echo "got: $stderr" >&2; false; }
	[ ! -e "$BATS_TEST_TMPDIR/log" ]
	cmp "$dir/program" "$FAKE"
	only_in_dir program subdir
}

# Files the bench cannot use: quick, one test each.
@test "unusable: the program measured" {
	unusable "$dir/program" "$dir/program: is $dir/program, which the bench measures"
}
@test "unusable: a directory" { unusable "$dir/subdir" "$dir/subdir: is a directory"; }
@test "unusable: a file in a missing directory" {
	unusable "$dir/missing/results.json" \
		"cannot write in $dir/missing: No such file or directory"
}
@test "unusable: no name" { unusable '' '--benchmark_out needs a file name'; }
@test "unusable: the bench itself" {
	# A copy: a bench that took itself for a results file would spoil the
	# one the other tests run.
	local bench=$dir/thread-start-bench
	cp "$BENCH" "$bench"
	run -2 --separate-stderr "$bench" "${quick[@]}" --benchmark_out="$bench"
	[[ $stderr == "thread-start-bench: $bench: is "* ]]
	cmp "$BENCH" "$bench"
}

@test "a FIFO is written directly" {
	mkfifo "$dir/fifo"
	# A reader that ends by itself, should the bench never open the FIFO:
	# left blocked, it would hold the test's output open for ever.
	timeout 60 cat "$dir/fifo" >"$BATS_TEST_TMPDIR/read" &
	run -0 "$BENCH" "${quick[@]}" --benchmark_out="$dir/fifo"
	wait
	jq -e '.benchmarks | length > 0' "$BATS_TEST_TMPDIR/read"
}

@test "a FIFO is still there after a failed run" {
	mkfifo "$dir/fifo"
	timeout 60 cat "$dir/fifo" >/dev/null &
	FAKE_MODE=signal run -1 "$BENCH" "${quick[@]}" --benchmark_out="$dir/fifo"
	wait
	[ -p "$dir/fifo" ]
	only_in_dir fifo
}

# Passes if SIG$1, number $2, sent while a run hangs, ends that run and what
# it started, leaves the results file as it was without a temporary file
# beside it, and kills the bench itself.
interrupted() {
	local signal=$1 number=$2
	echo previous >"$json"
	# A background job of a script starts with SIGINT ignored.
	FAKE_MODE=hang-logged FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
		env --default-signal=INT "$BENCH" "${quick[@]}" --timeout=60 \
		--benchmark_out="$json" >/dev/null 2>&1 &
	local bench=$! tries=0
	until [[ -s $BATS_TEST_TMPDIR/count ]] || ((++tries > 100)); do sleep 0.1; done
	kill -s "$signal" "$bench"
	local status=0
	wait "$bench" || status=$?
	[ "$status" -eq $((128 + number)) ] || { echo "status $status" >&2; false; }
	local left
	left=$(cat "$BATS_TEST_TMPDIR/count")
	[[ ! -e /proc/$left || $(cut -d' ' -f3 "/proc/$left/stat") == Z ]]
	[ "$(cat "$json")" = previous ]
	only_in_dir results.json
}

# Signals that interrupt the bench: quick, one test each.
@test "interrupted by SIGINT, it cleans up and dies of it"  { interrupted INT 2; }
@test "interrupted by SIGTERM, it cleans up and dies of it" { interrupted TERM 15; }
@test "interrupted by SIGHUP, it cleans up and dies of it"  { interrupted HUP 1; }

# Passes if the bench, run by the bash line $1 with its command line as
# arguments, ends with status $2 and, unless $3 is empty, the last line $3
# on standard error.
loses_output() {
	run --separate-stderr bash -c "$1" bench "$BENCH" "${quick[@]}"
	[ "$status" -eq "$2" ] || { echo "status $status" >&2; false; }
	local last=${stderr##*$'\n'}
	[[ -z $3 || $last == "$3" ]] || { echo "last line: $last" >&2; false; }
}

# Output that is lost: quick, one test each.
@test "lost output: standard output on a full device" {
	loses_output 'exec "$@" >/dev/full' 1 \
		'thread-start-bench: standard output: No space left on device'
}
@test "lost output: the results file on a full device" {
	loses_output 'exec "$@" --benchmark_out=/dev/full' 1 \
		'thread-start-bench: /dev/full: No space left on device'
}
@test "lost output: a reader gone while SIGPIPE is ignored" {
	loses_output 'trap "" PIPE; "$@" | true; exit "${PIPESTATUS[0]}"' 1 \
		'thread-start-bench: standard output: Broken pipe'
}
@test "lost output: a reader gone" {
	loses_output '"$@" | true; exit "${PIPESTATUS[0]}"' 141 ''
}

@test "killed by SIGPIPE, it leaves no temporary file" {
	# The reader is gone before the bench starts: with `| true` it may
	# still read the answer, and the file is then rightly put in place.
	run -141 bash -c 'exec 3> >(true); wait $!; "$@" >&3' bench "$BENCH" "${quick[@]}" \
		--benchmark_out="$json"
	[ -z "$(ls -A "$dir")" ]
}

# Passes if the bench, started with descriptor $1 closed, writes the results
# file and nothing else into it.
closed_at_start() {
	run -0 bash -c "exec \"\$@\" $1>&-" bench "$BENCH" "${quick[@]}" --benchmark_out="$json"
	jq -e '.benchmarks | length > 0' "$json"
}

# Descriptors closed at start are no place for the console: quick, one test
# each.
@test "closed at start: standard input"  { closed_at_start 0; }
@test "closed at start: standard output" { closed_at_start 1; }
@test "closed at start: standard error"  { closed_at_start 2; }

@test "too few descriptors, at any point: never a crash; the first run says so" {
	# Where the runs' own descriptors cannot be made, the first run says
	# so, under at least one of these limits: the limits are checked in
	# one test, which names each that fails.
	local n said=0 last says="thread-start-bench: program_run/pipe: $FAKE: "
	for n in {5..16}; do
		run --separate-stderr bash -c 'exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-
			ulimit -n "$0" && exec "$@"' "$n" "$BENCH" "${quick[@]}"
		last=${stderr##*$'\n'}
		[[ $status -le 1 ]] || case_failed "ulimit -n $n" "status $status: $last"
		[[ $status -eq 0 || $last != "$says"*": Too many open files" ]] || said=1
	done
	((said)) || case_failed "ulimit -n 5 to 16" "no first run said: Too many open files"
	no_case_failed
}
