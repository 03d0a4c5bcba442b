# shellcheck shell=sh
# Shared helpers of the install tests (POSIX sh): the checks of
# tests/support/harness.sh and those below. Each test script sources it,
# calls check/expect_* and ends with `finish`.
set -u
# shellcheck source=../support/harness.sh
. "$(dirname "$0")/../support/harness.sh"

# not COMMAND...: succeeds when COMMAND fails, for check.
not() {
	! "$@"
}

# expect_file NAME FILE EXPECTED_PRINTF_ESCAPES: FILE's bytes equal the
# expectation, given with printf %b escapes.
expect_file() {
	printf '%b' "$3" >"$work/expected"
	if cmp -s "$work/expected" "$2"; then
		pass "$1"
	else
		fail "$1"
		echo "    expected:"; od -c "$work/expected" | sed 's/^/      /'
		echo "    got:"; od -c "$2" 2>&1 | sed 's/^/      /'
	fi
}

# expect_status NAME EXPECTED ACTUAL
expect_status() {
	if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "exit status $3, expected $2"; fi
}

# mode_of PATH: the permission bits in octal, as stat prints them.
mode_of() {
	stat -c %a "$1"
}

# expect_tree NAME STAGE ROWS [SKIP]: each row of ROWS (PATH|MODE) is a file
# under STAGE with that mode, and STAGE holds no other file but those whose
# path starts with SKIP (a pattern for grep). Leaves the sorted paths of
# ROWS (but SKIP's) in $work/want.
expect_tree() {
	while IFS='|' read -r file mode; do
		check "$1: $file mode $mode" [ "$(mode_of "$2$file")" = "$mode" ]
	done <<-ROWS
	$3
	ROWS
	# "//" starts no path: without SKIP, nothing is left out.
	(cd "$2" && find . -type f | sed 's/^\.//' | grep -v "^${4:-//}" | sort) >"$work/files"
	printf '%s\n' "$3" | cut -d'|' -f1 | grep -v "^${4:-//}" | sort >"$work/want"
	check "$1: no other files${4:+ outside $4}" cmp -s "$work/want" "$work/files"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
