#!/usr/bin/env bats
# The Debian packages of the build as it stands: made afresh, then
# lintian's verdict, and what a scratch install of both gives.

bats_require_minimum_version 1.5.0
load ../../tests/needs
load ../../tests/emulation

setup_file() {
	local tool
	for tool in dpkg-deb dpkg-shlibdeps file; do
		command -v "$tool" >/dev/null ||
			missing_package "$tool is not installed: packages need dpkg-dev and file"
	done
	"${CPACK:?set CPACK to cpack}" --config "${CPACK_CONFIG:?set CPACK_CONFIG}" \
		-G DEB -B "$BATS_FILE_TMPDIR/packages" >"$BATS_FILE_TMPDIR/cpack.log" 2>&1 ||
		{ cat "$BATS_FILE_TMPDIR/cpack.log" >&2; return 1; }
}

setup() {
	debs=("$BATS_FILE_TMPDIR"/packages/thread-start-{time,bench}_*.deb)
	[ -f "${debs[0]}" ] || skip "no packages were made"
}

@test "lintian finds no error and no warning in either package" {
	command -v lintian >/dev/null || missing_package "lintian is not installed"
	[ -f "${debs[1]}" ] || skip "the bench was not built"
	run -0 lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}"
	[[ $output != *"E: "* && $output != *"W: "* ]]
}

@test "each package is of its binaries' architecture, in its control and its name" {
	[ -f "${debs[1]}" ] || skip "the bench was not built"
	local deb arch file machine binaries failed=0
	for deb in "${debs[@]}"; do
		arch=$(dpkg-deb -f "$deb" Architecture)
		[[ ${deb##*/} == *_"$arch".deb ]] ||
			{ echo "${deb##*/}: not named for $arch" >&2; failed=1; }
		rm -rf "$BATS_TEST_TMPDIR/files"
		dpkg-deb -x "$deb" "$BATS_TEST_TMPDIR/files"
		binaries=0
		while IFS= read -r file; do
			readelf -h "$file" >/dev/null 2>&1 || continue
			binaries=$((binaries + 1))
			machine=$(program_arch "$file")
			case $machine in
			aarch64) machine=arm64 ;;
			x86_64) machine=amd64 ;;
			*) machine="unknown ($(readelf -h "$file" | sed -n 's/^ *Machine: *//p'))" ;;
			esac
			[ "$machine" = "$arch" ] ||
				{ echo "${deb##*/}: ${file#*/files/} is $machine, not $arch" >&2; failed=1; }
		done < <(find "$BATS_TEST_TMPDIR/files" -type f)
		((binaries > 0)) || { echo "${deb##*/}: no binary" >&2; failed=1; }
	done
	[ "$failed" -eq 0 ]
}

@test "both install with dpkg into a scratch root; the installed bench measures the installed programs" {
	[ -f "${debs[1]}" ] || skip "the bench was not built"
	local root=$BATS_TEST_TMPDIR/root
	mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
	touch "$root/var/lib/dpkg/status"
	# Packages for another architecture than this machine's install as
	# multiarch installs them: with that architecture added to dpkg's.
	local arch
	arch=$(dpkg-deb -f "${debs[0]}" Architecture)
	if [[ $arch != all && $arch != "$(dpkg --print-architecture)" ]]; then
		run -0 dpkg --root="$root" --add-architecture "$arch"
	fi
	# The scratch root knows nothing of the C library and the rest.
	run -0 dpkg --root="$root" --force-depends -i "${debs[@]}"

	run -0 dpkg-query --admindir="$root/var/lib/dpkg" -W -f '${Package} ${Status}\n'
	[[ $output == *"thread-start-bench install ok installed"* ]]
	[[ $output == *"thread-start-time install ok installed"* ]]
	local file
	for file in share/man/man1/thread-start-time.1.gz share/man/man1/thread-start-bench.1.gz \
		share/man/man1/thread-start-analyze.1.gz \
		share/doc/thread-start-time/copyright share/doc/thread-start-time/changelog.gz \
		share/doc/thread-start-bench/copyright share/doc/thread-start-bench/changelog.gz \
		libexec/thread-start-bench/cold-thread-start libexec/thread-start-bench/thread-start-parts \
		bin/thread-start-analyze share/thread-start-bench/analyze/__main__.py; do
		[ -f "$root/usr/$file" ] || { echo "missing: $file" >&2; false; }
	done

	run -0 "$root/usr/bin/thread-start-time"
	[[ ${lines[1]} =~ ^"The time of the childthread is "[0-9]+$ ]]

	local json=$BATS_TEST_TMPDIR/bench.json
	run -0 "$root/usr/bin/thread-start-bench" --benchmark_repetitions=2 \
		--benchmark_filter='^(program_run/pipe|program_parts/default|cold_thread_start)/' \
		--benchmark_out="$json"
	run -0 "$root/usr/bin/thread-start-analyze" report "$json"
	[[ $output == *"$root/usr/bin/thread-start-time"* ]]
	grep -q "\"cold_helper\": \"$root/usr/libexec/thread-start-bench/cold-thread-start\"" "$json"
	grep -q "\"parts_helper\": \"$root/usr/libexec/thread-start-bench/thread-start-parts\"" "$json"
}

@test "the analysis runs from wherever its prefix is moved: its launcher finds its package" {
	[ -f "${debs[1]}" ] || skip "the bench was not built"
	/usr/bin/python3 -c 'import numpy' 2>/dev/null ||
		missing_package "python3-numpy is not installed"
	local files=$BATS_TEST_TMPDIR/files moved=$BATS_TEST_TMPDIR/elsewhere/prefix
	dpkg-deb -x "${debs[1]}" "$files"
	# The package's modules in share/, without its tests or compiled files.
	run -0 find "$files/usr/share/thread-start-bench" -type f -printf '%P\n'
	grep -qx 'analyze/__main__.py' <<<"$output"
	[[ $output != *test* && $output != *.pyc* ]]
	# Every module of the source tree: a report left out of the list of
	# modules to install would fail only once installed.
	local module
	for module in "$BATS_TEST_DIRNAME"/../../analyze/*.py; do
		grep -qx "analyze/${module##*/}" <<<"$output" ||
			{ echo "not installed: ${module##*/}" >&2; false; }
	done
	head -n 1 "$files/usr/bin/thread-start-analyze" | grep -qx '#!/usr/bin/python3'
	mkdir -p "${moved%/*}"
	mv "$files/usr" "$moved"
	local json=$BATS_TEST_TMPDIR/results.json
	/usr/bin/python3 - "$json" <<-'EOF'
	import json, sys
	runs = [{"run_name": "program_run/pipe", "run_type": "iteration", "ticks": t}
	        for t in (1, 2, 3)]
	json.dump({"context": {"cold_helper": "/x"}, "benchmarks": runs}, open(sys.argv[1], "w"))
	EOF
	run -0 --separate-stderr "$moved/bin/thread-start-analyze" report --format=csv \
		--table rows "$json"
	[[ $output == *$'\nrows,program_run/pipe,3,2.0,3.0,3.0'* ]]
	[[ -z $(grep -v '^note: ' <<<"$stderr") ]]
	# Nothing written under the prefix: no compiled files that no package
	# owns.
	[ -z "$(find "$moved" -name __pycache__)" ]
}

@test "the bench's package depends on what every analysis needs and recommends what some calls need" {
	[ -f "${debs[1]}" ] || skip "the bench was not built"
	local failed=0 field package fields
	fields=$(dpkg-deb --field "${debs[1]}" Depends Recommends)
	# field | package
	while read -r field package; do
		[[ $fields =~ (^|$'\n')"$field: "([^$'\n']*, )?"$package"(,|$'\n'|$| ) ]] ||
			{ echo "$field: $package missing" >&2; failed=1; }
	done <<-TABLE
		Depends python3
		Depends python3-numpy
		Depends thread-start-time
		Recommends python3-scipy
		Recommends python3-matplotlib
	TABLE
	[ "$failed" -eq 0 ] || { echo "$fields" >&2; false; }
}
