# Shared by the test files: what to do when an optional package is missing.

# Skips the test, naming the package; fails it instead where every package
# is required (THREAD_START_REQUIRE_PACKAGES=1, as CI and the fresh-machine
# checks set it, after tools/install-packages test).
missing_package() {
	if [[ ${THREAD_START_REQUIRE_PACKAGES:-} == 1 ]]; then
		echo "missing: $* (tools/install-packages test installs it)" >&2
		return 1
	fi
	skip "$*"
}

# Skips the test where this process cannot have a mount namespace of its
# own: not root, or in a chroot whose root is no mount point (unshare then
# cannot make its mounts private), as in some package build chroots.
needs_mount_namespace() {
	[[ $EUID -eq 0 ]] || skip "mounting needs root"
	command -v unshare >/dev/null || missing_package "unshare (util-linux) is not installed"
	command -v mount >/dev/null || missing_package "mount is not installed"
	unshare --mount true 2>/dev/null ||
		skip "cannot make a mount namespace here: $(unshare --mount true 2>&1)"
}
