# Helpers shared by the end-to-end scripts: waiting for a condition with a
# deadline, and ending a run as a failure or as a run that could not happen.
#
# Sourced. The sourcing script sets test_name first. It may set wait_seconds
# (how long one wait may take; 20 unless set) and define on_failure, which
# fail and give_up call before they exit, to show what it knows (its logs,
# the windows on screen, a screenshot).

: "${test_name:?set test_name before sourcing lib.sh}"
wait_seconds=${wait_seconds:-20}

# Polls "$@" (its output discarded) until it succeeds; false once wait_seconds
# have passed. Nothing here waits a fixed time: the short pause between two
# polls only keeps the loop from taking a core away from the program under test.
wait_until() {
    local deadline=$((SECONDS + wait_seconds))
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# Ends the test as failed: the reason, then whatever on_failure shows; status 1.
fail() {
    echo "$test_name: FAIL: $*" >&2
    if declare -F on_failure >/dev/null; then on_failure || true; fi
    exit 1
}

# Ends a run that could not be set up (neither pass nor fail): status 125.
give_up() {
    echo "$test_name: $*" >&2
    if declare -F on_failure >/dev/null; then on_failure || true; fi
    exit 125
}
