#!/usr/bin/env bash
# The strict-readers stage: puts workbooks the program wrote before readers stricter than the
# tests' own openpyxl and xlrd.
#   - every .xlsx under 1 MB: the Open XML SDK validator (@ooxml-tools/validate from npm), with
#     the Office2007 and the Microsoft365 rules;
#   - every .xls: opened, every cell read, by Apache POI's HSSF (a small Java program compiled
#     here against Debian's libapache-poi-java; that package cannot read .xlsx);
#   - every workbook: read by Gnumeric (ssconvert) and compared cell by cell with openpyxl's or
#     xlrd's reading (tests/tools/roundtrip.py).
# A reader that is not installed is skipped with a message saying so; a complaint of any reader
# that runs fails the stage.
#
#     tests/tools/strict-readers.sh CORPUS_FOLDER
#
# The corpus: the workbooks the test suites read back, kept when they run with
# QUILLMORNE_KEEP_WORKBOOKS=CORPUS_FOLDER (see tests/support/workbookreadback.cpp), to which this
# script adds what quillmorne-convert (QUILLMORNE_CONVERT, default build/quillmorne-convert)
# makes of tests/data and examples/ as .xlsx and as .xls. The validator is looked for at
# OOXML_VALIDATE (default build/strict-readers/node_modules/@ooxml-tools/validate/dist/npm/index.js,
# where .ci/run installs it).
set -uo pipefail
cd "$(dirname "$0")/../.."
corpus="${1:?usage: strict-readers.sh CORPUS_FOLDER}"
tool="${QUILLMORNE_CONVERT:-build/quillmorne-convert}"
validator="${OOXML_VALIDATE:-build/strict-readers/node_modules/@ooxml-tools/validate/dist/npm/index.js}"
python="${PYTHON:-/usr/bin/python3}"
mkdir -p "$corpus"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
say() { echo "strict-readers: $*"; }
failed=0

# What quillmorne-convert makes of the repository's sample texts.
if [ -x "$tool" ]; then
    mkdir -p "$work/in"
    cp -r examples "$work/in/examples"
    cp -r tests/data "$work/in/data"
    for format in xlsx xls; do
        option=()
        [ "$format" = xls ] && option=(--xls)
        mkdir -p "$work/out-$format"
        "$tool" -q "${option[@]}" -o "$work/out-$format" "$work/in" >/dev/null 2>&1 ||
            say "quillmorne-convert did not convert every sample text to .$format (see the corpus)"
        (cd "$work/out-$format" && find . -type f -name "*.$format" -print0) |
            while IFS= read -r -d '' book; do
                name="${book#./}"
                cp "$work/out-$format/$name" "$corpus/convert-${name//\//_}"
            done
    done
else
    say "no quillmorne-convert at $tool: the corpus holds only what the tests kept"
fi

# One copy of each distinct workbook.
declare -A seen
xlsx=()
xls=()
while IFS= read -r -d '' book; do
    sum="$(sha256sum <"$book" | cut -d' ' -f1)"
    [ -n "${seen[$sum]:-}" ] && continue
    seen[$sum]=1
    case "$book" in
    *.xlsx) xlsx+=("$book") ;;
    *.xls) xls+=("$book") ;;
    esac
done < <(find "$corpus" -type f \( -name '*.xlsx' -o -name '*.xls' \) -print0 | sort -z)
say "corpus: ${#xlsx[@]} .xlsx and ${#xls[@]} .xls workbooks (distinct) in $corpus"
[ $((${#xlsx[@]} + ${#xls[@]})) -gt 0 ] || { say "FAIL: the corpus is empty"; exit 1; }

# The Open XML SDK validator, on .xlsx files under 1 MB (it is slow).
small=()
for book in "${xlsx[@]}"; do
    [ "$(stat -c %s "$book")" -lt 1048576 ] && small+=("$book")
done
if ! command -v node >/dev/null; then
    say "SKIPPED the Open XML SDK validator: node is not installed"
elif [ ! -f "$validator" ]; then
    say "SKIPPED the Open XML SDK validator: not found at $validator (npm install @ooxml-tools/validate)"
else
    start=$SECONDS
    # One validator per processor, each loading the validator once for its share of the files.
    jobs="$(nproc)"
    share=$(((${#small[@]} + jobs - 1) / jobs))
    if printf '%s\0' "${small[@]}" |
        xargs -0 -n "$share" -P "$jobs" node tests/tools/ooxml-validate-all.mjs "$validator" Office2007,Microsoft365 \
            >"$work/validate.txt" &&
        [ "$(grep -cE '^(ok|FAIL)'$'\t' "$work/validate.txt")" -eq $((2 * ${#small[@]})) ]; then
        say "Open XML SDK validator: ${#small[@]} .xlsx valid under Office2007 and Microsoft365 rules ($((SECONDS - start)) s)"
    else
        grep -v '^ok' "$work/validate.txt"
        say "FAIL: the Open XML SDK validator found problems"
        failed=1
    fi
fi

# Apache POI's HSSF on every .xls.
poi=/usr/share/java/poi.jar
if ! command -v javac >/dev/null || ! command -v java >/dev/null; then
    say "SKIPPED Apache POI: no Java compiler (default-jdk-headless)"
elif [ ! -f "$poi" ]; then
    say "SKIPPED Apache POI: $poi is not installed (libapache-poi-java)"
elif [ "${#xls[@]}" -eq 0 ]; then
    say "SKIPPED Apache POI: no .xls in the corpus"
else
    classpath="$work/classes:$poi"
    for jar in commons-collections4 commons-math3 commons-codec; do
        [ -f "/usr/share/java/$jar.jar" ] && classpath="$classpath:/usr/share/java/$jar.jar"
    done
    mkdir -p "$work/classes"
    start=$SECONDS
    if ! javac -nowarn -cp "$poi" -d "$work/classes" tests/tools/HssfOpen.java; then
        say "FAIL: HssfOpen.java did not compile"
        failed=1
    elif java -cp "$classpath" HssfOpen "${xls[@]}" >"$work/poi.txt" 2>&1; then
        say "Apache POI HSSF: ${#xls[@]} .xls opened, every cell read ($((SECONDS - start)) s)"
    else
        grep -v '^ok' "$work/poi.txt"
        say "FAIL: Apache POI could not read every .xls"
        failed=1
    fi
fi

# Gnumeric: read, and compared with openpyxl's and xlrd's reading.
if ! command -v ssconvert >/dev/null; then
    say "SKIPPED Gnumeric: ssconvert is not installed (gnumeric)"
else
    start=$SECONDS
    if "$python" tests/tools/roundtrip.py "$work/gnumeric" "${xlsx[@]}" "${xls[@]}" >"$work/gnumeric.txt" 2>&1; then
        grep '^quirk' "$work/gnumeric.txt" || true
        say "Gnumeric: $((${#xlsx[@]} + ${#xls[@]})) workbooks read as openpyxl and xlrd read them ($((SECONDS - start)) s)"
    else
        grep -v '^ok' "$work/gnumeric.txt"
        say "FAIL: Gnumeric read some workbooks differently"
        failed=1
    fi
fi

[ "$failed" -eq 0 ] && say "passed" || say "FAILED"
exit "$failed"
