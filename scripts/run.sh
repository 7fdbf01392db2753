#!/usr/bin/env bash
# Installs what is needed, builds, and starts Quillmorne. Without a display it says so and
# converts the bundled sample folder with the command-line tool instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec ./build/Quillmorne
fi

echo "There is no graphical display here, so the Quillmorne window cannot open."
echo "Converting the sample folder with the command-line tool instead:"
out="$PWD/build/examples-output"
rm -rf "$out"
mkdir -p "$out"
status=0
./build/quillmorne-convert -o "$out" examples || status=$?
echo
echo "The workbooks are in $out:"
find "$out" -type f \( -name '*.xlsx' -o -name '*.xls' \) | sort | sed 's/^/  /'
exit "$status"
