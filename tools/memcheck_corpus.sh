#!/usr/bin/env bash
# Runs every page of the shared corpus (and its stress folder) at 36 dpi under
# valgrind's memcheck, encoding each page as PNG and JPEG. Exits non-zero on
# any memcheck error or leak (definitely, indirectly or possibly lost). The
# three built-in faces read from disk at initialisation stay reachable for the
# life of the process by design and are listed but not counted. The log goes
# to build-memcheck/memcheck.log.
#
# usage: tools/memcheck_corpus.sh [CORPUS_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
corpus=${1:-../shared/corpus}
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }
cmake -S . -B build-memcheck -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRENDRIX_BUILD_TESTS=OFF >/dev/null
cmake --build build-memcheck -j "$(nproc)" --target render_pages >/dev/null
mapfile -t files < <(ls "$corpus"/*.pdf "$corpus"/stress/*.pdf 2>/dev/null)
start=$(date +%s)
status=0
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=all \
  --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 --log-file=build-memcheck/memcheck.log \
  build-memcheck/tools/render_pages 36 "${files[@]}" > build-memcheck/pages.txt || status=$?
tail -1 build-memcheck/pages.txt
grep -E "ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable" \
  build-memcheck/memcheck.log
echo "${#files[@]} files in $(( $(date +%s) - start )) s"
exit $status
