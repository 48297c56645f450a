#!/usr/bin/env bats
# The fleet recipe as the README gives it, with this machine standing in
# for three hosts through Ansible's local connection, one host at a time.

bats_require_minimum_version 1.5.0
load ../../tests/needs
load ../../tests/cases

setup() {
	command -v ansible-playbook >/dev/null ||
		missing_package "ansible-playbook (ansible-core) is not installed"
	/usr/bin/python3 -c 'import scipy' 2>/dev/null ||
		missing_package "python3-scipy is not installed"
	cd "$BATS_TEST_TMPDIR"
	mkdir scratch
	# Fewer round trips per task; each playbook run is costly.
	export ANSIBLE_PIPELINING=1 ANSIBLE_NOCOLOR=1
}

# Removes what a playbook that took a missing PWD for the root wrote there.
teardown() {
	if [[ -n ${root_fleet_absent:-} && -e /fleet ]]; then
		rm -rf /fleet
	fi
}

# Writes inventory $1: the lines after it, then defaults for every host.
inventory() {
	local file=$1
	shift
	{
		printf '%s\n' "$@" '[all:vars]' ansible_connection=local \
			ansible_python_interpreter=/usr/bin/python3 "bench=$THREAD_START_BENCH" "analyze=$ANALYZE" \
			"bench_args='--benchmark_repetitions=3 --benchmark_filter=^(program_run/pipe|cold)'" \
			runs=2
	} >"$file"
}

# Runs the playbook one host at a time, its scratch directories in ./scratch.
playbook() {
	ansible-playbook --forks 1 -e "tmpdir=$BATS_TEST_TMPDIR/scratch" "$@" "$PLAYBOOK"
}

# Two gatherings in one test, as each playbook run is costly: the first
# honours each host's settings, the second has hosts that fail.
@test "each host's inventory settings are honoured, each gathering has a directory of its own; a failed host is reported and none of its old or partial runs shown" {
	inventory hosts host-a host-b\ runs=3 \
		"host-c bench=\"env MALLOC_ARENA_MAX=1 $THREAD_START_BENCH\""
	run -0 playbook -i hosts -e store=fleet.sqlite
	# From the directory the playbook is called from, not the playbook's.
	[ -L fleet/latest ]
	local first
	first=$(readlink fleet/latest)
	[[ $first =~ ^[0-9]{8}T[0-9]{6}Z$ ]]
	[[ $output == *"$PWD/fleet/$first/HOST/run1.json"* ]]
	# The hosts share one playbook run: each is checked, and each that is
	# wrong named.
	local host runs tunables
	while read -r host runs tunables; do
		expect_equal "$host runs" "$(cd "fleet/$first/$host" && echo *)" \
			"$(seq -f 'run%g.json' -s ' ' "$runs")"
		expect_equal "$host mode" "$(stat -c %a "fleet/$first/$host")" 755
		expect_equal "$host label" "$(jq -r .context.label "fleet/latest/$host/run1.json")" "$host"
		expect_equal "$host tunables" \
			"$(jq -r .context.tunables "fleet/latest/$host/run$runs.json")" "$tunables"
	done <<-'END'
		host-a 2 none
		host-b 3 none
		host-c 2 MALLOC_ARENA_MAX=1
	END
	expect_equal "scratch left, first gathering" "$(ls -A scratch)" ""
	no_case_failed
	run -0 --separate-stderr "$ANALYZE" fleet --format=csv --table fleet fleet/latest/*/*.json
	[ "$(grep -Ec '^fleet,(host-a,2|host-b,3|host-c,2),' <<<"$output")" -eq 3 ]
	[[ -z $(grep -v '^note: ' <<<"$stderr") ]]
	# The store holds the same runs, and tells the same.
	local from_files=$output
	run -0 --separate-stderr "$ANALYZE" fleet --store fleet.sqlite --format=csv --table fleet
	[ "$output" = "$from_files" ]

	# host-b's second run writes no file, after its first was fetched;
	# host-c has no bench.
	printf '#!/bin/sh\ntest -e %s/once && exit 0\ntouch %s/once\nexec %s "$@"\n' \
		"$BATS_TEST_TMPDIR" "$BATS_TEST_TMPDIR" "$THREAD_START_BENCH" >once-bench
	chmod +x once-bench
	inventory hosts host-a "host-b bench=$BATS_TEST_TMPDIR/once-bench" \
		"host-c bench=$BATS_TEST_TMPDIR/no-bench"
	run -2 playbook -i hosts -e store=fleet.sqlite
	[[ $output == *'host-b failed (fetch the results): '* ]]
	[[ $output == *'host-c failed (run the bench): '*no-bench* ]]
	local second
	second=$(readlink fleet/latest)
	[ "$second" != "$first" ]
	expect_equal "second gathering" "$(ls -A "fleet/$second")" host-a
	expect_equal "host-a's runs" "$(ls "fleet/$second/host-a")" "$(printf 'run%s.json\n' 1 2)"
	expect_equal "first gathering kept" "$(ls -A "fleet/$first" | xargs)" "host-a host-b host-c"
	expect_equal "scratch left, second gathering" "$(ls -A scratch)" ""
	no_case_failed
	run -0 --separate-stderr "$ANALYZE" fleet --format=csv fleet/latest/*/*.json
	[ "$(grep -c '^fleet,' <<<"$output")" -eq 1 ]
	grep -q '^fleet,host-a,2,' <<<"$output"
	# Only host-a's new runs were added.
	run -0 --separate-stderr "$ANALYZE" fleet --store fleet.sqlite --format=csv
	[ "$(grep -Ec '^fleet,(host-a,4|host-b,3|host-c,2),' <<<"$output")" -eq 3 ]
}

@test "without PWD a relative dest is refused, not written under the root; an absolute one is used; a store that refuses the runs is reported" {
	[ ! -e /fleet ] || skip "/fleet exists already"
	root_fleet_absent=1
	# host-a's store is a directory, which the store refuses.
	inventory hosts "host-a runs=1 dest=$BATS_TEST_TMPDIR/absolute store=$BATS_TEST_TMPDIR" \
		host-b
	run -2 env -u PWD ansible-playbook --forks 1 -i hosts "$PLAYBOOK"
	[[ $output == *'PWD is not set'* ]]
	[[ $output == *"host-a: its runs are in $BATS_TEST_TMPDIR/absolute/"*"/host-a but not in the store $BATS_TEST_TMPDIR: "* ]]
	[ ! -e /fleet ]
	[ ! -e fleet ]
	[ -f absolute/latest/host-a/run1.json ]
}

# A host's name becomes a directory's, and runs a count: every host is
# checked before anything is made or removed, and one that fails stops
# all. Each case: the inventory's line, then the message, none for a host
# that passes.
@test "host names that are not names and runs that are no count are refused, each named, before anything is made or removed" {
	mkdir -p victim fleet/earlier/host-a
	local line message name i
	local -a entries=() messages=()  # not lines, which run sets
	while IFS='|' read -r line message; do
		entries+=("$line")
		messages+=("$message")
	done <<-'END'
		host-a|
		ok_1:2.x-y runs=7|
		./../../victim|host './../../victim' is not a name
		/|host '/' is not a name
		-x|host '-x' is not a name
		.hidden|host '.hidden' is not a name
		a..b|host 'a..b' is not a name
		a/b|host 'a/b' is not a name
		runs0 runs=0|runs '0' is not a whole number from 1 to 1000
		runsabc runs=abc|runs 'abc' is not a whole number from 1 to 1000
		runsneg runs=-1|runs '-1' is not a whole number from 1 to 1000
		runsbig runs=1001|runs '1001' is not a whole number from 1 to 1000
	END
	inventory hosts "${entries[@]}"
	run -2 playbook -i hosts -e gathering=new
	for i in "${!entries[@]}"; do
		line=${entries[i]} message=${messages[i]} name=${line%% *}
		if [[ -z $message ]]; then
			[[ $output != *"[$name]: FAILED"* ]] || case_failed "$line" "refused"
		elif [[ $output != *"[$name]: FAILED! => "*"\"msg\": \"$message"*"; nothing was run\""* ]]; then
			case_failed "$line" "not refused with: $message"
		fi
	done
	expect_equal "made or removed" "$(find . -path ./hosts -prune -o -print | sort | xargs)" \
		". ./fleet ./fleet/earlier ./fleet/earlier/host-a ./scratch ./victim"
	no_case_failed
}

@test "a failed host's rescue removes only the staging directory its own step made" {
	# The bench writes nothing, so the fetch fails after staging is made.
	mkdir -p fleet/g/.host-x fleet/g/host-y
	touch fleet/g/.host-x/keep fleet/g/host-y/run1.json
	inventory hosts "host-x bench=true"
	run -2 playbook -i hosts -e gathering=g
	[[ $output == *'host-x failed (fetch the results): '* ]]
	[ "$(cd fleet/g && find . | sort | xargs)" = ". ./.host-x ./.host-x/keep ./host-y ./host-y/run1.json" ]
}
