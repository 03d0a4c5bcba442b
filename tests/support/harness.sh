# shellcheck shell=sh
# Pass/fail checks for the shell tests, sourced by the install tests, the
# kernel bench's guest scripts and the benchmarks' guests (POSIX sh: runs
# under dash, bash and busybox sh). Each check prints "ok - NAME" or
# "FAIL - NAME" with its details indented; a script ends with `finish`, whose
# line "N passed, M failed" is the one the kernel bench reads from its
# guest's console.

PASSED=0
FAILED=0

pass() { PASSED=$((PASSED + 1)); echo "ok - $1"; }
fail() { # fail NAME DETAIL...: each detail on a line of its own, indented
	FAILED=$((FAILED + 1))
	echo "FAIL - $1"
	shift
	for _detail in "$@"; do echo "    $_detail"; done
}

# check NAME COMMAND...: passes when COMMAND succeeds.
check() {
	_check=$1
	shift
	if "$@"; then pass "$_check"; else fail "$_check" "failed: $*"; fi
}

# finish: the summary line; fails when a check failed.
finish() {
	echo "$PASSED passed, $FAILED failed"
	[ "$FAILED" -eq 0 ]
}

# wait_for SECONDS COMMAND...: polls COMMAND every 50 ms for up to SECONDS.
# Every wait in the tests is a bound that only catches a hang: it ends as
# soon as what it waits for holds, and is many times what an idle machine
# needs, so that a busy host (an emulator shares its processors with other
# work) fails no check. Times are printed as figures where they matter,
# never judged.
wait_for() {
	_tries=$(($1 * 20))
	shift
	while [ "$_tries" -gt 0 ]; do
		"$@" && return 0
		sleep 0.05
		_tries=$((_tries - 1))
	done
	return 1
}
