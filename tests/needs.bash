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
