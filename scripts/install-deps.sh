#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Quillmorne needs.
# Safe to run again: packages already present are left alone, and nothing is fetched when all are.
# Extra package names given as arguments are installed too (bench/ uses this for its peers).
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5svg5-dev
    libgsf-1-dev zlib1g-dev libisal-dev
    python3 python3-openpyxl python3-xlrd python3-jsonschema
    fonts-noto-cjk xdg-utils qttranslations5-l10n
    xvfb xauth
    clang libclang-rt-14-dev clang-format
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        sudo_cmd=(sudo)
    else
        echo "install-deps: these packages are missing and this user cannot install them: ${missing[*]}" >&2
        echo "install-deps: run this script as root, or install sudo." >&2
        exit 1
    fi
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
