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
	local page
	for page in thread-start-bench:program_run/pipe_one_arena thread-start-analyze:levers; do
		run -0 --separate-stderr env MANWIDTH=80 man --warnings -l \
			"$moved/share/man/man1/${page%:*}.1.gz"
		[[ $output == *"${page#*:}"* ]]
		[ -z "$stderr" ] || { echo "$page: $stderr" >&2; false; }
	done
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

@test "the project's hardening never lowers what the build's flags or compiler set, and can be turned off" {
	# A compiler that fortifies by itself, as Ubuntu's does.
	local fortifying=$BATS_TEST_TMPDIR/fortifying-c++
	printf '#!/bin/sh\nexec c++ -D_FORTIFY_SOURCE=3 "$@"\n' >"$fortifying"
	chmod +x "$fortifying"
	local failed=0 case cxxflags vars has lacks commands pattern
	# case | CXXFLAGS | CMake variables | in the commands | not in them
	while IFS='|' read -r case cxxflags vars has lacks; do
		# shellcheck disable=SC2086 # one word a variable
		commands=$(program_commands "$cxxflags" $vars) || {
			echo "$case: configure failed" >&2
			failed=1
			continue
		}
		for pattern in $has; do
			[[ $commands == *"$pattern"* ]] ||
				{ echo "$case: $pattern missing" >&2; failed=1; }
		done
		for pattern in $lacks; do
			[[ $commands != *"$pattern"* ]] ||
				{ echo "$case: $pattern present" >&2; failed=1; }
		done
	done <<-TABLE
		defaults | | | -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection -z,relro,-z,now | -U_FORTIFY_SOURCE
		fortified at 3 by CXXFLAGS | -D_FORTIFY_SOURCE=3 | | -D_FORTIFY_SOURCE=3 -fstack-protector-strong | -D_FORTIFY_SOURCE=2 -U_FORTIFY_SOURCE
		fortified by the compiler | | -DCMAKE_CXX_COMPILER=$fortifying | -fstack-protector-strong | _FORTIFY_SOURCE=2 -U_FORTIFY_SOURCE
		stronger stack protector | -fstack-protector-all | | -fstack-protector-all -D_FORTIFY_SOURCE=2 | -fstack-protector-strong
		no stack clash protection | -fno-stack-clash-protection | | -fno-stack-clash-protection | -fstack-clash-protection
		hardening off | | -DTHREAD_START_HARDENING=OFF | -Wall | _FORTIFY_SOURCE -fstack-protector -fstack-clash-protection -fcf-protection relro
		debug build | | -DCMAKE_BUILD_TYPE=Debug | -fstack-protector-strong | _FORTIFY_SOURCE
	TABLE
	[ "$failed" -eq 0 ]
}

@test "configuring takes Google Benchmark 1.7 to 1.9 and refuses any other, saying why" {
	local -a cases=(
		"1.6.1 refused"
		"1.7.1 taken"
		"1.9.1 taken"
		"1.10.0 refused"
		"2.0.0 refused"
	)
	local case version verdict found
	for case in "${cases[@]}"; do
		read -r version verdict <<<"$case"
		# A stand-in of that version, found in place of any other.
		found=$BATS_TEST_TMPDIR/benchmark-$version
		mkdir -p "$found"
		printf 'set(PACKAGE_VERSION %s)\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n' \
			"$version" >"$found/benchmarkConfigVersion.cmake"
		echo 'add_library(benchmark::benchmark INTERFACE IMPORTED)' \
			>"$found/benchmarkConfig.cmake"
		run "$CMAKE" -S "$BATS_TEST_DIRNAME/.." -B "$BATS_TEST_TMPDIR/build-$version" \
			-G Ninja -DBUILD_TESTING=OFF -Dbenchmark_DIR="$found"
		output=$(tr -s ' \n' ' ' <<<"$output")
		if [[ $verdict == taken ]]; then
			[[ $status -eq 0 ]] || { echo "$case: $output" >&2; false; }
		else
			[[ $status -ne 0 && $output == *"needs Google Benchmark 1.7 to 1.9, but $found has version '$version'"* ]] ||
				{ echo "$case: $output" >&2; false; }
		fi
	done
}
