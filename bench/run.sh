#!/usr/bin/env bash
# Benchmarks quillmorne-convert against the peers a user would pick instead (LibreOffice headless,
# Python XlsxWriter, libxlsxwriter called directly) and prints one comparison table.
#
#   bash bench/run.sh                     # the full set: 1,000,000 and 100,000 rows, .xls, 500 files
#   bash bench/run.sh --sizes 10000 --no-many --runs 1   # a quick look
#   bash bench/run.sh --peers-only        # without quillmorne-convert
#   bash bench/run.sh --before-commit 7fae81c   # also an earlier commit, built here: before and after
#
# Environment: QUILLMORNE_CONVERT (the tool to measure; default build-bench/quillmorne-convert,
# built here in Release), QUILLMORNE_CONVERT_BEFORE (an earlier binary to run beside it),
# BENCH_RUNS (timed runs per fast tool, default 5), BENCH_SLOW_RUNS (LibreOffice and Python,
# default 1), BENCH_SIZES, BENCH_JOBS (build parallelism, default 2), BENCH_LO_PER_FILE_LIMIT (see
# bench/README.md).
# Other arguments go to bench/harness.py (--help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."

# --before-commit REV (handled here): that commit's quillmorne-convert, built in Release from its
# own sources, runs beside the current one.
args=()
before_commit=""
while [ $# -gt 0 ]; do
    case "$1" in
    --before-commit) before_commit="$2"; shift 2 ;;
    --before-commit=*) before_commit="${1#--before-commit=}"; shift ;;
    *) args+=("$1"); shift ;;
    esac
done
set -- "${args[@]+"${args[@]}"}"

peers=(python3-xlsxwriter libxlsxwriter-dev time hyperfine isal)
# Any installed LibreOffice will do; the headless package is only added where there is none
# (it conflicts with the desktop one).
command -v soffice >/dev/null 2>&1 || peers+=(libreoffice-calc-nogui)
bash scripts/install-deps.sh "${peers[@]}"

mkdir -p build-bench
if [ -z "${QUILLMORNE_CONVERT:-}" ] && [[ " $* " != *" --peers-only "* ]]; then
    if ! { cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMORNE_BUILD_TESTS=OFF >/dev/null &&
        cmake --build build-bench --target quillmorne-convert --parallel "${BENCH_JOBS:-2}"; }; then
        echo "run.sh: quillmorne-convert did not build; its rows will show as not built" >&2
    fi
fi
if [ -n "$before_commit" ]; then
    before_dir="build-bench/before-$(git rev-parse --short "$before_commit")"
    if [ ! -x "$before_dir/build/quillmorne-convert" ]; then
        rm -rf "$before_dir" && mkdir -p "$before_dir/src"
        git archive "$before_commit" | tar -x -C "$before_dir/src"
        cmake -S "$before_dir/src" -B "$before_dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DQUILLMORNE_BUILD_TESTS=OFF >/dev/null
        cmake --build "$before_dir/build" --target quillmorne-convert --parallel "${BENCH_JOBS:-2}"
    fi
    export QUILLMORNE_CONVERT_BEFORE="$PWD/$before_dir/build/quillmorne-convert"
fi

cc -O2 -Wall -Wextra bench/direct_xlsxwriter.c $(pkg-config --cflags --libs xlsxwriter) -o build-bench/direct_xlsxwriter

# The corpus sizes follow --sizes / BENCH_SIZES so a quick look does not generate a million rows.
sizes="${BENCH_SIZES:-1000000,100000}"
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case "${args[i]}" in
    --sizes) sizes="${args[i + 1]:-$sizes}" ;;
    --sizes=*) sizes="${args[i]#--sizes=}" ;;
    esac
done
corpus_sizes="$sizes"
[[ ",$sizes," == *",100000,"* ]] || corpus_sizes="$sizes,100000" # the GBK copy is made from the 100,000-row text
/usr/bin/python3 bench/gen_corpus.py --sizes "$corpus_sizes"

exec /usr/bin/python3 bench/harness.py --sizes "$sizes" "$@"
