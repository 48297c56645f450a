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
	local page=$prefix/share/man/man1/thread-start-time.1
	[ -f "$page" ]

	run_to_files "$prefix/bin/thread-start-time"
	[ "$status" -eq 0 ]
	check_report "$out"

	command -v man >/dev/null || skip "man(1) is not installed"
	run -0 --separate-stderr env MANWIDTH=80 man --warnings -l "$page"
	[[ $output == *"thread-start-time"* ]]
	[ -z "$stderr" ]
}
