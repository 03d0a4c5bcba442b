# shellcheck shell=sh
# Shared helpers of the install tests (POSIX sh). Each test script sources it,
# calls check/expect_* and ends with `finish`.
set -u

passed=0
failed=0

fail() {
	failed=$((failed + 1))
	printf 'FAIL: %s\n' "$1"
}

pass() {
	passed=$((passed + 1))
}

# check NAME COMMAND...: passes when COMMAND succeeds.
check() {
	name=$1
	shift
	if "$@"; then pass; else fail "$name"; fi
}

# not COMMAND...: succeeds when COMMAND fails, for check.
not() {
	! "$@"
}

# expect_file NAME FILE EXPECTED_PRINTF_ESCAPES: FILE's bytes equal the
# expectation, given with printf %b escapes.
expect_file() {
	printf '%b' "$3" >"$work/expected"
	if cmp -s "$work/expected" "$2"; then
		pass
	else
		fail "$1"
		echo "  expected:"; od -c "$work/expected" | sed 's/^/    /'
		echo "  got:"; od -c "$2" 2>&1 | sed 's/^/    /'
	fi
}

# expect_status NAME EXPECTED ACTUAL
expect_status() {
	if [ "$2" = "$3" ]; then pass; else fail "$1: exit status $3, expected $2"; fi
}

# mode_of PATH: the permission bits in octal, as stat prints them.
mode_of() {
	stat -c %a "$1"
}

finish() {
	echo "$passed passed, $failed failed"
	[ "$failed" -eq 0 ]
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
