#!/usr/bin/env bats
# thread-start-analyze's commands: refusals, the older command line, the
# answer first, the gate, a disturbed run, an option that changes nothing.

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

# Writes $tmp/PREFIXi.json, one a median given, each run's pipe row three
# repetitions about its median, labelled LABEL; CONTEXT (JSON, optional)
# is added to every run's context: make_runs PREFIX LABEL [CONTEXT] MEDIAN...
make_runs() {
	local prefix=$1 label=$2 context='{}'
	shift 2
	[[ $1 == '{'* ]] && { context=$1; shift; }
	/usr/bin/python3 - "$tmp/$prefix" "$label" "$context" "$@" <<-'EOF'
	import json, sys
	prefix, label, context = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
	for i, m in enumerate(map(float, sys.argv[4:]), 1):
	    runs = [{"run_name": "program_run/pipe/iterations:1/repeats:3/manual_time",
	             "run_type": "iteration", "ticks": t} for t in (m - 3, m, m + 5)]
	    json.dump({"context": {"cold_helper": "/x", "label": label, "host_name": label,
	                           "date": f"2026-12-{i:02}T12:00:00+00:00",
	                           "rows": "program_run/pipe", "levers": "", **context},
	               "benchmarks": runs}, open(f"{prefix}{i}.json", "w"))
	EOF
}

# Side a of medians about 100, side b about 110: 4 runs each.
sides() { make_runs a a 98 99 101 102 && make_runs b b 108 109 111 112; }

@test "each command refuses what is not its own: one line, status 2, nothing printed; --version alone" {
	sides
	"$ANALYZE" store add "$tmp/s.db" "$tmp"/a?.json >/dev/null
	local case args reason
	# case | arguments | the line on standard error, after "thread-start-analyze: "
	while IFS='|' read -r case args reason; do
		# shellcheck disable=SC2086 # one word an argument
		run --separate-stderr "$ANALYZE" $args
		expect_equal "$case" "$status|$output|$stderr" "2||thread-start-analyze: $reason"
	done <<-TABLE
		no command||the following arguments are required: COMMAND
		report, two files|report $KNOWN $KNOWN|report: unrecognized arguments: $KNOWN
		report --runs|report --runs $KNOWN|report takes no --runs (its options: thread-start-analyze report --help)
		report --group|report $KNOWN --group x $KNOWN|report takes no --group (its options: thread-start-analyze report --help)
		report --fail-if-slower|report --fail-if-slower=5 $KNOWN|report takes no --fail-if-slower (its options: thread-start-analyze report --help)
		report --store|report --store s.db $KNOWN|report takes no --store (its options: thread-start-analyze report --help)
		report, no file|report|report: the following arguments are required: FILE.json
		runs --runs|runs --runs $tmp/a1.json|runs takes no --runs (its options: thread-start-analyze runs --help)
		runs --latest|runs --latest 2 $tmp/a1.json|runs takes no --latest (its options: thread-start-analyze runs --help)
		runs of two labels|runs $tmp/a1.json $tmp/b1.json|runs: the files have 2 labels (a, b): runs of one thing have one; sides are compared by 'thread-start-analyze compare'
		runs of two groups|runs --group x $tmp/a1.json --group y $tmp/b1.json|runs: 2 --group: runs are of one thing; sides are compared by 'thread-start-analyze compare'
		runs, files and a group|runs $tmp/a1.json --group y $tmp/b1.json|runs: give the files of one label, or one --group, not both
		compare --store|compare --store s.db $tmp/a1.json|compare takes no --store (its options: thread-start-analyze compare --help)
		compare --since|compare --since 2026-01-01 $tmp/a1.json|compare takes no --since (its options: thread-start-analyze compare --help)
		compare, one side|compare $tmp/a1.json $tmp/a2.json|one side only: give files of two labels, or two --group
		compare, a gate without a verdict|compare --fail-if-slower=5 $tmp/a[123].json $tmp/b[123].json|--fail-if-slower: the gate needs a verdict, and none is possible: 3 runs against 3: the least p the rank test can reach is 0.1, above the family's cut of 0
		compare, a threshold below 0|compare --fail-if-slower=-1 $tmp/a1.json $tmp/b1.json|compare: argument --fail-if-slower: '-1' is not a percentage of 0 or more
		compare, a threshold not a number|compare --fail-if-slower=nan $tmp/a1.json $tmp/b1.json|compare: argument --fail-if-slower: 'nan' is not a percentage of 0 or more
		compare, a threshold with an underscore|compare --fail-if-slower=1_0 $tmp/a1.json $tmp/b1.json|compare: argument --fail-if-slower: '1_0' is not a percentage of 0 or more
		history of no run asked for|history --store $tmp/s.db --host nowhere|$tmp/s.db: no stored run of the choice asked for
		fleet --runs|fleet --runs $tmp/a1.json|fleet takes no --runs (its options: thread-start-analyze fleet --help)
		fleet --history|fleet --history --store s.db|fleet takes no --history (its options: thread-start-analyze fleet --help)
		fleet --latest without a store|fleet --latest 2 $tmp/a1.json|--since, --until and --latest choose runs of a store: give --store
		fleet, a store and files|fleet --store s.db $tmp/a1.json|fleet --store PATH reports on the store's runs: give no file or --group
		fleet, nothing|fleet|fleet: give the files, or --store PATH
		store add --plot|store add s.db $KNOWN --plot x.png|store add takes no --plot (its options: thread-start-analyze store add --help)
		store add --table|store add s.db $KNOWN --table rows|store add takes no --table (its options: thread-start-analyze store add --help)
		store add, no file|store add s.db|store add: the following arguments are required: FILE.json
		store, no action|store|store: the following arguments are required: ACTION
		history --latest|history --store s.db --latest 2|history takes no --latest (its options: thread-start-analyze history --help)
		history, a file|history --store s.db $KNOWN|history: unrecognized arguments: $KNOWN
		history, no store|history|history: the following arguments are required: --store
		--version and more|--version report $KNOWN|--version takes no other argument (try thread-start-analyze --help)
	TABLE
	run --separate-stderr "$ANALYZE" --version
	expect_equal --version "$status|$output|$stderr" "0|thread-start-analyze ${PROJECT_VERSION:?}|"
	no_case_failed
	[ ! -e s.db ]
}

@test "the older command line: what its command prints and its status, then a pointer to it" {
	sides
	mkdir "$tmp/old" "$tmp/new"
	local case old new command
	# case | the older arguments | the command's | the command named. Each
	# form in a directory of its own, where the store s.db is made.
	while IFS='|' read -r case old new command; do
		run --separate-stderr bash -c 'cd "$1/new" && eval "\"\$2\" $3"' _ "$tmp" "$ANALYZE" "$new"
		local want="$status|$output|$stderr${stderr:+$'\n'}"
		run --separate-stderr bash -c 'cd "$1/old" && eval "\"\$2\" $3"' _ "$tmp" "$ANALYZE" "$old"
		want+="thread-start-analyze: note: this is 'thread-start-analyze $command ...' now; the old form will keep working"
		expect_equal "$case" "$status|$output|$stderr" "$want"
	done <<-TABLE
		one file|--format=csv $KNOWN|report --format=csv $KNOWN|report
		runs of one label|$tmp/a?.json|runs $tmp/a?.json|runs
		sides by label|$tmp/a?.json $tmp/b?.json|compare $tmp/a?.json $tmp/b?.json|compare
		sides by --group, each run|--runs --group x $tmp/a?.json --group y $tmp/b?.json|compare --runs --group x $tmp/a?.json --group y $tmp/b?.json|compare
		a fleet|--fleet $tmp/a?.json $tmp/b?.json $KNOWN|fleet $tmp/a?.json $tmp/b?.json $KNOWN|fleet
		runs added to a store|--store s.db $tmp/a?.json $tmp/b?.json|store add s.db $tmp/a?.json $tmp/b?.json|store add
		a fleet from a store|--store s.db --fleet --latest 3|fleet --store s.db --latest 3|fleet
		a history|--store s.db --history --format=csv|history --store s.db --format=csv|history
	TABLE
	no_case_failed
	# A refusal is as it was: one line, no pointer.
	run -2 --separate-stderr "$ANALYZE" --history
	[ "$stderr" = "thread-start-analyze: --history needs --store PATH" ]
}

@test "compare opens with a line a side; --fail-if-slower fails beyond its threshold only, naming the rows" {
	# Five runs a side: with three sides of four, even one row's least p
	# (2/70 a side) is reached in more than 5 % of the splits.
	make_runs a a 98 99 101 102 100 && make_runs b b 108 109 111 112 110
	make_runs c c 96 99 103 104 101
	run -0 "$ANALYZE" compare "$tmp"/[abc]?.json
	expect_equal "the answer, b" "${lines[0]}" \
		"b: the program's span +10.0 % [+7.0, +13.0] than a, differs; 1 of 1 rows differ"
	expect_equal "the answer, c" "${lines[1]}" \
		"c: the program's span +1.0 % [-4.0, +5.0] than a, no change shown; 0 of 1 rows differ"
	run -0 "$ANALYZE" compare "$tmp"/[ab][23].json
	expect_equal "the answer without a verdict" "${lines[0]}" \
		"b: the program's span +10.0 % than a, no verdict; no row judged"
	local case args want
	# case | sides and threshold | status|the line on standard error, or -
	local slower="thread-start-analyze: --fail-if-slower=9.9: slower: b program_run/pipe +10.0 % [+7.0, +13.0]"
	while IFS='|' read -r case args want; do
		# shellcheck disable=SC2086
		run --separate-stderr "$ANALYZE" compare $args
		expect_equal "$case" "$status|${stderr:--}" "$want"
		[[ $output == *"verdict"* ]] || case_failed "$case" "no comparison printed"
	done <<-TABLE
		10 % slower, 9.9 allowed|--fail-if-slower=9.9 $tmp/a?.json $tmp/b?.json|1|$slower
		10 % slower, 10 allowed|--fail-if-slower=10 $tmp/a?.json $tmp/b?.json|0|-
		10 % slower, 10.1 % allowed|--fail-if-slower 10.1% $tmp/a?.json $tmp/b?.json|0|-
		9 % faster, 0 allowed|--fail-if-slower=0 $tmp/b?.json $tmp/a?.json|0|-
		1 % slower, no change shown, 0 allowed|--fail-if-slower=0 $tmp/a?.json $tmp/c?.json|0|-
		each side against the first|--fail-if-slower=9.9 $tmp/a?.json $tmp/c?.json $tmp/b?.json|1|$slower
	TABLE
	no_case_failed
	# Standard output lost is status 1 as well, told apart by its line.
	run -1 --separate-stderr bash -c '"$0" compare --fail-if-slower=20 "$@" >/dev/full' \
		"$ANALYZE" "$tmp"/a?.json "$tmp"/b?.json
	[ "$stderr" = "thread-start-analyze: standard output: No space left on device" ]
}

@test "a disturbed run said in one line, by the bench's verdict or an older file's load; a quiet one not" {
	local case context want
	# case | context entries | the line of report
	while IFS='|' read -r case context want; do
		rm -f "$tmp"/n?.json
		make_runs n n "$context" 100 101
		run -0 "$ANALYZE" report "$tmp/n1.json"
		expect_equal "$case" "$(grep '^disturbed' <<<"$output")" "$want"
	done <<-'TABLE'
		the bench's verdict|{"noise": "disturbed: load 3.1 on 2 CPUs; governor powersave", "load_avg": [0.2]}|disturbed: load 3.1 on 2 CPUs; governor powersave
		quiet, by the bench|{"noise": "quiet", "load_avg": [14.26], "num_cpus": 2}|
		an older file's high load|{"load_avg": [14.26, 9, 5], "num_cpus": 2}|disturbed: load average 14.26 on 2 CPUs
		an older file, a load as high as its CPUs|{"load_avg": [2.0, 9, 5], "num_cpus": 2}|
		an older file, no number of CPUs|{"load_avg": [14.26]}|
		an older file, quiet|{"load_avg": [0.3], "num_cpus": 2}|
		a noise entry not the bench's|{"noise": "bogus"}|disturbed: its noise entry is not the bench's: 'bogus'
	TABLE
	no_case_failed
	# Of runs, of a side and of a host: each disturbed run named, without
	# the bench's threshold.
	make_runs q quiet '{"load_avg": [0.3], "num_cpus": 2}' 98 99 101 102
	make_runs l loaded '{"load_avg": [0.3], "num_cpus": 2}' 108 109
	make_runs m loaded '{"noise": "disturbed: load average 14.26 on 2 CPUs (above 2)"}' 111 112
	local load='(load average 14.26 on 2 CPUs)' files
	while IFS='|' read -r case files want; do
		# shellcheck disable=SC2086 # the files' patterns
		run -0 "$ANALYZE" $case $files
		expect_equal "$case $files" "$(grep '^disturbed' <<<"$output")" "$want"
	done <<-TABLE
		runs|$tmp/[lm]?.json|disturbed: 2 of 4 runs: [3] $load, [4] $load
		compare|$tmp/q?.json $tmp/[lm]?.json|disturbed: loaded, 2 of 4 runs: [7] $load, [8] $load
		fleet|$tmp/q?.json $tmp/[lm]?.json|disturbed: loaded, 2 of 4 runs: m1.json $load, m2.json $load
		compare|$tmp/q?.json $tmp/l?.json|
	TABLE
	no_case_failed
}

@test "an option that changes nothing says so in one line" {
	make_runs a a 98 99 101 102
	jq '.context.variants = "fast: MALLOC_ARENA_MAX=1; tc0: GLIBC_TUNABLES=a=b c"' "$KNOWN" >"$tmp/filtered.json"
	"$ANALYZE" store add "$tmp/s.db" "$tmp"/a?.json >/dev/null
	local case args where want
	# case | arguments | where the line is (stdout, stderr) | the line
	while IFS='|' read -r case args where want; do
		# shellcheck disable=SC2086
		run -0 --separate-stderr "$ANALYZE" $args
		[[ $where == stdout ]] && got=$output || got=$stderr
		grep -Fxq -- "$want" <<<"$got" || case_failed "$case" "$where: $got"
	done <<-TABLE
		--runs of one label|--runs $tmp/a1.json $tmp/a2.json|stderr|thread-start-analyze: note: --runs changes nothing here: it shows each run of sides compared (thread-start-analyze compare --runs)
		--latest above every host's runs|fleet --store $tmp/s.db --latest 4|stderr|thread-start-analyze: note: --latest 4: no host has more than 4 runs: every run kept
		dates that leave out no run|fleet --store $tmp/s.db --since 2000-01-01|stderr|thread-start-analyze: note: --since/--until: every stored run is of the dates asked for: none left out
		a history of a row no run has|history --store $tmp/s.db --row program_run/gone|stderr|thread-start-analyze: note: --row program_run/gone: no stored run of the choice asked for has it
		variants left out by the filter|report --format=csv $tmp/filtered.json|stderr|note: [1] lists the variants fast, tc0 in its context but has no row program_run/fast, program_run/tc0: left out by --benchmark_filter
	TABLE
	no_case_failed
	# Where they do change something, nothing is said.
	run -0 --separate-stderr "$ANALYZE" fleet --store "$tmp/s.db" --latest 3
	[ -z "$stderr" ]
}
