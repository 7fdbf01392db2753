#!/usr/bin/env bash
# Builds the Debian package quillmorne_<version>_<arch>.deb into the repository's top folder, so
# that `apt install ./quillmorne_*.deb` installs it: installs what building and checking need,
# builds a release into build-package/ with Debian's hardening flags (dpkg-buildflags), makes the
# package with CPack (dependencies computed by dpkg-shlibdeps), and checks it with lintian and
# appstreamcli. A lintian error or an invalid AppStream file fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh dpkg-dev lintian appstream desktop-file-utils

# Debian's flags for a package: hardening throughout, no compiler banner (.comment) in the
# programs. CMake reads no CPPFLAGS, so they go with the compiler flags.
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS) -fno-ident"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS) -fno-ident"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CFLAGS CXXFLAGS LDFLAGS

build=build-package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMORNE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)"
rm -f "$build"/quillmorne_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(cd "$build" && ls quillmorne_*.deb)"
rm -f quillmorne_*.deb
mv "$build/$deb" .
echo "package: $PWD/$deb"

# lintian as root says so on every run; the checks are the same.
echo "package: lintian:"
lintian --fail-on error --display-info "$deb" 2>&1 | grep -v '^running with root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || { echo "package: lintian found errors" >&2; exit 1; }

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"
echo "package: appstreamcli:"
appstreamcli validate --no-net "$scratch"/usr/share/metainfo/*.metainfo.xml
desktop-file-validate "$scratch"/usr/share/applications/quillmorne.desktop
echo "package: ready: apt install ./$deb"
