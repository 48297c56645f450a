#!/usr/bin/env bats
# thread-start-analyze --store: runs added through the command line and
# reported on, and what may be done to a store: files that are no store,
# a full device, writers at once. Every refusal is one line; what is
# refused is left as it was.

bats_require_minimum_version 1.5.0
load ../../tests/needs
load ../../tests/cases

setup() {
	ANALYZE=${ANALYZE:?set ANALYZE to the launcher of the analysis}
	/usr/bin/python3 -c 'import scipy' 2>/dev/null ||
		missing_package "python3-scipy is not installed"
	KNOWN=$TESTDATA/known.json
	tmp=$BATS_TEST_TMPDIR
	failures=()
}

# Writes $2 runs made of the known file into directory $1, run$i.json:
# each of host h$((i % 3)) (its label), a day after the one before, its
# pipe's first repetition $i ticks more.
make_runs() {
	mkdir -p "$1"
	local i
	for ((i = 1; i <= $2; i++)); do
		jq --argjson i "$i" '.context.label = "h\($i % 3)" | .context.host_name = "h\($i % 3)"
			| .context.date = "2026-12-\(10 + $i)T12:00:00+01:00"
			| .benchmarks[0].ticks += $i' "$KNOWN" >"$1/run$i.json"
	done
}

# Prints what is stored in the store $1: its runs' count, its integrity
# check, the count of runs of each host.
STORED='
import sqlite3, sys
con = sqlite3.connect(f"file:{sys.argv[1]}?mode=ro", uri=True)
print(con.execute("SELECT count(*) FROM runs").fetchone()[0],
      con.execute("PRAGMA integrity_check").fetchone()[0],
      *(f"{h}:{n}" for h, n in con.execute(
          "SELECT host, count(*) FROM runs GROUP BY host ORDER BY host")))'
stored() {
	/usr/bin/python3 -c "$STORED" "$1"
}

# What tells whether a file was touched: its size, modification time and
# checksum (of none for what is no regular file).
fingerprint() {
	stat -c '%F %s %Y %y' "$1"
	[[ -f $1 ]] && sha256sum <"$1" || true
}

@test "runs added: one line says how many, a run given again is stored once" {
	make_runs "$tmp/r" 4
	cp "$tmp/r/run1.json" "$tmp/copy.json"
	local case args want
	# case | files added | standard output
	while IFS='|' read -r case args want; do
		run --separate-stderr bash -c "cd '$tmp' && '$ANALYZE' store add s.db $args"
		expect_equal "$case" "$status|$stderr|$output" "0||s.db: $want"
	done <<-TABLE
		new|r/run1.json r/run2.json|2 runs added, 0 already there
		again|r/run2.json r/run1.json r/run3.json|1 runs added, 2 already there
		a copy, and one twice|copy.json r/run4.json r/run4.json|1 runs added, 2 already there
	TABLE
	no_case_failed
	[ "$(stored "$tmp/s.db")" = "4 ok h0:1 h1:2 h2:1" ]
}

@test "the fleet from a store is the fleet from its files" {
	make_runs "$tmp/r" 9
	"$ANALYZE" --store "$tmp/s.db" "$tmp"/r/run*.json
	local case store files
	# case | what is chosen of the store | the same runs as files, by host
	# and date as the store gives them
	while IFS='|' read -r case store files; do
		run --separate-stderr "$ANALYZE" fleet --store "$tmp/s.db" $store
		local from_store="$status|$stderr|$output"
		run --separate-stderr bash -c "cd '$tmp/r' && '$ANALYZE' fleet $files"
		expect_equal "$case" "$from_store" "$status|$stderr|$output"
	done <<-TABLE
		all||run3.json run6.json run9.json run1.json run4.json run7.json run2.json run5.json run8.json
		since a day|--since 2026-12-13|run3.json run6.json run9.json run4.json run7.json run5.json run8.json
		until an instant|--until 2026-12-16T12:00:00+01:00|run3.json run6.json run1.json run4.json run2.json run5.json
		the latest two of each|--latest 2|run6.json run9.json run4.json run7.json run5.json run8.json
		latest of a window|--until 2026-12-17 --latest 2|run3.json run6.json run4.json run7.json run2.json run5.json
	TABLE
	no_case_failed
	run --separate-stderr "$ANALYZE" --store "$tmp/s.db" --fleet --since 2027-01-01
	[ "$status|$stderr|$output" = "2|thread-start-analyze: $tmp/s.db: no stored run of the dates asked for|" ]
}

# Makes the store $1 of 6 runs on 3 hosts, each 2 rows of a million
# repetitions: 96 MB of doubles, a few hundred KB stored.
BIG='
import array, sys
import numpy as np
from analyze.reader import Results
from analyze.store import add_files
ticks = np.arange(1_000_000, dtype=np.float64) % 1000
add_files(sys.argv[1], [Results(f"run{i}.json", {"cold_helper": "/x", "host_name": f"h{i % 3}"},
                                {f"program_run/r{j}": {"ticks": array.array("d", (ticks + i).tobytes())}
                                 for j in range(2)}, ("program_run/r0", "program_run/r1"), ())
                        for i in range(6)])'

@test "a fleet from a store fits in memory that its repetitions do not" {
	(cd "$BATS_TEST_DIRNAME/../.." && /usr/bin/python3 -c "$BIG" "$tmp/s.db")
	# What Python with numpy and scipy takes, and 60 MB more.
	local limit
	limit=$(/usr/bin/python3 -c 'import re, numpy, scipy.stats, sqlite3
print(int(re.search(r"VmPeak:\s+(\d+)", open("/proc/self/status").read()).group(1)) + 60000)')
	local case command want
	# case | what runs under the limit | its status
	while IFS='|' read -r case command want; do
		run bash -c "ulimit -v $limit && $command"
		expect_equal "$case" "$status" "$want"
	done <<-TABLE
		the fleet|'$ANALYZE' fleet --store '$tmp/s.db' >/dev/null|0
		every repetition read|cd '$BATS_TEST_DIRNAME/../..' && /usr/bin/python3 -c 'import numpy, scipy.stats; from analyze.store import stored_results as s; s("$tmp/s.db")' 2>/dev/null|1
	TABLE
	no_case_failed
}

@test "a store of schema 2 or 3: the same fleet, brought up to date where writable, read as it is where not" {
	make_runs "$tmp/r" 6
	local want case
	want=$(cd "$tmp/r" && "$ANALYZE" fleet run3.json run6.json run1.json run4.json run2.json run5.json 2>&1)
	mkdir "$tmp/d"
	# case | how the fleet is run | what makes the store older | the schema and the errors stored after
	while IFS='|' read -r case how older after; do
		[[ $how == ro && ! ($EUID -eq 0) ]] && continue
		[[ $how == ro ]] && ! unshare --mount true 2>/dev/null && continue
		rm -f "$tmp"/d/*
		"$ANALYZE" store add "$tmp/d/s.db" "$tmp"/r/*.json >/dev/null
		/usr/bin/python3 -c 'import sqlite3, sys; sqlite3.connect(sys.argv[1]).executescript(sys.argv[2])' "$tmp/d/s.db" "$older"
		if [[ $how == ro ]]; then
			run unshare -m bash -c 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" &&
				"${@:2}"' _ "$tmp/d" "$ANALYZE" fleet --store "$tmp/d/s.db"
		else
			run "$ANALYZE" fleet --store "$tmp/d/s.db"
		fi
		expect_equal "$case" "$status|$output|$(/usr/bin/python3 -c 'import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); print(c.execute("PRAGMA user_version").fetchone()[0], c.execute("SELECT count(*) FROM sqlite_schema WHERE name = '"'errors'"'").fetchone()[0])' "$tmp/d/s.db")" "0|$want|$after"
	done <<-TABLE
		schema 2, writable|rw|DROP TABLE errors; PRAGMA user_version = 2|4 1
		schema 2, a read-only mount|ro|DROP TABLE errors; PRAGMA user_version = 2|2 0
		schema 3, a read-only mount|ro|UPDATE errors SET error = error * 100; PRAGMA user_version = 3|3 1
	TABLE
	no_case_failed
}

@test "what is no store is refused in one line, status 2, and left as it was" {
	# Apart from the files of bats.
	tmp=$tmp/d
	mkdir "$tmp"
	echo text >"$tmp/text"
	: >"$tmp/empty"
	mkfifo "$tmp/fifo"
	mkdir "$tmp/dir"
	/usr/bin/python3 -c 'import sqlite3, sys; sqlite3.connect(sys.argv[1]).execute("CREATE TABLE t (x)")' "$tmp/other.db"
	"$ANALYZE" --store "$tmp/newer.db" "$KNOWN" >/dev/null
	/usr/bin/python3 -c 'import sqlite3, sys; sqlite3.connect(sys.argv[1]).execute("PRAGMA user_version = 99")' "$tmp/newer.db"
	local case path reason before
	# case | the store | the reason
	while IFS='|' read -r case path reason; do
		for args in "$KNOWN" --fleet; do
			before=$(fingerprint "$tmp/$path")
			# A FIFO opened for reading would block: the timeout tells.
			run --separate-stderr timeout 120 "$ANALYZE" --store "$tmp/$path" $args
			expect_equal "$case, $args" "$status|$stderr|$output" \
				"2|thread-start-analyze: $tmp/$path: $reason|"
			expect_equal "$case, $args: untouched" "$(fingerprint "$tmp/$path")" "$before"
		done
	done <<-TABLE
		text|text|not a results store (not an SQLite database)
		empty|empty|an empty file, not a results store
		a FIFO|fifo|not a regular file, so not a results store
		a directory|dir|a directory, not a results store
		another SQLite database|other.db|an SQLite database, but not a results store of thread-start-analyze
		a newer store|newer.db|a results store of schema 99; this thread-start-analyze reads schemas 1 to 4: use a newer one
	TABLE
	no_case_failed
	[ "$(ls -A "$tmp")" = "$(printf '%s\n' dir empty fifo newer.db other.db text)" ]
}

@test "usage: what --store cannot be given" {
	local case args reason
	# case | arguments | the reason
	while IFS='|' read -r case args reason; do
		run --separate-stderr "$ANALYZE" $args
		expect_equal "$case" "$status|$stderr" "2|thread-start-analyze: $reason"
	done <<-TABLE
		no file|--store s.db|--store PATH: give the files to add, or --fleet
		files and --fleet|--store s.db --fleet $KNOWN|--store PATH --fleet reports on the store's runs: give no file
		--since without --store|--since 2026-12-01 $KNOWN|--since, --until and --latest choose runs of a store: give --store
		--latest when adding|--store s.db --latest 2 $KNOWN|--since, --until, --latest, --plot and --table go with --store PATH --fleet
		--table when adding|--store s.db --table rows $KNOWN|--since, --until, --latest, --plot and --table go with --store PATH --fleet
		--latest 0|--store s.db --fleet --latest 0|--latest 0: give 1 or more
		a bad date|--store s.db --fleet --until soon|--until 'soon': not a date (2026-12-01) or an ISO 8601 timestamp (2026-12-01T08:00:00+01:00)
		a group|--store s.db --group a $KNOWN|--store: --group and --runs are not for a store
	TABLE
	no_case_failed
	[ ! -e s.db ]
}

@test "a full device: status 1 in one line, the store as it was, no file left" {
	needs_mount_namespace
	make_runs "$tmp/r" 12
	local case first want
	# case | what the store is | status, what is stored after, the files in
	# the directory | the reason. Each on a device of its own, in a mount
	# namespace of its own: 512 KiB filled but for 8 KiB, or wholly.
	while IFS='|' read -r case first want; do
		run --separate-stderr unshare -m bash -c '
			mkdir -p "$1/d" && cd "$1/d" &&
			mount -t tmpfs -o size=512k tmpfs . && cd . || exit 99
			if [[ $2 == store ]]; then
				"$3" store add s.db "$1/r/run1.json" "$1/r/run2.json" >/dev/null || exit 98
				head -c 1M /dev/zero >fill 2>/dev/null
				truncate -s -8K fill
			else
				head -c 1M /dev/zero >fill 2>/dev/null
			fi
			"$3" store add s.db "$1"/r/run*.json >/dev/null
			echo "status $?"
			[[ ! -e s.db ]] || /usr/bin/python3 -c "$4" s.db
			ls -A' _ "$tmp" "$first" "$ANALYZE" "$STORED"
		expect_equal "$case" "$(xargs <<<"$output")|${stderr#thread-start-analyze: }" "$want"
	done <<-TABLE
		a store|store|status 1 2 ok h1:1 h2:1 fill s.db|s.db: cannot add the runs: database or disk is full
		a new store|new|status 1 fill|s.db: cannot make the store: database or disk is full
	TABLE
	no_case_failed
}

@test "writers at once lose nothing" {
	make_runs "$tmp/r" 12
	local round
	for round in 1 2 3 4 5; do
		rm -f "$tmp/s.db"
		# Each adds its own files, both to a store neither has made yet.
		"$ANALYZE" --store "$tmp/s.db" "$tmp"/r/run{1,3,5,7,9,11}.json >"$tmp/a" 2>&1 &
		local first=$!
		"$ANALYZE" --store "$tmp/s.db" "$tmp"/r/run{2,4,6,8,10,12}.json >"$tmp/b" 2>&1 &
		wait "$first" || case_failed "round $round" "first writer: $(cat "$tmp/a")"
		wait $! || case_failed "round $round" "second writer: $(cat "$tmp/b")"
		expect_equal "round $round" "$(stored "$tmp/s.db")" "12 ok h0:4 h1:4 h2:4"
	done
	no_case_failed
	[ "$(ls -A "$tmp")" = "$(printf '%s\n' a b r s.db)" ]
}

# Runs the launcher with arguments $2... killed by strace at the system
# call $1 (unlink, unlink:when=2), of the path $P only where set.
killed_at() {
	strace -f -qq -o /dev/null ${P:+-P "$P"} -e inject="${1%%:*}":signal=SIGKILL${1#"${1%%:*}"} \
		"$ANALYZE" "${@:2}" >/dev/null 2>&1 || true
}

needs_strace() {
	strace -f -qq -o /dev/null true 2>/dev/null || skip "strace is not installed, or cannot trace here"
}

@test "a writer killed before it committed: readers roll its journal back, or say what to run" {
	needs_strace
	make_runs "$tmp/r" 2
	mkdir "$tmp/d"
	local s=$tmp/d/s.db case
	# case: the command that reads, after a writer was killed at its
	# journal's removal; first, where the machine allows, in a read-only
	# mount, where one line says what to run.
	for case in history fleet; do
		rm -f "$tmp"/d/*
		"$ANALYZE" store add "$s" "$tmp/r/run1.json" >/dev/null
		P=$s-journal killed_at unlink store add "$s" "$tmp/r/run2.json"
		[[ -e $s-journal ]] || case_failed "$case" "no journal left"
		if [[ $EUID -eq 0 ]] && unshare --mount true 2>/dev/null; then
			run --separate-stderr unshare -m bash -c 'mount --bind "$1" "$1" &&
				mount -o remount,bind,ro "$1" && "${@:2}"' _ "$tmp/d" "$ANALYZE" $case --store "$s"
			expect_equal "$case, read-only" "$status|$stderr" "2|thread-start-analyze: $s: a writer was killed before it committed, and its journal must be rolled back by one who can write the store and its folder: run thread-start-analyze history --store $s once as such a user"
		fi
		run --separate-stderr "$ANALYZE" $case --store "$s"
		expect_equal "$case" "$status $(stored "$s") $(ls -A "$tmp/d" | xargs)" "0 1 ok h1:1 s.db"
	done
	no_case_failed
}

@test "a writer killed making a new store leaves nothing the next writer keeps" {
	needs_strace
	make_runs "$tmp/r" 2
	mkdir "$tmp/d"
	local case at read want
	# case | where the first writer was killed | a reader's status and the
	# end of its line | what the second writer stores and the files it leaves. Files alike
	# that no dead writer of this store made are kept: a live writer's, names not quite
	# its pattern, another store's.
	local kept=(".s.db.$$.0123abcd.new" .s.db.x1.0123abcd.new .s.db.0999999.0123abcd.new
		.s.db.999999.0123abc.new .t.db.999999.0123abcd.new)
	local left
	left=$(printf '%s\n' "${kept[@]}" s.db | LC_ALL=C sort | xargs)
	while IFS='|' read -r case at read want; do
		rm -f "$tmp"/d/* "$tmp"/d/.??*
		(cd "$tmp/d" && touch "${kept[@]}")
		(cd "$tmp/d" && killed_at "$at" store add s.db "$tmp/r/run1.json")
		run "$ANALYZE" history --store "$tmp/d/s.db"
		local said="$status ${output##*: }"
		"$ANALYZE" store add "$tmp/d/s.db" "$tmp/r/run2.json" >/dev/null
		expect_equal "$case" "$said|$(stored "$tmp/d/s.db") $(LC_ALL=C ls -A "$tmp/d" | xargs)" "$read|$want"
	done <<-TABLE
		before it was linked in place|link|2 No such file or directory|1 ok h2:1 $left
		after|unlink:when=2|2 no stored run of the choice asked for|1 ok h2:1 $left
	TABLE
	no_case_failed
}

@test "a writer that may not signal a store maker's process keeps its files" {
	[[ $EUID -eq 0 ]] || skip "another user's process needs root"
	make_runs "$tmp/r" 1
	local d status=0
	d=$(mktemp -d /tmp/store-bats.XXXXXX)
	chmod 777 "$d"
	cp "$tmp/r/run1.json" "$d/" && chmod 644 "$d/run1.json"
	sleep 600 >/dev/null 2>&1 &
	local maker=$!
	touch "$d/.s.db.$maker.0123abcd.new"
	setpriv --reuid=nobody --regid=nogroup --clear-groups test -r "$ANALYZE" || {
		kill "$maker"
		rm -rf "$d"
		skip "the user nobody cannot read $ANALYZE"
	}
	setpriv --reuid=nobody --regid=nogroup --clear-groups \
		"$ANALYZE" store add "$d/s.db" "$d/run1.json" >/dev/null || status=$?
	kill "$maker"
	[ -e "$d/.s.db.$maker.0123abcd.new" ] || status=99
	rm -rf "$d"
	[ "$status" -eq 0 ]
}
