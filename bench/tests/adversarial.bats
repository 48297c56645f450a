#!/usr/bin/env bats
# thread-start-bench against what could break its promises: bytes that are
# no JSON, filters read two ways, processes that have exited, stops and
# signals at awkward moments. Timings are never judged.

bats_require_minimum_version 1.5.0
load ../../tests/needs
load ../../tests/cases
load ../../tests/emulation

setup() {
	BENCH=${THREAD_START_BENCH:?set THREAD_START_BENCH to the benchmark}
	FAKE=${FAKE_PROGRAM:?set FAKE_PROGRAM to the stand-in program}
	command -v jq >/dev/null || missing_package "jq is not installed"
	dir=$BATS_TEST_TMPDIR/out
	mkdir "$dir"
	json=$dir/results.json
	quick=(--program="$FAKE" --benchmark_filter='^program_run/pipe/' --benchmark_repetitions=2)
}

# Passes if $dir holds exactly the names given.
only_in_dir() {
	diff <(printf '%s\n' "$@" | sort) <(ls -A "$dir" | sort)
}

# Runs the bench quickly with the arguments given, writing $json, then
# passes if it ended with status $1 and, for 0, $json is valid JSON whose
# context entry $2 holds the text $3 (a jq string).
writes_json() {
	local want=$1 key=$2 text=$3
	shift 3
	rm -f "$json"
	run --separate-stderr "$@"
	[ "$status" -eq "$want" ] || { echo "status $status: $stderr" >&2; false; }
	((want == 0)) || { [ ! -e "$json" ] && return; }
	jq -e . "$json" >/dev/null
	jq -e --arg k "$key" ".context[\$k] == $text" "$json" >/dev/null ||
		{ jq ".context[\"$key\"]" "$json" >&2; false; }
}

bench_with() { writes_json "$1" "$2" "$3" "$BENCH" "${quick[@]}" --benchmark_out="$json" "${@:4}"; }

# Bytes in the context: user input that is not UTF-8 is refused, the rest
# is escaped as JSON requires; what the machine gives is shown escaped.
@test "bytes: a variant's value with an escape sequence" {
	bench_with 0 variants '"c: A=\u001b[31m"' --variant=$'c:A=\e[31m'
}
@test "bytes: a variant's value not UTF-8" { bench_with 2 '' '' --variant=$'c:A=\xff'; }
@test "bytes: a variant's value in UTF-8"   { bench_with 0 variants '"c: A=é"' --variant=c:A=é; }
@test "bytes: a label not UTF-8"            { bench_with 2 '' '' --label=$'\xff'; }
@test "bytes: a label cut in a character"   { bench_with 2 '' '' --label=$'\xc3'; }
@test "bytes: a label with a surrogate"     { bench_with 2 '' '' --label=$'\xed\xa0\x80'; }
@test "bytes: a label with an overlong /"   { bench_with 2 '' '' --label=$'\xc0\xaf'; }
@test "bytes: a label in UTF-8"             { bench_with 0 label '"né 🧵"' --label='né 🧵'; }
@test "bytes: an entry of the user's with a control character" {
	bench_with 0 note '"a\u0001b\tc"' --benchmark_context=note=$'a\x01b\tc'
}
@test "bytes: an entry of the user's not UTF-8" {
	bench_with 2 '' '' --benchmark_context=note=$'a\xfe'
}
@test "bytes: a program path with an escape and a byte not UTF-8" {
	cp "$FAKE" "$BATS_TEST_TMPDIR/"$'fake\e\xff'
	bench_with 0 program "\"$BATS_TEST_TMPDIR/fake\\u001b\\\\xff\"" \
		--program="$BATS_TEST_TMPDIR/"$'fake\e\xff'
}
@test "bytes: the name the bench was called by" {
	writes_json 0 executable '"b\u0002\\xff"' bash -c 'exec -a "$0" "$@"' $'b\x02\xff' \
		"$BENCH" "${quick[@]}" --benchmark_out="$json"
}
@test "bytes: tunables with a control character and a byte not UTF-8" {
	# Well formed (name=value): the loader of glibc 2.41 warns on standard
	# error about a string without "=", which the bench rightly refuses.
	GLIBC_TUNABLES=$'x=\x1f\xc3' bench_with 0 tunables '"GLIBC_TUNABLES=x=\u001f\\xc3"'
}
@test "bytes: a host name with a control character and a byte not UTF-8" {
	command -v unshare >/dev/null || skip "no unshare"
	unshare -u true 2>/dev/null || skip "cannot make a UTS namespace here"
	writes_json 0 host_name '"h\u0001\\xff"' unshare -u bash -c 'printf %s "$1" >/proc/sys/kernel/hostname &&
		exec "${@:2}"' \
		host $'h\x01\xff' "$BENCH" "${quick[@]}" --benchmark_out="$json"
}

# Every entry the bench or the library writes in the context, which
# --benchmark_context (or BENCHMARK_CONTEXT) must not set.
own_entries='label program cold_helper parts_helper rows levers variants pinned_cpu subreaper run_cgroup
	benchmark_version kernel libc cpu_model cpu_features affinity virtualization tunables
	date host_name executable num_cpus mhz_per_cpu cpu_scaling_enabled caches load_avg
	library_version library_build_type json_schema_version noise load_avg_before load_avg_after
	others_cpu steal cpu_governor cpu_boost smt isolated_cpus nohz_full'

@test "context: each entry of the bench's or the library's own is refused, as flag or variable" {
	local key
	for key in $own_entries; do
		run --separate-stderr "$BENCH" "${quick[@]}" --benchmark_context="mine=1,$key=spoofed"
		[[ $status -eq 2 && $stderr == *"\"$key\" is an entry of the"* ]] ||
			case_failed "--benchmark_context=$key" "status $status: $stderr"
		run --separate-stderr env BENCHMARK_CONTEXT="$key=spoofed" "$BENCH" "${quick[@]}"
		[[ $status -eq 2 ]] || case_failed "BENCHMARK_CONTEXT=$key" "status $status"
	done
	no_case_failed
}

@test "context: no entry a run writes is left out of the refused ones" {
	run -0 "$BENCH" "${quick[@]}" --label=l --variant=v:A=1 --benchmark_out="$json"
	local key
	for key in $(jq -r '.context | keys[]' "$json"); do
		[[ " ${own_entries//[[:space:]]/ } " == *" $key "* ]] ||
			case_failed "$key" "written, but not in the table of entries refused"
	done
	no_case_failed
}

# The rows a filter selects, as the library reads it, by their names: in
# the results' context, in the table (one median each) and as the bench
# lists them, which must agree, with the rows of the library's own listing.
# Each line: the filter, then the rows (short names, "none" for none, then
# the status is 2).
filter_cases='
-all                  % run/pipe run/pipe_one_arena run/pinned run/tty parts/default parts/own_stack cold warm
-pipe                 % run/pinned run/tty parts/default parts/own_stack parts/small_stack cold warm
-.                    % none
.                     % run/pipe run/pipe_one_arena run/pinned run/tty parts/default parts/own_stack parts/small_stack cold warm
^cold                 % cold
stack/                % parts/own_stack parts/small_stack
^parts                % none
-^(program|cold)      % warm
real_time$            % warm
-_time$               % none
(                     % none
x^                    % none
'

@test "filters: the rows in the file, in the table and listed are the library's" {
	ln -s "$FAKE" "$BATS_TEST_TMPDIR/cold-thread-start"
	ln -s "$FAKE" "$BATS_TEST_TMPDIR/thread-start-parts"
	local -a args=(--program="$FAKE" --cold-helper="$BATS_TEST_TMPDIR/cold-thread-start"
		--parts-helper="$BATS_TEST_TMPDIR/thread-start-parts" --benchmark_repetitions=2)
	local filter rows expected got
	while IFS=% read -r filter rows; do
		filter=${filter%"${filter##*[! ]}"}
		[[ -n $filter ]] || continue
		expected=$(sed -E 's#(^| )run/#\1program_run/#g; s#(^| )parts/#\1program_parts/#g
			s#(^| )cold#\1cold_thread_start#; s#(^| )warm#\1warm_create_join#
			s#^ +##' <<<"$rows")
		rm -f "$json"
		run --separate-stderr "$BENCH" "${args[@]}" --benchmark_filter="$filter" \
			--benchmark_out="$json" --table
		if [[ $expected == none ]]; then
			[[ $status -eq 2 && ! -e $json ]] ||
				case_failed "$filter" "status $status, expected 2 and no file"
			continue
		fi
		[[ $status -eq 0 ]] || { case_failed "$filter" "status $status"; continue; }
		got=$(jq -r .context.rows "$json")
		[[ $got == "$expected" ]] || case_failed "$filter" "the context's rows: $got"
		got=$(jq -r '[.benchmarks[] | select(.run_type == "iteration") | .run_name
			| sub("/iterations:.*"; "")] | unique | length' "$json")
		[[ $got == $(wc -w <<<"$expected") ]] || case_failed "$filter" "$got rows measured"
		got=$(sed -n 's#^\([^ ]*\)/iterations:.*_median .*#\1#p' <<<"$output" | paste -sd ' ')
		[[ $got == "$expected" ]] || case_failed "$filter" "the table's rows: $got"
		got=$("$BENCH" "${args[@]}" --benchmark_filter="$filter" --benchmark_list_tests=true |
			sed 's#/iterations:.*##' | paste -sd ' ')
		[[ $got == "$expected" ]] || case_failed "$filter" "listed: $got"
	done <<<"$filter_cases"
	no_case_failed
}

# What a run leaves behind, by the stand-in's mode: a process that has
# exited is reaped and not counted; one still running is a stray.
# Each line: the mode, then the status and the end of the last line.
left_cases='
zombie % 0 %
orphan % 1 % : left 1 process behind
escape % 1 % : left 1 process behind
'

@test "left behind: a process that has exited is no stray; one running is" {
	local mode status_ last
	while IFS=% read -r mode status_ last; do
		mode=${mode// /} status_=${status_// /} last=${last# }
		[[ -n $mode ]] || continue
		# Under qemu-user the bench is no subreaper: it cannot see strays.
		[[ $status_ == 0 ]] || ! emulated "$BENCH" || continue
		FAKE_MODE=$mode FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
			run --separate-stderr "$BENCH" "${quick[@]}" --benchmark_out="$json"
		expect_equal "$mode: status" "$status" "$status_"
		[[ -z $last || ${stderr##*$'\n'} == *"$last" ]] ||
			case_failed "$mode" "last line: ${stderr##*$'\n'}"
		((status_ != 0)) || jq -e '.benchmarks | length > 0' "$json" >/dev/null ||
			case_failed "$mode" "no results"
	done <<<"$left_cases"
	no_case_failed
}

# Stops of the bench while a run goes on, longer than --timeout=1. Each
# line: the row, how long after its run started the bench is stopped, and
# for how long, in seconds.
stop_cases='
program_run/pipe 0   1.5
program_run/pipe 0.1 1.5
program_run/tty  0   1.5
program_run/tty  0.1 1.5
program_run/tty  0.2 2
'

@test "stopped for longer than the timeout: a run that exited meanwhile is no timeout" {
	local row after for bench status_ name
	while read -r row after for; do
		[[ -n $row ]] || continue
		name="$row stopped $after s in for $for s"
		rm -f "$BATS_TEST_TMPDIR/count"
		FAKE_MODE=slow-logged FAKE_COUNTER=$BATS_TEST_TMPDIR/count "$BENCH" "${quick[@]}" \
			--benchmark_filter="^$row/" --timeout=1 --benchmark_out="$json" \
			>/dev/null 2>"$BATS_TEST_TMPDIR/err" &
		bench=$! tries=0
		until [[ -s $BATS_TEST_TMPDIR/count ]] || ((++tries > 100)); do sleep 0.05; done
		sleep "$after"
		kill -STOP "$bench"
		sleep "$for"
		kill -CONT "$bench"
		status_=0
		wait "$bench" || status_=$?
		[[ $status_ -eq 0 ]] ||
			case_failed "$name" "status $status_: $(tail -n 1 "$BATS_TEST_TMPDIR/err")"
		! grep -q 'timed out' "$BATS_TEST_TMPDIR/err" || case_failed "$name" "says it timed out"
	done <<<"$stop_cases"
	no_case_failed
}

# Starts the bench in the background on a run that hangs, its results file
# $json holding "previous", and sets $bench once the run has started.
start_hanging() {
	echo previous >"$json"
	rm -f "$BATS_TEST_TMPDIR/count"
	# A background job of a script starts with SIGINT ignored; no core.
	FAKE_MODE=hang-logged FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
		bash -c 'ulimit -c 0; exec env --default-signal=INT,QUIT "$@"' bench \
		"$BENCH" "${quick[@]}" --timeout=60 --benchmark_out="$json" \
		>/dev/null 2>"$BATS_TEST_TMPDIR/err" "$@" &
	bench=$!
	local tries=0
	until [[ -s $BATS_TEST_TMPDIR/count ]] || ((++tries > 100)); do sleep 0.05; done
	# The run's cgroup, if it has one of its own.
	run_cgroup=$(sed -n 's/^0::\(.*\/thread-start-bench\..*\)/\1/p' "/proc/$(cat "$BATS_TEST_TMPDIR/count")/cgroup")
}

# Passes if the bench $bench ended with status $1 (or one of the
# alternatives, separated by |), the hung run is gone, the results file
# holds what it held and nothing was left beside it. Records the case $2
# otherwise.
cleaned_up() {
	local want=$1 name=$2 status_=0 run_pid
	wait "$bench" || status_=$?
	[[ "|$want|" == *"|$status_|"* ]] || case_failed "$name" "status $status_, expected $want"
	run_pid=$(cat "$BATS_TEST_TMPDIR/count")
	[[ ! -e /proc/$run_pid || $(cut -d' ' -f3 "/proc/$run_pid/stat") == Z ]] ||
		{ kill -9 "$run_pid"; case_failed "$name" "the run is still there"; }
	[[ $(cat "$json") == previous ]] || case_failed "$name" "the results file changed"
	[[ $(ls -A "$dir") == results.json ]] || case_failed "$name" "left: $(ls -A "$dir")"
	[[ -z $run_cgroup || ! -e $(findmnt -n -t cgroup2 -o TARGET | head -n 1)$run_cgroup ]] ||
		case_failed "$name" "the run's cgroup is left"
}

# Passes if SIG$1, sent while a run hangs, is cleaned up after and ends
# the bench as that signal ends a process in a shell.
ends_cleanly() {
	start_hanging
	kill -s "$1" "$bench"
	cleaned_up $((128 + $(kill -l "$1"))) "SIG$1"
	no_case_failed
}

# Every signal whose default action ends a process: quick, one test each.
@test "signal: SIGHUP"    { ends_cleanly HUP; }
@test "signal: SIGINT"    { ends_cleanly INT; }
@test "signal: SIGQUIT"   { ends_cleanly QUIT; }
@test "signal: SIGABRT"   { ends_cleanly ABRT; }
@test "signal: SIGUSR1"   { ends_cleanly USR1; }
@test "signal: SIGUSR2"   { ends_cleanly USR2; }
@test "signal: SIGPIPE"   { ends_cleanly PIPE; }
@test "signal: SIGALRM"   { ends_cleanly ALRM; }
@test "signal: SIGTERM"   { ends_cleanly TERM; }
@test "signal: SIGXCPU"   { ends_cleanly XCPU; }
@test "signal: SIGVTALRM" { ends_cleanly VTALRM; }
@test "signal: SIGPROF"   { ends_cleanly PROF; }
@test "signal: SIGIO"     { ends_cleanly IO; }
@test "signal: SIGPWR"    { ends_cleanly PWR; }
@test "signal: SIGRTMIN"  {
	# qemu-user keeps the lowest real-time signals for itself.
	! emulated "$BENCH" || skip "emulated: qemu-user takes SIGRTMIN for its own"
	ends_cleanly RTMIN
}
@test "signal: SIGRTMAX"  { ends_cleanly RTMAX; }

@test "two signals at once, 20 times each way: cleaned up after, dead of the first" {
	local trial
	for trial in {1..20}; do
		start_hanging
		kill -INT "$bench"
		kill -INT "$bench" 2>/dev/null || :
		cleaned_up 130 "SIGINT twice, trial $trial"
		start_hanging
		kill -TERM "$bench"
		kill -INT "$bench" 2>/dev/null || :
		cleaned_up '130|143' "SIGTERM then SIGINT, trial $trial"
	done
	no_case_failed
}

@test "timeout -s INT, which signals the bench and its group, 20 times: cleaned up after" {
	local trial
	for trial in {1..20}; do
		echo previous >"$json"
		echo 0 >"$BATS_TEST_TMPDIR/count"
		FAKE_MODE=hang-logged FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
			env --default-signal=INT timeout --preserve-status -s INT 0.5 \
			"$BENCH" "${quick[@]}" --timeout=60 --benchmark_out="$json" >/dev/null 2>&1 &
		bench=$!
		cleaned_up 130 "trial $trial"
	done
	no_case_failed
}

@test "interrupted on a terminal, the progress line is taken away" {
	command -v script >/dev/null || missing_package "script(1) (bsdutils) is not installed"
	local log=$BATS_TEST_TMPDIR/typescript tries=0
	rm -f "$BATS_TEST_TMPDIR/count" "$BATS_TEST_TMPDIR/count.pid"
	FAKE_MODE=hang-second FAKE_COUNTER=$BATS_TEST_TMPDIR/count script -qec "'$BENCH' \
		--program='$FAKE' --benchmark_filter=^program_run/pipe/ --benchmark_repetitions=3 \
		--timeout=60 >/dev/null" "$log" >/dev/null &
	until [[ -s $BATS_TEST_TMPDIR/count.pid ]] || ((++tries > 100)); do sleep 0.05; done
	local run_pid bench_pid
	run_pid=$(cat "$BATS_TEST_TMPDIR/count.pid")
	bench_pid=$(ps -o ppid= -p "$run_pid")
	kill -TERM $bench_pid
	wait
	# The line drawn, then taken away.
	[[ $(tr -d '\n' <"$log") == *'thread-start-bench: 1 of 3 runs'*$' left\e[K\r\e[K'* ]] ||
		{ od -c "$log" | tail -n 12 >&2; false; }
}

@test "a signal just after the rename: the file is complete, the bench says so and dies of it" {
	local preload=${RENAME_THEN_SIGNAL:?set RENAME_THEN_SIGNAL to the rename stand-in}
	# The runs, programs of this machine's own kind there, would load it too.
	! emulated "$BENCH" || skip "emulated: the arm64 stand-in would be preloaded into the runs"
	echo previous >"$json"
	RENAME_SIGNAL=15 LD_PRELOAD=$preload \
		ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
		run --separate-stderr "$BENCH" "${quick[@]}" --benchmark_out="$json"
	[ "$status" -eq 143 ]
	jq -e '.benchmarks | length > 0' "$json"
	[ "${stderr##*$'\n'}" = "thread-start-bench: the results are complete in $(realpath "$json"); then a signal came" ]
	only_in_dir results.json
}

# Passes if the bench, process 1 of a PID namespace of its own, cleans up
# after SIG$1 and exits with the status a shell shows for it.
as_process_1() {
	unshare -fp --mount-proc true 2>/dev/null || skip "cannot make a PID namespace here"
	# qemu-user dies of a signal by sending it to itself, which process 1
	# does not receive: it then waits for ever.
	! emulated "$BENCH" || skip "emulated: qemu-user cannot die of a signal as process 1"
	echo previous >"$json"
	rm -f "$BATS_TEST_TMPDIR/count"
	local cgroups before
	cgroups=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)$(sed -n 's/^0:://p' /proc/self/cgroup)
	before=$(ls -d "${cgroups%/}"/thread-start-bench.1.* 2>/dev/null) || :
	FAKE_MODE=hang-logged FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
		unshare -fp --mount-proc env --default-signal=INT "$BENCH" "${quick[@]}" --timeout=5 \
		--benchmark_out="$json" >/dev/null 2>"$BATS_TEST_TMPDIR/err" &
	local unshare_pid=$! tries=0
	until [[ -s $BATS_TEST_TMPDIR/count ]] || ((++tries > 100)); do sleep 0.05; done
	bench=$(cat "/proc/$unshare_pid/task/$unshare_pid/children")
	kill -s "$1" $bench
	local status_=0
	wait "$unshare_pid" || status_=$?
	[ "$status_" -eq $((128 + $(kill -l "$1"))) ] ||
		{ echo "status $status_: $(tail -n 1 "$BATS_TEST_TMPDIR/err")" >&2; false; }
	[ "$(cat "$json")" = previous ]
	only_in_dir results.json
	# Its guard ends with it: the bench removes the runs' cgroup itself.
	[ "$(ls -d "${cgroups%/}"/thread-start-bench.1.* 2>/dev/null)" = "$before" ]
}

@test "process 1 of a PID namespace: SIGTERM" { as_process_1 TERM; }
@test "process 1 of a PID namespace: SIGINT"  { as_process_1 INT; }
@test "process 1 of a PID namespace: SIGHUP"  { as_process_1 HUP; }

# Whether this machine lets a cgroup be made below the test's own and
# joined, as the bench does for its runs.
cgroup_can_be_made() {
	local root trial can=1
	root=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)
	[[ -n $root ]] || return 1
	trial=$root$(sed -n 's/^0:://p' /proc/self/cgroup)
	trial=${trial%/}/thread-start-bench-test.$$
	mkdir "$trial" 2>/dev/null || return 1
	sh -c 'echo 0 >"$1/cgroup.procs"' sh "$trial" 2>/dev/null && can=0
	rmdir "$trial"
	return $can
}

# Whether process $1 is gone (or only waits to be reaped).
gone() {
	[[ ! -e /proc/$1 || $(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) == Z ]]
}

# Passes once every process whose command line is $1 is gone, within 20 s.
none_left() {
	local tries=0
	while pgrep -fx -- "$1" >/dev/null; do
		((++tries < 400)) || return 1
		sleep 0.05
	done
}

# The guard against processes of a run that outlive the bench. The run
# leaves "sleep N" (one N a case) in a session of its own, then hangs; then
# it is killed as the case says. Each line: the case, what is killed (bench,
# guard, the bench's command line by pkill, or both), the bench's status,
# the end of its last line, and what must be gone: the run, or the run and
# the sleep (which needs the runs' cgroup when the bench does not see it go).
guard_cases='
SIGKILL of the bench                   % bench % 137 %                             % both
SIGKILL of the guard                   % guard % 1   % : the bench'"'"'s guard has ended % both
pkill -9 -f of the bench'"'"'s command line % pkill % 137 %                             % both
SIGKILL of the bench and guard at once % both  % 137 %                             % run
'

@test "guard: a run and what it left outlive neither the bench nor the guard" {
	local name what want last left number=$((7700 + RANDOM % 200)) token guard run_pid
	local status_ cgroup unchecked=() cgroot
	cgroot=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)
	local no_cgroup_here own
	no_cgroup_here=$(cgroup_can_be_made || echo no)
	own=$(sed -n 's/^0:://p' /proc/self/cgroup)
	own=${own%/}
	while IFS=% read -r name what want last left; do
		read -r name <<<"$name"
		read -r last <<<"$last"
		what=${what// /} want=${want// /} left=${left// /}
		[[ -n $name ]] || continue
		# Under qemu-user, /proc shows qemu's own command line, the
		# bench's, for the guard.
		if [[ $what == pkill ]] && emulated "$BENCH"; then
			unchecked+=("$name (emulated: the guard shows qemu's command line)")
			continue
		fi
		number=$((number + 1)) token=guard-case-$number-$$
		echo previous >"$json"
		rm -f "$BATS_TEST_TMPDIR/count"
		FAKE_MODE=escape-hang FAKE_SLEEP=$number FAKE_COUNTER=$BATS_TEST_TMPDIR/count \
			"$BENCH" "${quick[@]}" --timeout=60 --label="$token" --benchmark_out="$json" \
			>/dev/null 2>"$BATS_TEST_TMPDIR/err" &
		bench=$!
		local tries=0
		until [[ -s $BATS_TEST_TMPDIR/count ]] || ((++tries > 400)); do sleep 0.05; done
		run_pid=$(cat "$BATS_TEST_TMPDIR/count")
		guard=$(pgrep -fx "bench-guard of $bench") || :
		# The guard names itself, and not as the bench.
		emulated "$BENCH" ||
			[[ -n $guard && $(tr '\0' ' ' <"/proc/$guard/cmdline") != *thread-start-bench* &&
				$(tr '\0' ' ' <"/proc/$guard/cmdline") != *"$token"* ]] ||
			case_failed "$name" "no guard named apart: $(pgrep -af "$token|bench-guard")"
		[[ -n $guard ]] || guard=$(pgrep -f -- "$token" | grep -vx "$bench" | head -n 1) || :
		cgroup=$(sed -n 's/^0:://p' "/proc/$run_pid/cgroup")
		[[ $cgroup == "$own"/thread-start-bench.$bench.* ]] || cgroup=
		[[ -n $cgroup || -n $no_cgroup_here ]] ||
			case_failed "$name" "the run is not in a cgroup of its own, though one can be made"
		# Another bench meanwhile spares the runs' cgroup of one alive,
		# however old.
		if [[ $what == bench && -n $cgroup ]]; then
			touch -m -d @1000 "$cgroot$cgroup"
			"$BENCH" "${quick[@]}" >/dev/null 2>&1 || case_failed "$name" "another bench failed"
			[[ -e $cgroot$cgroup ]] || case_failed "$name" "another bench removed its cgroup"
		fi
		case $what in
		bench) kill -9 "$bench" || : ;;
		guard) [[ -z $guard ]] || kill -9 "$guard" || : ;;
		pkill) pkill -9 -f -- "$token" || : ;;
		both) kill -9 "$bench" ${guard:+"$guard"} || : ;;
		esac
		tries=0
		until gone "$bench" || ((++tries > 400)); do sleep 0.05; done
		gone "$bench" || { kill -9 "$bench"; case_failed "$name" "the bench went on"; }
		status_=0
		wait "$bench" || status_=$?
		expect_equal "$name: status" "$status_" "$want"
		[[ -z $last || $(tail -n 1 "$BATS_TEST_TMPDIR/err") == *"$last" ]] ||
			case_failed "$name" "last line: $(tail -n 1 "$BATS_TEST_TMPDIR/err")"
		tries=0
		until gone "$run_pid" || ((++tries > 400)); do sleep 0.05; done
		gone "$run_pid" || { kill -9 "$run_pid"; case_failed "$name" "the run outlived the bench"; }
		if [[ $left == both && -z $cgroup && $what != guard ]]; then
			unchecked+=("$name")
		elif [[ $left == both ]]; then
			none_left "sleep $number" || case_failed "$name" "sleep $number outlived the bench"
			[[ $what == both || -z $cgroup ]] || { tries=0
				until [[ ! -e $cgroot$cgroup ]] || ((++tries > 400)); do sleep 0.05; done
				((tries <= 400)) || case_failed "$name" "its cgroup is left"; }
		fi
		[[ $(cat "$json") == previous ]] || case_failed "$name" "the results file changed"
		# What the bench and guard killed at once leave, the sleep in
		# the cgroup, a later bench clears, once it is old enough:
		# made older here.
		if [[ $what == both && -n $cgroup ]]; then
			touch -m -d @1000 "$cgroot$cgroup"
			"$BENCH" "${quick[@]}" >/dev/null 2>&1 || case_failed "$name" "the later bench failed"
			[[ ! -e $cgroot$cgroup ]] || case_failed "$name" "a later bench left the cgroup"
			none_left "sleep $number" || case_failed "$name" "a later bench left sleep $number"
		fi
		pkill -9 -fx "sleep $number" || :
		tries=0
		while [[ -n $cgroup && -e $cgroot$cgroup ]] && ! rmdir "$cgroot$cgroup" 2>/dev/null &&
			((++tries < 100)); do sleep 0.05; done
	done <<<"$guard_cases"
	no_case_failed
	((${#unchecked[@]} == 0)) ||
		skip "not checked here (no cgroup of the runs' own, or emulated): ${unchecked[*]}"
}

# The runs' cgroup, as the context names it, with the mount of cgroup v2
# as each case makes it first, in a mount namespace of its own. Each line:
# the case, the command, and the entry (a pattern; CG stands for the
# directory of the test's cgroup, which the bench is in).
# shellcheck disable=SC2016 # each command is run by bash -c, $1 the mount
cgroup_cases='
mounted            % true                                      % CG/thread-start-bench.[0-9]*.????????
not mounted        % umount -l "$1"                            % no (no cgroup2 mount)
mounted read-only  % mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" % no (CG/thread-start-bench.*: Read-only file system)
'

@test "guard: the runs' cgroup named in the context, or why there is none; removed at the end" {
	needs_mount_namespace
	local name command want got cgroot own
	cgroot=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)
	[[ -n $cgroot ]] || skip "no cgroup v2 here"
	cgroup_can_be_made || skip "no cgroup can be made and joined here"
	own=$cgroot$(sed -n 's/^0:://p' /proc/self/cgroup)
	own=${own%/}
	while IFS=% read -r name command want; do
		read -r name <<<"$name"
		read -r command <<<"$command"
		read -r want <<<"$want"
		[[ -n $name ]] || continue
		want=${want//CG/$own}
		rm -f "$json"
		run --separate-stderr unshare --mount bash -c "$command && exec \"\${@:2}\"" bench "$cgroot" \
			"$BENCH" "${quick[@]}" --benchmark_out="$json"
		[[ $status -eq 0 ]] || { case_failed "$name" "status $status: $stderr"; continue; }
		got=$(jq -r .context.run_cgroup "$json")
		# shellcheck disable=SC2053 # $want is a pattern
		[[ $got == $want ]] || case_failed "$name" "run_cgroup \"$got\", expected \"$want\""
		[[ $got != /* || ! -e $got ]] || case_failed "$name" "$got is left"
	done <<<"$cgroup_cases"
	no_case_failed
}
