#!/usr/bin/env bash
# Builds both targets and runs every test: native (unit and end-to-end), the
# same under AddressSanitizer and UndefinedBehaviorSanitizer, the Windows build
# under Wine, and a bounded fuzzing run. Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh || exit 1

export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-riveroravav}"
export WINEDLLOVERRIDES="mscoree,mshtml="
FUZZ_SECONDS="${FUZZ_SECONDS:-60}"
JOBS="${JOBS:-2}"

passed=0
failed=0
failed_steps=()

step() {
    local name="$1"
    shift
    echo
    echo "=== ${name}"
    local start=$SECONDS
    if "$@"; then
        echo "=== ${name}: ok ($((SECONDS - start)) s)"
        passed=$((passed + 1))
    else
        echo "=== ${name}: FAILED ($((SECONDS - start)) s)"
        failed=$((failed + 1))
        failed_steps+=("${name}")
    fi
}

build() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "${JOBS}"
}

run_fuzzers() {
    local dir=build/fuzz/tests/fuzz
    local ok=0
    for fuzzer in "${dir}"/*_fuzz; do
        [ -x "${fuzzer}" ] || continue
        local name
        name=$(basename "${fuzzer}")
        mkdir -p "build/fuzz/corpus/${name}"
        echo "--- ${name} for ${FUZZ_SECONDS} s"
        if ! "${fuzzer}" -max_total_time="${FUZZ_SECONDS}" -rss_limit_mb=2048 -print_final_stats=1 \
            "build/fuzz/corpus/${name}" >"build/fuzz/${name}.log" 2>&1; then
            tail -n 40 "build/fuzz/${name}.log"
            ok=1
        else
            grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "build/fuzz/${name}.log" || true
        fi
    done
    return ${ok}
}

windows_tests() {
    # Wine's persistent server and background services start inside the test
    # display (windows created later need the desktop they bring up) and
    # outside ctest (services started under ctest would inherit its output
    # pipe and keep it waiting after the last test).
    xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
        wineserver -p >/dev/null 2>&1
        wineboot -i </dev/null >/dev/null 2>&1
        ctest --test-dir build/windows --output-on-failure'
    local rc=$?
    wineserver -k >/dev/null 2>&1 || true
    return ${rc}
}

step "native build" build native
step "native tests" ctest --test-dir build/native --output-on-failure
step "sanitizer build" build native-asan
step "sanitizer tests" ctest --test-dir build/native-asan --output-on-failure
step "windows build" build windows
step "windows tests under wine" windows_tests
step "fuzz build" build fuzz
step "fuzzing" run_fuzzers

echo
if [ ${failed} -ne 0 ]; then
    echo "failed steps: ${failed_steps[*]}"
fi
echo "steps: ${passed} passed, ${failed} failed"
[ ${failed} -eq 0 ]
