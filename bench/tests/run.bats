#!/usr/bin/env bats
# thread-start-bench and the kernel's list of its children, through which it
# finds what runs leave behind: where that list cannot be read, the bench
# stops before any run rather than miss what they leave.

bats_require_minimum_version 1.5.0
load ../../tests/needs
load ../../tests/emulation

setup() {
	BENCH=${THREAD_START_BENCH:?set THREAD_START_BENCH to the benchmark}
	FAKE=${FAKE_PROGRAM:?set FAKE_PROGRAM to the stand-in program}
	dir=$BATS_TEST_TMPDIR/out
	mkdir "$dir"
	json=$dir/results.json
	log=$BATS_TEST_TMPDIR/log
}

# Runs the bench with the mount $1 made first, in a mount namespace of its
# own: $1 may name the bench's list of children as /proc/$$/task/$$, since
# the shell that mounts it becomes the bench.
bench_under_mount() {
	needs_mount_namespace
	# Under qemu-user the bench is no subreaper, and needs no list.
	! emulated "$BENCH" || skip "emulated: the bench is no subreaper, and reads no list"
	echo previous >"$json"
	FAKE_LOG=$log run --separate-stderr unshare --mount bash -c "$1 && exec \"\$@\"" bench \
		"$BENCH" --program="$FAKE" --benchmark_filter='^program_run/pipe/' \
		--benchmark_repetitions=2 --benchmark_out="$json"
}

# Passes if the bench stopped before any run, for reason $1.
stopped_before_any_run() {
	local line="thread-start-bench: cannot look for processes a run leaves behind: "
	line+="/proc/self/task/[0-9]*/children: $1"
	[ "$status" -eq 1 ] || { echo "status $status" >&2; false; }
	[ "${#stderr_lines[@]}" -eq 1 ] || { echo "stderr: $stderr" >&2; false; }
	# shellcheck disable=SC2053 # $line is a pattern
	[[ $stderr == $line ]] || { echo "stderr: $stderr" >&2; false; }
	[ -z "$output" ] && [ ! -e "$log" ]
	[ "$(cat "$json")" = previous ]
	[ "$(ls -A "$dir")" = results.json ]
}

@test "list of children missing, as without CONFIG_PROC_CHILDREN: status 1 before any run" {
	bench_under_mount 'mount -t tmpfs none /proc/$$/task/$$'
	stopped_before_any_run "No such file or directory"
}

@test "list of children unreadable: status 1 before any run" {
	bench_under_mount 'mount --bind /proc/$$/mem /proc/$$/task/$$/children'
	stopped_before_any_run "Input/output error"
}

@test "list of children in place, in the same namespace: the run is measured" {
	command -v jq >/dev/null || missing_package "jq is not installed"
	bench_under_mount true
	[ "$status" -eq 0 ] || { echo "status $status: $stderr" >&2; false; }
	[ "$(wc -l <"$log")" -eq 2 ]
	jq -e '.benchmarks | length > 0' "$json" >/dev/null
}
