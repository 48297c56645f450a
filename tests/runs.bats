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

@test "the span holds the first line: 20 ms of processor time in puts is 20000 ticks or more" {
	FAKE_PUTS=burn with_fakes run_to_files "$BIN"
	[ "$status" -eq 0 ]
	check_report "$out"
	((ticks >= 20000 && ticks < 2000000)) || { echo "ticks: $ticks" >&2; false; }
}

# Passes if the program, run with the arguments given and standard input
# as the caller leaves it, reports as ever.
unchanged() {
	run_to_files "$BIN" "$@"
	[ "$status" -eq 0 ]
	check_report "$out"
	check_empty "$err"
}

# Passes if the argument $1, with a few words after it and no input, changes
# nothing.
unchanged_by() {
	unchanged "$1" extra words here </dev/null
}

# Arguments and standard input change nothing: quick, one test each.
@test "unchanged by an argument: --help"             { unchanged_by --help; }
@test "unchanged by an argument: -h --version"       { unchanged_by '-h --version'; }
@test "unchanged by an argument: empty"              { unchanged_by ''; }
@test "unchanged by an argument: a newline and a tab" { unchanged_by $'a\nb\tc'; }
@test "unchanged by an argument: printf conversions" { unchanged_by '%s%n%ld'; }
@test "unchanged by an argument: 200 characters"     { unchanged_by "$(printf '%0200d' 0)"; }
@test "unchanged by standard input closed"           { unchanged <&-; }
# Input waiting on standard input is left unread.
@test "unchanged by input waiting on standard input" { unchanged < <(yes); }
