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

@test "an unavailable clock reading: the report is still printed, status 1" {
	# Which readings fail, and the sign of the difference that results.
	local -a cases=(
		"all|zero"          # -1 - -1
		"child|negative"    # -1 - start
		"initial|positive"  # end - -1: plausible, yet not a measurement
	)
	local case mode sign
	for case in "${cases[@]}"; do
		mode=${case%|*} sign=${case#*|}
		FAKE_CLOCK=$mode with_fakes run_to_files "$BIN"
		[ "$status" -eq 1 ]
		check_report "$out"
		case $sign in
		zero) ((ticks == 0)) ;;
		negative) ((ticks < 0)) ;;
		positive) ((ticks > 0)) ;;
		esac
		check_empty "$err"
	done
}

@test "the report cannot be written: status 1 for a full device, a closed stdout, a lost line" {
	run -1 --separate-stderr bash -c 'exec "$0" >/dev/full' "$BIN"
	[ -z "$stderr" ]

	run -1 --separate-stderr bash -c 'exec "$0" >&-' "$BIN"
	[ -z "$stderr" ]

	# A write that lost the first line, though the rest went through and
	# the final close succeeded.
	FAKE_PUTS=lose with_fakes run_to_files "$BIN"
	[ "$status" -eq 1 ]
	[[ $(cat "$out") == "The time of the childthread is "* ]]
	check_empty "$err"

	# A failed reading and a failed write together are still status 1.
	FAKE_CLOCK=all run -1 --separate-stderr \
		shell_with_fakes 'exec "$0" >/dev/full' "$BIN"
	[ -z "$stderr" ]
}

@test "the join fails: its error number (EINVAL, 22) wins over a failed write" {
	FAKE_JOIN=fail with_fakes run_to_files "$BIN"
	[ "$status" -eq 22 ]
	check_report "$out"
	check_empty "$err"

	FAKE_JOIN=fail run -22 --separate-stderr \
		shell_with_fakes 'exec "$0" >/dev/full' "$BIN"
	[ -z "$stderr" ]
}
