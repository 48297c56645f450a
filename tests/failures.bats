#!/usr/bin/env bats
# Failures: each gives its own exit status, never a message on stderr.

setup() {
	load helpers
}

@test "the thread cannot be created: no output at all, status EAGAIN (11), promptly" {
	skip_if_sanitized "its runtime needs far more address space than the limit leaves"
	# New threads get a stack as large as the stack limit; 1 GiB of stack
	# cannot fit in 200 MB of address space.
	bash -c 'ulimit -s 1048576 && ulimit -v 200000' 2>/dev/null ||
		skip "cannot set the stack and address-space limits here"
	run -11 --separate-stderr timeout 10 \
		bash -c 'ulimit -s 1048576 && ulimit -v 200000 && exec "$0"' "$BIN"
	[ -z "$output" ]
	[ -z "$stderr" ]
}

@test "no clock reading at all: the report still says 0, status 1" {
	FAKE_CLOCK=all with_fakes run_to_files "$BIN"
	[ "$status" -eq 1 ]
	check_report "$out"
	[ "$ticks" -eq 0 ]
	check_empty "$err"
}

@test "no end reading: the report carries the negative difference, status 1" {
	FAKE_CLOCK=child with_fakes run_to_files "$BIN"
	[ "$status" -eq 1 ]
	check_report "$out"
	((ticks < 0))
	check_empty "$err"
}

@test "the report cannot be written: status 1 for a full device and a closed stdout" {
	run -1 --separate-stderr bash -c 'exec "$0" >/dev/full' "$BIN"
	[ -z "$stderr" ]

	run -1 --separate-stderr bash -c 'exec "$0" >&-' "$BIN"
	[ -z "$stderr" ]

	# A failed reading and a failed write together are still status 1.
	FAKE_CLOCK=all with_fakes \
		run -1 --separate-stderr bash -c 'exec "$0" >/dev/full' "$BIN"
	[ -z "$stderr" ]
}

@test "the join fails: its error number (EINVAL, 22) wins over a failed write" {
	FAKE_JOIN=fail with_fakes run_to_files "$BIN"
	[ "$status" -eq 22 ]
	check_report "$out"
	check_empty "$err"

	FAKE_JOIN=fail with_fakes \
		run -22 --separate-stderr bash -c 'exec "$0" >/dev/full' "$BIN"
	[ -z "$stderr" ]
}
