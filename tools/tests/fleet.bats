#!/usr/bin/env bats
# The fleet recipe as the README gives it, with this machine standing in
# for three hosts through Ansible's local connection.

bats_require_minimum_version 1.5.0
load ../../tests/needs
load ../../tests/cases

setup() {
	command -v ansible-playbook >/dev/null ||
		missing_package "ansible-playbook (ansible-core) is not installed"
	/usr/bin/python3 -c 'import scipy' 2>/dev/null ||
		missing_package "python3-scipy is not installed"
	cd "$BATS_TEST_TMPDIR"
	printf '%s ansible_connection=local ansible_python_interpreter=/usr/bin/python3\n' \
		host-a host-b host-c >hosts
}

@test "the playbook runs the bench on every host and fetches each run; one analyze call reads all" {
	local args='--benchmark_repetitions=3 --benchmark_filter=^(program_run/pipe|cold)'
	run -0 ansible-playbook -i hosts "$PLAYBOOK" -e runs=2 -e "bench=$THREAD_START_BENCH" \
		-e "bench_args='$args'"
	# The hosts share one playbook run, which is costly: each is checked,
	# and each that is wrong named.
	local host
	for host in host-a host-b host-c; do
		[ -f "fleet/$host/run1.json" ] || case_failed "$host" "no run1.json"
		jq -e --arg h "$host" '.context.label == $h' "fleet/$host/run2.json" >/dev/null ||
			case_failed "$host" "run2.json not labelled $host"
	done
	no_case_failed
	run -0 --separate-stderr "$ANALYZE" --fleet --format=csv fleet/*/*.json
	[ "$(grep -c '^fleet,host-[abc],2,' <<<"$output")" -eq 3 ]
	[ -z "$stderr" ]
}
