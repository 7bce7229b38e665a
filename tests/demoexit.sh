# Shared by the window tests (sourced): waiting for the demo to end. The sourcing script defines
# fail and pass.

# wait_for_exit WHAT SECONDS PID: passes when the demo (process PID) ends within SECONDS with
# status 0; stops it when it does not.
wait_for_exit() {
    local pid=$3
    for _ in $(seq $(($2 * 20))); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$pid" 2>/dev/null; then
        fail "$1: still running after $2 s"
        kill "$pid"
    fi
    wait "$pid"
    local status=$?
    [ "$status" -eq 0 ] && pass "$1: exit status 0" || fail "$1: exit status $status"
}
