# Shared by the test files: the program under test and checks of its report.

bats_require_minimum_version 1.5.0
# shellcheck source=tests/needs.bash
source "${BASH_SOURCE[0]%/*}/needs.bash"
# shellcheck source=tests/emulation.bash
source "${BASH_SOURCE[0]%/*}/emulation.bash"
# shellcheck source=tests/cases.bash
source "${BASH_SOURCE[0]%/*}/cases.bash"

BIN=${THREAD_START_TIME:?set THREAD_START_TIME to the program under test}
out=$BATS_TEST_TMPDIR/stdout
err=$BATS_TEST_TMPDIR/stderr

# Prints the sanitizer runtime the program is linked with, if any.
sanitizer() {
	readelf -d "$BIN" | grep -oE 'lib[at]san' | head -n 1
}

skip_if_sanitized() {
	local runtime
	runtime=$(sanitizer)
	if [[ -n $runtime ]]; then
		skip "$runtime: $1"
	fi
}

# Runs a command with standard output to $out and standard error to $err,
# and sets $status, so that the exact bytes can be checked.
# shellcheck disable=SC2034 # status is read by the tests, as bats' run sets it
run_to_files() {
	status=0
	"$@" >"$out" 2>"$err" || status=$?
}

# Runs a command with the stand-in platform calls preloaded; FAKE_* variables
# choose what fails. A sanitizer runtime insists on being loaded first, but
# the stand-ins are not instrumented and may come before it.
with_fakes() {
	LD_PRELOAD=$FAKE_PLATFORM \
		ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
		"$@"
}

# Runs the shell line $1 with the arguments that follow, the stand-ins
# preloaded into the programs it starts but not into the shell itself,
# which may be of another architecture than the program under test.
shell_with_fakes() {
	local line=$1
	shift
	PRELOAD=$FAKE_PLATFORM \
		ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
		bash -c "export LD_PRELOAD=\$PRELOAD; $line" "$@"
}

# Passes if file $1 holds exactly the program's two lines, each ended by $2
# (LF by default), and sets $ticks to the number the second line carries.
check_report() {
	local file=$1 eol=${2:-$'\n'} content
	local first="Entered the loopp$eol" second="The time of the childthread is "
	content=$(
		cat -- "$file"
		printf x
	)
	content=${content%x}
	if [[ ! $content =~ ^"$first$second"(0|-?[1-9][0-9]*)"$eol"$ ]]; then
		echo "not the expected report:" >&2
		od -c -- "$file" >&2
		return 1
	fi
	# shellcheck disable=SC2034 # read by the tests that check the count
	ticks=${BASH_REMATCH[1]}
}

# Passes if file $1 is empty, and shows it otherwise.
check_empty() {
	if [[ -s $1 ]]; then
		echo "expected nothing, got:" >&2
		cat -- "$1" >&2
		return 1
	fi
}
