#!/usr/bin/env bats
# thread-start-bench and the paths it is given for its results: what the
# user has is never destroyed, and what cannot be replaced is found before
# any run.

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

# Paths that name a file the bench has open: its descriptor, then the
# --benchmark_out it is given, a path in $dir, holding a file that the bench
# has open on that descriptor for append.
own_descriptors=(
	'1 /dev/stdout'
	'1 /dev/fd/1'
	'1 /proc/self/fd/1'
	'1 log.txt'
	'2 /dev/stderr'
	'2 /proc/self/fd/2'
	'3 /dev/fd/3'
	'3 log.txt'
)

@test "a file open on the bench's own descriptor is refused before any run, and kept" {
	local fd path name said
	for case in "${own_descriptors[@]}"; do
		read -r fd path <<<"$case"
		[[ $path == /* ]] || path=$dir/$path
		echo previous >"$dir/log.txt"
		FAKE_LOG=$BATS_TEST_TMPDIR/ran run bash -c 'exec "$@" '"$fd"'>>"$0"' \
			"$dir/log.txt" "$BENCH" "${quick[@]}" --benchmark_out="$path"
		case $fd in 1) name='standard output' ;; 2) name='standard error' ;;
		*) name="descriptor $fd" ;; esac
		said="thread-start-bench: $path: is the bench's $name, which the results would"
		said+=" replace; give them a file of their own"
		[[ $status -eq 2 ]] || case_failed "$case" "status $status"
		[[ ! -e $BATS_TEST_TMPDIR/ran ]] || case_failed "$case" "a run was made"
		rm -f "$BATS_TEST_TMPDIR/ran"
		# Standard error, when it is the log, holds the reason.
		if [[ $fd -eq 2 ]]; then
			expect_equal "$case" "$(cat "$dir/log.txt")" "previous"$'\n'"$said"
		else
			expect_equal "$case" "$(cat "$dir/log.txt")" previous
			expect_equal "$case" "$output" "$said"
		fi
		only_in_dir log.txt || case_failed "$case" "left: $(ls -A "$dir")"
	done
	no_case_failed
}
