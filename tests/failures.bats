#!/usr/bin/env bats
# Failures: each gives its own exit status, never a message on stderr.

setup() {
	load helpers
}

@test "the thread cannot be created: no output at all, status EAGAIN (11), promptly" {
	skip_if_sanitized "its runtime needs far more address space than the limit leaves"
	# qemu-user's own threads take their stacks from the same limits: it
	# aborts before the program starts.
	! emulated "$BIN" ||
		skip "emulated: the emulator cannot start under these limits"
	# New threads get a stack as large as the stack limit; 1 GiB of stack
	# cannot fit in 200 MB of address space.
	bash -c 'ulimit -s 1048576 && ulimit -v 200000' 2>/dev/null ||
		skip "cannot set the stack and address-space limits here"
	run -11 --separate-stderr timeout 10 \
		bash -c 'ulimit -s 1048576 && ulimit -v 200000 && exec "$0"' "$BIN"
	[ -z "$output" ]
	[ -z "$stderr" ]
}

# Passes if the program, with the clock readings FAKE_CLOCK $1 names made to
# fail, still prints its report, with status 1 and a count that is $2.
unavailable_clock() {
	FAKE_CLOCK=$1 with_fakes run_to_files "$BIN"
	[ "$status" -eq 1 ]
	check_report "$out"
	case $2 in
	zero) ((ticks == 0)) ;;
	negative) ((ticks < 0)) ;;
	positive) ((ticks > 0)) ;;
	*) false ;;
	esac
	check_empty "$err"
}

# An unavailable clock reading: the report is still printed, status 1.
# Quick, one test each: which readings fail, and the sign of the difference.
@test "unavailable clock: both readings, a count of 0"  { unavailable_clock all zero; }
@test "unavailable clock: the end, a negative count"    { unavailable_clock child negative; }
# The end reading plus one: plausible, yet not a measurement.
@test "unavailable clock: the start, a positive count"  { unavailable_clock initial positive; }

# The report cannot be written: status 1, and nothing on standard error.
# Quick, one test each.
@test "unwritten report: a full device" {
	run -1 --separate-stderr bash -c 'exec "$0" >/dev/full' "$BIN"
	[ -z "$stderr" ]
}

@test "unwritten report: standard output closed" {
	run -1 --separate-stderr bash -c 'exec "$0" >&-' "$BIN"
	[ -z "$stderr" ]
}

@test "unwritten report: a lost line" {
	# A write that lost the first line, though the rest went through and
	# the final close succeeded.
	FAKE_PUTS=lose with_fakes run_to_files "$BIN"
	[ "$status" -eq 1 ]
	[[ $(cat "$out") == "The time of the childthread is "* ]]
	check_empty "$err"
}

@test "unwritten report: a full device and a failed reading, still status 1" {
	FAKE_CLOCK=all run -1 --separate-stderr \
		shell_with_fakes 'exec "$0" >/dev/full' "$BIN"
	[ -z "$stderr" ]
}

@test "the join fails: its error number, EINVAL (22)" {
	FAKE_JOIN=fail with_fakes run_to_files "$BIN"
	[ "$status" -eq 22 ]
	check_report "$out"
	check_empty "$err"
}

@test "the join fails: its error number wins over a failed write" {
	FAKE_JOIN=fail run -22 --separate-stderr \
		shell_with_fakes 'exec "$0" >/dev/full' "$BIN"
	[ -z "$stderr" ]
}
