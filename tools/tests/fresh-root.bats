#!/usr/bin/env bats
# tools/fresh-root while it waits for another run's lock on its tarball:
# a lock this test holds stands in for the other run, a stand-in for
# mmdebstrap for the tarball it must never reach.

bats_require_minimum_version 1.5.0
load ../../tests/cases

setup() {
	FRESH_ROOT=${SOURCE_DIR:?set SOURCE_DIR to the source tree}/tools/fresh-root
	git -C "$SOURCE_DIR" rev-parse --git-dir >/dev/null 2>&1 || skip "not a git checkout"
	# It must run as root; a user namespace's root does where not.
	as_root=()
	((EUID == 0)) || as_root=(unshare -r)
	"${as_root[@]}" true 2>/dev/null || skip "neither root nor a user namespace"
	fake=$BATS_TEST_TMPDIR/bin
	mkdir "$fake" "$BATS_TEST_TMPDIR/cache" "$BATS_TEST_TMPDIR/tmp"
	printf '#!/bin/sh\necho "$@" >>%s/made\nexit 1\n' "$BATS_TEST_TMPDIR" >"$fake/mmdebstrap"
	chmod +x "$fake/mmdebstrap"
}

# Starts fresh-root, with the signals a shell's background job ignores
# restored, and waits for it to wait for the lock; sends it signal $1 and
# expects status $2 within 20 s, nothing left: no scratch directory, no
# waiting flock, no tarball begun.
ends_on() {
	local sig=$1 expected=$2 pid waiter='' status=0 tries
	env --default-signal=INT,TERM,HUP PATH="$fake:$PATH" \
		THREAD_START_ROOT_CACHE="$BATS_TEST_TMPDIR/cache" TMPDIR="$BATS_TEST_TMPDIR/tmp" \
		"${as_root[@]}" "$FRESH_ROOT" trixie 2>"$BATS_TEST_TMPDIR/err" 3>&- &
	pid=$!
	for ((tries = 0; tries < 200; tries++)); do
		sleep 0.1
		waiter=$(pgrep -x -P "$pid" flock) && break
	done
	[[ -n $waiter ]] || { case_failed "$sig" "never waited: $(cat "$BATS_TEST_TMPDIR/err")"; kill -KILL "$pid"; wait "$pid" || true; return; }
	kill -s "$sig" "$pid"
	for ((tries = 0; tries < 200; tries++)); do
		kill -0 "$pid" 2>/dev/null || break
		sleep 0.1
	done
	if kill -0 "$pid" 2>/dev/null; then
		case_failed "$sig" "still waiting 20 s after it"
		kill -KILL "$pid" "$waiter"
	fi
	wait "$pid" || status=$?
	expect_equal "$sig status" "$status" "$expected"
	expect_equal "$sig scratch left" "$(ls -A "$BATS_TEST_TMPDIR/tmp")" ""
	! kill -0 "$waiter" 2>/dev/null || case_failed "$sig" "flock $waiter left waiting"
	[[ ! -e $BATS_TEST_TMPDIR/made ]] || case_failed "$sig" "made a tarball"
	grep -q "exit status $expected\$" "$BATS_TEST_TMPDIR/err" ||
		case_failed "$sig" "no final status: $(tail -1 "$BATS_TEST_TMPDIR/err")"
}

@test "waiting for another run's lock, a signal ends it at once with 128 + N, nothing left" {
	local held sig expected
	exec {held}>"$BATS_TEST_TMPDIR/cache/trixie.lock"
	flock "$held"
	while read -r sig expected; do
		ends_on "$sig" "$expected"
	done <<-'END'
		TERM 143
		INT 130
		HUP 129
	END
	exec {held}>&-
	no_case_failed
}
