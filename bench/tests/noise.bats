#!/usr/bin/env bats
# The noise of a run and --check-system: each finding on stand-in /proc and
# /sys files, the entries a run records, and a run beside busy loops.

bats_require_minimum_version 1.5.0
load ../../tests/cases

setup() {
	BENCH=${THREAD_START_BENCH:?set THREAD_START_BENCH to the benchmark}
	FAKE=${FAKE_PROGRAM:?set FAKE_PROGRAM to the stand-in program}
	PROBE=${NOISE_TEST:?set NOISE_TEST to the noise test program}
	json=$BATS_TEST_TMPDIR/results.json
}

teardown() { for pid in "${loops[@]}"; do kill "$pid" 2>/dev/null || true; done; }

# Writes a quiet machine of CPUs 0-1, the bench's CPU 1, under $1 (before)
# and $2 (after a sample of 100 ticks a CPU): performance governor, boost
# off, no SMT sibling, CPU 1 isolated, a load of 0.10, nothing busy.
quiet_machine() {
	local root cpu sys
	for root in "$1" "$2"; do
		sys=$root/sys/devices/system/cpu
		mkdir -p "$root"/proc/4242 "$sys"/{cpufreq,smt} "$sys"/cpu{0,1}/{cpufreq,topology}
		for cpu in 0 1; do
			echo performance >"$sys/cpu$cpu/cpufreq/scaling_governor"
			echo $cpu >"$sys/cpu$cpu/topology/thread_siblings_list"
		done
		echo 0 >"$sys/cpufreq/boost" && echo 0 >"$sys/smt/active"
		echo 1 >"$sys/isolated" && echo 1 >"$sys/nohz_full"
		echo '0.10 0.10 0.10 1/100 4242' >"$root"/proc/loadavg
		echo '4242 (burn) R 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 0' >"$root"/proc/4242/stat
	done
	printf 'cpu  0 0 0 0 0 0 0 0 0 0\ncpu0 0 0 0 0 0 0 0 0 0 0\ncpu1 0 0 0 0 0 0 0 0 0 0\n' >"$1"/proc/stat
	printf 'cpu  0 0 0 200 0 0 0 0 0 0\ncpu0 0 0 0 100 0 0 0 0 0 0\ncpu1 0 0 0 100 0 0 0 0 0 0\n' >"$2"/proc/stat
}

@test "--check-system: each finding, its fix and the exit status, on stand-in files" {
	# case | status | lines the check prints (^ between; !TEXT: none has it) |
	# files changed (FILE=TEXT;...), under before/ and after/ or both (sys/...,
	# proc/loadavg); TEXT - removes the file. CPUS=LIST checks those CPUs;
	# EMPTY= leaves no file at all.
	local table='
quiet|0|quiet: nothing found that disturbs runs on CPU 1|
powersave governor|1|governor: powersave: the clock speed follows the load, and the bench'"'"'s short runs meet it low^     or: for cpu in 1; do echo performance > /sys/devices/system/cpu/cpu$cpu/cpufreq/scaling_governor; done|sys/devices/system/cpu/cpu1/cpufreq/scaling_governor=powersave
governors differ|1|    fix: cpupower -c 1 frequency-set -g performance|sys/devices/system/cpu/cpu1/cpufreq/scaling_governor=powersave;CPUS=0-1
boost on|1|    fix: echo 0 > /sys/devices/system/cpu/cpufreq/boost|sys/devices/system/cpu/cpufreq/boost=1
turbo on|1|    fix: echo 1 > /sys/devices/system/cpu/intel_pstate/no_turbo|sys/devices/system/cpu/cpufreq/boost=-;sys/devices/system/cpu/intel_pstate/no_turbo=0
turbo off|0|quiet: nothing found that disturbs runs on CPU 1|sys/devices/system/cpu/cpufreq/boost=-;sys/devices/system/cpu/intel_pstate/no_turbo=1
SMT on|1|SMT: on (siblings 1,3): work on a sibling slows the bench'"'"'s CPU, unseen^    fix: echo off > /sys/devices/system/cpu/smt/control|sys/devices/system/cpu/cpu1/topology/thread_siblings_list=1,3
steal|1|steal: the hypervisor gave 10.0 % of CPU 1 to other guests|after/proc/stat=cpu1 0 0 0 90 0 0 0 10 0 0
steal at 2 %|0|quiet: nothing found that disturbs runs on CPU 1|after/proc/stat=cpu1 0 0 0 98 0 0 0 2 0 0
busy process|1|busy: other processes used 60.0 % of CPU 1^    4242 burn: 60.0 % of a CPU^    fix: kill 4242   (or wait until they are done)|after/proc/stat=cpu1 50 0 10 40 0 0 0 0 0 0;after/proc/4242/stat=4242 (burn) R 1 1 1 0 -1 0 0 0 0 0 50 10 0 0 20 0 1 0 0
busy, one under 5 % of a CPU|1|!4243|after/proc/stat=cpu1 54 0 10 36 0 0 0 0 0 0;after/proc/4242/stat=4242 (burn) R 1 1 1 0 -1 0 0 0 0 0 50 10 0 0 20 0 1 0 0;before/proc/4243/stat=4243 (sh) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 0;after/proc/4243/stat=4243 (sh) S 1 1 1 0 -1 0 0 0 0 0 4 0 0 0 20 0 1 0 0
busy at 10 %|0|quiet: nothing found that disturbs runs on CPU 1|after/proc/stat=cpu1 10 0 0 90 0 0 0 0 0 0
load above the CPUs|1|load: the 1-minute load average is 1.50, above the bench'"'"'s 1 CPU: processes wait to run|proc/loadavg=1.50 1.00 0.50 3/100 4242
load at the CPUs|0|quiet: nothing found that disturbs runs on CPU 1|proc/loadavg=1.00 1.00 0.50 3/100 4242
no CPU isolated|0|note: isolation: no CPU is isolated: any process may run on CPU 1^    fix: isolcpus=1 nohz_full=1   (on the kernel command line: GRUB_CMDLINE_LINUX in /etc/default/grub, then update-grub and reboot)|sys/devices/system/cpu/isolated=
other CPUs isolated|0|note: isolation: CPU 1 are not all among the isolated CPUs 0|sys/devices/system/cpu/isolated=0
nothing shown|0|not shown by the kernel here: load_avg_before load_avg_after others_cpu steal cpu_governor cpu_boost smt isolated_cpus nohz_full|EMPTY=
two disturb|1|disturbed: 2 findings that disturb runs on CPU 1|sys/devices/system/cpu/cpufreq/boost=1;proc/loadavg=3.00 1.00 0.50 3/100 4242
'
	local name want line files
	while IFS='|' read -r name want line files; do
		[[ -n $name ]] || continue
		local root=$BATS_TEST_TMPDIR/$name cpus=1
		quiet_machine "$root/before" "$root/after"
		local changes change path text where wheres
		IFS=';' read -ra changes <<<"$files"
		for change in "${changes[@]}"; do
			path=${change%%=*} text=${change#*=}
			case $path in
			CPUS) cpus=$text; continue ;;
			EMPTY) rm -r "$root"; mkdir -p "$root"/{before,after}; continue ;;
			before/* | after/*) wheres=("$root") ;;
			*) wheres=("$root/before" "$root/after") ;;
			esac
			for where in "${wheres[@]}"; do
				[[ $text != - ]] || { rm -f "$where/$path"; continue; }
				mkdir -p "$(dirname "$where/$path")"
				echo "$text" >"$where/$path"
			done
		done
		run "$PROBE" check "$cpus" "$root/before" "$root/after"
		expect_equal "$name: status" "$status" "$want"
		# A quiet machine: that line and nothing else.
		[[ $line != quiet:* ]] || { expect_equal "$name" "$output" "$line"; continue; }
		IFS='^' read -ra changes <<<"$line"
		for line in "${changes[@]}"; do
			if [[ $line == !* ]]; then
				! grep -qF -- "${line#!}" <<<"$output" || case_failed "$name" "\"${line#!}\" in: $output"
			else
				grep -qxF -- "$line" <<<"$output" || case_failed "$name" "no line \"$line\" in: $output"
			fi
		done
	done <<<"$table"
	# Six busy processes: the five that used the most are named, in order.
	local root=$BATS_TEST_TMPDIR/six pid
	quiet_machine "$root/before" "$root/after"
	echo 'cpu1 60 0 0 40 0 0 0 0 0 0' >"$root/after/proc/stat"
	for pid in 1 2 3 4 5 6; do
		mkdir -p "$root"/{before,after}/proc/$pid
		echo "$pid (p) R 1 1 1 0 -1 0 0 0 0 0 0 0" >"$root/before/proc/$pid/stat"
		echo "$pid (p) R 1 1 1 0 -1 0 0 0 0 0 $((pid + 5)) 0" >"$root/after/proc/$pid/stat"
	done
	run -1 "$PROBE" check 1 "$root/before" "$root/after"
	expect_equal "six busy" "$(grep -o '^    [0-9] ' <<<"$output" | tr -d ' \n')" 65432
	no_case_failed
}

@test "a run's noise entries, from stand-in samples of CPUs 0-1" {
	local root=$BATS_TEST_TMPDIR/machine
	quiet_machine "$root/before" "$root/after"
	# The settings are recorded, and never make a run disturbed.
	echo powersave >"$root/before/sys/devices/system/cpu/cpu1/cpufreq/scaling_governor"
	echo 1 >"$root/before/sys/devices/system/cpu/cpufreq/boost"
	echo 0,2 >"$root/before/sys/devices/system/cpu/cpu0/topology/thread_siblings_list"
	echo >"$root/before/sys/devices/system/cpu/isolated"
	rm "$root/before/sys/devices/system/cpu/nohz_full"
	run -0 "$PROBE" run 0-1 "$root/before" "$root/after"
	expect_equal quiet "$output" "noise: quiet
load_avg_before: 0.10
load_avg_after: 0.10
others_cpu: 0.0 % (0.00 s)
steal: 0.0 %
cpu_governor: performance on 0, powersave on 1
cpu_boost: on
smt: on (siblings 0,2)
isolated_cpus: none
nohz_full: unknown"
	# CPU 1 busy, CPU 0 idle: half of the bench's CPUs' time.
	printf 'cpu0 0 0 0 100 0 0 0 0\ncpu1 70 10 20 0 0 0 0 0\n' >"$root/after/proc/stat"
	echo '2.50 1 1 1/1 1' >"$root/after/proc/loadavg"
	run -0 "$PROBE" run 0-1 "$root/before" "$root/after"
	expect_equal "disturbed" "${lines[0]}" "noise: disturbed: other processes used 50.0 % of the bench's CPUs (above 10.0 %); load average 2.50 after the run (above the bench's 2 CPUs)"
	expect_equal "others_cpu" "${lines[3]}" "others_cpu: 50.0 % (1.00 s)"
	no_case_failed
}

# Passes if the answer's warning and the results file's entry
# `noise` say the same: quiet (no warning) or disturbed with its reasons.
warning_matches_entry() {
	local noise warning
	noise=$(jq -r .context.noise "$json")
	warning=$(grep '^warning: the machine disturbed' <<<"$output" || true)
	case $noise in
	quiet) [[ -z $warning ]] || { echo "quiet, but: $warning" >&2; return 1; } ;;
	"disturbed: "?*)
		[[ $warning == "warning: the machine disturbed this run, its figures may be off: ${noise#disturbed: }" ]] ||
			{ echo "entry \"$noise\", warning \"$warning\"" >&2; return 1; } ;;
	*) echo "noise: \"$noise\"" >&2; return 1 ;;
	esac
}

@test "a run records its noise: the entries' format, the warning as the entry says" {
	# Runs of 0.3 s: 2.4 s in all, so that the start's date is told apart.
	local start
	start=$(date +%s)
	FAKE_MODE=slow-logged FAKE_COUNTER=$BATS_TEST_TMPDIR/counter run -0 --separate-stderr \
		"$BENCH" --program="$FAKE" --benchmark_filter='^program_run/pipe/' \
		--benchmark_repetitions=8 --benchmark_out="$json"
	warning_matches_entry
	# The machine may be busy: only the format is known.
	local entry=load_avg_before pattern='^([0-9]+\.[0-9]{2}|unknown)$' failures=()
	for entry in load_avg_before:"$pattern" load_avg_after:"$pattern" \
		others_cpu:'^[0-9]+\.[0-9] % \([0-9]+\.[0-9]{2} s\)$|^unknown$' \
		steal:'^[0-9]+\.[0-9] %$|^unknown$' cpu_governor:. cpu_boost:'^(on|off|unknown)$' \
		smt:'^(on|off|unknown)' isolated_cpus:. nohz_full:.; do
		jq -e --arg k "${entry%%:*}" --arg p "${entry#*:}" '.context[$k] | test($p)' "$json" \
			>/dev/null || case_failed "${entry%%:*}" "$(jq -c ".context.${entry%%:*}" "$json")"
	done
	# The context, written at the end, keeps the library's order and the
	# start's date.
	jq -e '.context | keys_unsorted[:3] == ["date", "host_name", "executable"]' "$json" >/dev/null ||
		case_failed order "$(jq -c '.context | keys_unsorted[:3]' "$json")"
	local date
	date=$(date -d "$(jq -r .context.date "$json")" +%s)
	((date <= start + 1)) || case_failed date "$((date - start)) s after the start"
	no_case_failed
}

# Starts $1 busy loops on this shell's first CPU, $cpu.
busy_loops() {
	cpu=$(taskset -pc $$ | sed 's/.*: //; s/[-,].*//') loops=()
	for ((i = 0; i < $1; i++)); do taskset -c "$cpu" sh -c 'while :; do :; done' & loops+=($!); done
}

@test "a run beside busy loops on its CPU is disturbed, and says why" {
	busy_loops 2
	run -0 --separate-stderr taskset -c "$cpu" "$BENCH" --program="$FAKE" \
		--benchmark_filter='^program_run/pipe/' --benchmark_repetitions=60 --benchmark_out="$json"
	warning_matches_entry
	[[ $(jq -r .context.noise "$json") == "disturbed: "*"other processes used "* ]]
}

@test "--check-system on this machine: busy loops on its CPU are found, with their pid" {
	busy_loops 1
	run -1 taskset -c "$cpu" "$BENCH" --check-system
	[[ $output == *"busy: other processes used "*" of CPU $cpu"* ]]
	# Named, unless five others used more of the machine.
	[[ $output == *"    ${loops[0]} sh: "* ]] ||
		(($(grep -c '^    [0-9]* .*: [0-9.]* % of a CPU$' <<<"$output") == 5))
	[[ ${lines[-1]} == "disturbed: "*" runs on CPU $cpu" ]]
}

@test "usage: --check-system takes no other argument; --help shows it; output lost is status 1" {
	run -2 --separate-stderr "$BENCH" --check-system --label=x
	[ "$stderr" = "thread-start-bench: --check-system takes no other argument (try --help)" ]
	[ -z "$output" ]
	run -0 "$BENCH" --help
	[[ $output == *"--check-system     measure nothing"* ]]
	[[ -w /dev/full ]] || skip "no /dev/full"
	run -1 --separate-stderr sh -c '"$0" --check-system >/dev/full' "$BENCH"
	[ "$stderr" = "thread-start-bench: standard output: No space left on device" ]
}
