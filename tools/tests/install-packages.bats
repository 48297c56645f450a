#!/usr/bin/env bats
# tools/install-packages against stand-ins for dpkg, apt-get, id and sudo:
# which packages it asks apt-get for, and as whom.

bats_require_minimum_version 1.5.0

setup() {
	INSTALL=${SOURCE_DIR:?set SOURCE_DIR to the source tree}/tools/install-packages
	fake=$BATS_TEST_TMPDIR/bin
	log=$BATS_TEST_TMPDIR/log
	mkdir "$fake"
	# The installed packages: name, architecture, status; one a line.
	installed=$BATS_TEST_TMPDIR/installed
	: >"$installed"
	stand_in dpkg-query 'name=${@: -1}; arch=
		[[ $name == *:* ]] && arch=${name#*:} name=${name%%:*}
		awk -v n="$name" -v a="$arch" '\''$1 == n && (a == "" || $2 == a) { print $2, $3; f = 1 } END { exit !f }'\'' "$INSTALLED"'
	stand_in dpkg 'case $1 in --print-architecture) echo amd64 ;; --print-foreign-architectures) ;; *) echo "dpkg $*" >>"$LOG" ;; esac'
	stand_in apt-get 'echo "apt-get $* as $FAKE_WHO" >>"$LOG"'
	stand_in id 'echo "${FAKE_UID:-0}"'
	stand_in sudo 'FAKE_WHO=root "$@"'
	export INSTALLED=$installed LOG=$log FAKE_WHO=me
}

stand_in() {
	printf '#!/bin/bash\n%s\n' "$2" >"$fake/$1"
	chmod +x "$fake/$1"
}

# Passes if apt-get was asked to install exactly the packages given, none
# if none are.
installed_only() {
	local asked
	asked=$(sed -n 's/^apt-get install -y -qq --no-install-recommends \(.*\) as .*/\1/p' "$log" 2>/dev/null)
	[ "$asked" = "$*" ] || { echo "asked for: '$asked', expected: '$*'" >&2; false; }
}

@test "installs only what is missing, for this machine's architecture; test stands for every purpose the suite uses" {
	local failed=0 case installed_now purposes expected
	# case | installed (name arch status, comma-separated) | purposes | asked for
	while IFS='|' read -r case installed_now purposes expected; do
		tr ',' '\n' <<<"$installed_now" | sed 's/^ *//' >"$installed"
		rm -f "$log"
		# shellcheck disable=SC2086 # one word a purpose
		PATH=$fake:$PATH run "$INSTALL" $purposes
		if [[ $status -ne 0 ]] || ! installed_only $expected; then
			echo "$case: status $status: $output" >&2
			failed=1
		fi
	done <<-'TABLE'
		all there | cmake amd64 installed,ninja-build amd64 installed,g++ amd64 installed,binutils amd64 installed | build |
		one missing | cmake amd64 installed,ninja-build amd64 installed,binutils amd64 installed | build | g++
		another architecture's only | libbenchmark-dev arm64 installed | bench | libbenchmark-dev
		removed but configured | libbenchmark-dev amd64 config-files | bench | libbenchmark-dev
		architecture all | jq amd64 installed,bats all installed,bsdutils amd64 installed,man-db amd64 installed,file amd64 installed | tests |
		two purposes | | bench fleet | libbenchmark-dev ansible-core
		test | | test | cmake ninja-build g++ binutils bats bsdutils man-db jq file libbenchmark-dev python3 python3-numpy python3-scipy python3-matplotlib libbenchmark-tools dpkg-dev lintian ansible-core
	TABLE
	[ "$failed" -eq 0 ]
}

@test "as root itself, through sudo otherwise, and not at all without either" {
	FAKE_UID=0 PATH=$fake:$PATH run -0 "$INSTALL" bench
	grep -qx 'apt-get install -y -qq --no-install-recommends libbenchmark-dev as me' "$log"
	rm "$log"
	FAKE_UID=1000 PATH=$fake:$PATH run -0 "$INSTALL" bench
	grep -qx 'apt-get install -y -qq --no-install-recommends libbenchmark-dev as root' "$log"
	rm "$log" "$fake/sudo"
	# A PATH with no sudo on it: the stand-ins and the tools the script uses.
	local tool
	for tool in dirname awk env; do
		ln -s "$(command -v "$tool")" "$fake/$tool"
	done
	FAKE_UID=1000 PATH=$fake run -1 "$INSTALL" bench
	[[ $output == *"must run as root to install: libbenchmark-dev"* ]]
	[ ! -e "$log" ]
}

@test "a purpose it does not know, or none: status 2 and nothing installed" {
	PATH=$fake:$PATH run -2 "$INSTALL" bench nonsense
	[[ $output == *"no purpose 'nonsense'"* ]]
	PATH=$fake:$PATH run -2 "$INSTALL"
	[[ $output == *usage* ]]
	[ ! -e "$log" ]
}
