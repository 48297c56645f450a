#!/usr/bin/env bats
# The machine in the results' context: what it makes of the files of arm64
# machines, from stand-ins with known answers, on any machine; and the form
# of what it finds on this one, whose values are not known.

bats_require_minimum_version 1.5.0
load ../../tests/emulation
load ../../tests/cases

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

# Records case $1 as failed unless the probe, given the arguments after $2,
# prints the line $2.
probe_says() {
	local name=$1 expected=$2 got
	shift 2
	got=$("$PROBE" "$@") || { case_failed "$name" "status $?"; return; }
	expect_equal "$name" "$got" "$expected"
}

# Records case $1 as failed unless the models named in an arm64
# /proc/cpuinfo of the processors given after $2 are $2.
cpuinfo_names() {
	local name=$1 expected=$2
	shift 2
	arm_cpuinfo "$BATS_TEST_TMPDIR/cpuinfo" "$@"
	probe_says "$name" "$expected" cpu "$BATS_TEST_TMPDIR/cpuinfo"
}

# CPU models from an arm64 /proc/cpuinfo: each distinct model once, in
# order; what cannot be read names none. Each line: the case, the models,
# then the processors.
n1='0x41 0x3 0xd0c 1' a53='0x41 0x0 0xd03 4' a72='0x41 0x0 0xd08 2'
@test "cpuinfo: the models of the processors, each case" {
	cpuinfo_names 'one model, named once' 'ARM Neoverse-N1 r3p1' "$n1" "$n1"
	cpuinfo_names 'big.LITTLE, each model once' 'ARM Cortex-A53 r0p4, ARM Cortex-A72 r0p2' \
		"$a53" "$a53" "$a72" "$a72"
	cpuinfo_names 'models in the order first seen' 'ARM Cortex-A72 r0p2, ARM Cortex-A53 r0p4' \
		"$a72" "$a53" "$a72"
	cpuinfo_names 'one part in two variants' 'ARM Cortex-A55 r0p0, ARM Cortex-A55 r1p0' \
		'0x41 0x0 0xd05 0' '0x41 0x1 0xd05 0'
	cpuinfo_names 'Neoverse-V2' 'ARM Neoverse-V2 r1p0' '0x41 0x1 0xd4f 0'
	cpuinfo_names 'Neoverse-V1' 'ARM Neoverse-V1 r1p1' '0x41 0x1 0xd40 1'
	cpuinfo_names 'Kunpeng-920' 'HiSilicon Kunpeng-920 r1p0' '0x48 0x1 0xd01 0'
	cpuinfo_names 'Ampere-1' 'Ampere Ampere-1 r0p0' '0xc0 0x0 0xac3 0'
	cpuinfo_names 'Apple Icestorm' 'Apple Icestorm r1p1' '0x61 0x1 0x022 1'
	cpuinfo_names 'an unknown part' 'ARM part=0xfff r2p0' '0x41 0x2 0xfff 0'
	cpuinfo_names 'an unknown designer' 'implementer=0x99 part=0x005 r0p0' '0x99 0x0 0x5 0'
	cpuinfo_names 'the largest variant and revision' 'ARM Neoverse-N1 r15p15' '0x41 0xf 0xd0c 15'
	cpuinfo_names 'no variant, no revision' 'ARM Neoverse-N1' '0x41 - 0xd0c -'
	cpuinfo_names 'a variant out of range' 'ARM Neoverse-N1' '0x41 0x10 0xd0c 1'
	cpuinfo_names 'no implementer' '' '- 0x3 0xd0c 1'
	cpuinfo_names 'no part' '' '0x41 0x3 - 1'
	cpuinfo_names 'an implementer not hex' '' '0xzz 0x3 0xd0c 1'
	cpuinfo_names 'a negative implementer' '' '-0x41 0x3 0xd0c 1'
	cpuinfo_names 'an implementer out of range' '' '0x141 0x3 0xd0c 1'
	cpuinfo_names 'a part out of range' '' '0x41 0x3 0x1d0c 1'
	cpuinfo_names 'a processor without implementer among good ones' 'ARM Neoverse-N1 r3p1' \
		"$n1" '- 0x3 0xd0c 1'
	no_case_failed
}

# Records case $1 as failed unless the models named, from /proc/cpuinfo $3
# (printf %b; "none": no file) and the MIDR_EL1 files' texts after it
# (printf %b), are $2.
midr_names() {
	local name=$1 expected=$2 cpuinfo=$3 dir i=0 text
	local -a files=()
	shift 3
	dir=$(mktemp -d "$BATS_TEST_TMPDIR/midr.XXXXXX")
	[[ $cpuinfo == none ]] || printf '%b' "$cpuinfo" >"$dir/cpuinfo"
	for text in "$@"; do
		printf '%b' "$text" >"$dir/midr$i"
		files+=("$dir/midr$i")
		i=$((i + 1))
	done
	probe_says "$name" "$expected" cpu "$dir/cpuinfo" "${files[@]}"
}

# CPU models where /proc/cpuinfo names none: from MIDR_EL1 files; another
# kind of /proc/cpuinfo; an old kernel's. Each line: the case, the models,
# /proc/cpuinfo, then the MIDR_EL1 files.
x86='processor\t: 0\nvendor_id\t: AuthenticAMD\nmodel name\t: AMD EPYC\n\n'
@test "MIDR: the models where cpuinfo names none, each case" {
	local little='0x00000000410fd034\n' big='0x00000000410fd082\n'
	local a53='processor\t: 0\nCPU implementer\t: 0x41\nCPU variant\t: 0x0\nCPU part\t: 0xd03\n'
	local n1='processor\t: 0\nCPU implementer\t: 0x41\nCPU variant\t: 0x3\nCPU part\t: 0xd0c\n'
	local old='Processor\t: AArch64 Processor rev 4 (aarch64)\nprocessor\t: 0\nprocessor\t: 1\n'
	old+='Features\t: fp asimd\nCPU implementer\t: 0x41\nCPU architecture: AArch64\n'
	old+='CPU variant\t: 0x0\nCPU part\t: 0xd03\nCPU revision\t: 4\n\nHardware\t: sun50iw1p1\n'
	midr_names 'x86 cpuinfo, nothing else' '' "$x86"
	midr_names 'x86 cpuinfo, one MIDR' 'ARM Neoverse-N1 r3p1' "$x86" '0x00000000413fd0c1\n'
	midr_names 'no cpuinfo, big.LITTLE MIDRs' 'ARM Cortex-A53 r0p4, ARM Cortex-A72 r0p2' none \
		"$little" "$little" "$big" "$big"
	midr_names 'in capitals, no newline' 'ARM Neoverse-N1 r3p1' none 0x00000000413FD0C1
	midr_names 'of an unknown designer' 'implementer=0x99 part=0x005 r0p0' none \
		'0x00000000990f0050\n'
	midr_names 'none that can be read' '' none '' '0x\n' 'garbage\n' '413fd0c1\n' \
		'0x413fd0c1zz\n' '0x0000000100000000\n' '-0x1\n'
	midr_names 'one good among bad ones' 'ARM Cortex-A76 r4p1' none 'garbage\n' \
		'0x00000000414fd0b1\n'
	midr_names 'cpuinfo wins over MIDRs' 'ARM Cortex-A53 r0p4' "${a53}CPU revision\t: 4\n" \
		'0x00000000413fd0c1\n'
	midr_names "an old kernel's cpuinfo, one block for all" 'ARM Cortex-A53 r0p4' "$old"
	midr_names 'an empty cpuinfo' '' ''
	midr_names 'a cpuinfo without a final newline' 'ARM Neoverse-N1 r3p1' "${n1}CPU revision\t: 1"
	no_case_failed
}

# HWCAP bits by the names /proc/cpuinfo gives them, in bit order. Each
# line: AT_HWCAP, then the names.
@test "HWCAP: the names of the bits, each case" {
	local all='fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics fphp asimdhp cpuid'
	all+=' asimdrdm jscvt fcma lrcpc dcpop sha3 sm3 sm4 asimddp sha512 sve asimdfhm dit'
	all+=' uscat ilrcpc flagm ssbs sb paca pacg'
	local hwcap names
	while read -r hwcap names; do
		probe_says "HWCAP $hwcap" "$names" hwcap "$hwcap"
	done <<-EOF
		0 none
		0x1 fp
		0x3 fp asimd
		0x100 atomics
		0x1ff fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics
		0x400000 sve
		0x80000000 pacg
		0xffffffff $all
		0x8000000000000001 fp bit63
	EOF
	no_case_failed
}

# Records case $1 as failed unless the hypervisor named by an arm64 machine
# whose files are those after $2, "PATH=TEXT" (printf %b) under a root of
# its own, is $2.
hypervisor_is() {
	local name=$1 expected=$2 root file got
	shift 2
	root=$(mktemp -d "$BATS_TEST_TMPDIR/root.XXXXXX")/
	for file in "$@"; do
		mkdir -p "$root$(dirname "${file%%=*}")"
		printf '%b' "${file#*=}" >"$root${file%%=*}"
	done
	got=$("$PROBE" virtualization "$root") || { case_failed "$name" "status $?"; return; }
	[[ $got == "$expected" ]] && return
	((${#got} <= 80)) || got="${got:0:80}... (${#got} bytes)"
	case_failed "$name" "got $(printf %q "$got"), expected \"$expected\""
}

# The hypervisor an arm64 machine's files name, one name whatever the file
# (as the x86-64 side names it), or unknown where nothing tells; a file
# tells only by a name: its first line, trimmed, printable, at most 64
# bytes. Each line: the case % the hypervisor % the files.
dt=proc/device-tree dmi=sys/class/dmi/id type=sys/hypervisor/type
name64=$(printf 'a%.0s' {1..64})
junk64k=$(printf 'kvm\\001\\377%.0s' {1..8192})
hypervisor_cases="
nothing % unknown
Xen in sysfs % Xen % $type=xen\n
KVM in sysfs % KVM % $type=kvm\n
KVM in sysfs: capitals, blanks, no newline % KVM % $type=  KVM \t
sysfs: the first line only % KVM % $type=kvm\nxen\n
another type in sysfs % hypervisor \"zvm\" % $type=zvm\n
sysfs: a name of 64 bytes % hypervisor \"$name64\" % $type=$name64\n
sysfs: 65 bytes, no name % unknown % $type=${name64}b\n
sysfs: 64 KiB with control bytes % unknown % $type=$junk64k
sysfs: a control byte % unknown % $type=kv\033m\n
sysfs: a byte beyond ASCII % unknown % $type=kv\303\251m\n
sysfs: DEL % unknown % $type=kv\177m\n
sysfs: blanks only % unknown % $type= \t \n
sysfs: no name, the device tree tells % KVM % $type=$junk64k % $dt/hypervisor/compatible=linux,kvm\0
Xen in the device tree % Xen % $dt/hypervisor/compatible=xen,xen-4.17\0xen,xen\0
KVM in the device tree % KVM % $dt/hypervisor/compatible=linux,kvm\0
VMware in the device tree % VMware % $dt/hypervisor/compatible=vmware\0
another hypervisor node % hypervisor \"acme,hv\" % $dt/hypervisor/compatible=acme,hv\0acme\0
a hypervisor node of control bytes % unknown % $dt/hypervisor/compatible=acme\001hv\0
QEMU's virt machine % QEMU % $dt/compatible=linux,dummy-virt\0
a board % unknown % $dt/compatible=raspberrypi,4-model-b\0brcm,bcm2711\0
KVM by its firmware % KVM % $dmi/sys_vendor=QEMU\n % $dmi/product_name=KVM Virtual Machine\n
QEMU by its firmware % QEMU % $dmi/sys_vendor=QEMU\n % $dmi/product_name=QEMU Virtual Machine\n
an EC2 instance % Amazon EC2 % $dmi/sys_vendor=Amazon EC2\n % $dmi/product_name=c6g.large\n
EC2 bare metal % none % $dmi/sys_vendor=Amazon EC2\n % $dmi/product_name=c6g.metal\n
VMware by its firmware % VMware % $dmi/sys_vendor=VMware, Inc.\n % $dmi/product_name=VMware20,1\n
Parallels by its BIOS % Parallels % $dmi/sys_vendor=Acme\n % $dmi/bios_vendor=Parallels Software International Inc.\n
VirtualBox by its BIOS % VirtualBox % $dmi/sys_vendor=Acme\n % $dmi/bios_vendor=innotek GmbH\n
Xen by its firmware % Xen % $dmi/sys_vendor=Xen\n % $dmi/product_name=HVM domU\n
a vendor whose name starts with Xen % unknown % $dmi/sys_vendor=Xenon Systems\n % $dmi/product_name=XS-1\n
a product whose name starts with KVM % unknown % $dmi/sys_vendor=Acme\n % $dmi/product_name=KVMate 2\n
a vendor with control bytes % unknown % $dmi/sys_vendor=Xen\001\n
a server % unknown % $dmi/sys_vendor=GIGABYTE\n % $dmi/product_name=R272-P30\n % $dmi/bios_vendor=American Megatrends\n
sysfs before the rest % Xen % $type=xen\n % $dmi/sys_vendor=QEMU\n
the device tree before firmware % KVM % $dt/hypervisor/compatible=linux,kvm\0 % $dmi/sys_vendor=VMware, Inc.\n
"

@test "hypervisor: from sysfs, the device tree and firmware, each case" {
	local line
	local -a fields
	while IFS= read -r line; do
		[[ -n $line ]] || continue
		IFS=$'\x1f' read -r -a fields <<<"${line// % /$'\x1f'}"
		hypervisor_is "${fields[@]}"
	done <<<"$hypervisor_cases"
	no_case_failed
}

# Emulation only where the kernel's architecture is known and not the
# program's. Each line: the case, what is said, then the program's
# architecture and the kernel's.
@test "emulation: said only between two known architectures, each case" {
	probe_says 'aarch64 on x86_64' 'emulated on x86_64' emulation aarch64 x86_64
	probe_says 'x86_64 on aarch64' 'emulated on aarch64' emulation x86_64 aarch64
	probe_says 'x86_64 on x86_64' '' emulation x86_64 x86_64
	probe_says 'aarch64 on aarch64' '' emulation aarch64 aarch64
	probe_says 'an unknown program' '' emulation '' x86_64
	probe_says 'an unknown kernel' '' emulation aarch64 ''
	no_case_failed
}

@test "this machine's context: every entry, none empty; emulation said exactly when it is" {
	run -0 --separate-stderr "$PROBE"
	[ -z "$stderr" ]
	local arch kernel expected
	arch=$(program_arch "$PROBE")
	expected="kernel libc cpu_model affinity virtualization tunables"
	[[ $arch != aarch64 ]] ||
		expected="kernel libc cpu_model cpu_features affinity virtualization tunables"
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
