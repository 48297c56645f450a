#!/usr/bin/env bats
# tools/install-packages against stand-ins for dpkg, apt-get, id and sudo:
# which packages it asks apt-get for, and as whom.

bats_require_minimum_version 1.5.0
load ../../tests/cases

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
		awk -v n="$name" -v a="$arch" '\''$1 == n && (a == "" || $2 == a) {
			print $2, $3; f = 1 } END { exit !f }'\'' "$INSTALLED"'
	stand_in dpkg 'case $1 in
		--print-architecture) echo amd64 ;;
		--print-foreign-architectures) ;;
		*) echo "dpkg $*" >>"$LOG" ;;
		esac'
	stand_in apt-get 'echo "apt-get $* as $FAKE_WHO" >>"$LOG"'
	stand_in id 'echo "${FAKE_UID:-0}"'
	stand_in sudo 'FAKE_WHO=root "$@"'
	export INSTALLED=$installed LOG=$log FAKE_WHO=me
}

stand_in() {
	printf '#!/bin/bash\n%s\n' "$2" >"$fake/$1"
	chmod +x "$fake/$1"
}

# Only what is missing, for this machine's architecture; test stands for
# every purpose the suite uses. Each case: its name, the purposes, what
# apt-get must be asked to install (all: every package the suite uses),
# then what is installed, apart at commas (a name alone: for amd64,
# installed; otherwise "NAME ARCHITECTURE STATUS").
@test "installs only what is missing, for this machine's architecture" {
	local name purposes expected there package asked
	local install='apt-get install -y -qq --no-install-recommends'
	local all='cmake ninja-build g++ binutils bats bsdutils man-db jq file mount libbenchmark-dev'
	all+=' python3 python3-numpy python3-scipy python3-matplotlib libbenchmark-tools dpkg-dev'
	all+=' lintian ansible-core'
	local -a packages
	while IFS='|' read -r name purposes expected there; do
		rm -f "$log"
		IFS=, read -ra packages <<<"$there"
		for package in "${packages[@]}"; do
			[[ $package == *' '* ]] || package+=' amd64 installed'
			echo "$package"
		done >"$installed"
		[[ $expected != all ]] || expected=$all
		# shellcheck disable=SC2086 # one word a purpose
		PATH=$fake:$PATH run "$INSTALL" $purposes
		expect_equal "$name status" "$status" 0
		asked=
		[[ ! -e $log ]] || asked=$(sed -n "s/^$install \\(.*\\) as .*/\\1/p" "$log")
		expect_equal "$name" "$asked" "$expected"
	done <<-'END'
		all there|build||cmake,ninja-build,g++,binutils
		one missing|build|g++|cmake,ninja-build,binutils
		only another architecture's|bench|libbenchmark-dev|libbenchmark-dev arm64 installed
		removed, left configured|bench|libbenchmark-dev|libbenchmark-dev amd64 config-files
		architecture all there|tests||jq,bats all installed,bsdutils,man-db,file,mount
		two purposes|bench fleet|libbenchmark-dev ansible-core|
		test: every purpose the suite uses|test|all|
	END
	no_case_failed
}

@test "installs as root itself" {
	FAKE_UID=0 PATH=$fake:$PATH run -0 "$INSTALL" bench
	grep -qx 'apt-get install -y -qq --no-install-recommends libbenchmark-dev as me' "$log"
}

@test "installs through sudo when not root" {
	FAKE_UID=1000 PATH=$fake:$PATH run -0 "$INSTALL" bench
	grep -qx 'apt-get install -y -qq --no-install-recommends libbenchmark-dev as root' "$log"
}

@test "installs nothing when neither root nor sudo" {
	rm "$fake/sudo"
	# A PATH with no sudo on it: the stand-ins and the tools the script uses.
	local tool
	for tool in dirname awk env; do
		ln -s "$(command -v "$tool")" "$fake/$tool"
	done
	FAKE_UID=1000 PATH=$fake run -1 "$INSTALL" bench
	[[ $output == *"must run as root to install: libbenchmark-dev"* ]]
	[ ! -e "$log" ]
}

# Words that are no purpose's name, apart at commas: the comment's mark,
# nothing, a pattern, two names in one, a name and a comment, none at all.
@test "anything but purposes: status 2, one usage line, apt-get never run" {
	local name words args
	while IFS='|' read -r name words; do
		rm -f "$log"
		# The case's words, apart at commas, not expanded here either;
		# '' an empty one.
		IFS=, read -ra args <<<"$words"
		args=("${args[@]/#\'\'/}")
		PATH=$fake:$PATH run "$INSTALL" "${args[@]}"
		expect_equal "$name status" "$status" 2
		expect_equal "$name lines" "${#lines[@]}" 1
		[[ $output == usage:* ]] || case_failed "$name" "no usage line: $output"
		[[ ! -e $log ]] || case_failed "$name" "ran: $(cat "$log")"
	done <<-'END'
		comment mark|#
		comment word|purpose
		empty|''
		empty after a known|build,''
		two in one word|build tests
		glob|*
		glob of a purpose|b*
		unknown after a known|bench,nonsense
		comment after a name|build#
		none|
	END
	no_case_failed
}
