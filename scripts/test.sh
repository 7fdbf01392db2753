#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test suite headless.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
export QT_QPA_PLATFORM=offscreen
export LC_ALL=C.UTF-8
ctest --test-dir build --output-on-failure --parallel "$(nproc)"
