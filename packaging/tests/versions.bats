#!/usr/bin/env bats
# One version, the project's (project() in the top CMakeLists.txt): every
# other place that states it must state the same.

load ../../tests/cases

# Each place that states a version and what it states: PLACE|VERSION.
stated() {
	echo "packaging/changelog's latest entry|$(sed -n '1s/^thread-start-time (\([^)]*\)).*/\1/p' \
		"$SOURCE_DIR/packaging/changelog")"
	echo "NEWS.md's latest section|$(sed -n 's/^## \([^ ]*\).*/\1/p' "$SOURCE_DIR/NEWS.md" | head -n 1)"
	echo "the Debian packages|$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' \
		"$BUILD_DIR/CPackConfig.cmake")"
	local page
	for page in "$BUILD_DIR"/doc/*.1.gz; do
		echo "${page##*/}|$(zcat "$page" | sed -n '1s/.*"thread-start-time \([^"]*\)".*/\1/p')"
	done
}

@test "the changelog, NEWS.md, the packages and the manual pages state the project's version" {
	local version=${PROJECT_VERSION:?set PROJECT_VERSION to the project\'s version} place got
	failures=()
	while IFS='|' read -r place got; do
		expect_equal "$place" "$got" "$version"
	done < <(stated)
	no_case_failed
}
