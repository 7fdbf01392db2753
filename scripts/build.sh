#!/usr/bin/env bash
# Configures and builds Quillmorne into build/ (Release with debug info). Extra arguments go to
# the CMake configure step; QUILLMORNE_WERROR=ON in the environment makes warnings in the
# project's own code errors (CI sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMORNE_WERROR="${QUILLMORNE_WERROR:-OFF}" "$@" \
    >/dev/null
cmake --build build --parallel "$(nproc)"
