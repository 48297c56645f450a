#!/usr/bin/env bats
# The machine in the results' context: what it makes of the files of arm64
# machines, from stand-ins with known answers, on any machine; and the form
# of what it finds on this one, whose values are not known.

bats_require_minimum_version 1.5.0
load ../../tests/emulation

setup() {
	PROBE=${MACHINE_PROBE:?set MACHINE_PROBE to the machine-probe program}
}

# Writes an arm64 /proc/cpuinfo to $1 as the kernel writes it, one processor
# an argument: "IMPLEMENTER VARIANT PART REVISION", "-" for a line left out.
arm_cpuinfo() {
	local file=$1 n=0 processor implementer variant part revision
	shift
	for processor in "$@"; do
		read -r implementer variant part revision <<<"$processor"
		printf 'processor\t: %d\nBogoMIPS\t: 50.00\n' "$n"
		printf 'Features\t: fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics cpuid\n'
		[[ $implementer == - ]] || printf 'CPU implementer\t: %s\n' "$implementer"
		printf 'CPU architecture: 8\n'
		[[ $variant == - ]] || printf 'CPU variant\t: %s\n' "$variant"
		[[ $part == - ]] || printf 'CPU part\t: %s\n' "$part"
		[[ $revision == - ]] || printf 'CPU revision\t: %s\n' "$revision"
		printf '\n'
		n=$((n + 1))
	done >"$file"
}

# Passes if the probe, given the arguments after the case's name $1, prints
# the line $2; names the case otherwise.
probe_says() {
	local case=$1 expected=$2 got
	shift 2
	got=$("$PROBE" "$@") || { echo "$case: status $?" >&2; return 1; }
	[ "$got" = "$expected" ] || {
		echo "$case: got \"$got\", not \"$expected\"" >&2
		return 1
	}
}

@test "CPU models from an arm64 /proc/cpuinfo: each distinct model once, in order; what cannot be read names none" {
	local cpuinfo=$BATS_TEST_TMPDIR/cpuinfo failed=0
	local processors expected list
	# processors, ";" between them | the models
	while IFS='|' read -r processors expected; do
		IFS=';' read -ra list <<<"$processors"
		arm_cpuinfo "$cpuinfo" "${list[@]}"
		probe_says "$processors" "$expected" cpu "$cpuinfo" || failed=1
	done <<-'TABLE'
		0x41 0x3 0xd0c 1;0x41 0x3 0xd0c 1|ARM Neoverse-N1 r3p1
		0x41 0x0 0xd03 4;0x41 0x0 0xd03 4;0x41 0x0 0xd08 2;0x41 0x0 0xd08 2|ARM Cortex-A53 r0p4, ARM Cortex-A72 r0p2
		0x41 0x0 0xd08 2;0x41 0x0 0xd03 4;0x41 0x0 0xd08 2|ARM Cortex-A72 r0p2, ARM Cortex-A53 r0p4
		0x41 0x0 0xd05 0;0x41 0x1 0xd05 0|ARM Cortex-A55 r0p0, ARM Cortex-A55 r1p0
		0x41 0x1 0xd4f 0|ARM Neoverse-V2 r1p0
		0x41 0x1 0xd40 1|ARM Neoverse-V1 r1p1
		0x48 0x1 0xd01 0|HiSilicon Kunpeng-920 r1p0
		0xc0 0x0 0xac3 0|Ampere Ampere-1 r0p0
		0x61 0x1 0x022 1|Apple Icestorm r1p1
		0x41 0x2 0xfff 0|ARM part=0xfff r2p0
		0x99 0x0 0x5 0|implementer=0x99 part=0x005 r0p0
		0x41 0xf 0xd0c 15|ARM Neoverse-N1 r15p15
		0x41 - 0xd0c -|ARM Neoverse-N1
		0x41 0x10 0xd0c 1|ARM Neoverse-N1
		- 0x3 0xd0c 1|
		0x41 0x3 - 1|
		0xzz 0x3 0xd0c 1|
		-0x41 0x3 0xd0c 1|
		0x141 0x3 0xd0c 1|
		0x41 0x3 0x1d0c 1|
		0x41 0x3 0xd0c 1;- 0x3 0xd0c 1|ARM Neoverse-N1 r3p1
	TABLE
	[ "$failed" -eq 0 ]
}

@test "CPU models where /proc/cpuinfo names none: from MIDR_EL1 files; another kind of /proc/cpuinfo; an old kernel's" {
	local dir=$BATS_TEST_TMPDIR failed=0
	local case cpuinfo midrs expected text i
	local -a files list

	# case | /proc/cpuinfo (printf %b; "none": no file) | MIDR_EL1 files'
	# texts (printf %b, "," between them) | the models
	while IFS='|' read -r case cpuinfo midrs expected; do
		rm -f "$dir"/cpuinfo "$dir"/midr*
		[[ $cpuinfo == none ]] || printf '%b' "$cpuinfo" >"$dir/cpuinfo"
		files=()
		i=0
		if [[ -n $midrs ]]; then
			IFS=',' read -ra list <<<"$midrs"
			for text in "${list[@]}"; do
				printf '%b' "$text" >"$dir/midr$i"
				files+=("$dir/midr$i")
				i=$((i + 1))
			done
		fi
		probe_says "$case" "$expected" cpu "$dir/cpuinfo" "${files[@]}" || failed=1
	done <<-'TABLE'
		x86 cpuinfo, nothing else|processor\t: 0\nvendor_id\t: AuthenticAMD\nmodel name\t: AMD EPYC\n\n||
		x86 cpuinfo, one MIDR|processor\t: 0\nvendor_id\t: AuthenticAMD\nmodel name\t: AMD EPYC\n\n|0x00000000413fd0c1\n|ARM Neoverse-N1 r3p1
		no cpuinfo, big.LITTLE MIDRs|none|0x00000000410fd034\n,0x00000000410fd034\n,0x00000000410fd082\n,0x00000000410fd082\n|ARM Cortex-A53 r0p4, ARM Cortex-A72 r0p2
		MIDR in capitals, no newline|none|0x00000000413FD0C1|ARM Neoverse-N1 r3p1
		MIDR of an unknown designer|none|0x00000000990f0050\n|implementer=0x99 part=0x005 r0p0
		MIDRs that are none|none|,0x\n,garbage\n,413fd0c1\n,0x413fd0c1zz\n,0x0000000100000000\n,-0x1\n|
		one good MIDR among bad ones|none|garbage\n,0x00000000414fd0b1\n|ARM Cortex-A76 r4p1
		cpuinfo wins over MIDRs|processor\t: 0\nCPU implementer\t: 0x41\nCPU variant\t: 0x0\nCPU part\t: 0xd03\nCPU revision\t: 4\n|0x00000000413fd0c1\n|ARM Cortex-A53 r0p4
		an old kernel: one block for all|Processor\t: AArch64 Processor rev 4 (aarch64)\nprocessor\t: 0\nprocessor\t: 1\nFeatures\t: fp asimd\nCPU implementer\t: 0x41\nCPU architecture: AArch64\nCPU variant\t: 0x0\nCPU part\t: 0xd03\nCPU revision\t: 4\n\nHardware\t: sun50iw1p1\n||ARM Cortex-A53 r0p4
		empty cpuinfo|||
		no final newline|processor\t: 0\nCPU implementer\t: 0x41\nCPU variant\t: 0x3\nCPU part\t: 0xd0c\nCPU revision\t: 1||ARM Neoverse-N1 r3p1
	TABLE
	[ "$failed" -eq 0 ]
}

@test "HWCAP bits by the names /proc/cpuinfo gives them, in bit order" {
	local failed=0 bits expected
	# AT_HWCAP | the names
	while IFS='|' read -r bits expected; do
		probe_says "$bits" "$expected" hwcap "$bits" || failed=1
	done <<-'TABLE'
		0|none
		0x1|fp
		0x3|fp asimd
		0x100|atomics
		0x1ff|fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics
		0x400000|sve
		0x80000000|pacg
		0xffffffff|fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics fphp asimdhp cpuid asimdrdm jscvt fcma lrcpc dcpop sha3 sm3 sm4 asimddp sha512 sve asimdfhm dit uscat ilrcpc flagm ssbs sb paca pacg
		0x8000000000000001|fp bit63
	TABLE
	[ "$failed" -eq 0 ]
}

@test "the hypervisor an arm64 machine's files name, or unknown where nothing tells" {
	local failed=0 case files expected file root
	local -a list
	# case | files under the root, "PATH=TEXT" (printf %b), ";" between
	# them | the hypervisor
	while IFS='|' read -r case files expected; do
		root=$BATS_TEST_TMPDIR/root-${case// /-}/
		mkdir -p "$root"
		IFS=';' read -ra list <<<"$files"
		for file in "${list[@]}"; do
			mkdir -p "$root$(dirname "${file%%=*}")"
			printf '%b' "${file#*=}" >"$root${file%%=*}"
		done
		probe_says "$case" "$expected" virtualization "$root" || failed=1
	done <<-'TABLE'
		nothing||unknown
		Xen in sysfs|sys/hypervisor/type=xen\n|Xen
		another type in sysfs|sys/hypervisor/type=zvm\n|zvm
		Xen in the device tree|proc/device-tree/hypervisor/compatible=xen,xen-4.17\0xen,xen\0|Xen
		KVM in the device tree|proc/device-tree/hypervisor/compatible=linux,kvm\0|KVM
		VMware in the device tree|proc/device-tree/hypervisor/compatible=vmware\0|VMware
		another hypervisor node|proc/device-tree/hypervisor/compatible=acme,hv\0acme\0|hypervisor "acme,hv"
		QEMU's virt machine|proc/device-tree/compatible=linux,dummy-virt\0|QEMU
		a board|proc/device-tree/compatible=raspberrypi,4-model-b\0brcm,bcm2711\0|unknown
		KVM by its firmware|sys/class/dmi/id/sys_vendor=QEMU\n;sys/class/dmi/id/product_name=KVM Virtual Machine\n|KVM
		QEMU by its firmware|sys/class/dmi/id/sys_vendor=QEMU\n;sys/class/dmi/id/product_name=QEMU Virtual Machine\n|QEMU
		an EC2 instance|sys/class/dmi/id/sys_vendor=Amazon EC2\n;sys/class/dmi/id/product_name=c6g.large\n|Amazon EC2
		EC2 bare metal|sys/class/dmi/id/sys_vendor=Amazon EC2\n;sys/class/dmi/id/product_name=c6g.metal\n|none
		VMware by its firmware|sys/class/dmi/id/sys_vendor=VMware, Inc.\n;sys/class/dmi/id/product_name=VMware20,1\n|VMware
		Parallels by its BIOS|sys/class/dmi/id/sys_vendor=Acme\n;sys/class/dmi/id/bios_vendor=Parallels Software International Inc.\n|Parallels
		a server|sys/class/dmi/id/sys_vendor=GIGABYTE\n;sys/class/dmi/id/product_name=R272-P30\n;sys/class/dmi/id/bios_vendor=American Megatrends\n|unknown
		sysfs before the rest|sys/hypervisor/type=xen\n;sys/class/dmi/id/sys_vendor=QEMU\n|Xen
		device tree before firmware|proc/device-tree/hypervisor/compatible=linux,kvm\0;sys/class/dmi/id/sys_vendor=VMware, Inc.\n|KVM
	TABLE
	[ "$failed" -eq 0 ]
}

@test "emulation: only where the kernel's architecture is known and not the program's" {
	local failed=0 program kernel expected
	# the program's | the kernel's | what is said
	while IFS='|' read -r program kernel expected; do
		probe_says "$program on $kernel" "$expected" emulation "$program" "$kernel" || failed=1
	done <<-'TABLE'
		aarch64|x86_64|emulated on x86_64
		x86_64|aarch64|emulated on aarch64
		x86_64|x86_64|
		aarch64|aarch64|
		|x86_64|
		aarch64||
	TABLE
	[ "$failed" -eq 0 ]
}

@test "this machine's context: every entry, none empty; emulation said exactly when the kernel is of another architecture" {
	run -0 --separate-stderr "$PROBE"
	[ -z "$stderr" ]
	local arch kernel expected
	arch=$(program_arch "$PROBE")
	expected="kernel libc cpu_model affinity virtualization tunables"
	[[ $arch != aarch64 ]] || expected="kernel libc cpu_model cpu_features affinity virtualization tunables"
	[ "$(cut -d: -f1 <<<"$output" | xargs)" = "$expected" ]
	local line
	for line in "${lines[@]}"; do
		[[ $line =~ ^[a-z_]+:\ [^\ ] ]] || { echo "empty or bad: $line" >&2; false; }
	done
	if [[ $arch == aarch64 ]]; then
		[[ $output =~ $'\n'"cpu_features: "(none|[a-z0-9]+( [a-z0-9]+)*)$'\n' ]]
	fi

	[[ -e /proc/sys/kernel/arch ]] || skip "no /proc/sys/kernel/arch"
	[[ -n $arch ]] || skip "no emulation check for this architecture"
	kernel=$(kernel_arch)
	if [[ $arch != "$kernel" ]]; then
		[[ $output == *$'\n'"virtualization: emulated on $kernel"$'\n'* ]]
	else
		[[ $output != *"emulated"* ]]
	fi
}
