#!/usr/bin/env bats
# The Debian packages, once made: lintian's verdict, and what a scratch
# install of both gives.

bats_require_minimum_version 1.5.0

setup() {
	debs=("${PACKAGES:?set PACKAGES to the directory of the .deb files}"/thread-start-{time,bench}_*.deb)
	[ -f "${debs[0]}" ] && [ -f "${debs[1]}" ]
}

@test "lintian finds no error and no warning in either package" {
	command -v lintian >/dev/null || skip "lintian is not installed"
	run -0 lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}"
	[[ $output != *"E: "* && $output != *"W: "* ]]
}

@test "both install with dpkg into a scratch root; the installed bench measures the installed program" {
	local root=$BATS_TEST_TMPDIR/root
	mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
	touch "$root/var/lib/dpkg/status"
	# The scratch root knows nothing of the C library and the rest.
	run -0 dpkg --root="$root" --force-depends -i "${debs[@]}"

	run -0 dpkg-query --admindir="$root/var/lib/dpkg" -W -f '${Package} ${Status}\n'
	[[ $output == *"thread-start-bench install ok installed"* ]]
	[[ $output == *"thread-start-time install ok installed"* ]]
	local doc
	for doc in share/man/man1/thread-start-time.1.gz share/man/man1/thread-start-bench.1.gz \
		share/doc/thread-start-time/copyright share/doc/thread-start-time/changelog.gz \
		share/doc/thread-start-bench/copyright share/doc/thread-start-bench/changelog.gz; do
		[ -f "$root/usr/$doc" ]
	done

	run -0 "$root/usr/bin/thread-start-time"
	[[ ${lines[1]} =~ ^"The time of the childthread is "[0-9]+$ ]]

	local json=$BATS_TEST_TMPDIR/bench.json
	run -0 "$root/usr/bin/thread-start-bench" --benchmark_repetitions=2 \
		--benchmark_filter='^(program_run/pipe|cold_thread_start)/' \
		--benchmark_out="$json"
	run -0 "$root/usr/share/thread-start-bench/analyze.py" "$json"
	[[ $output == *"program: $root/usr/bin/thread-start-time"* ]]
	grep -q "\"cold_helper\": \"$root/usr/libexec/thread-start-bench/cold-thread-start\"" "$json"
}
