#!/usr/bin/env bash
# Cross-builds rendrix for 64-bit Windows with Debian's mingw-w64 toolchain
# and checks what came out: rendrix.dll exports exactly the functions of
# include/rendrix.h, and neither it nor rendrix.exe needs a mingw runtime DLL.
# Where wine runs, it then renders the sample page with rendrix.exe and with
# a small C program linked against rendrix.dll, and builds and runs the
# GoogleTest programs under wine. Without a working wine the cross-build
# alone is checked and the script says so.
#
#   .ci/windows-cross.sh             everything
#   RENDRIX_WINE_TESTS=0 .ci/windows-cross.sh
#                                    no test build: the DLL, the tool and
#                                    the sample renders only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

triplet=x86_64-w64-mingw32
jobs=$(nproc 2>/dev/null || echo 2)
build="build-mingw"
tests_build="build-mingw-tests"
toolchain="$PWD/cmake/toolchain-mingw-w64.cmake"

step() { printf '\n== %s\n' "$*"; }

# -- Packages, from Debian only. The posix thread model compilers are needed
# for std::thread and thread_local.
export DEBIAN_FRONTEND=noninteractive
updated=0
apt_install() {
  [ "$updated" = 1 ] || { apt-get update -q && updated=1; }
  apt-get install -y -q --no-install-recommends "$@"
}
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v ${triplet}-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v ${triplet}-objdump >/dev/null || need+=(binutils-mingw-w64-x86-64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
if [ ${#need[@]} -gt 0 ]; then
  step "installing ${need[*]}"
  apt_install "${need[@]}"
fi
if ! command -v wine >/dev/null; then
  step "installing wine"
  apt_install wine wine64 || echo "wine could not be installed; the programs will not be run"
fi

# -- The library and the tool, warnings as errors.
step "cross-building rendrix.dll and rendrix.exe into $build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DRENDRIX_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS=-Werror
cmake --build "$build" -j "$jobs" --target rendrix_shared rendrix_cli

dll="$build/rendrix.dll"
exe="$build/tools/rendrix.exe"
for f in "$dll" "$build/librendrix.dll.a" "$exe"; do
  [ -f "$f" ] || { echo "missing: $f"; exit 1; }
done

step "checking the DLL's export table against include/rendrix.h"
# Every function the header declares with RENDRIX_API, sorted.
want=$(grep -oE 'RENDRIX_API[^(]*[^A-Za-z0-9_]rendrix_[A-Za-z0-9_]+\(' include/rendrix.h |
  grep -oE 'rendrix_[A-Za-z0-9_]+\($' | tr -d '(' | sort)
# The names in the export table: the lines after "[Ordinal/Name Pointer] Table".
have=$(${triplet}-objdump -p "$dll" |
  awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {on = 0}
       on && /^\t\[/ {print $NF}' | sort)
if [ -z "$want" ] || [ "$want" != "$have" ]; then
  echo "the DLL's exports differ from the header's functions"
  diff <(echo "$want") <(echo "$have") || true
  exit 1
fi
echo "exports ok: ${have//$'\n'/ }"

step "checking that no mingw runtime DLL is needed"
for f in "$dll" "$exe"; do
  imports=$(${triplet}-objdump -p "$f" | awk '/DLL Name:/ {print $3}' | sort -u)
  echo "$f imports: ${imports//$'\n'/ }"
  if echo "$imports" | grep -qiE 'libgcc|libstdc|libwinpthread|mingw'; then
    echo "$f needs a mingw runtime DLL"
    exit 1
  fi
done

# -- Running under wine, headless, in a prefix of its own.
export WINEDEBUG=-all WINEARCH=win64 WINEPREFIX="$PWD/$build/wineprefix"
wine_ok=0
if command -v wine >/dev/null; then
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  if [ ! -d "$WINEPREFIX" ]; then
    step "making the wine prefix $WINEPREFIX (about half a minute)"
    timeout 300 wineboot -i >/dev/null 2>&1 || true
  fi
  if said=$(timeout 120 wine cmd.exe /c echo wine runs 2>&1) && [[ "$said" == "wine runs"* ]]; then
    wine_ok=1
  else
    echo "wine could not run its own cmd.exe: ${said:-no output}"
  fi
fi
if [ "$wine_ok" != 1 ]; then
  echo
  echo "wine is not available or does not run programs here: only the cross-build was checked"
  exit 0
fi

png_signature() { [ "$(od -An -tx1 -N8 "$1" | tr -d ' \n')" = 89504e470d0a1a0a ]; }
out="$build/wine-out"
rm -rf "$out"
mkdir -p "$out"

step "rendering the sample page with rendrix.exe"
timeout 120 wine "$exe" render examples/hello.pdf -o "$out/hello.png"
png_signature "$out/hello.png" || { echo "rendrix.exe wrote no PNG"; exit 1; }
echo "rendrix.exe wrote a PNG of $(stat -c %s "$out/hello.png") bytes"

step "rendering the sample page through rendrix.dll from a C program"
cat >"$out/dll_user.c" <<'EOF'
/* Uses rendrix.dll through its import library: one page into memory, every
 * page into a folder named with Windows separators. */
#include <stdio.h>
#include <string.h>

#include "rendrix.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  rendrix_init();
  uint64_t size = 0;
  unsigned char* png = rendrix_page_memory(argv[1], 1, 72, 0, &size);
  if (!png || size < 8 || memcmp(png, "\x89PNG\r\n\x1a\n", 8) != 0) {
    fprintf(stderr, "rendrix_page_memory: %s\n", rendrix_last_error());
    return 1;
  }
  rendrix_free_buffer(png);
  if (rendrix_page_count(argv[1]) != 1 || !rendrix_page(argv[1], 1, argv[2], 72, 0) ||
      !rendrix_all(argv[1], argv[3], 72, 1)) {
    fprintf(stderr, "%s\n", rendrix_last_error());
    return 1;
  }
  rendrix_cleanup();
  printf("ok\n");
  return 0;
}
EOF
${triplet}-gcc-posix -std=c11 -Wall -Wextra -Werror -Iinclude "$out/dll_user.c" \
  "$build/librendrix.dll.a" -o "$out/dll_user.exe"
cp "$dll" "$out/"
# The folder name, relative to the program's folder, mixes both separators;
# its parents do not exist yet.
(cd "$out" && timeout 120 wine ./dll_user.exe "$root/examples/hello.pdf" dll.png 'pages\a/b')
png_signature "$out/dll.png" || { echo "rendrix_page wrote no PNG"; exit 1; }
[ -f "$out/pages/a/b/page_001.jpg" ] || { echo "rendrix_all wrote no pages/a/b/page_001.jpg"; exit 1; }
echo "the C program linked against rendrix.dll rendered the page"

if [ "${RENDRIX_WINE_TESTS:-1}" = 0 ]; then
  echo
  echo "RENDRIX_WINE_TESTS=0: the unit tests were not built"
  exit 0
fi

# -- The GoogleTest programs, built with the Linux tests' optimisation level
# (-O2, where g++ 12 gives none of its -O3 false warnings in std::string).
step "cross-building the tests into $tests_build"
cmake -S . -B "$tests_build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS=-Werror \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v wine)"
cmake --build "$tests_build" -j "$jobs"

# Each program runs whole in one wine process (ctest would start one per
# test case). Tests that need Linux tools (djpeg, cjpeg, python3's zlib,
# setrlimit) skip themselves; the hostile-file program (fork, setrlimit) is
# not built for Windows.
step "running the tests under wine"
# Test counts from GoogleTest's closing lines; a program that ends without
# them (a crash) counts as one failure.
count() { grep -oE "^\[  $1 *\] [0-9]+ tests?" "$2" | grep -oE '[0-9]+' | head -1 || true; }
passed=0
failed=0
skipped=0
failed_programs=()
while IFS= read -r program; do
  name=$(basename "$program" .exe)
  log="$tests_build/wine-$name.log"
  start=$(date +%s)
  status=0
  # Windows ends the lines with CR LF.
  timeout 900 wine "$program" 2>&1 | tr -d '\r' >"$log" || status=$?
  p=$(count PASSED "$log")
  f=$(count FAILED "$log")
  k=$(count SKIPPED "$log")
  if [ "$status" -ne 0 ] || [ -z "$p" ]; then
    failed_programs+=("$name")
    [ -n "${f:-}" ] || f=1
  fi
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
  skipped=$((skipped + ${k:-0}))
  echo "$name: exit $status in $(($(date +%s) - start)) s: ${p:-0} passed, ${f:-0} failed," \
    "${k:-0} skipped"
  grep -E '^\[  SKIPPED \] [A-Za-z0-9_./]+$' "$log" | sed 's/^/    /' || true
done < <(find "$tests_build/tests" -name '*.exe' -not -path '*/CMakeFiles/*' | sort)

for name in "${failed_programs[@]}"; do
  echo
  echo "---- $name (log: $tests_build/wine-$name.log)"
  grep -E '^\[  FAILED  \]|Failure|Expected|Which is|Value of' "$tests_build/wine-$name.log" |
    head -40 || true
  tail -5 "$tests_build/wine-$name.log"
done
echo
echo "windows tests: $passed passed, $failed failed, $skipped skipped"
[ ${#failed_programs[@]} -eq 0 ]
