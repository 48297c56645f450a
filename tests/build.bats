#!/usr/bin/env bats
# The built artefacts: what the binary loads, how it is hardened, what
# installs.

setup() {
	load helpers
}

@test "loads the C library and nothing else" {
	skip_if_sanitized "the sanitizer runtime is loaded too"
	run -0 bash -c 'readelf -d "$0" | sed -n "s/.*(NEEDED).*\[\(.*\)\]/\1/p"' "$BIN"
	[ "$output" = "libc.so.6" ]
}

@test "hardened: PIE, full RELRO, BIND_NOW, fortified in optimised builds" {
	run -0 readelf -hldW "$BIN"
	[[ $output == *"Type:"*"DYN (Position-Independent Executable file)"* ]]
	[[ $output == *"GNU_RELRO"* ]]
	[[ $output =~ \(FLAGS_1\)[^$'\n']*NOW[^$'\n']*PIE ]]

	case $BUILD_TYPE in
	Release | RelWithDebInfo | MinSizeRel)
		run -0 nm -D --undefined-only "$BIN"
		[[ $output == *" __printf_chk@"* ]]
		[[ $output != *" printf@"* ]]
		;;
	esac
}

@test "installs the program and a manual page that man renders without warnings" {
	local prefix=$BATS_TEST_TMPDIR/prefix
	run -0 "$CMAKE" --install "$BUILD_DIR" --prefix "$prefix"
	[ -x "$prefix/bin/thread-start-time" ]
	local page=$prefix/share/man/man1/thread-start-time.1.gz
	[ -f "$page" ]

	run_to_files "$prefix/bin/thread-start-time"
	[ "$status" -eq 0 ]
	check_report "$out"

	command -v man >/dev/null || missing_package "man(1) (man-db) is not installed"
	run -0 --separate-stderr env MANWIDTH=80 man --warnings -l "$page"
	[[ $output == *"thread-start-time"* ]]
	[ -z "$stderr" ]
}

@test "the installed bench measures the installed programs, wherever the prefix is moved" {
	local prefix=$BATS_TEST_TMPDIR/prefix moved=$BATS_TEST_TMPDIR/elsewhere
	run -0 "$CMAKE" --install "$BUILD_DIR" --prefix "$prefix"
	[ -x "$prefix/bin/thread-start-bench" ] || skip "the bench is not built"
	mv "$prefix" "$moved"
	local json=$BATS_TEST_TMPDIR/bench.json
	run -0 --separate-stderr "$moved/bin/thread-start-bench" --benchmark_repetitions=2 \
		--benchmark_filter='^(program_run/pipe|cold_thread_start)/' \
		--benchmark_out="$json"
	grep -q "\"program\": \"$moved/bin/thread-start-time\"" "$json"
	grep -q "\"cold_helper\": \"$moved/libexec/thread-start-bench/cold-thread-start\"" "$json"
	grep -q "\"parts_helper\": \"$moved/libexec/thread-start-bench/thread-start-parts\"" "$json"
	[ -x "$moved/bin/thread-start-analyze" ]

	command -v man >/dev/null || missing_package "man(1) (man-db) is not installed"
	# The page, then a word it shows. The pages come from one install,
	# which is costly: each is checked, and each that is wrong named.
	local page word
	while read -r page word; do
		run --separate-stderr env MANWIDTH=80 man --warnings -l \
			"$moved/share/man/man1/$page.1.gz"
		[[ $status -eq 0 ]] || case_failed "$page" "status $status"
		[[ $output == *"$word"* ]] || case_failed "$page" "does not show $word"
		[ -z "$stderr" ] || case_failed "$page" "$stderr"
	done <<-TABLE
		thread-start-bench    program_run/pipe_one_arena
		thread-start-analyze  levers
	TABLE
	no_case_failed
}

# The compile and link commands of the program in a scratch configure of the
# project with the given variables and CXXFLAGS.
program_commands() {
	local dir=$BATS_TEST_TMPDIR/configured cxxflags=$1
	shift
	rm -rf "$dir"
	CXXFLAGS=$cxxflags "$CMAKE" -S "$SOURCE_DIR" -B "$dir" -G Ninja \
		-DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF "$@" >/dev/null &&
		ninja -C "$dir" -t commands thread-start-time
}

# A compiler that fortifies by itself, as Ubuntu's does: prints its path.
fortifying_compiler() {
	local fortifying=$BATS_TEST_TMPDIR/fortifying-c++
	printf '#!/bin/sh\nexec c++ -D_FORTIFY_SOURCE=3 "$@"\n' >"$fortifying"
	chmod +x "$fortifying"
	echo "$fortifying"
}

# Passes if the compile and link commands of the program, configured with
# CXXFLAGS $1 and the CMake variables in $2 (one word each), hold each flag
# given after them, and none of those marked "!"; names each that does not.
hardening() {
	local cxxflags=$1 vars=$2 commands flag
	shift 2
	# shellcheck disable=SC2086 # one word a variable
	commands=$(program_commands "$cxxflags" $vars)
	for flag in "$@"; do
		if [[ $flag == !* ]]; then
			[[ $commands != *"${flag#!}"* ]] || case_failed "${flag#!}" "present"
		else
			[[ $commands == *"$flag"* ]] || case_failed "$flag" "missing"
		fi
	done
	no_case_failed
}

# The project's hardening never lowers what the build's flags or compiler
# set, and can be turned off. Each case is a configure of its own, which a
# test each makes no dearer: one test a case.
@test "hardening: the defaults" {
	hardening '' '' -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection \
		-z,relro,-z,now !-U_FORTIFY_SOURCE
}
@test "hardening: fortified at 3 by CXXFLAGS" {
	hardening -D_FORTIFY_SOURCE=3 '' -D_FORTIFY_SOURCE=3 -fstack-protector-strong \
		!-D_FORTIFY_SOURCE=2 !-U_FORTIFY_SOURCE
}
@test "hardening: fortified by the compiler" {
	hardening '' "-DCMAKE_CXX_COMPILER=$(fortifying_compiler)" -fstack-protector-strong \
		!_FORTIFY_SOURCE=2 !-U_FORTIFY_SOURCE
}
@test "hardening: a stronger stack protector" {
	hardening -fstack-protector-all '' -fstack-protector-all -D_FORTIFY_SOURCE=2 \
		!-fstack-protector-strong
}
@test "hardening: no stack clash protection" {
	hardening -fno-stack-clash-protection '' -fno-stack-clash-protection \
		!-fstack-clash-protection
}
@test "hardening: off" {
	hardening '' -DTHREAD_START_HARDENING=OFF -Wall !_FORTIFY_SOURCE !-fstack-protector \
		!-fstack-clash-protection !-fcf-protection !relro
}
@test "hardening: a debug build" {
	hardening '' -DCMAKE_BUILD_TYPE=Debug -fstack-protector-strong !_FORTIFY_SOURCE
}

# Runs a configure with a stand-in Google Benchmark of version $1, found in
# place of any other, and its output on one line.
configure_with_benchmark() {
	local found=$BATS_TEST_TMPDIR/benchmark-$1
	mkdir -p "$found"
	printf 'set(PACKAGE_VERSION %s)\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n' \
		"$1" >"$found/benchmarkConfigVersion.cmake"
	echo 'add_library(benchmark::benchmark INTERFACE IMPORTED)' \
		>"$found/benchmarkConfig.cmake"
	run "$CMAKE" -S "$BATS_TEST_DIRNAME/.." -B "$BATS_TEST_TMPDIR/build-$1" \
		-G Ninja -DBUILD_TESTING=OFF -Dbenchmark_DIR="$found"
	output=$(tr -s ' \n' ' ' <<<"$output")
}

# Passes if Google Benchmark $1 is taken.
takes_benchmark() {
	configure_with_benchmark "$1"
	[[ $status -eq 0 ]] || { echo "status $status: $output" >&2; false; }
}

# Passes if Google Benchmark $1 is refused, saying why.
refuses_benchmark() {
	configure_with_benchmark "$1"
	local why="needs Google Benchmark 1.7 to 1.9, but $BATS_TEST_TMPDIR/benchmark-$1"
	why+=" has version '$1'"
	[[ $status -ne 0 && $output == *"$why"* ]] || { echo "status $status: $output" >&2; false; }
}

# Configuring takes Google Benchmark 1.7 to 1.9 and refuses any other,
# saying why. Each case is a configure of its own: one test a case.
@test "Google Benchmark 1.6.1: refused" { refuses_benchmark 1.6.1; }
@test "Google Benchmark 1.7.1: taken"   { takes_benchmark 1.7.1; }
@test "Google Benchmark 1.9.1: taken"   { takes_benchmark 1.9.1; }
@test "Google Benchmark 1.10.0: refused" { refuses_benchmark 1.10.0; }
@test "Google Benchmark 2.0.0: refused" { refuses_benchmark 2.0.0; }
