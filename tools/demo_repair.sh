#!/usr/bin/env bash
# The repair demo: builds the native programs, publishes a demo release folder
# with riveroravav-publish (which also packs Orvella_Client.zip), serves it on a
# local HTTP server (127.0.0.1), and repairs a damaged demo client folder with
# full-client-apply --quarantine-extras: missing and changed files come from the
# package (Main.exe last), extra files go to quarantine, empty extra folders go,
# and the work folders are removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash tools/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j 2 --target riveroravav riveroravav-publish fake_game

demo="${root}/demo-repair"
client=$(python3 tools/demo_release.py make-repair --out "${demo}" \
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
base="http://127.0.0.1:$(cat "${demo}/port")/"

echo "== publishing ${demo}/Release Folder"
build/native/riveroravav-publish --release "${demo}/Release Folder" --out "${demo}/release" \
    --version 2026.12.08-demo --base-url "${base}" | tee "${demo}/package-args.txt"
# Each line is one option and its value, as the game would pass them.
package_args=()
while read -r option value; do
    package_args+=("${option}" "${value}")
done <"${demo}/package-args.txt"

echo
echo "demo client:  ${client}"
echo
echo "== full-client-apply --quarantine-extras on the damaged client"
python3 tools/demo_release.py snapshot --client "${client}" --to "${demo}/before.json"
code=0
build/native/riveroravav --client-dir "${client}" --mode full-client-apply --quarantine-extras \
    "${package_args[@]}" || code=$?
echo "exit code: ${code}"
echo "changes in the client folder:"
python3 tools/demo_release.py diff --client "${client}" --before "${demo}/before.json"
echo "log: ${client}/Logs/RiveRoravav.log (the apply in detail: FullClientApply.log); what the run found and did:"
grep -h -E 'compare dry-run summary|^.{22}(APPLIED|QUARANTINED|EXTRA_DIR removed|PRESERVED/APPLY-SKIPPED|Repair plan has)|apply complete' \
    "${client}/Logs/RiveRoravav.log" | cut -c23- | sed 's/^/  /'
echo "work folders left:"
ls -d "${client}"/_full_tmp "${client}"/_full_extract "${client}"/_backup_update \
    "${client}"/_quarantine_update 2>/dev/null | sed 's/^/  /' || echo "  none"
