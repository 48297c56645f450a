#!/usr/bin/env bats
# thread-start-bench: what it reports, computed from stand-ins whose
# reports are known, and every run it must refuse. Timings are never judged.

bats_require_minimum_version 1.5.0
load ../../tests/needs
load ../../tests/emulation
load ../../tests/cases

setup() {
	BENCH=${THREAD_START_BENCH:?set THREAD_START_BENCH to the benchmark}
	FAKE=${FAKE_PROGRAM:?set FAKE_PROGRAM to the stand-in program}
	command -v jq >/dev/null || missing_package "jq is not installed"
	json=$BATS_TEST_TMPDIR/bench.json
	good_report='Entered the loopp\nThe time of the childthread is 5\n'
	# The stand-in as the helpers, by their names.
	COLD=$BATS_TEST_TMPDIR/cold-thread-start PARTS=$BATS_TEST_TMPDIR/thread-start-parts
	ln -s "$FAKE" "$COLD"
	ln -s "$FAKE" "$PARTS"
}

# The statistic $2 (min, median, p90, p99, max) of counter $3 of row $1 in
# $json, as jq prints a double: jq 1.7 would print the file's own digits.
aggregate() {
	jq -r --arg r "$1/" --arg s "$2" --arg c "$3" '.benchmarks[]
		| select((.run_name | startswith($r)) and .aggregate_name == $s)
		| .[$c] + 0' "$json"
}

@test "a short real run: every row, counter and context entry; parts that add up" {
	run -0 --separate-stderr "$BENCH" --benchmark_repetitions=3 --label='my run' \
		--variant=arena2:MALLOC_ARENA_MAX=2 --benchmark_out="$json" --table
	# A real run is too costly to make for each row and entry: this one is
	# checked for all of them, and each that is wrong is named.
	local name
	for name in program_run/pipe program_run/pipe_one_arena program_run/pinned \
		program_run/arena2 program_run/tty program_parts/default \
		program_parts/own_stack program_parts/small_stack cold_thread_start \
		warm_create_join; do
		[[ $output == *"$name/"*median* ]] || case_failed "$name" "no median on the console"
		jq -e --arg n "$name/" '[.benchmarks[] | select(.run_name | startswith($n))
			| select(.run_type == "iteration") | .ticks | type == "number" and . >= 0]
			| length == 3 and all' "$json" >/dev/null ||
			case_failed "$name" "not 3 repetitions with ticks of 0 or more"
	done
	# Single repetitions are not shown on the console.
	[[ $output != *"manual_time "* ]] || case_failed console "shows single repetitions"
	# The answer after the table; warm_create_join's ticks in it, per thread.
	grep -Eq '^warm thread start +[0-9]+\.[0-9]  too few repetitions  ticks per thread$' \
		<<<"$output" || case_failed answer "no warm thread start after the table"
	jq -e '.context | .label == "my run" and .variants == "arena2: MALLOC_ARENA_MAX=2"
		and (.parts_helper | endswith("/thread-start-parts"))
		and (.pinned_cpu | test("^[0-9]+$"))' "$json" >/dev/null ||
		case_failed "label, variants, parts_helper, pinned_cpu" "$(jq -c \
			'.context | [.label, .variants, .parts_helper, .pinned_cpu]' "$json")"
	local key
	for key in kernel libc cpu_model affinity virtualization program cold_helper tunables \
		subreaper; do
		jq -e --arg k "$key" '.context[$k] | type == "string" and length > 0' "$json" \
			>/dev/null || case_failed "context $key" "$(jq -c ".context.$key" "$json")"
	done
	# Only an emulator may keep the bench from being a subreaper.
	emulated "$BENCH" ||
		expect_equal "subreaper" "$(jq -r .context.subreaper "$json")" yes
	# The Google Benchmark it was built with, as CMake found it.
	expect_equal "benchmark_version" "$(jq -r .context.benchmark_version "$json")" \
		"${BENCHMARK_VERSION:?}"
	# The real helper's parts add up to its ticks, each repetition.
	jq -e '[.benchmarks[]
		| select(.run_type == "iteration" and (.run_name | startswith("program_parts/")))
		| (.creator + .new_thread + .first_line + .rest - .ticks) | fabs < 0.01]
		| length == 9 and all' "$json" >/dev/null ||
		case_failed "parts" "they do not add up to the ticks in each of 9 repetitions"
	# warm_create_join's ticks are per thread, as its processor time is.
	jq -e '[.benchmarks[]
		| select(.run_type == "iteration" and (.run_name | startswith("warm")))
		| .ticks / .cpu_time | . > 0.5 and . < 2] | length == 3 and all' "$json" \
		>/dev/null ||
		case_failed "warm_create_join" "ticks not per thread, as its processor time is"
	no_case_failed
}

# The sequence of ticks the stand-in reports, in shuffled order, % the min,
# median, p90, p99 and max in the file, % the span in the answer. Nearest
# rank: p90 of 7 values is the 7th (ceil 6.3), of 20 the 18th; p99 of 20 the
# 20th. The answer's interval: ranks l and n + 1 - l, l = qbinom(0.025, n,
# 0.5) in R: 1 for 7 values, 6 for 20; none for 2.
percentile_cases='
40 10 70 20 60 30 50                                % 10 40 70 70 70     % 40.0 [10.0, 70.0]
7 19 2 14 11 20 1 16 5 13 9 18 3 12 17 4 10 15 8 6 % 1 10.5 18 20 20    % 10.5 [6.0, 15.0]
3 3                                                 % 3 3 3 3 3          % 3.0 too few repetitions
'

@test "percentiles in the file and the span's median and interval in the answer" {
	local sequence stats span stat
	while IFS=% read -r sequence stats span; do
		[[ -n $sequence ]] || continue
		tr -s ' ' '\n' <<<"${sequence% }" >"$BATS_TEST_TMPDIR/sequence"
		rm -f "$BATS_TEST_TMPDIR/count"
		FAKE_MODE=sequence FAKE_SEQUENCE=$BATS_TEST_TMPDIR/sequence \
			FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
			run -0 "$BENCH" --program="$FAKE" --benchmark_filter='^program_run/pipe/' \
			--benchmark_repetitions="$(wc -l <"$BATS_TEST_TMPDIR/sequence")" \
			--benchmark_out="$json"
		expect_equal "${sequence:0:9}... min median p90 p99 max" \
			"$(for stat in min median p90 p99 max; do aggregate program_run/pipe "$stat" ticks; done | xargs)" \
			"$(xargs <<<"$stats")"
		expect_equal "${sequence:0:9}... span" \
			"$(grep "^the program's span" <<<"$output" | tr -s ' ' | cut -d' ' -f4-)" \
			"$(xargs <<<"$span") ticks"
	done <<<"$percentile_cases"
	no_case_failed
}

# Runs of the stand-ins, which report 5 ticks (the parts 2 on creator) or
# what FAKE_MODE says, and the answer they give: the flags (VAR=VALUE set
# in the environment) % the lines it has, spaces squeezed, separated by
# '|' % what it does not have, likewise. An interval needs 6 repetitions, a difference or
# a lever alone 7 (qbinom(0.0125, 7, 0.5) = 1 in R), each of 6 levers together
# 9 (qbinom(0.0125 / 6, 9, 0.5) = 1, 0 for 8); one whose base's interval
# reaches 0 has none.
answer_cases=$(cat <<'EOF'
--benchmark_filter=^(program|cold) --benchmark_repetitions=9 % cold thread start 5.0 [5.0, 5.0] ticks|warm thread start - not measured ticks per thread|first line 0.0 [0.0, 0.0] ticks|the program's span 5.0 [5.0, 5.0] ticks|program_run/pipe_one_arena 0.0 [0.0, 0.0] no change shown|program_parts/own_stack on creator 0.0 [0.0, 0.0] no change shown|results not kept: --benchmark_out=FILE keeps every repetition|the rest: thread-start-analyze report FILE %
--benchmark_filter=^(program|cold) --benchmark_repetitions=8 % first line 0.0 [0.0, 0.0] ticks|program_run/pipe_one_arena 0.0 too few repetitions|program_parts/own_stack on creator 0.0 too few repetitions % no change shown
--benchmark_filter=^(program_run/(pipe|pinned)|cold_thread_start)/ --benchmark_repetitions=6 % the program's span 5.0 [5.0, 5.0] ticks|first line 0.0 too few repetitions ticks|program_run/pinned 0.0 too few repetitions|cold thread start 5.0 [5.0, 5.0] ticks % differs|pipe_one_arena
--benchmark_filter=^program_run/pinned/ --benchmark_repetitions=7 % program_run/pinned - not measured|the program's span - not measured ticks|the program's process CPU - not measured µs|the program's wall time - not measured µs % no change shown
FAKE_MODE=env FAKE_TICKS=0 --benchmark_filter=^program_run/pipe --benchmark_repetitions=7 % the program's span 0.0 [0.0, 0.0] ticks|program_run/pipe_one_arena - the base's median is 0 % differs
FAKE_MODE=sequence --benchmark_filter=^program_run/pipe --benchmark_repetitions=7 --benchmark_enable_random_interleaving=false % the program's span 1.0 [0.0, 1.0] ticks|program_run/pipe_one_arena 0.0 no interval: the base's reaches 0 % differs
EOF
)

# Runs the bench with the words given: VAR=VALUE in its environment, the
# others its flags.
bench_with() {
	local word envs=() args=()
	for word; do if [[ $word =~ ^[A-Z_]+= ]]; then envs+=("$word"); else args+=("$word"); fi; done
	env "${envs[@]}" "$BENCH" "${args[@]}"
}

@test "the answer: known figures and levers from the stand-ins, in at most 20 lines" {
	# For FAKE_MODE=sequence: program_run/pipe, then pipe_one_arena.
	printf '%s\n' 0 0 1 1 1 1 1 1 1 1 1 1 1 1 >"$BATS_TEST_TMPDIR/sequence"
	local flags has hasnot line
	local -a words
	while IFS=% read -r flags has hasnot; do
		read -ra words <<<"$flags"
		rm -f "$BATS_TEST_TMPDIR/count"
		run --separate-stderr bench_with FAKE_SEQUENCE="$BATS_TEST_TMPDIR/sequence" \
			FAKE_COUNTER="$BATS_TEST_TMPDIR/count" --program="$FAKE" \
			--cold-helper="$COLD" --parts-helper="$PARTS" "${words[@]}"
		[[ $status -eq 0 ]] || { case_failed "$flags" "status $status: $stderr"; continue; }
		((${#lines[@]} <= 20)) || case_failed "$flags" "${#lines[@]} lines"
		IFS='|' read -ra words <<<"$has"
		for line in "${words[@]}"; do
			line=$(tr -s ' \t' ' ' <<<"$line" | sed 's/^ //; s/ $//')
			tr -s ' ' <<<"$output" | grep -qxF -- "$line" ||
				case_failed "$flags" "no line \"$line\" in: $output"
		done
		IFS='|' read -ra words <<<"$hasnot"
		for line in "${words[@]}"; do
			line=$(xargs <<<"$line")
			[[ $output != *"$line"* ]] || case_failed "$flags" "has \"$line\""
		done
	done <<<"$answer_cases"
	no_case_failed
}

# Where the results are: --benchmark_out's value (@ the test's directory)
# and format % the answer's last lines.
closing_cases=$(cat <<'EOF'
                % results not kept: --benchmark_out=FILE keeps every repetition|the rest: thread-start-analyze report FILE
@/r.json        % every repetition in @/r.json|the rest: thread-start-analyze report @/r.json
@/a_b's.json    % every repetition in '@/a_b'\''s.json'|the rest: thread-start-analyze report '@/a_b'\''s.json'
@/r.txt console % every repetition in @/r.txt, as the library's console table
EOF
)

@test "the console: the answer alone; --table the library's table first, cut to the terminal; json" {
	local -a quick=(--program="$FAKE" --cold-helper="$COLD" --parts-helper="$PARTS"
		--benchmark_repetitions=2)
	# The answer alone, and standard error empty.
	run -0 --separate-stderr "$BENCH" "${quick[@]}"
	expect_equal default "${lines[0]}" \
		"median [95 % interval] of 2 repetitions a row; ticks: clock(3) ticks"
	expect_equal "default's standard error" "$stderr" ""
	# The table before the answer, the context on standard error; no line
	# wider than COLUMNS, the parts rows' ticks kept and the rest cut.
	COLUMNS=150 run -0 --separate-stderr "$BENCH" "${quick[@]}" --table
	[[ $output == *manual_time_median*"median [95 % interval]"* ]] ||
		case_failed --table "no table before the answer"
	[[ $stderr == *"rows: program_run/pipe "* ]] || case_failed --table "no context"
	local longest
	longest=$(grep -v '^warning: ' <<<"$output" | awk '{ print length }' | sort -n | tail -n 1)
	((longest <= 150)) || case_failed --table "a line of $longest bytes"
	grep -q '^program_parts/default/.*_median .* ticks=5 .*\.\.\.$' <<<"$output" ||
		case_failed --table "the parts rows keep no ticks, or nothing was cut"
	# 80 columns without COLUMNS: no counter fits beside these names.
	env -u COLUMNS "$BENCH" "${quick[@]}" --table >"$BATS_TEST_TMPDIR/table" 2>/dev/null
	! grep '_median .*=' "$BATS_TEST_TMPDIR/table" || case_failed "80 columns" "counters shown"
	# The terminal's own width wins over COLUMNS.
	if command -v script >/dev/null; then
		COLUMNS=300 script -qec "stty cols 140; '$BENCH' --program='$FAKE' --parts-helper='$PARTS' \
			--benchmark_filter=^program_parts/default/ --benchmark_repetitions=2 --table \
			2>/dev/null" "$BATS_TEST_TMPDIR/typescript" >/dev/null
		longest=$(tr -d '\r' <"$BATS_TEST_TMPDIR/typescript" | grep -v -e '^Script ' -e '^warning: ' |
			sed 's/\x1b\[[0-9;]*m//g' | awk '{ print length }' | sort -n | tail -n 1)
		((longest <= 140)) || case_failed terminal "a line of $longest bytes"
	fi
	# JSON on standard output, the answer on standard error.
	run -0 --separate-stderr "$BENCH" "${quick[@]}" --benchmark_format=json
	jq -e '.benchmarks | length > 0' <<<"$output" >/dev/null || case_failed json "not JSON"
	[[ $stderr == "median [95 % interval]"*"the rest: "* ]] || case_failed json "$stderr"
	local file format has
	while IFS=% read -r file has; do
		read -r file format <<<"$file"
		file=${file//@/$BATS_TEST_TMPDIR} has=${has//@/$BATS_TEST_TMPDIR}
		run -0 "$BENCH" "${quick[@]}" --benchmark_filter=^cold ${file:+"--benchmark_out=$file"} \
			${format:+"--benchmark_out_format=$format"}
		expect_equal "closing ${file:-none}" \
			"$(grep -A1 -e '^results' -e '^every' <<<"$output")" "$(tr '|' '\n' <<<"${has# }")"
	done <<<"$closing_cases"
	# A path no quotes can hold, as a word that names it when pasted.
	run -0 "$BENCH" "${quick[@]}" --benchmark_filter=^cold \
		--benchmark_out="$BATS_TEST_TMPDIR/a"$'\n\\'"\$x'.json"
	word=$(sed -n 's/^the rest: thread-start-analyze report //p' <<<"$output")
	eval "[ -f $word ]" || case_failed "closing, a newline" "$word"
	no_case_failed
}

@test "each lever and variant runs the program as it says: tunable, CPU, variables" {
	local n
	n=$(nproc)
	# 4 levers together: 9 repetitions for an interval each.
	FAKE_MODE=env run -0 "$BENCH" --program="$FAKE" --benchmark_filter='^program_run/' \
		--benchmark_repetitions=9 --benchmark_out="$json" \
		--variant=answer:FAKE_TICKS=42 --variant=odd:FAKE_ECHO=a:b=c \
		--variant=odd:GLIBC_TUNABLES=glibc.malloc.tcache_count=5
	# The row, then the median ticks the stand-in reports there. The rows
	# share one run, which shows that each lever reaches its own row only:
	# every row is checked, and each that is wrong named. Each lever's
	# change in the answer follows: every repetition alike, its interval
	# is the change itself, which differs unless it is 0.
	local row ticks change verdict
	while read -r row ticks; do
		expect_equal "$row" "$(aggregate "$row" median ticks)" "$ticks"
		[[ $row != program_run/@(pipe|tty) ]] || continue
		change=$(awk -v t="$ticks" -v b="$((100 * n))" 'BEGIN { printf "%.1f", (t - b) / b * 100 }')
		verdict=differs
		[[ $change != 0.0 ]] || verdict="no change shown"
		expect_equal "$row in the answer" "$(grep "^$row " <<<"$output" | tr -s ' ')" \
			"$row $change [$change, $change] $verdict"
	done <<-EOF
		program_run/pipe            $((100 * n))
		program_run/pipe_one_arena  $((100 * n + 1))
		program_run/pinned          100
		program_run/tty             $((100 * n))
		program_run/answer          42
		program_run/odd             5
	EOF
	local variants='answer: FAKE_TICKS=42;'
	variants+=' odd: FAKE_ECHO=a:b=c GLIBC_TUNABLES=glibc.malloc.tcache_count=5'
	expect_equal "variants" "$(jq -r .context.variants "$json")" "$variants"
	no_case_failed
}

@test "the environment's tunables reach the rows and the context; parts rows get their arguments" {
	local log=$BATS_TEST_TMPDIR/log
	GLIBC_TUNABLES=glibc.malloc.tcache_count=5 MALLOC_ARENA_MAX=3 FAKE_LOG=$log \
		run -0 "$BENCH" --program="$FAKE" --parts-helper="$PARTS" \
		--benchmark_filter='^program_(run/(pipe|tty)|parts)' --benchmark_repetitions=10 \
		--benchmark_out="$json" --benchmark_enable_random_interleaving=false
	# Ten runs of each row, in blocks when interleaving is off.
	diff - <(uniq -c "$log") <<-EOF
	     10 pipe glibc.malloc.tcache_count=5 
	     10 pipe glibc.malloc.tcache_count=5:glibc.malloc.arena_max=1 
	     10 tty glibc.malloc.tcache_count=5 
	     10 pipe glibc.malloc.tcache_count=5 
	     10 pipe glibc.malloc.tcache_count=5 own-stack
	     10 pipe glibc.malloc.tcache_count=5 small-stack
	EOF
	jq -e '.context.tunables | split(" ") | sort
		== ["GLIBC_TUNABLES=glibc.malloc.tcache_count=5", "MALLOC_ARENA_MAX=3"]' "$json"

	# Interleaved by default: the rows' runs are mixed.
	rm "$log"
	FAKE_LOG=$log run -0 "$BENCH" --program="$FAKE" \
		--benchmark_filter='^program_run/pipe' --benchmark_repetitions=10
	[ "$(wc -l <"$log")" -eq 20 ]
	[ "$(uniq "$log" | wc -l)" -gt 2 ]
}

@test "the parts row reads each counter exactly; process_cpu is the run's user plus system µs" {
	local report='ticks=10 creator=4.250 new_thread=1.000 first_line=6.000 rest=-1.250'
	FAKE_REPORT="Entered the loopp\n$report$counts\n" \
		run -0 "$BENCH" --parts-helper="$FAKE" --benchmark_filter='^program_parts/default' \
		--benchmark_repetitions=2 --benchmark_out="$json" \
		--benchmark_display_aggregates_only=true
	# Every repetition reaches the file, whatever the console shows.
	jq -e '[.benchmarks[] | select(.run_type == "iteration")
		| [.ticks, .creator, .new_thread, .first_line, .rest] == [10, 4.25, 1, 6, -1.25]]
		| length == 2 and all' "$json"

	# The stand-in helper's known counts, in every repetition of each parts
	# row, each under its own name.
	run -0 "$BENCH" --parts-helper="$PARTS" --benchmark_filter='^program_parts/' \
		--benchmark_repetitions=2 --benchmark_out="$json"
	local got
	got=$(jq -c '[.benchmarks[] | select(.run_type == "iteration")
		| [.creator_faults, .creator_major_faults, .creator_switches,
			.creator_involuntary_switches, .new_thread_faults, .new_thread_major_faults,
			.new_thread_switches, .new_thread_involuntary_switches, .first_line_faults,
			.first_line_major_faults, .first_line_switches, .first_line_involuntary_switches]
		| map(. + 0)] | unique' "$json")
	expect_equal "counts" "$got" '[[11,12,13,14,21,22,23,24,31,32,33,34]]'
	expect_equal "repetitions" "$(jq '[.benchmarks[] | select(.run_type == "iteration")]
		| length' "$json")" 6
	no_case_failed
	# Only the parts rows have them.
	run -0 "$BENCH" --program="$FAKE" --benchmark_filter='^program_run/pipe/' \
		--benchmark_repetitions=2 --benchmark_out="$json"
	jq -e '[.benchmarks[] | has("creator_faults")] | any | not' "$json"

	# The stand-in burns user and system time and reports what it used.
	BURN_USER_MS=60 BURN_SYSTEM_MS=40 run -0 "$BENCH" --program="$BURN_CPU" \
		--benchmark_filter='^program_run/pipe/' --benchmark_repetitions=2 \
		--benchmark_out="$json"
	jq -e '[.benchmarks[] | select(.run_type == "iteration")
		| .ticks >= 100000 and .process_cpu >= .ticks and .process_cpu < .ticks + 30000]
		| length == 2 and all' "$json"
}

@test "the table shows the rows in the bench's own order, whatever order they finished in" {
	local expected=$BATS_TEST_TMPDIR/expected i
	printf '%s\n' program_run/pipe program_run/pipe_one_arena program_run/pinned \
		program_run/zz program_run/tty program_parts/default program_parts/own_stack \
		program_parts/small_stack cold_thread_start >"$expected"
	# Three tries, as the order the rows finish in is random.
	for i in 1 2 3; do
		run -0 --separate-stderr "$BENCH" --program="$FAKE" --cold-helper="$COLD" \
			--parts-helper="$PARTS" --benchmark_filter='^(program|cold)' \
			--benchmark_repetitions=4 --variant=zz:A=1 --table
		grep -o '^[a-z_/]*/iterations:1/repeats:4/manual_time_median' <<<"$output" |
			sed 's|/iterations.*||' | diff "$expected" - ||
			{ echo "try $i: rows out of order" >&2; false; }
	done
}

@test "progress on a terminal only: runs done of planned, then cleared" {
	command -v script >/dev/null || missing_package "script(1) (bsdutils) is not installed"
	local log=$BATS_TEST_TMPDIR/typescript
	script -qec "'$BENCH' --program='$FAKE' --benchmark_filter=^program_run/pipe/ \
		--benchmark_repetitions=3 >/dev/null" "$log" >/dev/null
	grep -q 'thread-start-bench: 3 of 3 runs, [0-9]* s, about 0 s left' "$log"
	grep -q $'\r\e\[K' "$log"

	run -0 --separate-stderr "$BENCH" --program="$FAKE" --benchmark_filter=^program_run/pipe/ \
		--benchmark_repetitions=3
	[[ $stderr != *"of 3 runs"* && $stderr != *$'\r'* ]]
}

@test "the measured program gets /dev/null, its output, its error and no other descriptor" {
	FAKE_MODE=fds run -0 --separate-stderr "$BENCH" --program="$FAKE" \
		--benchmark_filter='^program_run/pipe/' --benchmark_repetitions=2 \
		--benchmark_out="$json"
	grep -q "^the program's span  *5.0  too few" <<<"$output"
}

# The flag that names the program row $1 runs.
program_flag() {
	case $1 in
	cold_thread_start) echo --cold-helper ;;
	program_parts/*) echo --parts-helper ;;
	*) echo --program ;;
	esac
}

# Whether a run of row $1 that goes wrong as FAKE_MODE $2 says (bytes:N
# for N bytes), printing $3 (printf %b escapes; if empty, a good report),
# stopped the bench at once: status 1, the reason $4 on the last line of
# standard error, no statistics and no results file. What the run left
# behind, even in a session of its own, was killed with it. If not, $said
# says what happened. $program, if set, is run instead of the stand-in.
stopped() {
	local row=$1 mode=$2 report=${3:-$good_report} reason=$4 path=${program:-$FAKE}
	rm -f "$json" "$BATS_TEST_TMPDIR/count"
	FAKE_MODE=${mode%:*} FAKE_BYTES=${mode#*:} FAKE_REPORT=$report \
		FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
		run --separate-stderr timeout 30 "$BENCH" "$(program_flag "$row")=$path" \
		--timeout=1 --benchmark_filter="^$row/" \
		--benchmark_repetitions=4 --benchmark_out="$json"
	said="status $status, last line: ${stderr_lines[-1]-}"
	((status == 1)) && [[ ${stderr_lines[-1]-} == "thread-start-bench: $row: $path: $reason" &&
		$output != *median* && ! -e $json ]] || return 1
	if [[ $mode == orphan || $mode == escape ]]; then
		local left
		left=$(cat "$BATS_TEST_TMPDIR/count")
		said="left process $left running"
		[[ ! -e /proc/$left || $(cut -d' ' -f3 "/proc/$left/stat") == Z ]] || return 1
	fi
}

# The same, failing the test with what happened.
stops() {
	stopped "$@" || { echo "$said" >&2; false; }
}

# The report $1 (printf %b escapes of newlines and returns) as the bench
# shows it: its first 120 bytes with C escapes, then "..." if it is longer.
shown() {
	local raw cut
	raw=$(printf '%b.' "$1")
	raw=${raw%.}
	cut=${raw:0:120}
	cut=${cut//$'\r'/\\r}
	cut=${cut//$'\n'/\\n}
	printf '"%s"' "$cut"
	((${#raw} <= 120)) || printf '...'
}

# The reports of the cases below: $counted the program's up to its count,
# $entered the first line of the parts helper's, and $parts its second up
# to its rest, then $counts, the counts that follow, each told apart.
counted='Entered the loopp\nThe time of the childthread is '
entered='Entered the loopp\n'
parts='ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest='
counts=' creator_faults=11 creator_major_faults=12 creator_switches=13'
counts+=' creator_involuntary_switches=14 new_thread_faults=21 new_thread_major_faults=22'
counts+=' new_thread_switches=23 new_thread_involuntary_switches=24 first_line_faults=31'
counts+=' first_line_major_faults=32 first_line_switches=33 first_line_involuntary_switches=34'

@test "bad runs: each stops the bench at once with its reason" {
	local x120 c row mode reason
	x120=$(printf 'x%.0s' {1..120})
	# Each case: the row, FAKE_MODE, the reason on the last line.
	local -a cases=(
		"program_run/pipe|hang|timed out after 1 s"
		"program_run/tty|flood|wrote more than 4096 bytes"
		"program_run/pipe|fail-third|exited with status 3"
		"program_run/pipe|report-then-fail|exited with status 1"
		"program_run/pipe|signal|killed by signal 15 (SIGTERM)"
		"program_run/pipe|stderr|wrote to standard error: \"oops\\n\""
		"cold_thread_start|bytes:4096|unexpected report: \"$x120\"..."
		"cold_thread_start|bytes:4097|wrote more than 4096 bytes"
	)
	for c in "${cases[@]}"; do
		IFS='|' read -r row mode reason <<<"$c"
		stopped "$row" "$mode" '' "$reason" || case_failed "$row $mode" "$said"
	done
	no_case_failed
}

@test "a program that cannot be started stops the bench with the system's reason" {
	local c program reason
	install -m 644 "$FAKE" "$BATS_TEST_TMPDIR/not-executable"
	for c in "missing|No such file or directory" "not-executable|Permission denied"; do
		IFS='|' read -r program reason <<<"$c"
		program=$BATS_TEST_TMPDIR/$program
		stopped program_run/pipe '' '' "cannot be run: $reason" || case_failed "$program" "$said"
	done
	no_case_failed
}

@test "bad reports: each refused, shown as the bench shows it" {
	local c row report reason
	local swapped='ticks=10 new_thread=1.000 creator=4.250 first_line=3.500 rest=1.250'
	local tty='Entered the loopp\r\nThe time of the childthread is 5\r\nmore\r\n'
	# Each case: the row, the report (printf %b escapes), and the reason
	# where it is not the report itself as the bench shows it.
	local -a cases=(
		"program_run/pipe|${counted}-5\n"
		"program_run/pipe|${counted}-0\n"
		"program_run/pipe|${counted}007\n"
		"program_run/pipe|${counted}9223372036854775808\n"
		"program_run/pipe|${counted}5"
		"program_run/pipe|${counted}55"
		"program_run/pipe|Entered the loop\nThe time of the childthread is 5\n"
		"program_run/pipe|Entered the loopp The time of the childthread is 5\n"
		"program_run/tty|${counted}5\nmore\n|unexpected report: \"$tty\""
		"cold_thread_start|-3\n"
		"cold_thread_start|12 \n"
		"cold_thread_start|12"
		"program_parts/default|$entered${parts}1.000$counts\n"
		"program_parts/default|$entered${parts/=4.250/=-4.250}9.750$counts\n"
		"program_parts/default|$entered${parts/=4.250/=4.25}1.250$counts\n"
		"program_parts/default|$entered$swapped$counts\n"
		"program_parts/own_stack|${parts}1.250$counts\n"
		"program_parts/default|$entered${parts}1.250\n"
		"program_parts/default|$entered${parts}1.250${counts/=22/=-22}\n"
		"program_parts/default|$entered${parts}1.250${counts/=34/=34.0}\n"
		"program_parts/default|$entered${parts}1.250${counts/=11/=9223372036854775808}\n"
		"program_parts/small_stack|$entered${parts}1.250$counts"
	)
	for c in "${cases[@]}"; do
		IFS='|' read -r row report reason <<<"$c"
		stopped "$row" report "$report" "${reason:-unexpected report: $(shown "$report")}" ||
			case_failed "$row $report" "$said"
	done
	no_case_failed
}

# Skips where the bench cannot be a subreaper, as under qemu-user.
skip_unless_subreaper() {
	if emulated "$BENCH"; then
		local context=$BATS_TEST_TMPDIR/context.json
		run -0 "$BENCH" --program="$FAKE" --benchmark_filter='^program_run/pipe/' \
			--benchmark_repetitions=2 --benchmark_out="$context"
		jq -e '.context.subreaper == "yes"' "$context" >/dev/null ||
			skip "emulated: qemu-user does not let the bench become a subreaper," \
				"so processes that leave a run are not found"
	fi
}

# Runs that leave a process behind, in their group or out of it: quick, one
# test each.
@test "left behind: a process in the group of a run on a pipe" {
	skip_unless_subreaper
	stops program_run/pipe orphan '' 'left 1 process behind'
}
@test "left behind: a process in the group of a run on a terminal" {
	skip_unless_subreaper
	stops program_run/tty orphan '' 'left 1 process behind'
}
@test "left behind: a process in a session of its own" {
	skip_unless_subreaper
	stops program_run/pipe escape '' 'left 1 process behind'
}

# Passes if the report $2 of row $1, at the edge of what is good, is taken,
# with $3 ticks in every repetition. As doubles (+ 0), both: jq 1.7 compares
# and prints the digits written, which differ.
taken() {
	FAKE_REPORT=$2 run -0 "$BENCH" "$(program_flag "$1")=$FAKE" --benchmark_filter="^$1/" \
		--benchmark_repetitions=2 --benchmark_out="$json"
	local got expected
	got=$(jq -r '[.benchmarks[] | select(.run_type == "iteration") | .ticks + 0
		| tostring] | unique | join(" ")' "$json")
	expected=$(jq -rn --argjson t "$3" '$t + 0 | tostring')
	[ "$got" = "$expected" ] || { echo "ticks: $got, expected $expected" >&2; false; }
}

# Reports at the edge of what is good: cheap runs, one test each.
@test "taken: the largest count" {
	taken program_run/pipe "${counted}9223372036854775807\n" 9223372036854775807
}
@test "taken: a count of 0"        { taken program_run/pipe "${counted}0\n" 0; }
@test "taken: a cold count of 0"   { taken cold_thread_start '0\n' 0; }
@test "taken: parts of 0 with a rest of -0" {
	local zero='ticks=0 creator=0.000 new_thread=0.000 first_line=0.000 rest=-0.000'
	taken program_parts/default "$entered$zero${counts//=[1-9][0-9]/=0}\n" 0
}

# Passes if the bench refused its command line, or its environment: status
# 2, one line on standard error that holds $1, nothing on standard output,
# and no run.
check_usage_error() {
	if [[ $status -ne 2 || ${#stderr_lines[@]} -ne 1 || $stderr != *"$1"* || -n $output ||
		-e $BATS_TEST_TMPDIR/log ]]; then
		echo "status $status, $(wc -l <<<"$stderr") lines on standard error: $stderr" >&2
		echo "standard output: $output" >&2
		[[ ! -e $BATS_TEST_TMPDIR/log ]] || echo "and the program ran" >&2
		return 1
	fi
}

# Usage errors, found before any run: each line the flags (or a library
# flag's variable, VAR=VALUE, set in the environment), then what the one
# line on standard error says.
usage_cases=$(cat <<'EOF'
--benchmark_repetitions=1                    % 0, not "1"
--benchmark_repetitions=0                    % 0, not "0"
--benchmark_repetitions=-5                   % not "-5"
--benchmark_repetitions=                     % not ""
--benchmark_repetitions=2x                   % not "2x"
--benchmark_repetitions=100001               % from 2 to 100000, not "100001"
--timeout=0                                  % above 0 and at most 86400, not "0"
--timeout=-1                                 % --timeout must be a number
--timeout=abc                                % not "abc"
--precision=0%                               % --precision must be a percentage above 0 and below 100, not "0%"
--precision=100                              % below 100, not "100"
--precision=five                             % not "five"
--max-time=0                                 % --max-time must be a number of seconds above 0
--precision=5% --table                       % not with --precision or --max-time
--benchmark_context=stop_rule=mine           % "stop_rule" is an entry of the bench
--benchmark_context=precision_asked=1        % "precision_asked" is an entry of the bench
--label=                                     % --label must be 1 to 100 printable
--benchmark_out_format=xml                   % must be json or console, not "xml"
--benchmark_format=csv                       % json or console
--table --benchmark_format=json              % --table shows the library's table, --benchmark_format=json its JSON: not both
--variant=noassignment                       % NAME:VAR=VALUE
--variant=Upper:A=1                          % NAME must be 1 to 32
--variant=9lives:A=1                         % starting with a letter
--variant=ok:1A=1                            % VAR a variable's name
--variant=ok:=1                              % VAR a variable's name
--variant=pipe:A=1                           % pipe is a row of
--variant=pinned:A=1                         % pinned is a row of
--benchmark_filter=matches_no_row            % matches_no_row
--no-such-flag                               % --no-such-flag
--version --label=x                          % --version takes no other argument
--benchmark_min_time=1                       % set number of
--benchmark_min_time=10x                     % set number of
--benchmark_min_warmup_time=0                % no row is warmed up
--benchmark_dry_run                          % list_tests=true lists
--benchmark_report_aggregates_only           % keeps every repetition
--benchmark_report_aggregates_only=yes       % keeps every repetition
--benchmark_display_aggregates_only=false    % each row's aggregates only
--benchmark_counters_tabular=true            % not in a table
--benchmark_time_unit=ms                     % microseconds
--benchmark_perf_counters=CYCLES             % performance counters are not read
--benchmark_out_format=csv                   % must be json or console, not "csv"
--benchmark_context=label=spoofed            % "label" is an entry of the bench
--benchmark_context=rack=1,program=/bin/true % "program" is an entry of
--benchmark_context=host_name=elsewhere      % "host_name" is an entry of the library
--benchmark_context=date=yesterday           % "date" is an entry of the library
--benchmark_context=no_value                 % "no_value" is not KEY=VALUE
BENCHMARK_REPETITIONS=1                      % not "1"
BENCHMARK_FORMAT=csv                         % format must be json
BENCHMARK_OUT_FORMAT=csv                     % --benchmark_out_format must
BENCHMARK_FILTER=matches_no_row              % matches_no_row
BENCHMARK_MIN_TIME=1                         % BENCHMARK_MIN_TIME in the environment
BENCHMARK_REPORT_AGGREGATES_ONLY=true        % AGGREGATES_ONLY in the environment
BENCHMARK_TIME_UNIT=ns                       % BENCHMARK_TIME_UNIT in the environment
BENCHMARK_CONTEXT=label=spoofed              % "label" is an entry of the bench
EOF
)

@test "usage errors: status 2, one line that says why, no output and no run" {
	local line said
	local -a words
	while IFS= read -r line; do
		[[ -n $line ]] || continue
		read -ra words <<<"${line%% % *}"
		said=${line#* % }
		rm -f "$BATS_TEST_TMPDIR/log"
		FAKE_LOG=$BATS_TEST_TMPDIR/log run --separate-stderr bench_with --program="$FAKE" "${words[@]}"
		check_usage_error "$said" 2>/dev/null ||
			case_failed "${words[*]}" "status $status: $stderr; output: $output"
	done <<<"$usage_cases"
	no_case_failed
}

@test "--help: the bench's flags and exit statuses; of the library's, only those it takes; --version" {
	run -0 --separate-stderr "$BENCH" --version
	expect_equal --version "$output|$stderr" "thread-start-bench ${PROJECT_VERSION:?}|"
	run -0 --separate-stderr "$BENCH" --help
	# One output, checked for each word: every word wrong is named.
	local word
	for word in --timeout=SECONDS "from 2 to 100000" "intervals from 6 on" "Exit status" --table \
		--benchmark_filter --version --precision=P% --max-time=SECONDS "(default: 20)"; do
		[[ $output == *"$word"* ]] || case_failed "$word" "not shown"
	done
	# Only what the bench accepts.
	local refused
	for refused in csv min_time warmup_time dry_run aggregates_only counters_tabular \
		time_unit perf_counters; do
		[[ $output != *"$refused"* ]] || case_failed "$refused" "shown, though refused"
	done
	no_case_failed
}

# Runs in rounds (--precision): a constant stand-in is precise at the first
# round; one whose ticks never settle runs until the time is up and names
# what fell short. The file records how the run stopped.
@test "in rounds: constant stops after one round, scattered at the budget; the file says why" {
	local rows='^(program_run/pipe|cold_thread_start)/'
	run -0 "$BENCH" --program="$FAKE" --cold-helper="$COLD" --benchmark_filter="$rows" \
		--precision=5% --benchmark_out="$json"
	[[ $output == *"median [95 % interval] of 20 repetitions a row"* ]] ||
		case_failed constant "$output"
	[[ $output == *"precision ±5.0 % reached after 1 round in "*" s: cold thread start ±0.0 %, first line ±0.0 %, the program's span ±0.0 %"* ]] ||
		case_failed constant "$output"
	jq -e '.context | .stop_rule == "precision" and .precision_asked == "5.0"
		and .stopped_by == "precision" and .rounds == "1" and .first_round == "20" and .max_time == "300.0"
		and .precision_reached == "cold thread start=0.0, first line=0.0, the program'"'"'s span=0.0"' \
		"$json" >/dev/null || case_failed "constant: context" "$(jq -c .context "$json")"
	jq -e '[.benchmarks[] | .run_name] | unique | length == 2 and all(test("/repeats:20/"))' \
		"$json" >/dev/null || case_failed "constant: names" "$(jq -c '[.benchmarks[].run_name] | unique' "$json")"

	# Ticks from 1 to 400 in turn: never within 1 %.
	seq 1 400 | shuf --random-source=<(yes) >"$BATS_TEST_TMPDIR/sequence"
	for _ in {1..20}; do cat "$BATS_TEST_TMPDIR/sequence"; done >"$BATS_TEST_TMPDIR/many"
	FAKE_MODE=sequence FAKE_SEQUENCE=$BATS_TEST_TMPDIR/many FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
		run -0 "$BENCH" --program="$FAKE" --benchmark_filter='^program_run/pipe/' \
		--precision=1 --max-time=3 --benchmark_repetitions=8 --benchmark_out="$json"
	[[ $output == *"precision ±1.0 % not reached after "*" (the time was up): the program's span ±"*" %"* ]] ||
		case_failed scattered "$output"
	local count
	count=$(jq '[.benchmarks[]] | length' "$json")
	jq -e --argjson n "$count" '.context.stopped_by == "time" and .context.max_time == "3.0"
		and ((.context.rounds | tonumber) as $r | $n == reduce range(1; $r) as $_ (8; . + ((. + 1) / 2 | floor)))
		and all(.benchmarks[]; .repetitions == $n
			and .run_name == "program_run/pipe/iterations:1/repeats:\($n)/manual_time")
		and ([.benchmarks[].repetition_index] == [range($n)])' "$json" >/dev/null ||
		case_failed "scattered: context" "$count repetitions; $(jq -c .context "$json")"
	no_case_failed
}
