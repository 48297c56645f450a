#!/usr/bin/env bats
# thread-start-analyze against what it may be given or done to it: output
# that cannot be written, signals, pictures that cannot be drawn or
# written, names that are not plain text, crafted files. It refuses in one
# line, never with a traceback. Tables of cases name each case that fails.

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

# Writes a file of $2 repetitions of program_run/pipe to $1.
make_big() {
	/usr/bin/python3 - "$1" "$2" <<-'EOF'
	import sys
	run = '{"run_name": "program_run/pipe", "run_type": "iteration", "ticks": %d}'
	with open(sys.argv[1], "w") as f:
	    f.write('{"context": {"cold_helper": "/x"}, "benchmarks": [')
	    f.write(",".join(run % (i % 1000) for i in range(int(sys.argv[2]))))
	    f.write("]}")
	EOF
}

# Runs the command given with standard output a pipe whose reader has
# gone before it starts; prints how it ended: "status N" or "signal N".
with_closed_pipe() {
	/usr/bin/python3 -c '
import os, subprocess, sys
r, w = os.pipe()
os.close(r)
code = subprocess.run(sys.argv[1:], stdout=w).returncode
print(f"signal {-code}" if code < 0 else f"status {code}")' "$@"
}

@test "lost output: status 1 and one line; a reader gone: SIGPIPE; never a traceback" {
	local case how args want stderr_want got
	# Another run: the same one twice is refused before anything is written.
	jq '.benchmarks[0].ticks += 1' "$KNOWN" >"$tmp/other.json"
	# case | how standard output is lost | arguments | status | standard error
	while IFS='|' read -r case how args want stderr_want; do
		case $how in
		closed) run --separate-stderr bash -c '"$0" "$@" >&-' "$ANALYZE" $args ;;
		full) run --separate-stderr bash -c '"$0" "$@" >/dev/full' "$ANALYZE" $args ;;
		pipe)
			run --separate-stderr with_closed_pipe "$ANALYZE" $args
			status=$output
			;;
		esac
		got="$status|$stderr"
		expect_equal "$case" "$got" "$want|${stderr_want:+thread-start-analyze: }$stderr_want"
	done <<-TABLE
		closed, text|closed|$KNOWN|1|standard output: Bad file descriptor
		closed, csv|closed|--format=csv $KNOWN|1|standard output: Bad file descriptor
		closed, markdown|closed|--format=markdown $KNOWN|1|standard output: Bad file descriptor
		closed, sides|closed|--group A $KNOWN --group B $tmp/other.json|1|standard output: Bad file descriptor
		closed, a picture|closed|$KNOWN --plot $tmp/closed.png|1|standard output: Bad file descriptor
		closed, --version|closed|--version|1|standard output: Bad file descriptor
		full, text|full|$KNOWN|1|standard output: No space left on device
		full, csv|full|--format=csv $KNOWN|1|standard output: No space left on device
		full, a fleet|full|--fleet $KNOWN|1|standard output: No space left on device
		closed pipe, text|pipe|$KNOWN|signal 13|
		closed pipe, csv|pipe|--format=csv $KNOWN|signal 13|
	TABLE
	no_case_failed
}

@test "SIGINT while reading a large file: dies of SIGINT (130), no traceback" {
	make_big "$tmp/big.json" 1000000
	# SIGINT restored, as a shell without job control leaves it ignored in
	# what it starts in the background.
	env --default-signal=INT "$ANALYZE" "$tmp/big.json" >/dev/null 2>"$tmp/stderr" &
	local pid=$! fd opened=
	# Sent once the file is open, while it is being read.
	while [[ -z $opened ]] && kill -0 "$pid" 2>/dev/null; do
		for fd in /proc/"$pid"/fd/*; do
			[[ $(readlink "$fd" 2>/dev/null) == "$tmp/big.json" ]] && opened=1
		done
	done
	kill -INT "$pid"
	local status=0
	wait "$pid" || status=$?
	[ "$status" -eq 130 ]
	[ ! -s "$tmp/stderr" ] || { cat "$tmp/stderr" >&2; false; }
}

# Writes file $1 of $2 rows program_run/vN, three repetitions each, with
# the levers the bench declares for them ($3 "levers") or none ($3 "none").
make_rows() {
	/usr/bin/python3 - "$@" <<-'EOF'
	import json, sys
	path, count, levers = sys.argv[1], int(sys.argv[2]), sys.argv[3]
	rows = ["program_run/pipe"] + [f"program_run/v{i}" for i in range(count - 1)]
	runs = [{"run_name": row, "run_type": "iteration", "ticks": float(t)}
	        for row in rows for t in (1, 2, 3)]
	context = {"cold_helper": "/x", "label": path, "rows": " ".join(rows),
	           "levers": " ".join(f"{row}:program_run/pipe:ticks" for row in rows[1:])
	           if levers == "levers" else ""}
	json.dump({"context": context, "benchmarks": runs}, open(path, "w"))
	EOF
}

@test "--plot of more than fits: refused before anything is printed; what fits is drawn" {
	local case rows levers files want i args
	# case | rows a file | levers | files | status
	while IFS='|' read -r case rows levers files want; do
		args=()
		for ((i = 0; i < files; i++)); do
			make_rows "$tmp/f$i.json" "$rows" "$levers"
			args+=("$tmp/f$i.json")
		done
		rm -f "$tmp/p.png"
		run --separate-stderr "$ANALYZE" "$( ((files == 1)) && echo report || echo compare)" \
			--format=csv "${args[@]}" --plot "$tmp/p.png"
		if ((want == 0)); then
			# Nothing on standard error but CSV's notes and its table's name.
			[[ $status -eq 0 && -s $tmp/p.png && -z $(grep -v '^note: \|^table: ' <<<"$stderr") ]] ||
				case_failed "$case" "status $status, $stderr"
		elif [[ $status -ne 2 || -n $output || -e $tmp/p.png || ${#stderr_lines[@]} -ne 1 ||
			$stderr != *"pixels tall; at most 65535 are drawn" ]]; then
			case_failed "$case" "status $status, output ${output:0:80}, $stderr"
		fi
	done <<-'TABLE'
		1400 variants and their levers|1401|levers|1|2
		3000 rows, no levers|3000|none|1|2
		400 rows, no levers|400|none|1|0
		500 rows of 40 files|500|none|40|2
		20 rows of 40 files|20|none|40|0
	TABLE
	no_case_failed
}

@test "the picture: written whole or not at all, the one before untouched; a link stays a link" {
	needs_mount_namespace
	# The picture before: 30 000 bytes, where a new one takes about 65 000.
	head -c 30000 /dev/urandom >"$tmp/old.png"
	mkdir "$tmp/d" "$tmp/elsewhere"
	local case first path want reason
	# case | what is in $tmp/d first | the picture | status, what then holds,
	# the files in $tmp/d | the reason on standard error, or -. Each in a mount
	# namespace of its own, so that nothing stays mounted.
	while IFS='|' read -r case first path want; do
		rm -rf "$tmp"/d/* "$tmp"/elsewhere/*
		run --separate-stderr unshare -m bash -c '
			cd "$1/d" || exit 99
			case $2 in
			# 64 KiB: the picture before fits, the new one does not.
			full) mount -t tmpfs -o size=64k tmpfs . && cd . && cp ../old.png p.png ;;
			old) cp ../old.png p.png ;;
			link) ln -s ../elsewhere/p.png p.png ;;
			esac || exit 99
			"$3" report "$4" --plot "$5" >/dev/null
			echo "status $?"
			cmp -s p.png "$1/old.png" && echo untouched
			[[ -L p.png ]] && echo link
			[[ -f $1/elsewhere/p.png ]] && head -c 4 "$1/elsewhere/p.png" | tail -c 3
			echo; ls -A' _ "$tmp" "$first" "$ANALYZE" "$KNOWN" "$path"
		reason=${stderr##*: }
		expect_equal "$case" "$(xargs <<<"$output")|${reason:--}" "$want"
	done <<-TABLE
		a full device|full|p.png|status 1 untouched p.png|No space left on device
		a missing directory|old|gone/p.png|status 1 untouched p.png|No such file or directory
		a link|link|p.png|status 0 link PNG p.png|-
		a picture before|old|p.png|status 0 p.png|-
	TABLE
	no_case_failed
}

# Records case $1 as failed where the label $2 or the row program_run/$3
# (JSON string contents) split a line, reach the terminal raw, break a
# Markdown table or land in CSV as a formula: text shows the label as $4,
# CSV as $5 (JSON string contents).
check_names() {
	/usr/bin/python3 - "$tmp/names.json" "$2" "$3" <<-'EOF'
	import json, sys
	label, variant = json.loads(f'"{sys.argv[2]}"'), json.loads(f'"{sys.argv[3]}"')
	rows = ["program_run/pipe", f"program_run/{variant}"]
	runs = [{"run_name": row, "run_type": "iteration", "ticks": float(t)}
	        for row in rows for t in (1, 2, 3)]
	json.dump({"context": {"cold_helper": "/x", "label": label, "host_name": label},
	           "benchmarks": runs}, open(sys.argv[1], "w"))
	EOF
	run -0 "$ANALYZE" "$tmp/names.json"
	[[ $output != *[$'\x01'-$'\x09\x0b'-$'\x1f\x7f']* ]] || case_failed "$1" "text: raw"
	grep -Fxq -- "label      $4" <<<"$output" || case_failed "$1" "text: no line 'label $4'"
	run -0 "$ANALYZE" --format=markdown "$tmp/names.json"
	local uneven
	# Each line of a table as many cells as its header.
	uneven=$(sed 's/\\|//g' <<<"$output" | awk -F'|' '
		!/^\|/ { cells = 0; next } !cells { cells = NF } NF != cells { print }')
	[[ -z $uneven ]] || case_failed "$1" "markdown: $uneven"
	run -0 --separate-stderr "$ANALYZE" --format=csv --table files "$tmp/names.json"
	run -0 /usr/bin/python3 -c '
import csv, json, sys
lines = [line for line in csv.reader(sys.stdin) if line]
print(json.dumps(next(line[2] for line in lines if line[0] == "files"))[1:-1])
widths = {}
for line in lines:
    if len(line) != widths.setdefault(line[0], len(line)) and line[0] not in ("table", "note"):
        print("a line of", line[0], "of another width")' <<<"$output"
	expect_equal "$1: csv" "$output" "$5"
}

@test "names of every kind: escaped in text and Markdown, no formula in CSV" {
	local case label variant text cell
	# case # label # variant row # the label in text # in CSV
	while IFS='#' read -r case label variant text cell; do
		check_names "$case" "$label" "$variant" "$text" "$cell"
	done <<-'TABLE'
		plain#here#fast#here#here
		a newline#two\nlines#new\nline#two\nlines#two\nlines
		an escape#\u001b[31mred#\u001b]0;title\u0007#\x1b[31mred#\u001b[31mred
		a C1 control#a\u009bz#x\u0085y#a\x9bz#a\u009bz
		a bar#a | b#x|y#a | b#a | b
		a formula#=HYPERLINK(\"http://x\")#=1+1#=HYPERLINK("http://x")#'=HYPERLINK(\"http://x\")
		plus, minus, at#+1 and -#@x#+1 and -#'+1 and -
		a number#-5.5#-1#-5.5#-5.5
	TABLE
	no_case_failed
}

# An entry of benchmarks: its run_name $1, ticks $2, and more keys $3.
entry() {
	printf '{"run_name": "%s", "run_type": "iteration", "ticks": %s%s}' "$1" "$2" "${3:-}"
}

@test "crafted files: duplicate keys, rows of no name, repetitions that disagree, refused" {
	local x='"cold_helper": "/x"' c='"context": {"cold_helper": "/x"}' p r3 r2 twice
	p=$(entry program_run/pipe 1)
	r3=$(entry program_run/pipe 1 ', "repetitions": 3')
	r2=$(entry program_run/pipe 1 ', "repetitions": 2')
	twice=$(entry program_run/pipe 1 ', "ticks": 2')
	local noname
	noname=$(entry iterations:1/manual_time 1)
	local case text reason
	# case | the file's text | the reason
	while IFS='|' read -r case text reason; do
		printf '%s\n' "$text" >"$tmp/crafted.json"
		run --separate-stderr "$ANALYZE" "$tmp/crafted.json"
		[[ $status -eq 2 && -z $output && ${#stderr_lines[@]} -eq 1 &&
			$stderr == "thread-start-analyze: $tmp/crafted.json: "*"$reason"* ]] ||
			case_failed "$case" "status $status, output ${output:0:40}, stderr $stderr"
	done <<-TABLE
		benchmarks twice|{$c, "benchmarks": [$p, $p], "benchmarks": [$p, $p]}|key "benchmarks" twice
		context twice|{$c, $c, "benchmarks": [$p, $p]}|an object has the key "context" twice
		a context key twice|{"context": {$x, $x}, "benchmarks": [$p, $p]}|key "cold_helper" twice
		a run's key twice|{$c, "benchmarks": [$p, $twice]}|an object has the key "ticks" twice
		no row's name|{$c, "benchmarks": [$noname, $noname]}|manual_time", which names no row
		repetitions more|{$c, "benchmarks": [$r3, $r3]}|has 2 repetitions, where its entries say 3
		repetitions differ|{$c, "benchmarks": [$r2, $r3]}|pipe say it has 2 and 3 repetitions
	TABLE
	# As many as it says: read.
	printf '{%s, "benchmarks": [%s, %s]}' "$c" "$r2" "$r2" >"$tmp/as-said.json"
	run -0 "$ANALYZE" "$tmp/as-said.json"
	no_case_failed
}

@test "a fleet names the rows it leaves out, and the hosts that lack them" {
	local host runs
	for host in a b c; do
		runs="$(entry program_run/pipe 1), $(entry program_run/pipe 2)"
		[[ $host == b ]] ||
			runs+=", $(entry program_run/pinned 1), $(entry program_run/pinned 2)"
		printf '{"context": {"cold_helper": "/x", "host_name": "host-%s"}, "benchmarks": [%s]}' \
			"$host" "$runs" >"$tmp/$host.json"
	done
	run -0 "$ANALYZE" --fleet --format=csv "$tmp"/?.json
	grep -Fxq "note: program_run/pinned left out: not measured on host-b" <<<"$output"
	grep -Fxq "table,host,runs,program_run/pipe,program_run/pipe spread,verdict" <<<"$output"
}

@test "names of every kind in the picture: drawn as printed, never read as mathematics" {
	local case label variant
	# case # label # variant row (JSON string contents)
	while IFS='#' read -r case label variant; do
		/usr/bin/python3 - "$tmp/drawn.json" "$label" "$variant" <<-'EOF'
		import json, sys
		label, variant = json.loads(f'"{sys.argv[2]}"'), json.loads(f'"{sys.argv[3]}"')
		rows = ["program_run/pipe", f"program_run/{variant}"]
		runs = [{"run_name": row, "run_type": "iteration", "ticks": float(t)}
		        for row in rows for t in (1, 2, 3)]
		json.dump({"context": {"cold_helper": "/x", "label": label}, "benchmarks": runs},
		          open(sys.argv[1], "w"))
		EOF
		rm -f "$tmp/drawn.png"
		run --separate-stderr "$ANALYZE" report "$tmp/drawn.json" --plot "$tmp/drawn.png"
		[[ $status -eq 0 && -s $tmp/drawn.png && -z $stderr ]] ||
			case_failed "$case" "status $status, ${stderr:0:200}"
	done <<-'TABLE'
		mathematics, unfinished#x $\\frac$ y#a$\\sqrt{$b
		dollars#$5 and $6#$$
		control characters#two\nlines\u001b[31m#new\nline\u0007
	TABLE
	no_case_failed
}
