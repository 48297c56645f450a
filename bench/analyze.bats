#!/usr/bin/env bats
# analyze.py on a short real bench run: the shape of what it prints and
# draws, and its refusals. Its numbers are never judged here.

bats_require_minimum_version 1.5.0

setup_file() {
	/usr/bin/python3 -c 'import scipy, matplotlib' 2>/dev/null ||
		skip "python3-scipy and python3-matplotlib are not installed"
	local i
	for i in 1 2; do
		"$THREAD_START_BENCH" --benchmark_repetitions=5 \
			--benchmark_min_time=0.01 \
			--benchmark_out="$BATS_FILE_TMPDIR/run$i.json" >/dev/null 2>&1
	done
}

setup() {
	ANALYZE=${ANALYZE:?set ANALYZE to analyze.py}
	run1=$BATS_FILE_TMPDIR/run1.json
	run2=$BATS_FILE_TMPDIR/run2.json
	number='-?[0-9]+\.[0-9]'
}

@test "one file: each row's median, p90 and p99, and each gap with its confidence interval" {
	run -0 --separate-stderr "$ANALYZE" "$run1"
	local row gap
	for row in program_run/pipe program_run/pipe_one_arena program_run/tty \
		cold_thread_start warm_create_join; do
		grep -Eq "^$row +5( +$number){3}\$" <<<"$output"
	done
	for gap in "first line" "heap arena" "terminal write" "cold over warm"; do
		grep -Eq "^$gap +[a-z_/]+ - [a-z_/]+ +$number  \[$number, $number\]\$" <<<"$output"
	done
	[[ $output == *"kernel: $(uname -r)"* ]]
	[ -z "$stderr" ]
}

@test "two files: each row's medians, change and p-value; pictures in PNG and SVG" {
	run -0 --separate-stderr "$ANALYZE" "$run1" "$run2" --plot "$BATS_TEST_TMPDIR/d.png"
	local row
	for row in program_run/pipe program_run/tty cold_thread_start warm_create_join; do
		grep -Eq "^$row +$number +$number +[-+][0-9.]+% +[0-9.e-]+\$" <<<"$output"
	done
	[[ $output == *"[2] $run2: $(hostname)"* ]]
	[ "$(head -c 8 "$BATS_TEST_TMPDIR/d.png" | od -An -tx1 | xargs)" = "89 50 4e 47 0d 0a 1a 0a" ]

	# Google Benchmark's own comparison runs its U-test on the same files.
	local compare=/usr/share/benchmark/compare.py
	if [[ -f $compare ]]; then
		run -0 /usr/bin/python3 "$compare" --no-color -a benchmarks "$run1" "$run2"
		[[ $output == *"program_run/pipe/"*"_pvalue "*"U Test, Repetitions: 5 vs 5"* ]]
	fi

	run -0 "$ANALYZE" "$run1" --plot "$BATS_TEST_TMPDIR/d.svg"
	grep -q '<svg' "$BATS_TEST_TMPDIR/d.svg"
	grep -q 'program_run/pipe_one_arena' "$BATS_TEST_TMPDIR/d.svg"
}

@test "what it cannot use: status 2 and a one-line reason" {
	local dir=$BATS_TEST_TMPDIR
	echo 'not json' >"$dir/text.json"
	echo '{"benchmarks": []}' >"$dir/other.json"
	jq 'del(.benchmarks[] | select(.run_type == "iteration"))' "$run1" >"$dir/aggregates.json"
	local -a cases=(
		"$dir/text.json|not a JSON file"
		"$dir/other.json|not the JSON output of thread-start-bench"
		"$dir/aggregates.json|holds no single repetitions"
		"$dir/missing.json|No such file or directory"
		"$run1 --plot $dir/d.gif|must end in .png or .svg"
		"|the following arguments are required"
	)
	local case args reason
	for case in "${cases[@]}"; do
		args=${case%%|*} reason=${case#*|}
		# shellcheck disable=SC2086
		run -2 --separate-stderr "$ANALYZE" $args
		[ "${#stderr_lines[@]}" -eq 1 ]
		[[ $stderr == "analyze.py: "*"$reason"* ]]
	done

	# Without Debian's Python packages on its path, it names the package.
	run -2 --separate-stderr /usr/bin/python3 -S "$ANALYZE" "$run1"
	[[ $stderr == "analyze.py: needs the Python module numpy"*"python3-numpy"* ]]
}
