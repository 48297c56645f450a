#!/usr/bin/env bats
# Normal runs: the exact report, wherever standard output goes.

setup() {
	load helpers
}

@test "to a file: the two lines, a count of 0 or more, nothing on stderr, status 0" {
	run_to_files "$BIN"
	[ "$status" -eq 0 ]
	check_report "$out"
	((ticks >= 0))
	check_empty "$err"
}

@test "to a pipe: both lines arrive, written out only when the program closes its output" {
	status=0
	"$BIN" 2>"$err" | cat >"$out" || true
	status=${PIPESTATUS[0]}
	[ "$status" -eq 0 ]
	check_report "$out"
	((ticks >= 0))
	check_empty "$err"
}

@test "to a terminal: the same two lines, and nothing else on the terminal" {
	command -v script >/dev/null || missing_package "script(1) (bsdutils) is not installed"
	# The terminal turns each LF into CR LF; anything written to standard
	# error would land on the terminal too and break the match.
	run_to_files script -qec "$(printf '%q' "$BIN")" /dev/null </dev/null
	[ "$status" -eq 0 ]
	check_report "$out" $'\r\n'
	((ticks >= 0))
	check_empty "$err"
}

@test "the span holds the first line: 20 ms of processor time in puts shows as 20000 ticks or more" {
	FAKE_PUTS=burn with_fakes run_to_files "$BIN"
	[ "$status" -eq 0 ]
	check_report "$out"
	((ticks >= 20000 && ticks < 2000000)) || { echo "ticks: $ticks" >&2; false; }
}

@test "arguments and standard input change nothing" {
	local -a cases=(
		"--help"
		"-h --version"
		""
		"$(printf 'a\nb\tc')"
		"%s%n%ld"
		"$(printf '%0200d' 0)"
	)
	local args
	for args in "${cases[@]}"; do
		run_to_files "$BIN" "$args" extra words here </dev/null
		[ "$status" -eq 0 ]
		check_report "$out"
		check_empty "$err"
	done

	run_to_files "$BIN" <&-
	[ "$status" -eq 0 ]
	check_report "$out"
	check_empty "$err"

	# Input waiting on standard input is left unread.
	run_to_files "$BIN" < <(yes)
	[ "$status" -eq 0 ]
	check_report "$out"
	check_empty "$err"
}
