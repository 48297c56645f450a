#!/usr/bin/env bats
# thread-start-bench and the paths it is given for its results: what the
# user has is never destroyed, and what cannot be replaced is found before
# any run.

bats_require_minimum_version 1.5.0
load ../../tests/needs
load ../../tests/cases
load ../../tests/emulation

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
	'0 /dev/stdin'
	'0 log.txt'
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
		case $fd in 0) name='standard input' ;; 1) name='standard output' ;;
		2) name='standard error' ;;
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

# Runs the bench, with the quick options and the results file $1, as the
# user nobody; a directory for nobody's tests is made in $sticky.
as_nobody() {
	[[ $EUID -eq 0 ]] || skip "running the bench as another user needs root"
	setpriv --reuid=nobody --regid=nogroup --clear-groups \
		"$BENCH" "${quick[@]}" --benchmark_out="$1"
}
make_nobody_dir() {
	sticky=$(mktemp -d /tmp/paths-bats.XXXXXX)
	chmod 755 "$sticky"
}
teardown() {
	# What a test made immutable or append-only can be removed again.
	chattr -R -i -a "$dir" 2>/dev/null || true
	[[ -z ${sticky-} ]] || rm -rf "$sticky"
}

# Passes if $1 holds the results of the quick run.
has_results() {
	jq -e '.benchmarks | length > 0' "$1" >/dev/null || {
		echo "no results in $1" >&2
		false
	}
}

# Passes if the bench's last words were "thread-start-bench: $1", and it
# made no run (FAKE_LOG is to be $BATS_TEST_TMPDIR/ran).
refused() {
	[ "$status" -eq 2 ] || { echo "status $status" >&2; false; }
	[ "${output##*$'\n'}" = "thread-start-bench: $1" ] || { echo "said: $output" >&2; false; }
	[ ! -e "$BATS_TEST_TMPDIR/ran" ] || { echo "a run was made" >&2; false; }
}

# Links, modes and owners: one test each.
@test "a dangling link stays a link: its target is made" {
	ln -s results.json "$dir/link.json"
	run -0 "$BENCH" "${quick[@]}" --benchmark_out="$dir/link.json"
	[ "$(readlink "$dir/link.json")" = results.json ]
	has_results "$json"
	only_in_dir link.json results.json
}
@test "a dangling link to a link, through a directory, stays a link" {
	mkdir "$dir/sub"
	ln -s sub/link.json "$dir/first.json"
	ln -s ../results.json "$dir/sub/link.json"
	run -0 "$BENCH" "${quick[@]}" --benchmark_out="$dir/first.json"
	[ -L "$dir/first.json" ] && [ -L "$dir/sub/link.json" ]
	has_results "$json"
	only_in_dir first.json results.json sub
}
@test "a file of two hard links is refused before any run, and kept whole" {
	echo previous >"$json"
	ln "$json" "$dir/other.json"
	FAKE_LOG=$BATS_TEST_TMPDIR/ran run "$BENCH" "${quick[@]}" --benchmark_out="$json"
	refused "$json: has 2 hard links, which replacing it would split; give the results a file of their own"
	[ "$(stat -c %h "$json")" = 2 ] && [ "$(cat "$dir/other.json")" = previous ]
}
@test "a file whose mode forbids writing it is refused before any run" {
	echo previous >"$json"
	chmod 444 "$json"
	FAKE_LOG=$BATS_TEST_TMPDIR/ran run "$BENCH" "${quick[@]}" --benchmark_out="$json"
	refused "$json: is not writable by its mode; --force replaces it all the same"
	[ "$(cat "$json")" = previous ]
}
@test "--force replaces a file whose mode forbids writing it, keeping the mode" {
	echo previous >"$json"
	chmod 444 "$json"
	run -0 "$BENCH" "${quick[@]}" --force --benchmark_out="$json"
	has_results "$json"
	[ "$(stat -c %a "$json")" = 444 ]
	only_in_dir results.json
}
@test "the replaced file keeps the old one's owner and group" {
	[[ $EUID -eq 0 ]] || skip "giving a file to another user needs root"
	echo previous >"$json"
	chown nobody:nogroup "$json"
	chmod 4755 "$json"
	run -0 "$BENCH" "${quick[@]}" --benchmark_out="$json"
	has_results "$json"
	[ "$(stat -c %U:%G:%a "$json")" = nobody:nogroup:4755 ]
}
@test "another user's file that the user may not write is refused before any run" {
	make_nobody_dir
	chown nobody "$sticky"
	echo previous >"$sticky/results.json"
	FAKE_LOG=$BATS_TEST_TMPDIR/ran run as_nobody "$sticky/results.json"
	refused "$sticky/results.json: is not writable by its mode; --force replaces it all the same"
	[ "$(stat -c %U "$sticky/results.json")" = root ]
}
@test "another user's file whose owner cannot be kept is refused before any run" {
	make_nobody_dir
	chown nobody "$sticky"
	echo previous >"$sticky/results.json"
	chmod 666 "$sticky/results.json"
	FAKE_LOG=$BATS_TEST_TMPDIR/ran run as_nobody "$sticky/results.json"
	refused "$sticky/results.json: cannot give the new file the owner and group of the old one: Operation not permitted"
	[ "$(cat "$sticky/results.json")" = previous ]
	[ "$(ls -A "$sticky")" = results.json ]
}

# Passes if chattr +$1 on $2 holds, or skips the test.
attribute_set() {
	[[ $EUID -eq 0 ]] || skip "chattr +$1 needs root"
	chattr "+$1" "$2" 2>/dev/null || skip "chattr +$1 is not supported here"
}

# Paths the bench could not rename over at the end: one test each.
@test "an immutable file is refused before any run" {
	echo previous >"$json"
	attribute_set i "$json"
	FAKE_LOG=$BATS_TEST_TMPDIR/ran run "$BENCH" "${quick[@]}" --benchmark_out="$json"
	refused "$json: is immutable (chattr +i), so it cannot be replaced"
	only_in_dir results.json
}
@test "an append-only file is refused before any run" {
	echo previous >"$json"
	attribute_set a "$json"
	FAKE_LOG=$BATS_TEST_TMPDIR/ran run "$BENCH" "${quick[@]}" --benchmark_out="$json"
	refused "$json: is append-only (chattr +a), so it cannot be replaced"
	only_in_dir results.json
}
@test "a file in an append-only directory is refused before any run" {
	attribute_set a "$dir"
	FAKE_LOG=$BATS_TEST_TMPDIR/ran run "$BENCH" "${quick[@]}" --benchmark_out="$json"
	refused "cannot write in $dir: it is append-only, so no file in it can be replaced"
	[ -z "$(ls -A "$dir")" ]
}
@test "a file mounted on its own is refused before any run" {
	needs_mount_namespace
	# The mount's ID is what tells a bind-mounted file from its directory.
	! emulated "$BENCH" || skip "emulated: qemu-user does not pass statx's mount ID on"
	echo previous >"$json"
	echo mounted >"$BATS_TEST_TMPDIR/volume"
	FAKE_LOG=$BATS_TEST_TMPDIR/ran run unshare -m bash -c \
		'mount --bind "$0" "$1" && shift && exec "$@"' "$BATS_TEST_TMPDIR/volume" "$json" \
		"$BENCH" "${quick[@]}" --benchmark_out="$json"
	refused "$json: is a mount point (mounted on its own, as a container's file volume is), so it cannot be replaced"
	[ "$(cat "$BATS_TEST_TMPDIR/volume")" = mounted ] && [ "$(cat "$json")" = previous ]
	only_in_dir results.json
}
@test "a file of the same inode number on another file system is neither open nor measured" {
	# Two fresh tmpfs number their first files alike: the results file and
	# the program measured, open on descriptor 3 too, share an inode number
	# and nothing else.
	needs_mount_namespace
	local a=$BATS_TEST_TMPDIR/a b=$BATS_TEST_TMPDIR/b
	mkdir "$a" "$b"
	FAKE_LOG=$BATS_TEST_TMPDIR/ran run unshare -m bash -c '
		mount -t tmpfs -o size=4m a "$1" && mount -t tmpfs -o size=4m b "$2" || exit 90
		cp "$3" "$1/program" && echo previous >"$2/results.json"
		[[ $(stat -c %i "$1/program") == $(stat -c %i "$2/results.json") ]] || exit 91
		program=$1/program && shift 3 && exec "$@" 3<"$program"' bench "$a" "$b" "$FAKE" \
		"$BENCH" --program="$a/program" --benchmark_filter='^program_run/pipe/' \
		--benchmark_repetitions=2 --benchmark_out="$b/results.json"
	[[ $status -ne 91 ]] || skip "tmpfs numbers its files apart here"
	[[ $status -eq 0 ]] || { echo "status $status: $output" >&2; false; }
}
@test "another user's file in a sticky directory is refused before any run" {
	make_nobody_dir
	chmod 1777 "$sticky"
	echo previous >"$sticky/results.json"
	chmod 666 "$sticky/results.json"
	FAKE_LOG=$BATS_TEST_TMPDIR/ran run as_nobody "$sticky/results.json"
	refused "$sticky/results.json: belongs to another user in a sticky directory, so only they can replace it"
	[ "$(cat "$sticky/results.json")" = previous ]
	[ "$(ls -A "$sticky")" = results.json ]
}
@test "a name of 255 bytes, the longest a directory takes, is written" {
	local name
	name=$(printf 'r%.0s' {1..250}).json
	run -0 "$BENCH" "${quick[@]}" --benchmark_out="$dir/$name"
	has_results "$dir/$name"
	only_in_dir "$name"
}

# Passes if the bench ended with status 1 and the last line
# "thread-start-bench: $1", leaving the results file as it was and no
# temporary file beside it in the directory $2 ($dir by default).
lost() {
	local in=${2:-$dir}
	[ "$status" -eq 1 ] || { echo "status $status" >&2; false; }
	[ "${stderr##*$'\n'}" = "thread-start-bench: $1" ] || { echo "said: $stderr" >&2; false; }
	[ "$(cat "$in/results.json")" = previous ] && [ "$(ls -A "$in")" = results.json ]
}

skip_if_sanitized() {
	! readelf -d "$BENCH" | grep -qE 'lib[at]san' || skip "sanitized: $1"
}

# Writes a stand-in that renames $dir to $dir.moved on its first run, then
# does as the stand-in program.
renaming_stand_in() {
	cat >"$BATS_TEST_TMPDIR/renaming" <<-'END'
	#!/bin/bash
	[[ ! -e $MOVE_DIR ]] || mv "$MOVE_DIR" "$MOVE_DIR.moved"
	exec "$FAKE" "$@"
	END
	chmod +x "$BATS_TEST_TMPDIR/renaming"
}

# A temporary file that could be left behind: one test each.
@test "the directory renamed during the run: the results land in it, nothing else" {
	renaming_stand_in
	echo previous >"$json"
	MOVE_DIR=$dir FAKE=$FAKE run -0 --separate-stderr "$BENCH" "${quick[@]}" \
		--program="$BATS_TEST_TMPDIR/renaming" --benchmark_out="$json"
	has_results "$dir.moved/results.json"
	[ "$(ls -A "$dir.moved")" = results.json ]
}
@test "the directory renamed during a run that fails: no temporary file is left" {
	renaming_stand_in
	echo previous >"$json"
	MOVE_DIR=$dir FAKE=$FAKE FAKE_MODE=fail-third FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
		run --separate-stderr "$BENCH" "${quick[@]}" --benchmark_repetitions=5 \
		--program="$BATS_TEST_TMPDIR/renaming" --benchmark_out="$json"
	lost "program_run/pipe: $BATS_TEST_TMPDIR/renaming: exited with status 3" "$dir.moved"
}
@test "past the file size limit: File too large, and no temporary file is left" {
	echo previous >"$json"
	run --separate-stderr bash -c 'ulimit -f 1 && exec "$@"' bench \
		"$BENCH" "${quick[@]}" --benchmark_out="$json"
	lost "$json: File too large"
}
@test "out of memory for its repetitions: one line, and no temporary file is left" {
	skip_if_sanitized "a sanitizer's shadow memory takes more than the limit"
	! emulated "$BENCH" || skip "emulated: qemu needs more address space than the limit"
	echo previous >"$json"
	# Threads' stacks small, so that the runs fit in the limit: the
	# bench's own size once started, and 2 MB more, much less than its
	# repetitions take.
	local size
	(ulimit -s 256 && exec "$BENCH" --benchmark_filter='^cold_thread_start/' \
		--benchmark_repetitions=100000 >/dev/null 2>&1) &
	sleep 0.5
	size=$(awk '/^VmSize:/ { print $2 }' "/proc/$!/status")
	kill "$!"
	wait "$!" || true
	run --separate-stderr bash -c 'ulimit -s 256 -v "$0" && exec "$@"' "$((size + 2048))" \
		"$BENCH" --benchmark_filter='^cold_thread_start/' --benchmark_repetitions=100000 \
		--benchmark_out="$json"
	lost "out of memory"
}

# Prints $2 copies of the character $1.
repeat() {
	printf "%${2}s" '' | tr ' ' "$1"
}

@test "every documented bound of the options: taken at its edge, refused just past it" {
	local l100 l101 n32 n33 f255 f256
	l100=$(repeat l 100) l101=$(repeat l 101)
	n32=v$(repeat n 31) n33=v$(repeat n 32)
	f255=$(repeat f 250).json f256=$(repeat f 251).json
	# The status expected, then the arguments; those taken run for real,
	# but for 100 000 repetitions, which are listed.
	local cases=(
		"0 --timeout=86400"
		"2 --timeout=86400.001"
		"2 --timeout=0"
		"0 --benchmark_repetitions=2"
		"2 --benchmark_repetitions=1"
		"0 --benchmark_repetitions=100000 --benchmark_list_tests=true"
		"2 --benchmark_repetitions=100001 --benchmark_list_tests=true"
		"0 --label=l"
		"0 --label=$l100"
		"2 --label=$l101"
		"2 --label="
		"0 --variant=v:X=1 --benchmark_filter=^program_run/v/"
		"0 --variant=$n32:X=1 --benchmark_filter=^program_run/$n32/"
		"2 --variant=$n33:X=1 --benchmark_filter=^program_run/$n33/"
		"0 --benchmark_out=$dir/$f255"
		"2 --benchmark_out=$dir/$f256"
	)
	local expected args
	for case in "${cases[@]}"; do
		read -r expected args <<<"$case"
		rm -f "$BATS_TEST_TMPDIR/ran"
		# shellcheck disable=SC2086 # the arguments hold no spaces
		FAKE_LOG=$BATS_TEST_TMPDIR/ran run --separate-stderr "$BENCH" "${quick[@]}" $args
		local shown=${case:0:60}
		[[ $status -eq $expected ]] ||
			case_failed "$shown" "status $status: ${stderr##*$'\n'}"
		if [[ $expected -eq 2 && -e $BATS_TEST_TMPDIR/ran ]]; then
			case_failed "$shown" "refused after a run"
		fi
	done
	[[ -s $dir/$f255 ]] || case_failed "a name of 255 bytes" "no results written"
	no_case_failed
}
