#!/usr/bin/env bats
# thread-start-analyze (the package analyze/, through its launcher): its
# numbers on small files whose answers are known, its verdicts, and every
# input it must refuse. Tables of cases run every case and name each one
# that fails.

bats_require_minimum_version 1.5.0
load ../../tests/needs

setup() {
	ANALYZE=${ANALYZE:?set ANALYZE to the launcher of the analysis}
	/usr/bin/python3 -c 'import scipy, matplotlib' 2>/dev/null ||
		missing_package "python3-scipy and python3-matplotlib are not installed"
	KNOWN=$TESTDATA/known.json
	SOURCE_ROOT=$BATS_TEST_DIRNAME/../..
	tmp=$BATS_TEST_TMPDIR
}

# Writes file $1: rows named in $2 ("row=v,v,v;row=v,v"), context entries
# from the JSON object $3. The file has the context entries rows and levers
# only where $3 gives them, as a bench older than them wrote it.
make_results() {
	/usr/bin/python3 - "$@" <<-'EOF'
	import json, sys
	path, rows, context = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
	runs = []
	for entry in rows.split(";"):
	    row, values = entry.split("=")
	    for v in values.split(","):
	        runs.append({"run_name": row + "/iterations:1/repeats:3/manual_time",
	                     "run_type": "iteration", "ticks": float(v)})
	context.setdefault("cold_helper", "/x")
	json.dump({"context": context, "benchmarks": runs}, open(path, "w"))
	EOF
}

# Writes one file a run, each run's pipe row three repetitions around the
# median given, with the rows and levers the bench declares for that row
# alone: make_runs PREFIX LABEL MEDIAN...
make_runs() {
	local prefix=$1 label=$2 i=0 m
	shift 2
	for m in "$@"; do
		i=$((i + 1))
		make_results "$tmp/$prefix$i.json" "program_run/pipe=$((m - 3)),$m,$((m + 5))" \
			"{\"label\": \"$label\", \"host_name\": \"$label\",
			  \"rows\": \"program_run/pipe\", \"levers\": \"\"}"
	done
}

# The CSV tables named, one after another, as $output (CSV prints one
# table a call), and what each call said on standard error as $stderr:
# tables NAME[,NAME...] COMMAND ARGUMENT...
tables() {
	local names=$1 command=$2 name all= errors=
	shift 2
	for name in ${names//,/ }; do
		run -0 --separate-stderr "$ANALYZE" "$command" --format=csv --table "$name" "$@"
		all+=$output$'\n'
		errors+=$stderr
	done
	output=$all stderr=$errors
}

# Fails, naming every case in "$failures" (one a line), if there is one.
no_failures() {
	[[ -z ${failures:-} ]] || { printf 'failed: %s\n' "$failures" >&2; false; }
}

@test "one file: medians, nearest-rank percentiles, gaps, parts, shares, levers, exactly" {
	tables rows,gaps,parts,levers report "$KNOWN"
	[[ -z $(grep -v '^note: ' <<<"$stderr") ]]
	local line failures=
	while read -r line; do
		grep -Fxq -- "$line" <<<"$output" || failures+=$'\n'"$line"
	done <<-'EOF'
		rows,program_run/pipe,10,5.5,9.0,10.0
		rows,program_run/pipe_one_arena,5,3.0,4.0,4.0
		rows,program_run/tty,3,0.0,0.0,0.0
		rows,cold_thread_start,11,4.0,6.0,9.0
		rows,warm_create_join,2,2.0,2.5,2.5
		rows,program_parts/default,3,20.0,30.0,30.0
		rows,program_parts/own_stack,3,15.0,25.0,25.0
	EOF
	# table | first cells | the numbers that must follow (the change and
	# the share in percent)
	local table cells numbers
	while IFS='|' read -r table cells numbers; do
		grep -q -- "^$table,$cells,$numbers," <<<"$output" ||
			failures+=$'\n'"$table|$cells|$numbers"
	done <<-'EOF'
		gaps|first line,program_run/pipe - cold_thread_start|1.5
		gaps|terminal write,program_run/tty - program_run/pipe|-5.5
		gaps|cold over warm,cold_thread_start - warm_create_join|2.0
		parts|creator|8.0,40.0
		parts|new_thread|2.0,10.0
		parts|first_line|4.0,20.0
		parts|rest|4.0,20.0
		parts|instrumentation: ticks - program_run/pipe|14.5,263.6
		levers|program_run/pipe_one_arena,program_run/pipe,ticks|-2.5,-45.5
		levers|program_run/pinned,program_run/pipe,ticks|-5.5,-100.0
		levers|program_parts/own_stack,program_parts/default,ticks|-5.0,-25.0
		levers|program_parts/own_stack,program_parts/default,creator|-5.0,-62.5
	EOF
	no_failures
}

@test "CSV: numbers a spreadsheet reads, an interval as its low and high, a change without %" {
	tables gaps,parts,levers report "$KNOWN"
	local failures= header
	for header in "table,gap,rows,difference,low,high" "table,part,median,share %,low,high" \
		"table,lever,against,on,difference,change %,low,high"; do
		grep -Fxq "$header" <<<"$output" || failures+=$'\n'"$header"
	done
	# Every field after the names is a number, or empty where there is none.
	local bad
	bad=$(grep -E '^(gaps|parts|levers),' <<<"$output" | awk -F, '
		$1 == "gaps" { first = 4 } $1 == "parts" { first = 3 } $1 == "levers" { first = 5 }
		{ for (i = first; i <= NF; i++)
			if ($i !~ /^(-?[0-9]+\.[0-9]|)$/) print $0 }')
	[[ -z $bad ]] || failures+=$'\n'"not numbers: $bad"
	[[ $output != *[0-9]%* && $output != *'"['* ]] || failures+=$'\n'"a % or an interval as text"
	no_failures
}

@test "bootstrap intervals: the true gap inside, no wider than needed, as scipy's gives" {
	run -0 env PYTHONPATH="$SOURCE_ROOT" /usr/bin/python3 - <<-'EOF'
	import numpy as np, scipy.stats
	from analyze import statistics as st
	rng = np.random.default_rng(1)
	# Normal samples 100 apart: the median difference's standard error is
	# 1.2533 * 20 * sqrt(2 / 400) = 1.77, so the 95 % interval is about 7
	# wide.
	a, b = rng.normal(300, 20, 400), rng.normal(200, 20, 400)
	gap, (low, high) = st.median_gap(a, b, 0)
	assert low < 100 < high and 4 < high - low < 10, (gap, low, high)
	assert abs(gap - (np.median(a) - np.median(b))) < 1e-9
	# Against scipy's resampling of every value, odd and even sizes.
	def gap_of(p, q, axis):
	    return np.median(p, axis=axis) - np.median(q, axis=axis)
	for n, m in ((101, 60), (100, 61)):
	    x, y = rng.exponential(50, n), rng.exponential(30, m)
	    gap, (low, high) = st.median_gap(x, y, 0)
	    ref = scipy.stats.bootstrap((x, y), gap_of, vectorized=True, method="percentile",
	                                n_resamples=20000,
	                                random_state=np.random.default_rng(2)).confidence_interval
	    width = ref.high - ref.low
	    assert abs(low - ref.low) < 0.1 * width, (n, low, ref)
	    assert abs(high - ref.high) < 0.1 * width, (n, high, ref)
	# The interval of one median.
	med, (low, high) = st.median_interval(np.arange(1, 102), 0)
	assert med == 51 and 41 <= low < 51 < high <= 61, (low, high)
	EOF
}

@test "levers under a drift of hundreds: the shift of 10 inside an interval as wide as the drift" {
	/usr/bin/python3 - "$tmp/drift.json" <<-'EOF'
	import json, sys
	import numpy as np
	rng = np.random.default_rng(3)
	drift = rng.uniform(0, 1000, 300)
	rows = {"program_run/pipe": drift + rng.normal(0, 1, 300),
	        "program_run/pinned": drift + 10 + rng.normal(0, 1, 300)}
	runs = [{"run_name": row, "run_type": "iteration", "ticks": float(t)}
	        for row, values in rows.items() for t in values]
	json.dump({"context": {"cold_helper": "/x"}, "benchmarks": runs}, open(sys.argv[1], "w"))
	EOF
	tables levers report "$tmp/drift.json"
	local line low high
	line=$(grep '^levers,program_run/pinned,program_run/pipe,ticks,' <<<"$output")
	# lever, against, on, difference, change, low, high
	IFS=, read -r _ _ _ _ _ low high <<<"${line#levers,}"
	# Each median's interval from its own row's order statistics, which the
	# drift spreads over hundreds of ticks: no pairing narrows it.
	awk -v l="$low" -v h="$high" 'BEGIN { exit !(l < 10 && 10 < h && h - l > 100) }' ||
		{ echo "$line" >&2; false; }
}

@test "the rows' order and the levers as the bench declares them, else as they come" {
	local rows="cold_thread_start=1,2,3;program_run/pinned=3,4,5;program_run/pipe=5,6,7"
	rows+=";program_run/fast=1,1,2"
	make_results "$tmp/declared.json" "$rows" '{
		"rows": "program_run/pipe program_run/pinned program_run/fast cold_thread_start",
		"levers": "program_run/fast:program_run/pipe:ticks"}'
	make_results "$tmp/older.json" "$rows" '{}'
	local failures=
	tables rows,levers report "$tmp/declared.json"
	[[ $(grep -o '^rows,[^,]*' <<<"$output" | xargs) == "rows,program_run/pipe \
rows,program_run/pinned rows,program_run/fast rows,cold_thread_start" ]] ||
		failures+=$'\n'"declared: the rows' order"
	[[ $(grep -o '^levers,[^,]*' <<<"$output" | xargs) == "levers,program_run/fast" ]] ||
		failures+=$'\n'"declared: the levers"
	# Without the entries: the rows in the order of their first repetition,
	# every process row but the pipe's and the terminal's against the pipe.
	tables rows,levers report "$tmp/older.json"
	[[ $(grep -o '^rows,[^,]*' <<<"$output" | xargs) == "rows,cold_thread_start \
rows,program_run/pinned rows,program_run/pipe rows,program_run/fast" ]] ||
		failures+=$'\n'"older: the rows' order"
	[[ $(grep -o '^levers,[^,]*' <<<"$output" | xargs) == \
		"levers,program_run/pinned levers,program_run/fast" ]] ||
		failures+=$'\n'"older: the levers"
	# The parts rows' levers of an older file: on ticks and on creator.
	jq 'del(.context.rows, .context.levers)' "$KNOWN" >"$tmp/known-older.json"
	tables rows,levers report "$tmp/known-older.json"
	grep -q '^levers,program_parts/own_stack,program_parts/default,creator,-5.0,' \
		<<<"$output" || failures+=$'\n'"older: the parts' lever"
	[[ $(grep -o '^rows,[^,]*' <<<"$output" | tail -n 2 | xargs) == \
		"rows,program_parts/default rows,program_parts/own_stack" ]] ||
		failures+=$'\n'"older: the parts rows last, as they come"
	# No levers declared: no table of levers.
	jq '.context.levers = ""' "$KNOWN" >"$tmp/no-levers.json"
	run -2 --separate-stderr "$ANALYZE" --format=csv --table levers "$tmp/no-levers.json"
	[[ $stderr == *"--table levers: no such table here; the tables are answer, files, "* ]] ||
		failures+=$'\n'"no levers declared, a table of them"
	no_failures
}

@test "sides of several runs: a verdict only where the runs say so, none with too few runs" {
	make_runs a before 100 102 98 101
	make_runs b after 120 119 121 122
	make_runs c same 99 103 97 96
	# Labels make the sides, and name their columns; the interval from 4
	# runs against 4 of one row, at the family's cut of 2/70, spans the
	# least to the greatest difference of run medians, in ticks and in % of
	# side A's median; one line says what the family is.
	run -0 --separate-stderr "$ANALYZE" compare --format=csv --table compare \
		"$tmp"/a?.json "$tmp"/b?.json
	local header='table,row,before,after,after difference,after low,after high,after change %'
	header+=',after change interval low %,after change interval high %,after verdict'
	grep -Fxq "$header" <<<"$output"
	grep -Fxq 'compare,program_run/pipe,100.5,120.5,20.0,17.0,24.0,19.9,16.9,23.9,differs' \
		<<<"$output"
	[[ $output != *"no verdict"* ]]
	[[ -z $(grep -v '^note: ' <<<"$stderr") ]]
	[[ $stderr == *"note: family: 1 row x 1 side; the chance of any false \`differs\` among them is at most 5%"* ]]

	run -0 "$ANALYZE" --format=csv --table compare \
		--group A "$tmp"/a?.json --group C "$tmp"/c?.json
	grep -Fxq 'compare,program_run/pipe,100.5,98.0,-2.5,-6.0,5.0,-2.5,-6.0,5.0,no change shown' \
		<<<"$output"
	# Each run's median on request.
	run -0 "$ANALYZE" --format=csv --table runs --runs \
		--group A "$tmp"/a?.json --group C "$tmp"/c?.json
	grep -Fxq 'runs,program_run/pipe,C,[8],96.0,' <<<"$output"

	# Three runs a side, or one: the difference, but no interval, no verdict.
	run -0 "$ANALYZE" --format=csv --table compare \
		--group A "$tmp"/a[123].json --group B "$tmp"/b[123].json
	grep -Fxq 'compare,program_run/pipe,100.0,120.0,20.0,,,20.0,,,' <<<"$output"
	[[ $output == *"no verdict: 3 runs against 3: the least p the rank test can reach is 0.1, above the family's cut of 0"* ]]
	run -0 "$ANALYZE" "$tmp/a1.json" "$tmp/b1.json"
	[[ $output == *"no verdict: 1 run against 1: the least p the rank test can reach is 1,"* ]]
	! grep -Eq '(differs|no change shown)$' <<<"$output"
}

@test "sides in Markdown: as many cells in the header, the divider and every row, 2 to 5 sides" {
	local side count files=() failures= bars
	for side in p q r s t; do
		make_runs "$side" "side $side" 100 102 98 101
	done
	for count in 2 3 5; do
		files=()
		for side in p q r s t; do
			if ((${#files[@]} < 4 * count)); then
				files+=("$tmp/$side"?.json)
			fi
		done
		run -0 "$ANALYZE" --format=markdown "${files[@]}"
		# Each line of the comparison's table, its escaped bars left out:
		# one bar more than cells, which are the row, A, and six a side.
		bars=$(sed -n '/^| row |/,/^$/p' <<<"$output" | grep '^|' | sed 's/\\|//g' |
			awk -F'|' '{ print NF - 1 }' | sort -u | xargs)
		[[ $bars == "$((2 + 6 * (count - 1) + 1))" ]] ||
			failures+=$'\n'"$count sides: lines of $bars bars"
	done
	no_failures
}

@test "a fleet: one line per host, the one host apart marked an outlier and no other" {
	local host
	for host in a b c; do
		make_runs "$host" "host-$host" 100 102 99
	done
	make_runs d host-d 90 100 110
	make_runs e host-e 150 149 152
	run -0 --separate-stderr "$ANALYZE" --fleet --format=csv "$tmp"/?[123].json
	[ "$(grep -c '^fleet' <<<"$output")" -eq 5 ]
	grep -Fxq 'table,host,runs,program_run/pipe,program_run/pipe spread,verdict' <<<"$output"
	grep -q '^fleet,host-e,3,150.0,[0-9.]*,outlier: program_run/pipe$' <<<"$output"
	[ "$(grep -c outlier <<<"$output")" -eq 1 ]
	# The spread: the runs' scaled median absolute deviation (1.4826 * 10),
	# but at least what a run's three repetitions give its median.
	grep -Fxq 'fleet,host-d,3,100.0,14.8,' <<<"$output"
	grep -Fxq 'fleet,host-a,3,100.0,2.0,' <<<"$output"
	run -0 "$ANALYZE" --fleet "$tmp"/?[123].json
	grep -Eq '^host-e +3 +150.0 \+- [0-9.]+ +outlier: program_run/pipe$' <<<"$output"
}

@test "a fleet: the outlier's cause after it, and no verdict with too few hosts, saying why" {
	local host i m tunables
	for host in a b c arena; do
		i=0
		for m in 100 104 98 101; do
			i=$((i + 1))
			[[ $host == arena ]] && m=$((m + 30)) tunables=MALLOC_ARENA_MAX=1 || tunables=none
			make_results "$tmp/$host$i.json" "program_run/pipe=$((m - 3)),$m,$((m + 5))" \
				"{\"label\": \"$host\", \"tunables\": \"$tunables\", \"kernel\": \"6.1\",
				  \"load_avg\": [$i, 0.5, 0.5]}"
		done
	done
	tables fleet,causes fleet "$tmp"/*[1-4].json
	grep -Fxq 'fleet,arena,4,130.5,2.2,outlier: program_run/pipe' <<<"$output"
	[ "$(grep -c outlier <<<"$output")" -eq 1 ]
	grep -Fxq 'table,host,entry,its value,the others'"'"'' <<<"$output"
	grep -Fxq 'causes,arena,tunables,MALLOC_ARENA_MAX=1,none' <<<"$output"
	grep -Fxq 'causes,arena,load_avg (1 min),2.50 (median of 4),1.00 to 4.00' <<<"$output"
	[ "$(grep -c '^causes' <<<"$output")" -eq 2 ]
	# Opened with the host marked and why.
	run -0 "$ANALYZE" fleet "$tmp"/*[1-4].json
	[ "${lines[0]}" = "arena: stands out on program_run/pipe; differs in tunables MALLOC_ARENA_MAX=1 (others none), load_avg (1 min) 2.50 (median of 4) (others 1.00 to 4.00)" ]
	run -0 --separate-stderr "$ANALYZE" --fleet "$tmp"/[ab][1-4].json
	grep -Fxq 'no verdict: 2 hosts; outliers need 3 hosts at least' <<<"$output"
}

@test "files told apart: by label or file name, with the context entries that differ" {
	make_results "$tmp/plain.json" "program_run/pipe=1,2,3" '{"tunables": "none", "kernel": "6.1"}'
	make_results "$tmp/arena.json" "program_run/pipe=1,2,3" \
		'{"tunables": "MALLOC_ARENA_MAX=1", "kernel": "6.1", "label": "one arena"}'
	run -0 "$ANALYZE" "$tmp/plain.json" "$tmp/arena.json"
	tables files,context compare "$tmp/plain.json" "$tmp/arena.json"
	[[ $output == *$'\nfiles,[1],plain.json,'"$tmp/plain.json"$'\n'* ]]
	[[ $output == *$'\nfiles,[2],one arena,'"$tmp/arena.json"$'\n'* ]]
	[[ $output == *$'\ncontext,tunables,none,MALLOC_ARENA_MAX=1\n'* ]]
	[[ $output != *"context,kernel"* ]]

	# Two runs of one label are told apart by their file names.
	make_results "$tmp/arena2.json" "program_run/pipe=1,2,4" \
		'{"tunables": "MALLOC_ARENA_MAX=1", "kernel": "6.1", "label": "one arena"}'
	run -0 "$ANALYZE" --format=csv --table files \
		"$tmp/arena.json" "$tmp/arena2.json" "$tmp/plain.json"
	[[ $output == *$'\nfiles,[1],one arena (arena.json),'* ]]
	[[ $output == *$'\nfiles,[2],one arena (arena2.json),'* ]]

	# A run under emulation is said to be one, alone or among others.
	make_results "$tmp/emulated.json" "program_run/pipe=1,2,3" \
		'{"virtualization": "emulated on x86_64", "label": "qemu"}'
	local note='note: [2] was measured emulated on x86_64: its numbers mean nothing'
	note+=' (the emulator translates every instruction)'
	run -0 --separate-stderr "$ANALYZE" --format=csv "$tmp/plain.json" "$tmp/emulated.json"
	grep -Fxq "$note" <<<"$stderr"
	run -0 --separate-stderr "$ANALYZE" --format=csv "$tmp/emulated.json"
	grep -Fxq "${note/\[2\]/[1]}" <<<"$stderr"
	run -0 "$ANALYZE" --format=csv "$tmp/plain.json" "$tmp/arena.json"
	[[ $output != *"emulat"* ]]

	run -0 "$ANALYZE" --format=markdown "$KNOWN"
	local table='| row | runs | median | p90 | p99 |'
	table+=$'\n| --- | ---: | ---: | ---: | ---: |\n| program_run/pipe | 10 | 5.5 | 9.0 | 10.0 |'
	[[ $output == *$'\n'"$table"* ]]
}

@test "pictures: PNG and SVG of every row, zero ticks included" {
	run -0 "$ANALYZE" "$KNOWN" --plot "$tmp/k.png"
	[ "$(head -c 8 "$tmp/k.png" | od -An -tx1 | xargs)" = "89 50 4e 47 0d 0a 1a 0a" ]
	jq '.context.label = "other"' "$KNOWN" >"$tmp/other.json"
	run -0 "$ANALYZE" "$KNOWN" "$tmp/other.json" --plot "$tmp/k.svg"
	grep -q '<svg' "$tmp/k.svg"
	grep -q 'warm_create_join' "$tmp/k.svg"
	grep -q 'where the ticks go' "$tmp/k.svg"
}

@test "each call imports only what it needs: a summary with numpy alone, others name the package" {
	# scipy and matplotlib made unimportable, as where only numpy is installed.
	local hidden=$tmp/hidden module
	for module in scipy matplotlib; do
		mkdir -p "$hidden/$module"
		echo 'raise ImportError("hidden by the test")' >"$hidden/$module/__init__.py"
	done
	"$ANALYZE" report "$KNOWN" >"$tmp/summary"
	local failures= case want package args
	# case | status | package named | arguments
	while IFS='|' read -r case want package args; do
		package=${package// /}
		# shellcheck disable=SC2086 # one word an argument
		run --separate-stderr env PYTHONPATH="$hidden" "$ANALYZE" $args
		if [[ $want -eq 0 ]]; then
			[[ $output == "$(cat "$tmp/summary")" && -z $stderr && $status -eq 0 ]] ||
				failures+=$'\n'"$case: not the same summary"
		elif [[ $status -ne 2 || -n $output || $stderr != *"Debian package $package"* ||
			$(wc -l <<<"$stderr") -ne 1 ]]; then
			failures+=$'\n'"$case: status $status, stderr: $stderr"
		fi
	done <<-TABLE
		one-file summary | 0 | | report $KNOWN
		runs of one label | 2 | python3-scipy | runs $KNOWN $KNOWN
		one group of runs | 2 | python3-scipy | runs --group runs $KNOWN $KNOWN
		two sides | 2 | python3-scipy | compare --group a $KNOWN --group b $KNOWN
		a fleet | 2 | python3-scipy | fleet $KNOWN
		a history | 2 | python3-scipy | history --store $tmp/runs.db
		a history's picture | 2 | python3-scipy | history --store $tmp/runs.db --plot $tmp/picture.png
		a picture | 2 | python3-matplotlib | report $KNOWN --plot $tmp/picture.png
	TABLE
	[ ! -e "$tmp/picture.png" ] || failures+=$'\n'"a picture: drawn all the same"
	no_failures
}

@test "bounded: 300 000 repetitions in far less memory than the file would take as objects" {
	/usr/bin/python3 - "$tmp/big.json" <<-'EOF'
	import sys
	run = '{"run_name": "program_run/pipe", "run_type": "iteration", "ticks": %d}'
	with open(sys.argv[1], "w") as f:
	    f.write('{"context": {"cold_helper": "/x"}, "benchmarks": [')
	    f.write(",".join(run % (i % 1000) for i in range(300000)))
	    f.write("]}")
	EOF
	run -0 /usr/bin/python3 -c '
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024)' "$ANALYZE" report "$tmp/big.json"
	((output < 200)) || { echo "max RSS $output MB" >&2; false; }
	run -0 "$ANALYZE" report --format=csv --table rows "$tmp/big.json"
	[[ $output == *",program_run/pipe,300000,499.5,899.0,989.0"* ]]
}

@test "what it cannot use: status 2, one line naming the reason, nothing on standard error else" {
	local d=$tmp
	echo 'not json' >"$d/text.json"
	echo '{"benchmarks": []}' >"$d/other.json"
	make_results "$d/one.json" "program_run/pipe=5" '{}'
	local bad
	for bad in NaN Infinity -Infinity true '"5"' -1 null "1$(printf '0%.0s' {1..400})"; do
		sed "s/\"ticks\": 4$/\"ticks\": $bad/" "$KNOWN" >"$d/value-${#bad}-${bad:0:3}.json"
	done
	sed '0,/"run_name": "[^"]*",/s///' "$KNOWN" >"$d/noname.json"
	jq 'del(.benchmarks[] | select(.run_type == "iteration"))' "$KNOWN" >"$d/aggregates.json"
	# Deeper than any Python reads: 3.11 stops at 1000, 3.13 at about 10 000.
	printf '{"context": %s1%s}' "$(printf '[%.0s' {1..100000})" \
		"$(printf ']%.0s' {1..100000})" >"$d/deep.json"
	truncate -s 2G "$d/huge.json"
	mkfifo "$d/fifo.json"
	mkdir "$d/dir.json"
	# The context entries rows and levers, malformed or naming what is not
	# there: file | jq filter on the known file.
	local file filter
	while IFS='|' read -r file filter; do
		jq "$filter" "$KNOWN" >"$d/$file.json"
	done <<-'EOF'
		rows-spaces|.context.rows |= sub(" "; "  ")
		rows-list|.context.rows = ["program_run/pipe"]
		rows-twice|.context.rows += " program_run/pipe"
		rows-empty|.context.rows = ""
		rows-absent|.context.rows += " program_run/gone"
		levers-two|.context.levers = "program_run/pinned:program_run/pipe"
		levers-empty-part|.context.levers = "program_run/pinned::ticks"
		levers-absent|.context.levers += " program_run/pinned:program_run/gone:ticks"
		levers-counter|.context.levers = "program_run/pinned:program_run/pipe:creator"
	EOF
	local aggregates="aggregates only: the console's JSON (--benchmark_format=json), "
	aggregates+="not the file of --benchmark_out"
	local -a cases=(
		"$d/text.json|not a JSON file"
		"$d/other.json|not the JSON output of thread-start-bench"
		"$d/one.json|program_run/pipe has 1 repetition; statistics need at least 2"
		"$d/noname.json|an entry of benchmarks has no run_name or run_type"
		"$d/aggregates.json|$aggregates"
		"$d/deep.json|nested too deeply"
		"$d/huge.json|larger than 1024 MiB"
		"$d/fifo.json|not a regular file"
		"$d/dir.json|not a regular file"
		"/dev/zero|not a regular file"
		"$d/missing.json|No such file or directory"
		"$d/rows-spaces.json|the context entry rows \"program_run/pipe  program_run/pipe_one"
		"$d/rows-list.json|the context entry rows [\"program_run/pipe\"] is not a list"
		"$d/rows-twice.json|does not name each row once"
		"$d/rows-empty.json|the context entry rows \"\" does not name each row once"
		"$d/rows-absent.json|the context entry rows names program_run/gone, of which"
		"$d/levers-two.json|\"program_run/pinned:program_run/pipe\", not ROW:BASE:COUNTER"
		"$d/levers-empty-part.json|\"program_run/pinned::ticks\", not ROW:BASE:COUNTER"
		"$d/levers-absent.json|the context entry levers names program_run/gone, of which"
		"$d/levers-counter.json|compares creator of program_run/pinned, which has no such"
		"$KNOWN --plot $d/d.gif|must end in .png or .svg"
		"$KNOWN --plot .png|must end in .png or .svg"
		"$KNOWN --plot=|must end in .png or .svg"
		"$KNOWN --format=html|argument --format: invalid choice"
		"|the following arguments are required"
		"$KNOWN --group A|name the side's files"
	)
	for bad in "$d"/value-*.json; do
		cases+=("$bad|a repetition of program_run/pipe has ticks")
	done
	local case args reason failures=
	for case in "${cases[@]}"; do
		args=${case%%|*} reason=${case#*|}
		# shellcheck disable=SC2086
		run --separate-stderr timeout 20 "$ANALYZE" --plot="$d/never.png" $args
		if [[ $status -ne 2 || -n $output || -e $d/never.png ]]; then
			failures+=$'\n'"$case: status $status, output $output"
		elif [[ ${#stderr_lines[@]} -ne 1 || $stderr != "thread-start-analyze: "*"$reason"* ]]
		then
			failures+=$'\n'"$case: $stderr"
		fi
		rm -f "$d/never.png"
	done
	no_failures

	# Without Debian's Python packages on its path, it names the package.
	run -2 --separate-stderr /usr/bin/python3 -S "$ANALYZE" "$KNOWN"
	[[ $stderr == "thread-start-analyze: needs the Python module numpy"*"python3-numpy"* ]]
}

@test "lost output is status 1; a base of 0 gives no infinite change and no warning" {
	run -1 --separate-stderr bash -c 'exec "$0" "$1" >/dev/full' "$ANALYZE" "$KNOWN"
	[ "$stderr" = "thread-start-analyze: standard output: No space left on device" ]

	make_results "$tmp/zero.json" "program_run/pipe=0,0,0;program_run/pinned=1,1,1" '{}'
	tables levers report "$tmp/zero.json"
	grep -q '^levers,program_run/pinned,program_run/pipe,ticks,1.0,,' <<<"$output"
	[[ -z $(grep -v '^note: ' <<<"$stderr") ]]
	run -0 --separate-stderr "$ANALYZE" report "$tmp/zero.json"
	grep -Eq '^program_run/pinned +program_run/pipe +ticks +1.0 +n/a \(base 0\) ' <<<"$output"
	[ -z "$stderr" ]
}

@test "a short real bench run reads; Google Benchmark's compare.py takes the same files" {
	local i
	for i in 1 2; do
		"$THREAD_START_BENCH" --benchmark_repetitions=3 --label="run $i" \
			--benchmark_filter='^(program_run/pipe|cold|warm)' \
			--benchmark_out="$tmp/run$i.json" >/dev/null 2>&1
	done
	run -0 --separate-stderr "$ANALYZE" report "$tmp/run1.json"
	grep -Eq "^kernel +$(uname -r)$" <<<"$output"
	# Three repetitions: a value, too few for an interval.
	grep -Eq '^first line +program_run/pipe - cold_thread_start +-?[0-9]+\.[0-9]  too few' \
		<<<"$output"
	[ -z "$stderr" ]
	run -0 "$ANALYZE" "$tmp/run1.json" "$tmp/run2.json"
	grep -Eq "^\[2\] +run 2 +$tmp/run2.json\$" <<<"$output"

	local compare=/usr/share/benchmark/compare.py
	[[ -f $compare ]] || missing_package "compare.py (libbenchmark-tools) is not installed"
	run -0 /usr/bin/python3 "$compare" --no-color -a benchmarks "$tmp/run1.json" "$tmp/run2.json"
	[[ $output == *"program_run/pipe/"*"_pvalue "*"U Test, Repetitions: 3 vs 3"* ]]
}

@test "one file: the analysis's answer has the bench's own medians, intervals and verdicts" {
	# Two levers on real repetitions, 10 of each row: ranks 1 and 10 for
	# each median of the two levers together, 2 and 9 for one alone.
	run -0 --separate-stderr "$THREAD_START_BENCH" --benchmark_repetitions=10 \
		--benchmark_filter='^(program_run/(pipe|pinned|pipe_one_arena)|cold_thread_start|warm_create_join)/' \
		--benchmark_out="$tmp/one.json"
	local bench
	bench=$output
	run -0 --separate-stderr "$ANALYZE" report --table answer "$tmp/one.json"
	# Each line's median, interval and verdict, in order: the bench's
	# figures and levers, then the analysis's.
	local pick='s/.*  (-?[0-9]+\.[0-9]|-)  +(\[[^]]*\]|too few repetitions|not measured)(  .*(differs|no change shown))?.*/\1 \2 \4/p'
	[[ $(sed -nE "$pick" <<<"$bench") == "$(sed -nE "$pick" <<<"$output")" ]] ||
		{ diff <(sed -nE "$pick" <<<"$bench") <(sed -nE "$pick" <<<"$output") >&2; false; }
	[[ $(sed -nE "$pick" <<<"$bench" | grep -c "\[") == 8 ]]
}
