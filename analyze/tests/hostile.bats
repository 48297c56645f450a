#!/usr/bin/env bats
# thread-start-analyze against what it may be given or done to it: output
# that cannot be written, signals, pictures that cannot be drawn or
# written, names that are not plain text, crafted files. It refuses in one
# line, never with a traceback. Tables of cases name each case that fails.

bats_require_minimum_version 1.5.0
load ../../tests/needs
load ../../tests/cases

setup() {
	ANALYZE=${ANALYZE:?set ANALYZE to the launcher of the analysis}
	/usr/bin/python3 -c 'import scipy, matplotlib' 2>/dev/null ||
		missing_package "python3-scipy and python3-matplotlib are not installed"
	KNOWN=$TESTDATA/known.json
	tmp=$BATS_TEST_TMPDIR
	failures=()
}

# Writes a file of $2 repetitions of program_run/pipe to $1.
make_big() {
	/usr/bin/python3 - "$1" "$2" <<-'EOF'
	import sys
	run = '{"run_name": "program_run/pipe", "run_type": "iteration", "ticks": %d}'
	with open(sys.argv[1], "w") as f:
	    f.write('{"context": {"cold_helper": "/x"}, "benchmarks": [')
	    f.write(",".join(run % (i % 1000) for i in range(int(sys.argv[2]))))
	    f.write("]}")
	EOF
}

# Runs the command given with standard output a pipe whose reader has
# gone before it starts; prints how it ended: "status N" or "signal N".
with_closed_pipe() {
	/usr/bin/python3 -c '
import os, subprocess, sys
r, w = os.pipe()
os.close(r)
code = subprocess.run(sys.argv[1:], stdout=w).returncode
print(f"signal {-code}" if code < 0 else f"status {code}")' "$@"
}

@test "lost output: status 1 and one line; a reader gone: SIGPIPE; never a traceback" {
	local case how args want stderr_want got
	# case | how standard output is lost | arguments | status | standard error
	while IFS='|' read -r case how args want stderr_want; do
		case $how in
		closed) run --separate-stderr bash -c '"$0" "$@" >&-' "$ANALYZE" $args ;;
		full) run --separate-stderr bash -c '"$0" "$@" >/dev/full' "$ANALYZE" $args ;;
		pipe)
			run --separate-stderr with_closed_pipe "$ANALYZE" $args
			status=$output
			;;
		esac
		got="$status|$stderr"
		expect_equal "$case" "$got" "$want|${stderr_want:+thread-start-analyze: }$stderr_want"
	done <<-TABLE
		closed, text|closed|$KNOWN|1|standard output: Bad file descriptor
		closed, csv|closed|--format=csv $KNOWN|1|standard output: Bad file descriptor
		closed, markdown|closed|--format=markdown $KNOWN|1|standard output: Bad file descriptor
		closed, sides|closed|--group A $KNOWN --group B $KNOWN|1|standard output: Bad file descriptor
		closed, a picture|closed|$KNOWN --plot $tmp/closed.png|1|standard output: Bad file descriptor
		full, text|full|$KNOWN|1|standard output: No space left on device
		full, csv|full|--format=csv $KNOWN|1|standard output: No space left on device
		full, a fleet|full|--fleet $KNOWN|1|standard output: No space left on device
		closed pipe, text|pipe|$KNOWN|signal 13|
		closed pipe, csv|pipe|--format=csv $KNOWN|signal 13|
	TABLE
	no_case_failed
}

@test "SIGINT while reading a large file: dies of SIGINT (130), no traceback" {
	make_big "$tmp/big.json" 1000000
	# SIGINT restored, as a shell without job control leaves it ignored in
	# what it starts in the background.
	env --default-signal=INT "$ANALYZE" "$tmp/big.json" >/dev/null 2>"$tmp/stderr" &
	local pid=$! fd opened=
	# Sent once the file is open, while it is being read.
	while [[ -z $opened ]] && kill -0 "$pid" 2>/dev/null; do
		for fd in /proc/"$pid"/fd/*; do
			[[ $(readlink "$fd" 2>/dev/null) == "$tmp/big.json" ]] && opened=1
		done
	done
	kill -INT "$pid"
	local status=0
	wait "$pid" || status=$?
	[ "$status" -eq 130 ]
	[ ! -s "$tmp/stderr" ] || { cat "$tmp/stderr" >&2; false; }
}
