#!/usr/bin/env bash
# Runs every test: installs what a fresh Debian 12 machine lacks, checks the
# include layering of src/, builds the program three ways (plain,
# AddressSanitizer+UBSan, libFuzzer), runs the unit and process tests of the
# first two, every fuzz target for a short while, the fake-server tests,
# then starts the real servers on loopback for the end-to-end tests and
# stops them again, pass or fail.  It goes on after a failure, ends with a
# summary and exits non-zero when anything failed.
#
# Environment:
#   LK_BUILD         build directory prefix (default "build": build,
#                    build-asan, build-fuzz)
#   LK_JOBS          parallel build and test jobs (default 2)
#   LK_FUZZ_SECONDS  run time of each fuzz target (default 12)
#   LK_SKIP          steps to leave out, blank-separated: install npm layers
#                    build unit asan fuzz fake e2e package
#   LK_PKG_LIGHTTPD_PORT, LK_PKG_APACHE_PORT
#                    loopback ports of the web servers that serve the
#                    installed Debian package (default 18181, 18182)
#   LARKSPUR_RUN     state directory of the servers (default run/servers-test,
#                    so a running demo is left alone) and their LK_*_PORT
#                    variables (defaults here are 12xxx, beside the demo's 11xxx)
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
B=${LK_BUILD:-build}
JOBS=${LK_JOBS:-2}
FUZZ_SECONDS=${LK_FUZZ_SECONDS:-12}
SKIP=" ${LK_SKIP:-} "
export LARKSPUR_RUN=${LARKSPUR_RUN:-$ROOT/run/servers-test}
export LK_USER_PREFIX=${LK_USER_PREFIX:-lkt}
export LK_POP3_PORT=${LK_POP3_PORT:-12110} LK_POP3S_PORT=${LK_POP3S_PORT:-12995}
export LK_LMTP_PORT=${LK_LMTP_PORT:-12024} LK_SASL_PORT=${LK_SASL_PORT:-12012}
export LK_SMTP_PORT=${LK_SMTP_PORT:-12025} LK_SUBMISSION_PORT=${LK_SUBMISSION_PORT:-12587}
export LK_SMTPS_PORT=${LK_SMTPS_PORT:-12465} LK_POPPASSD_PORT=${LK_POPPASSD_PORT:-12106}
export LK_WEB_PORT=${LK_WEB_PORT:-18180}
LOGS=$ROOT/$B-logs
mkdir -p "$LOGS"

STEPS=()        # "name|status|seconds|detail"
TESTS_PASSED=0
TESTS_FAILED=0
FAILED=0
T0=$SECONDS

banner() { printf '\n==== %s ====\n' "$*"; }

skipped() { [[ "$SKIP" == *" $1 "* ]]; }

record() {
    STEPS+=("$1|$2|$3|${4:-}")
    [ "$2" = FAIL ] && FAILED=1
    return 0
}

# Counts the tests a runner reported, from its closing lines, so that the
# summary adds up real tests rather than steps.
count_tests() {
    local log=$1 p f
    # ctest: "100% tests passed, 0 tests failed out of 42"
    if grep -qE 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log"; then
        f=$(grep -oE '[0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
        local fail=${f%% *} total=${f##* }
        TESTS_PASSED=$((TESTS_PASSED + total - fail))
        TESTS_FAILED=$((TESTS_FAILED + fail))
        return
    fi
    # node --test: "# pass N" / "# fail N" (or the default reporter's "ℹ pass N")
    if grep -qE '^(# |ℹ )pass [0-9]+' "$log"; then
        p=$(grep -oE '^(# |ℹ )pass [0-9]+' "$log" | tail -1 | grep -oE '[0-9]+$')
        f=$(grep -oE '^(# |ℹ )fail [0-9]+' "$log" | tail -1 | grep -oE '[0-9]+$')
        TESTS_PASSED=$((TESTS_PASSED + p))
        TESTS_FAILED=$((TESTS_FAILED + ${f:-0}))
        return
    fi
    # gtest binaries ("[  PASSED  ] N tests." / "[  FAILED  ] N tests,
    # listed below:") and our own runners ("N passed, N failed") may share a log.
    if grep -qE '^\[  PASSED  \] [0-9]+ test' "$log"; then
        p=$(grep -oE '^\[  PASSED  \] [0-9]+' "$log" | tail -1 | grep -oE '[0-9]+$')
        TESTS_PASSED=$((TESTS_PASSED + p))
    fi
    if grep -qE '^\[  FAILED  \] [0-9]+ tests?, listed' "$log"; then
        f=$(grep -oE '^\[  FAILED  \] [0-9]+' "$log" | tail -1 | grep -oE '[0-9]+$')
        TESTS_FAILED=$((TESTS_FAILED + f))
    fi
    if grep -qE '^[a-z0-9 _-]*:? ?[0-9]+ passed, [0-9]+ failed' "$log"; then
        p=$(grep -oE '[0-9]+ passed, [0-9]+ failed' "$log" | tail -1)
        TESTS_PASSED=$((TESTS_PASSED + ${p%% *}))
        f=${p#*, }
        TESTS_FAILED=$((TESTS_FAILED + ${f%% *}))
    fi
}

# step NAME COMMAND...: runs the command with its output shown and kept in
# $LOGS/NAME.log; records PASS or FAIL and counts the tests it reported.
step() {
    local name=$1; shift
    local log="$LOGS/$name.log" start=$SECONDS rc
    banner "$name"
    "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    count_tests "$log"
    if [ "$rc" = 0 ]; then
        record "$name" PASS $((SECONDS - start))
    else
        # A failed step that reported no test failure still counts as one.
        grep -qE '([1-9][0-9]* tests failed|^(# |ℹ )fail [1-9]|[1-9][0-9]* failed|\[  FAILED  \])' "$log" \
            || TESTS_FAILED=$((TESTS_FAILED + 1))
        record "$name" FAIL $((SECONDS - start)) "exit $rc, log $log"
    fi
    return "$rc"
}

# ------------------------------------------------------------------ install
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

install_packages() {
    if [ "$(id -u)" != 0 ]; then
        echo "not root: skipping package installs"
        return 0
    fi
    local want=(build-essential cmake libgtest-dev googletest libbenchmark-dev clang
                libclang-rt-14-dev libgumbo-dev libxml2-dev libssl-dev libxml2-utils hyperfine
                python3 wamerican openssl curl ca-certificates iproute2 psmisc chromium
                dpkg-dev debhelper fakeroot devscripts lintian apache2 logrotate)
    command -v node >/dev/null || want+=(nodejs)
    command -v npm >/dev/null || want+=(npm)
    local missing=() p
    for p in "${want[@]}"; do have_pkg "$p" || missing+=("$p"); done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get -o DPkg::Lock::Timeout=300 install -y "${missing[@]}" \
            || { apt-get -o DPkg::Lock::Timeout=300 update -qq \
                 && apt-get -o DPkg::Lock::Timeout=300 install -y "${missing[@]}"; } \
            || return 1
    else
        echo "build and test packages already installed"
    fi
    bash scripts/servers.sh install
}

npm_install() {
    cd "$ROOT/tests/e2e" || return 1
    if [ -f node_modules/.package-lock.json ] && [ node_modules/.package-lock.json -nt package-lock.json ] \
        && [ -d node_modules/playwright-core ]; then
        echo "node modules up to date"
        return 0
    fi
    PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund
}

# ------------------------------------------------------------------ builds
# Builds with make -k: one target that fails to build still leaves the
# others to be tested, and the failure is reported by this step.
build() {
    local dir=$1; shift
    cmake -S . -B "$dir" "$@" && cmake --build "$dir" -j"$JOBS" -- -k
}

configured() { [ -f "$1/CTestTestfile.cmake" ]; }

unit() {
    ctest --test-dir "$1" --output-on-failure -j"$JOBS" --timeout 300
}

fuzz_all() {
    local dir=$1 rc=0 n=0 t name corpus seeds
    shopt -s nullglob
    for t in "$dir"/fuzz_*; do
        [ -f "$t" ] && [ -x "$t" ] || continue
        name=$(basename "$t")
        corpus="$dir/corpus/$name"
        mkdir -p "$corpus"
        # Seeds, read but never written (libFuzzer adds new inputs to the
        # first directory only): tests/fuzz/corpus/<target>/ and
        # tests/data/<target without "fuzz_">/, when the project has them.
        local seed_dirs=()
        for seeds in "tests/fuzz/corpus/$name" "tests/data/${name#fuzz_}"; do
            [ -d "$seeds" ] && seed_dirs+=("$seeds")
        done
        echo "--- $name (${FUZZ_SECONDS}s)"
        n=$((n + 1))
        if "$t" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
                -artifact_prefix="$dir/$name-" -print_final_stats=0 "$corpus" "${seed_dirs[@]}" >"$dir/$name.out" 2>&1; then
            tail -n 1 "$dir/$name.out"
            echo "fuzz $name: ok"
            FUZZ_OK=$((FUZZ_OK + 1))
        else
            tail -n 40 "$dir/$name.out"
            echo "fuzz $name: FAILED (input kept as $dir/$name-*, log $dir/$name.out)"
            FUZZ_BAD=$((FUZZ_BAD + 1))
            rc=1
        fi
    done
    [ "$n" -gt 0 ] || echo "no fuzz targets built"
    echo "fuzz targets: $FUZZ_OK passed, $FUZZ_BAD failed"
    return $rc
}

fake_tests() {
    /usr/bin/python3 tests/fake/test_fakeserver.py
}

SERVERS_UP=0
stop_servers() {
    if [ "$SERVERS_UP" = 1 ]; then
        banner "stopping the servers"
        bash scripts/servers.sh stop || FAILED=1
        SERVERS_UP=0
    fi
}
trap 'stop_servers' EXIT
trap 'echo "interrupted"; exit 130' INT TERM

e2e() {
    # A clean slate: whatever an interrupted earlier run left is stopped first.
    bash scripts/servers.sh stop >/dev/null 2>&1 || true
    LK_BINARY="$ROOT/$B/larkspur" bash scripts/servers.sh start || return 1
    local files=()
    shopt -s nullglob
    files=(tests/e2e/*.test.mjs)
    [ ${#files[@]} -gt 0 ] || { echo "no end-to-end tests"; return 1; }
    local rc=0
    # Each server does its job (logins, TLS, AUTH, the CGI) before any test
    # relies on it.
    bash scripts/servers.sh status || rc=1
    # The C++ tests that need the real servers skip themselves in the unit
    # step (no servers.env yet); here they run for real.
    if [ -x "$ROOT/$B/test_net" ]; then
        "$ROOT/$B/test_net" --gtest_filter='Pop/PopServers.*/dovecot:TlsDovecot.*:TlsPostfix.*' || rc=1
    fi
    if [ -x "$ROOT/$B/tests/process/test_process" ]; then
        (cd "$ROOT/$B" && tests/process/test_process --gtest_filter='PopAccounts.*:SuperviseReal.*') || rc=1
    fi
    # One file at a time: the files share the test users and their mailboxes.
    # A test that fails with a connection still open would keep its file's
    # process alive; where node can, it ends each file once its tests are done.
    local force=()
    node --help 2>/dev/null | grep -q -- '--test-force-exit' && force=(--test-force-exit)
    node --test --test-concurrency=1 "${force[@]}" --test-reporter=tap "${files[@]}" || rc=1
    # Several clients per user through the web server for a bounded time:
    # fails when a request fails or a user lock outlives its process.
    python3 "$ROOT/scripts/loadtest.py" --seconds "${LK_LOAD_SECONDS:-10}" --clients-per-user 2 || rc=1
    return $rc
}

# The Debian package (scripts/package.sh check): built once, checked by
# lintian, installed over an earlier build, run behind lighttpd and Apache
# against the mail servers the e2e step started, removed and purged.
package_check() {
    if [ "$(id -u)" != 0 ]; then
        echo "not root: the package is neither installed nor checked"
        return 0
    fi
    LK_PKG_DIR="$ROOT/$B-pkg" bash scripts/package.sh check
}

# ------------------------------------------------------------------ run
# All in one function, read whole before it runs, so that editing this file
# during a run cannot derail the run.
main() {
    echo "Larkspur: every test ($(date -u '+%F %T') UTC, $(nproc) cores, build prefix $B)"
    FUZZ_OK=0
    FUZZ_BAD=0

    skipped install || step install install_packages
    skipped npm || step npm npm_install
    # No subsystem folder includes a higher one, and no folder cycle.
    skipped layers || step layers python3 scripts/check-layers.py
    if ! skipped build; then
        step build build "$B"
    fi
    if ! skipped unit; then
        if configured "$B"; then step unit unit "$B"; else record unit FAIL 0 "not run: no build"; fi
    fi
    if ! skipped asan; then
        step asan-build build "$B-asan" -DLARKSPUR_SANITIZE=ON
        if configured "$B-asan"; then step asan-unit unit "$B-asan"; else record asan-unit FAIL 0 "not run: no build"; fi
    fi
    if ! skipped fuzz; then
        step fuzz-build build "$B-fuzz" -DCMAKE_CXX_COMPILER=clang++ -DLARKSPUR_FUZZ=ON
        step fuzz fuzz_all "$B-fuzz"
    fi
    skipped fake || step fake fake_tests
    if ! skipped e2e; then
        # Set here, not in the step: steps run in a pipeline's subshell.
        if [ -x "$B/larkspur" ]; then SERVERS_UP=1; step e2e e2e; else record e2e FAIL 0 "not run: no $B/larkspur"; fi
        # The same mail servers serve the packaged program's browser check.
        skipped package || step package package_check
        stop_servers
    fi

    banner "summary"
    for s in "${STEPS[@]}"; do
        IFS='|' read -r name status secs detail <<<"$s"
        printf '  %-11s %-4s %5ss  %s\n' "$name" "$status" "$secs" "$detail"
    done
    echo "  total time $((SECONDS - T0))s"
    if [ $FAILED = 0 ]; then echo "RESULT: all steps passed"; else echo "RESULT: FAILED"; fi
    echo "tests: $TESTS_PASSED passed, $TESTS_FAILED failed"
    return $FAILED
}

main "$@"; exit $?
