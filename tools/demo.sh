#!/usr/bin/env bash
# The demo: builds the native programs, publishes a demo release folder with
# riveroravav-publish, serves it on a local HTTP server (127.0.0.1), and runs
# the updater twice against a demo client folder that is partly out of date.
# The second run finds nothing to do.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash tools/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j 2 --target riveroravav riveroravav-publish fake_game

demo="${root}/demo-run"
client=$(python3 tools/demo_release.py make --out "${demo}" \
    --fake-game build/native/tests/fake_game/fake_game)

mkdir -p "${demo}/release"
python3 tests/server/http_fixture.py --root "${demo}/release" --port-file "${demo}/port" \
    --watch-pid $$ --max-lifetime 600 &
server=$!
trap 'python3 tests/server/http_fixture.py --stop "${demo}/port" >/dev/null 2>&1 || kill ${server} 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
    [ -s "${demo}/port" ] && break
    sleep 0.1
done
port=$(cat "${demo}/port")
base="http://127.0.0.1:${port}/"
manifest="${base}manifest.json"

echo "== publishing ${demo}/Release Folder"
build/native/riveroravav-publish --release "${demo}/Release Folder" --out "${demo}/release" \
    --version 2026.12.08-demo --base-url "${base}" --managed-root Data \
    --preserve Data/Local/EnableDiagnostics.txt | tee "${demo}/package-args.txt"
echo "(the game passes these to --mode full-client; saved in ${demo}/package-args.txt)"

run_once() {
    local title="$1"
    echo
    echo "== ${title}"
    python3 tools/demo_release.py snapshot --client "${client}" --to "${demo}/before.json"
    local log="${client}/Logs/RiveRoravav.log"
    local seen=0
    [ -f "${log}" ] && seen=$(wc -l <"${log}")
    local code=0
    build/native/riveroravav --client-dir "${client}" --manifest-url "${manifest}" || code=$?
    echo "exit code: ${code}"
    echo "changes in the client folder:"
    python3 tools/demo_release.py diff --client "${client}" --before "${demo}/before.json"
    echo "log: ${log}; this run's outcome:"
    tail -n +"$((seen + 1))" "${log}" |
        grep -E 'Updated file: |All files already up to date|update finished successfully|did not complete|Relaunched Main.exe' |
        sed 's/^/  /'
}

echo "demo release: ${manifest}"
echo "demo client:  ${client}"
run_once "first run: the client is out of date"
run_once "second run: everything is up to date"
