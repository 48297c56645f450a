# Shared by the test files: a table of costly cases checked in one test
# names every case that fails, not only the first, and fails at the end.

# Records that case $1 failed: $2 says what it got and what was expected.
case_failed() {
	failures+=("$1: $2")
}

# Records case $1 as failed unless what it got, $2, is what was expected, $3.
expect_equal() {
	[[ $2 == "$3" ]] || case_failed "$1" "got \"$2\", expected \"$3\""
}

# Fails if any case was recorded as failed, printing each.
no_case_failed() {
	if ((${#failures[@]} > 0)); then
		printf 'failed: %s\n' "${failures[@]}" >&2
		return 1
	fi
}
