# Shared by the test files: whether a program runs emulated, as the arm64
# build's programs do through qemu-user on another kind of machine. A test
# of what the emulator cannot do skips there, and only there.

# The architecture program $1 is built for, as the kernel names its own;
# "" for one these tests do not know.
program_arch() {
	case $(readelf -h "$1" | sed -n 's/^ *Machine: *//p') in
	AArch64) echo aarch64 ;;
	"Advanced Micro Devices X86-64") echo x86_64 ;;
	esac
}

# The architecture of the running kernel.
kernel_arch() {
	cat /proc/sys/kernel/arch 2>/dev/null || uname -m
}

# Succeeds if program $1 is of a known architecture that is not the
# kernel's.
emulated() {
	local arch
	arch=$(program_arch "$1")
	[[ -n $arch && $arch != "$(kernel_arch)" ]]
}
