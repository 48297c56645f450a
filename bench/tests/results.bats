#!/usr/bin/env bats
# thread-start-bench and the files it is given: a results file is replaced
# only by a complete one, nothing it did not create is removed, and output
# that is lost or interrupted is never a success.

bats_require_minimum_version 1.5.0

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

@test "a complete run replaces the file, keeping its mode and its link; a failed or empty one leaves it as it was" {
	echo previous >"$json"
	chmod 640 "$json"
	ln -s results.json "$dir/link.json"
	run -0 "$BENCH" "${quick[@]}" --benchmark_out="$dir/link.json"
	jq -e '.benchmarks | length > 0' "$json"
	[ "$(stat -c %a "$json")" = 640 ]
	[ -L "$dir/link.json" ]
	only_in_dir results.json link.json

	cp "$json" "$BATS_TEST_TMPDIR/before"
	# A run that fails, and a filter that selects nothing.
	FAKE_MODE=fail-third FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
		run -1 "$BENCH" "${quick[@]}" --benchmark_repetitions=5 --benchmark_out="$json"
	cmp "$json" "$BATS_TEST_TMPDIR/before"
	run -2 "$BENCH" "${quick[@]}" --benchmark_filter=nothing --benchmark_out="$json"
	cmp "$json" "$BATS_TEST_TMPDIR/before"
	# Listing the rows measures nothing: no results either.
	run -0 "$BENCH" "${quick[@]}" --benchmark_list_tests=true --benchmark_out="$json"
	[ "$output" = program_run/pipe/iterations:1/repeats:2/manual_time ]
	cmp "$json" "$BATS_TEST_TMPDIR/before"
	only_in_dir results.json link.json

	# No file before: none after.
	FAKE_MODE=signal run -1 "$BENCH" "${quick[@]}" --benchmark_out="$dir/new.json"
	only_in_dir results.json link.json
}

@test "Google Benchmark's variables take the flags' path: BENCHMARK_OUT is written safely, BENCHMARK_FILTER selects, the command line wins" {
	echo '{"the user": "data"}' >"$json"
	cp "$json" "$BATS_TEST_TMPDIR/before"
	# A failed run named through the environment leaves the file as it was.
	BENCHMARK_OUT=$json run -1 "$BENCH" "${quick[@]}" --program=/bin/false
	cmp "$json" "$BATS_TEST_TMPDIR/before"
	only_in_dir results.json

	BENCHMARK_OUT=$json run -0 "$BENCH" "${quick[@]}"
	jq -e '[.benchmarks[].run_name] | unique == ["program_run/pipe/iterations:1/repeats:2/manual_time"]' "$json"
	only_in_dir results.json

	# The filter, the format and the repetitions from the environment; the
	# command line's filter and repetitions win over them. The stand-in
	# reports as the helper it is named after.
	ln -s "$FAKE" "$BATS_TEST_TMPDIR/cold-thread-start"
	BENCHMARK_FILTER='^cold_thread_start/' BENCHMARK_REPETITIONS=3 BENCHMARK_OUT=$json \
		BENCHMARK_OUT_FORMAT=json run -0 --separate-stderr "$BENCH" \
		--cold-helper="$BATS_TEST_TMPDIR/cold-thread-start"
	jq -e '[.benchmarks[] | select(.run_type == "iteration") | .run_name] |
		unique == ["cold_thread_start/iterations:1/repeats:3/manual_time"] and length == 3' "$json"
	BENCHMARK_FILTER='^cold_thread_start/' BENCHMARK_REPETITIONS=3 BENCHMARK_OUT=$json \
		run -0 --separate-stderr "$BENCH" "${quick[@]}"
	jq -e '[.benchmarks[] | select(.run_type == "iteration") | .run_name] |
		unique == ["program_run/pipe/iterations:1/repeats:2/manual_time"] and length == 2' "$json"
	[[ $output == *"program_run/pipe/iterations:1/repeats:2/manual_time_median"* && $output != *cold_thread_start* ]]
	only_in_dir results.json
}

@test "the results file is the library's JSON, byte for byte, with every digit of each number" {
	run -0 "$BENCH" "${quick[@]}" --benchmark_filter='^(program_run/pipe|warm_create_join)/' \
		--benchmark_enable_random_interleaving=false --benchmark_out="$json"
	jq -e '.benchmarks | length == 20' "$json"
	# The first repetition of each row as the library writes it: keys in
	# its order, integers as such, every other number as printf's %.16e;
	# the times, which are not known, masked.
	local row
	for row in program_run/pipe warm_create_join; do
		grep -A 17 -m 1 "\"name\": \"$row/" "$json" |
			sed -E 's/(_time|process_cpu|ticks)": [0-9]\.[0-9]{16}e[+-][0-9]{2}/\1": T/'
	done >"$BATS_TEST_TMPDIR/first"
	diff - "$BATS_TEST_TMPDIR/first" <<-'EOF'
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
	grep -q '^      "ticks": 5.0000000000000000e+00$' "$json"
}

@test "a file the bench cannot use is a usage error found before any run: status 2, one line" {
	mkdir "$dir/subdir"
	cp "$FAKE" "$dir/program"
	local -a cases=(
		"$dir/program|$dir/program: is $dir/program, which the bench measures"
		"$dir/subdir|$dir/subdir: is a directory"
		"$dir/missing/results.json|cannot write in $dir/missing: No such file or directory"
		"|--benchmark_out needs a file name"
	)
	local case path reason
	for case in "${cases[@]}"; do
		path=${case%%|*} reason=${case#*|}
		FAKE_LOG=$BATS_TEST_TMPDIR/log run -2 --separate-stderr "$BENCH" \
			--program="$dir/program" --benchmark_filter='^program_run/pipe/' \
			--benchmark_repetitions=2 --benchmark_out="$path"
		[ "$stderr" = "thread-start-bench: $reason" ] || { echo "$stderr" >&2; false; }
		[ ! -e "$BATS_TEST_TMPDIR/log" ]
	done
	cmp "$dir/program" "$FAKE"
	only_in_dir program subdir

	# The bench itself is measured too, in a way: not a place for results.
	run -2 --separate-stderr "$BENCH" "${quick[@]}" --benchmark_out="$BENCH"
	[[ $stderr == "thread-start-bench: $BENCH: is "* ]]
}

@test "a FIFO is written directly, and is still there after a failed run" {
	mkfifo "$dir/fifo"
	# A reader that ends by itself, should the bench never open the FIFO:
	# left blocked, it would hold the test's output open for ever.
	timeout 60 cat "$dir/fifo" >"$BATS_TEST_TMPDIR/read" &
	run -0 "$BENCH" "${quick[@]}" --benchmark_out="$dir/fifo"
	wait
	jq -e '.benchmarks | length > 0' "$BATS_TEST_TMPDIR/read"

	timeout 60 cat "$dir/fifo" >/dev/null &
	FAKE_MODE=signal run -1 "$BENCH" "${quick[@]}" --benchmark_out="$dir/fifo"
	wait
	[ -p "$dir/fifo" ]
	only_in_dir fifo
}

@test "interrupted, it ends the run and what it started, removes its temporary file and dies of the signal" {
	local signal number
	for signal in INT:2 TERM:15 HUP:1; do
		number=${signal#*:} signal=${signal%:*}
		rm -f "$BATS_TEST_TMPDIR/count"
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
		[ "$status" -eq $((128 + number)) ] || { echo "SIG$signal: $status" >&2; false; }
		local left
		left=$(cat "$BATS_TEST_TMPDIR/count")
		[[ ! -e /proc/$left || $(cut -d' ' -f3 "/proc/$left/stat") == Z ]]
		[ "$(cat "$json")" = previous ]
		only_in_dir results.json
	done
}

@test "lost output is a failure: a full device, a reader gone; closed descriptors are no place for the console" {
	# Each line: how the bench is run (its command line follows), the
	# status, and the last line on standard error.
	local -a cases=(
		'exec "$@" >/dev/full%1%thread-start-bench: standard output: No space left on device'
		'exec "$@" --benchmark_out=/dev/full%1%thread-start-bench: /dev/full: No space left on device'
		'trap "" PIPE; "$@" | true; exit "${PIPESTATUS[0]}"%1%thread-start-bench: standard output: Broken pipe'
		'"$@" | true; exit "${PIPESTATUS[0]}"%141%'
	)
	local case how expected reason
	for case in "${cases[@]}"; do
		IFS=% read -r how expected reason <<<"$case"
		run --separate-stderr bash -c "$how" bench "$BENCH" "${quick[@]}"
		[ "$status" -eq "$expected" ] || { echo "$how: status $status" >&2; false; }
		[[ -z $reason || ${stderr_lines[-1]} == "$reason" ]] ||
			{ echo "$how: ${stderr_lines[-1]}" >&2; false; }
	done

	# Too few descriptors, at any point: never a crash, and where the runs'
	# own ones cannot be made, the first run says so.
	local n said=0
	for n in {5..16}; do
		run --separate-stderr bash -c 'exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-
			ulimit -n "$0" && exec "$@"' "$n" "$BENCH" "${quick[@]}"
		[[ $status -le 1 ]] || { echo "ulimit -n $n: status $status" >&2; false; }
		[[ $status -eq 0 || ${stderr_lines[-1]} != "thread-start-bench: program_run/pipe: $FAKE: "*": Too many open files" ]] ||
			said=1
	done
	[ "$said" -eq 1 ]

	# Killed by SIGPIPE: its temporary file is gone with it.
	run -141 bash -c '"$@" | true; exit "${PIPESTATUS[0]}"' bench "$BENCH" "${quick[@]}" \
		--benchmark_out="$json"
	[ -z "$(ls -A "$dir")" ]

	# Closed at start: the results file gets the results and nothing else.
	local fd
	for fd in 0 1 2; do
		run -0 bash -c "exec \"\$@\" $fd>&-" bench "$BENCH" "${quick[@]}" --benchmark_out="$json"
		jq -e '.benchmarks | length > 0' "$json"
	done
}
