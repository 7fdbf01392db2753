#!/usr/bin/env bash
# Installs a built package into a scratch root (dpkg -x) and checks what a user gets from it: the
# installed quillmorne-convert converts examples/ (workbooks read back by openpyxl, the report
# valid under the installed schema), both manual pages render without warnings, the bash
# completion completes, the desktop entry finds its program and icon, and the package's
# dependencies were computed.
#
#     tests/tools/package-install-test.sh [quillmorne_VERSION_ARCH.deb]
set -euo pipefail
cd "$(dirname "$0")/../.."
deb="${1:-$(ls quillmorne_*.deb 2>/dev/null | head -n 1)}"
[ -f "$deb" ] || { echo "package-install-test: no package; run scripts/package.sh first" >&2; exit 1; }
# The Debian Python, which has openpyxl and jsonschema from apt.
python="${PYTHON:-/usr/bin/python3}"
fail() {
    echo "package-install-test: FAIL: $*" >&2
    exit 1
}

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
tool="$root/usr/bin/quillmorne-convert"

version="$(dpkg-deb -f "$deb" Version)"
[ "$("$tool" --version)" = "quillmorne-convert $version" ] || fail "--version does not say $version"
dpkg-deb -f "$deb" Depends | grep -q 'libqt5core5a' || fail "Depends was not computed: $(dpkg-deb -f "$deb" Depends)"

# The installed tool on the bundled examples.
cp -r examples "$scratch/in"
mkdir "$scratch/out"
status=0
"$tool" -q -o "$scratch/out" --report "$scratch/report.json" "$scratch/in" >"$scratch/stdout" || status=$?
[ "$status" -eq 0 ] || fail "the installed tool exited with $status: $(cat "$scratch/stdout")"
sources="$(find "$scratch/in" -name '*.txt' | wc -l)"
grep -qx "成功转换${sources}个txt文件," "$scratch/stdout" || fail "summary: $(cat "$scratch/stdout")"
"$python" tests/tools/checkreport.py "$scratch/report.json" "$root/usr/share/doc/quillmorne/report.schema.json" ||
    fail "the report is not valid under the installed schema"
count=0
while IFS= read -r -d '' book; do
    "$python" tests/tools/readbook.py "$book" | "$python" -c '
import json, sys
cells = sum(len(s["cells"]) for s in json.load(sys.stdin)["sheets"])
sys.exit(0 if cells > 0 else 1)' || fail "no cells read back from $book"
    count=$((count + 1))
done < <(find "$scratch/out" -name '*.xlsx' -print0)
[ "$count" -eq "$sources" ] || fail "$count workbooks for $sources sources"

# Manual pages, English and Chinese: present, and groff has nothing to say about them on a
# terminal of 60, 80 or 120 columns.
for page in usr/share/man/man1/quillmorne-convert.1.gz usr/share/man/zh_CN/man1/quillmorne-convert.1.gz \
    usr/share/man/man1/Quillmorne.1.gz usr/share/man/zh_CN/man1/Quillmorne.1.gz; do
    [ -f "$root/$page" ] || fail "missing $page"
    for width in 60 80 120; do
        warnings="$(LC_ALL=C.UTF-8 MANWIDTH=$width man --warnings -E UTF-8 -l -Tutf8 "$root/$page" 2>&1 >/dev/null)"
        [ -z "$warnings" ] || fail "$page, $width columns: $warnings"
    done
done
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$root/usr/share/man/man1/quillmorne-convert.1.gz" 2>/dev/null |
    grep -q 'EXIT STATUS' || fail "the English page has no EXIT STATUS"
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$root/usr/share/man/zh_CN/man1/quillmorne-convert.1.gz" 2>/dev/null |
    grep -q '退出状态' || fail "the Chinese page has no 退出状态"

# Bash completion, if bash-completion is there to load it.
completion="$root/usr/share/bash-completion/completions/quillmorne-convert"
[ -f "$completion" ] || fail "missing bash completion"
if [ -f /usr/share/bash-completion/bash_completion ]; then
    got="$(bash -c 'source /usr/share/bash-completion/bash_completion; source "$1"
        COMP_WORDS=(quillmorne-convert --enc); COMP_CWORD=1; COMP_LINE="quillmorne-convert --enc"
        COMP_POINT=${#COMP_LINE}; _quillmorne_convert 2>/dev/null; echo "${COMPREPLY[*]}"' _ "$completion")"
    [ "$got" = "--encoding=" ] || fail "completing --enc gave '$got'"
fi

# The desktop entry's program and icon are in the package.
desktop="$root/usr/share/applications/quillmorne.desktop"
exec_name="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")"
icon_name="$(sed -n 's/^Icon=//p' "$desktop")"
[ -x "$root/usr/bin/$exec_name" ] || fail "the desktop entry starts $exec_name, which is not installed"
[ -f "$root/usr/share/icons/hicolor/48x48/apps/$icon_name.png" ] || fail "no icon $icon_name"
grep -q "<launchable type=\"desktop-id\">quillmorne.desktop</launchable>" "$root"/usr/share/metainfo/*.xml ||
    fail "the AppStream file does not name the desktop entry"
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml >/dev/null ||
        fail "appstreamcli: $(appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml)"
fi

echo "package-install-test: $deb installs and works ($count workbooks from examples/, manual pages, completion, desktop entry)"
