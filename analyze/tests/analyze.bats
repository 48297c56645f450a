#!/usr/bin/env bats
# thread-start-analyze (analyze.py): its numbers on small files whose
# answers are known, its verdicts, and every input it must refuse.

bats_require_minimum_version 1.5.0
load ../../tests/needs

setup() {
	ANALYZE=${ANALYZE:?set ANALYZE to analyze.py}
	/usr/bin/python3 -c 'import scipy, matplotlib' 2>/dev/null ||
		missing_package "python3-scipy and python3-matplotlib are not installed"
	KNOWN=$TESTDATA/known.json
	tmp=$BATS_TEST_TMPDIR
}

# Writes file $1: rows named in $2 ("row=v,v,v;row=v,v"), context entries
# from the JSON object $3.
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
# median given: make_runs PREFIX LABEL MEDIAN...
make_runs() {
	local prefix=$1 label=$2 i=0 m
	shift 2
	for m in "$@"; do
		i=$((i + 1))
		make_results "$tmp/$prefix$i.json" "program_run/pipe=$((m - 3)),$m,$((m + 5))" \
			"{\"label\": \"$label\", \"host_name\": \"$label\"}"
	done
}

@test "one file: medians, nearest-rank percentiles, gaps, parts and their shares, levers, exactly" {
	run -0 --separate-stderr "$ANALYZE" --format=csv "$KNOWN"
	[ -z "$stderr" ]
	local line
	while read -r line; do
		[[ -n $line ]] || continue
		grep -Fxq -- "$line" <<<"$output" || { echo "missing: $line" >&2; false; }
	done <<-'EOF'
	rows,program_run/pipe,10,5.5,9.0,10.0
	rows,program_run/pipe_one_arena,5,3.0,4.0,4.0
	rows,program_run/tty,3,0.0,0.0,0.0
	rows,cold_thread_start,11,4.0,6.0,9.0
	rows,warm_create_join,2,2.0,2.5,2.5
	rows,program_parts/default,3,20.0,30.0,30.0
	rows,program_parts/own_stack,3,15.0,25.0,25.0
	EOF
	local -a expected=(
		# table | first cells | the number that must follow
		"gaps|first line,program_run/pipe - cold_thread_start|1.5"
		"gaps|heap arena,program_run/pipe - program_run/pipe_one_arena|2.5"
		"gaps|terminal write,program_run/tty - program_run/pipe|-5.5"
		"gaps|cold over warm,cold_thread_start - warm_create_join|2.0"
		"parts|creator|8.0,40%"
		"parts|new_thread|2.0,10%"
		"parts|first_line|4.0,20%"
		"parts|rest|4.0,20%"
		"parts|instrumentation: ticks - program_run/pipe|14.5,+263.6%"
		"levers|program_run/pipe_one_arena,program_run/pipe,ticks|-2.5,-45.5%"
		"levers|program_run/pinned,program_run/pipe,ticks|-5.5,-100.0%"
		"levers|program_parts/own_stack,program_parts/default,ticks|-5.0,-25.0%"
		"levers|program_parts/own_stack,program_parts/default,creator|-5.0,-62.5%"
	)
	local case table cells number
	for case in "${expected[@]}"; do
		IFS='|' read -r table cells number <<<"$case"
		grep -q -- "^$table,$cells,$number," <<<"$output" ||
			{ echo "missing: $case" >&2; false; }
	done
}

@test "bootstrap intervals: the true gap inside, no wider than they must be, as scipy's own bootstrap gives" {
	run -0 /usr/bin/python3 - "$ANALYZE" <<-'EOF'
	import importlib.machinery, importlib.util, sys
	import numpy as np, scipy.stats
	loader = importlib.machinery.SourceFileLoader("analyze", sys.argv[1])
	analyze = sys.modules["analyze"] = importlib.util.module_from_spec(
	    importlib.util.spec_from_loader("analyze", loader))
	loader.exec_module(analyze)
	st = analyze.Stats()
	rng = np.random.default_rng(1)
	# Normal samples 100 apart: the median difference's standard error is
	# 1.2533 * 20 * sqrt(2 / 400) = 1.77, so the 95 % interval is about 7
	# wide.
	a, b = rng.normal(300, 20, 400), rng.normal(200, 20, 400)
	gap, low, high = st.median_gap(a, b, 0)
	assert low < 100 < high and 4 < high - low < 10, (gap, low, high)
	assert abs(gap - (np.median(a) - np.median(b))) < 1e-9
	# Against scipy's resampling of every value, odd and even sizes.
	for n, m in ((101, 60), (100, 61)):
	    x, y = rng.exponential(50, n), rng.exponential(30, m)
	    gap, low, high = st.median_gap(x, y, 0)
	    ref = scipy.stats.bootstrap((x, y), lambda p, q, axis: np.median(p, axis=axis) - np.median(q, axis=axis),
	                                vectorized=True, method="percentile", n_resamples=20000,
	                                random_state=np.random.default_rng(2)).confidence_interval
	    width = ref.high - ref.low
	    assert abs(low - ref.low) < 0.1 * width and abs(high - ref.high) < 0.1 * width, (n, low, high, ref)
	# The interval of one median.
	med, low, high = st.median_interval(np.arange(1, 102), 0)
	assert med == 51 and 41 <= low < 51 < high <= 61, (low, high)
	EOF
}

@test "levers pair their rows' repetitions: a shift of 10 under a drift of hundreds is pinned down" {
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
	run -0 "$ANALYZE" --format=csv "$tmp/drift.json"
	local line low high
	line=$(grep '^levers,program_run/pinned,program_run/pipe,ticks,' <<<"$output")
	read -r low high < <(sed -E 's/.*"\[(-?[0-9.]+), (-?[0-9.]+)\]"$/\1 \2/' <<<"$line")
	# Unpaired, the interval would span well over a hundred ticks.
	awk -v l="$low" -v h="$high" 'BEGIN { exit !(l < 10 && 10 < h && h - l < 10) }' ||
		{ echo "$line" >&2; false; }
}

@test "sides of several runs: a verdict only where the runs say so, none with too few runs" {
	make_runs a before 100 102 98 101
	make_runs b after 120 119 121 122
	make_runs c same 99 103 100 97
	# Labels make the sides; the interval from 4 runs against 4 spans the
	# least to the greatest difference of run medians.
	run -0 --separate-stderr "$ANALYZE" --format=csv "$tmp"/a?.json "$tmp"/b?.json
	[[ $output == *",program_run/pipe,100.5,120.5,+19.9%,\"[17.0, 24.0]\",differs"* ]]
	[[ $output != *"no verdict"* ]]
	[ -z "$stderr" ]

	run -0 "$ANALYZE" --format=csv --group A "$tmp"/a?.json --group C "$tmp"/c?.json
	[[ $output == *",program_run/pipe,100.5,99.5,-1.0%,\"[-5.0, 5.0]\",no change shown"* ]]

	# Three runs a side, or one: the difference, but no interval, no verdict.
	run -0 "$ANALYZE" --format=csv --group A "$tmp"/a[123].json --group B "$tmp"/b[123].json
	[[ $output == *",program_run/pipe,100.0,120.0,+20.0%,-,-"* ]]
	[[ $output == *"no verdict: a side has 3 runs; a verdict needs at least 4 runs a side"* ]]
	run -0 "$ANALYZE" "$tmp/a1.json" "$tmp/b1.json"
	[[ $output == *"no verdict: a side has 1 run;"* ]]
	[[ $output != *differs* && $output != *"no change shown"* ]]
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
	grep -q '^fleet[^,]*,host-e,3,150.0 +- [0-9.]*,outlier: program_run/pipe$' <<<"$output"
	[ "$(grep -c outlier <<<"$output")" -eq 1 ]
	# The spread: the runs' scaled median absolute deviation (1.4826 * 10),
	# but at least what a run's three repetitions give its median.
	grep -q '^fleet,host-d,3,100.0 +- 14.8,$' <<<"$output"
	grep -q '^fleet,host-a,3,100.0 +- 2.0,$' <<<"$output"
}

@test "files told apart: by label or file name, with the context entries that differ" {
	make_results "$tmp/plain.json" "program_run/pipe=1,2,3" '{"tunables": "none", "kernel": "6.1"}'
	make_results "$tmp/arena.json" "program_run/pipe=1,2,3" \
		'{"tunables": "MALLOC_ARENA_MAX=1", "kernel": "6.1", "label": "one arena"}'
	run -0 "$ANALYZE" "$tmp/plain.json" "$tmp/arena.json"
	run -0 "$ANALYZE" --format=csv "$tmp/plain.json" "$tmp/arena.json"
	[[ $output == *$'\nfiles,[1],plain.json,'"$tmp/plain.json"$'\nfiles,[2],one arena,'"$tmp/arena.json"$'\n'* ]]
	[[ $output == *$'\ncontext,tunables,none,MALLOC_ARENA_MAX=1\n'* ]]
	[[ $output != *"context,kernel"* ]]

	# Two runs of one label are told apart by their file names.
	cp "$tmp/arena.json" "$tmp/arena2.json"
	run -0 "$ANALYZE" --format=csv "$tmp/arena.json" "$tmp/arena2.json" "$tmp/plain.json"
	[[ $output == *$'\nfiles,[1],one arena (arena.json),'*$'\nfiles,[2],one arena (arena2.json),'* ]]

	# A run under emulation is said to be one, alone or among others.
	make_results "$tmp/emulated.json" "program_run/pipe=1,2,3" \
		'{"virtualization": "emulated on x86_64", "label": "qemu"}'
	local note='note,[2] was measured emulated on x86_64: its numbers mean nothing (the emulator translates every instruction)'
	run -0 "$ANALYZE" --format=csv "$tmp/plain.json" "$tmp/emulated.json"
	[[ $output == *$'\n'"$note"$'\n'* ]]
	run -0 "$ANALYZE" --format=csv "$tmp/emulated.json"
	[[ $output == *$'\n'"${note/\[2\]/[1]}"$'\n'* ]]
	run -0 "$ANALYZE" --format=csv "$tmp/plain.json" "$tmp/arena.json"
	[[ $output != *"emulat"* ]]

	run -0 "$ANALYZE" --format=markdown "$KNOWN"
	[[ $output == *$'\n| row | runs | median | p90 | p99 |\n| --- | ---: | ---: | ---: | ---: |\n| program_run/pipe | 10 | 5.5 | 9.0 | 10.0 |'* ]]
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

@test "each call imports only what it needs: a summary with numpy alone; the rest name their package" {
	# scipy and matplotlib made unimportable, as where only numpy is installed.
	local hidden=$tmp/hidden module
	for module in scipy matplotlib; do
		mkdir -p "$hidden/$module"
		echo 'raise ImportError("hidden by the test")' >"$hidden/$module/__init__.py"
	done
	"$ANALYZE" "$KNOWN" >"$tmp/summary"
	local failed=0 case want package args
	# case | status | package named | arguments
	while IFS='|' read -r case want package args; do
		# shellcheck disable=SC2086 # one word an argument
		package=${package// /}
		run --separate-stderr env PYTHONPATH="$hidden" "$ANALYZE" $args
		if [[ $want -eq 0 ]]; then
			[[ $output == "$(cat "$tmp/summary")" && -z $stderr && $status -eq 0 ]] ||
				{ echo "$case: not the same summary" >&2; failed=1; }
		elif [[ $status -ne 2 || -n $output || $stderr != *"Debian package $package"* ||
			$(wc -l <<<"$stderr") -ne 1 ]]; then
			echo "$case: status $status, stderr: $stderr" >&2
			failed=1
		fi
	done <<-TABLE
		one-file summary | 0 | | $KNOWN
		two sides | 2 | python3-scipy | $KNOWN $KNOWN
		a fleet | 2 | python3-scipy | --fleet $KNOWN
		a picture | 2 | python3-matplotlib | $KNOWN --plot $tmp/picture.png
	TABLE
	[ "$failed" -eq 0 ]
	[ ! -e "$tmp/picture.png" ]
}

@test "bounded: 300 000 repetitions in far less memory than the file would take as objects" {
	/usr/bin/python3 - "$tmp/big.json" <<-'EOF'
	import sys
	with open(sys.argv[1], "w") as f:
	    f.write('{"context": {"cold_helper": "/x"}, "benchmarks": [')
	    f.write(",".join('{"run_name": "program_run/pipe", "run_type": "iteration", "ticks": %d}' % (i % 1000)
	                     for i in range(300000)))
	    f.write("]}")
	EOF
	run -0 /usr/bin/python3 -c '
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024)' "$ANALYZE" "$tmp/big.json"
	((output < 200)) || { echo "max RSS $output MB" >&2; false; }
	run -0 "$ANALYZE" --format=csv "$tmp/big.json"
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
	printf '{"context": %s1%s}' "$(printf '[%.0s' {1..100000})" "$(printf ']%.0s' {1..100000})" >"$d/deep.json"
	truncate -s 2G "$d/huge.json"
	mkfifo "$d/fifo.json"
	mkdir "$d/dir.json"
	local -a cases=(
		"$d/text.json|not a JSON file"
		"$d/other.json|not the JSON output of thread-start-bench"
		"$d/one.json|program_run/pipe has 1 repetition; statistics need at least 2"
		"$d/noname.json|an entry of benchmarks has no run_name or run_type"
		"$d/aggregates.json|aggregates only: the console's JSON (--benchmark_format=json), not the file of --benchmark_out"
		"$d/deep.json|nested too deeply"
		"$d/huge.json|larger than 1024 MiB"
		"$d/fifo.json|not a regular file"
		"$d/dir.json|not a regular file"
		"/dev/zero|not a regular file"
		"$d/missing.json|No such file or directory"
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
	local case args reason
	for case in "${cases[@]}"; do
		args=${case%%|*} reason=${case#*|}
		# shellcheck disable=SC2086
		run -2 --separate-stderr timeout 20 "$ANALYZE" --plot="$d/never.png" $args
		[ -z "$output" ] && [ ! -e "$d/never.png" ] || { echo "$case: wrote $output" >&2; false; }
		[ "${#stderr_lines[@]}" -eq 1 ] || { echo "$case: $stderr" >&2; false; }
		[[ $stderr == "thread-start-analyze: "*"$reason"* ]] || { echo "$case: $stderr" >&2; false; }
	done

	# Without Debian's Python packages on its path, it names the package.
	run -2 --separate-stderr /usr/bin/python3 -S "$ANALYZE" "$KNOWN"
	[[ $stderr == "thread-start-analyze: needs the Python module numpy"*"python3-numpy"* ]]
}

@test "lost output is status 1; a base of 0 gives no infinite change and no warning" {
	run -1 --separate-stderr bash -c 'exec "$0" "$1" >/dev/full' "$ANALYZE" "$KNOWN"
	[ "$stderr" = "thread-start-analyze: standard output: No space left on device" ]

	make_results "$tmp/zero.json" "program_run/pipe=0,0,0;program_run/pinned=1,1,1" '{}'
	run -0 --separate-stderr "$ANALYZE" --format=csv "$tmp/zero.json"
	[[ $output == *"program_run/pinned,program_run/pipe,ticks,1.0,n/a (base 0),"* ]]
	[ -z "$stderr" ]
}

@test "a short real bench run reads; Google Benchmark's compare.py takes the same files" {
	local i
	for i in 1 2; do
		"$THREAD_START_BENCH" --benchmark_repetitions=3 --label="run $i" \
			--benchmark_filter='^(program_run/pipe|cold|warm)' \
			--benchmark_out="$tmp/run$i.json" >/dev/null 2>&1
	done
	run -0 --separate-stderr "$ANALYZE" "$tmp/run1.json"
	grep -Eq "^kernel +$(uname -r)$" <<<"$output"
	grep -Eq '^first line +program_run/pipe - cold_thread_start +-?[0-9]+\.[0-9]  \[' <<<"$output"
	[ -z "$stderr" ]
	run -0 "$ANALYZE" "$tmp/run1.json" "$tmp/run2.json"
	grep -Eq "^\[2\] +run 2 +$tmp/run2.json\$" <<<"$output"

	local compare=/usr/share/benchmark/compare.py
	[[ -f $compare ]] || missing_package "compare.py (libbenchmark-tools) is not installed"
	run -0 /usr/bin/python3 "$compare" --no-color -a benchmarks "$tmp/run1.json" "$tmp/run2.json"
	[[ $output == *"program_run/pipe/"*"_pvalue "*"U Test, Repetitions: 3 vs 3"* ]]
}
