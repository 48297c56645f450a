#!/usr/bin/env bats
# thread-start-bench's rows: the ones a filter selects and the levers among
# them, as the results' context names them for the analysis, and the lists
# of rows in the user's guide (doc/bench.md) and the manual page, which
# must be the bench's.

bats_require_minimum_version 1.5.0
load ../../tests/needs

setup() {
	BENCH=${THREAD_START_BENCH:?set THREAD_START_BENCH to the benchmark}
	FAKE=${FAKE_PROGRAM:?set FAKE_PROGRAM to the stand-in program}
	command -v jq >/dev/null || missing_package "jq is not installed"
	json=$BATS_TEST_TMPDIR/bench.json
	# The stand-in as the helpers, by their names.
	ln -s "$FAKE" "$BATS_TEST_TMPDIR/cold-thread-start"
	ln -s "$FAKE" "$BATS_TEST_TMPDIR/thread-start-parts"
	stand_ins=(--program="$FAKE" --cold-helper="$BATS_TEST_TMPDIR/cold-thread-start"
		--parts-helper="$BATS_TEST_TMPDIR/thread-start-parts")
}

# The names in the tables below written out: run/X is program_run/X,
# parts/X program_parts/X, cold and warm the two rows of those names,
# EVERY every row without a variant, in the bench's order.
every='run/pipe run/pipe_one_arena run/pinned run/tty
	parts/default parts/own_stack parts/small_stack cold warm'
every_lever='run/pipe_one_arena:run/pipe:ticks run/pinned:run/pipe:ticks
	parts/own_stack:parts/default:creator parts/small_stack:parts/default:creator'
long_names() {
	local text=${1//EVERY_LEVER/$every_lever}
	text=${text//EVERY/$every}
	local -
	# shellcheck disable=SC2086 # split on any space, joined by one
	set -f -- $text
	text="$*"
	text=$(sed -E 's#(^| |:)run/#\1program_run/#g; s#(^| |:)parts/#\1program_parts/#g
		s#(^| |:)cold($| |:)#\1cold_thread_start\2#g
		s#(^| |:)warm($| |:)#\1warm_create_join\2#g' <<<"$text")
	echo "$text"
}

trim() {
	local text=${1#"${1%%[! ]*}"}
	echo "${text%"${text##*[! ]}"}"
}

# Runs the bench with filter $1 and a variant for each name in $2, with
# two repetitions a row, writing $json.
run_bench() {
	local -a variants=()
	local name
	for name in $2; do variants+=(--variant="$name:A=1"); done
	rm -f "$json"
	run --separate-stderr "$BENCH" "${stand_ins[@]}" "${variants[@]}" \
		--benchmark_filter="$1" --benchmark_repetitions=2 --benchmark_out="$json"
}

# The rows of the bench's --benchmark_list_tests with filter $1 and the
# variants $2, by the rows' names, on one line.
listed_rows() {
	local -a variants=()
	local name
	for name in $2; do variants+=(--variant="$name:A=1"); done
	"$BENCH" "${stand_ins[@]}" "${variants[@]}" --benchmark_filter="$1" \
		--benchmark_repetitions=2 --benchmark_list_tests=true |
		sed 's#/iterations:.*##' | paste -sd ' '
}

# Each line, in columns that % ends: the filter, the variants' names, then
# the rows it selects, as
# the context's `rows` names them. The filter is matched against the full
# names, as Google Benchmark's is: NAME/iterations:N/repeats:2/..., ending
# in manual_time, or in process_time/real_time for warm_create_join.
rows_cases='
                    %      % EVERY
all                 %      % EVERY
-^$                 %      % EVERY
pipe                %      % run/pipe run/pipe_one_arena
^program_run/pipe/  %      % run/pipe
^program_run/(pinned|tty|a|b)/ % b a % run/pinned run/b run/a run/tty
^program_run/(b|tty)/ % a b % run/b run/tty
^program_parts/(own|small) % % parts/own_stack parts/small_stack
-^(program|cold)    %      % warm
^program_parts/.*/manual_time$ % % parts/default parts/own_stack parts/small_stack
process_time/real_time$ %  % warm
-manual_time        %      % warm
^warm_create_join/iterations:100/ % % warm
^cold.*/iterations:1/repeats:2/manual_time$ % % cold
'

@test "rows: the rows each filter selects, in the bench's order, as the library lists them" {
	local filter names expected failed=0 listed
	while IFS=% read -r filter names expected; do
		filter=$(trim "$filter") names=$(trim "$names") expected=$(long_names "$expected")
		[[ -n $expected ]] || continue
		run_bench "$filter" "$names"
		if [[ $status -ne 0 ]]; then
			echo "'$filter' ($names): status $status: ${stderr_lines[-1]}" >&2
			failed=1
			continue
		fi
		[ "$(jq -r .context.rows "$json")" = "$expected" ] || {
			echo "'$filter' ($names): rows '$(jq -r .context.rows "$json")'" >&2
			failed=1
		}
		listed=$(listed_rows "$filter" "$names")
		[ "$listed" = "$expected" ] || {
			echo "'$filter' ($names): the library lists '$listed'" >&2
			failed=1
		}
	done <<<"$rows_cases"
	[ "$failed" -eq 0 ]
}

# Each line, in columns that % ends: the filter, the variants' names, then
# the levers among the rows it selects, as the context's `levers` names
# them: a lever whose base is not selected is left out.
levers_cases='
                    %      % EVERY_LEVER
^program_run/       %      % run/pipe_one_arena:run/pipe:ticks run/pinned:run/pipe:ticks
^program_run/(pipe|a|b)/ % b a % run/b:run/pipe:ticks run/a:run/pipe:ticks
^program_run/(pinned|tty)/ % %
^program_run/[ab]/  % a b  %
^program_parts/(default|small) % % parts/small_stack:parts/default:creator
-^program_(run/pipe|parts/own_stack)/ % zz % parts/small_stack:parts/default:creator
warm                %      %
'

@test "the context's levers: each selected lever against its selected base, on its counter" {
	local filter names expected failed=0 got
	while IFS=% read -r filter names expected; do
		[[ -n $filter$names$expected ]] || continue
		filter=$(trim "$filter") names=$(trim "$names") expected=$(long_names "$expected")
		run_bench "$filter" "$names"
		got=$(jq -r .context.levers "$json")
		[[ $status -eq 0 && $got == "$expected" ]] || {
			echo "'$filter' ($names): status $status, levers '$got'" >&2
			failed=1
		}
	done <<<"$levers_cases"
	[ "$failed" -eq 0 ]
}

@test "rows and levers are the bench's own context entries: --benchmark_context cannot set them" {
	local entry failed=0
	for entry in rows=program_run/pipe levers=a:b:c; do
		run --separate-stderr "$BENCH" "${stand_ins[@]}" --benchmark_context="$entry"
		[[ $status -eq 2 && $stderr == *"is an entry of the bench's own"* ]] || {
			echo "$entry: status $status: $stderr" >&2
			failed=1
		}
	done
	[ "$failed" -eq 0 ]
}

# The bench's rows, from --benchmark_list_tests, with a variant named
# `name` standing for the docs' program_run/NAME.
bench_rows() {
	"$BENCH" "${stand_ins[@]}" --variant=name:A=1 --benchmark_list_tests=true |
		sed 's#/iterations:.*##; s#^program_run/name$#program_run/NAME#'
}

@test "the guide's table of rows is the bench's list, in its order" {
	local guide=${SOURCE_DIR:?set SOURCE_DIR to the source tree}/doc/bench.md
	diff <(bench_rows) <(sed -n '/^## The rows$/,/^## /s/^| `\([^`]*\)`.*/\1/p' "$guide")
}

@test "the manual page's list of rows is the bench's list, in its order" {
	local page=${SOURCE_DIR:?set SOURCE_DIR to the source tree}/doc/thread-start-bench.1
	# Each row is the line after a .TP, in .B or .BI, in the section Rows.
	diff <(bench_rows) <(sed -n '/^\.SS Rows$/,/^\.SS /p' "$page" |
		awk 'tagged { sub(/^\.BI? /, ""); gsub(/ /, ""); print } { tagged = /^\.TP$/ }')
}

@test "--help lists the bench's rows, in its order" {
	diff <(bench_rows) <("$BENCH" --help | sed -n '/^Rows, in the order shown:$/,/^$/p' |
		awk '/^  [^ ]/ { print $1 }')
}
