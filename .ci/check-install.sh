#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and builds the examples
# against the installed files, once through the CMake package and once
# through pkg-config (shared and static), then runs each program.
#   .ci/check-install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
sample="$PWD/examples/hello.pdf"

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'librendrix.so' | head -n 1)")
version=$(sed -n 's/^#define RENDRIX_VERSION_STRING "\(.*\)"$/\1/p' include/rendrix.h)
major=${version%%.*}
for f in "$libdir/librendrix.so.$version" "$libdir/librendrix.a" "$prefix/include/rendrix.h" \
  "$libdir/cmake/rendrix/rendrix-config.cmake" "$libdir/pkgconfig/rendrix.pc" \
  "$prefix/bin/rendrix" "$prefix/share/man/man1/rendrix.1"; do
  [ -f "$f" ] || { echo "not installed: $f"; exit 1; }
done
soname=$(readelf -d "$libdir/librendrix.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "librendrix.so.$major" ] || { echo "soname is '$soname'"; exit 1; }
"$prefix/bin/rendrix" --version | grep -qx "rendrix $version"

run_examples() {
  local dir=$1
  (cd "$work" && LD_LIBRARY_PATH="$libdir" "$dir/render_page" "$sample" 1 "$work/page.png" 72)
  head -c 8 "$work/page.png" | od -An -c | grep -q 'P   N   G'
  LD_LIBRARY_PATH="$libdir" "$dir/render_doc" "$sample" 72 | grep -q '^page 1: box 0 0 612 792, 612x792 px'
  if [ -x "$dir/render_page_static" ]; then
    env -u LD_LIBRARY_PATH "$dir/render_page_static" "$sample" 1 "$work/page.jpg" 50
    head -c 2 "$work/page.jpg" | od -An -tx1 | grep -q 'ff d8'
  fi
}

# Through the CMake package.
cmake -S examples -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/cmake" -j 2 >/dev/null
run_examples "$work/cmake"
if ldd "$work/cmake/render_page_static" | grep -q rendrix; then
  echo "render_page_static needs the shared library"
  exit 1
fi

# Through pkg-config.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion rendrix)" = "$version" ]
mkdir -p "$work/pc"
cc -Wall -Wextra -Werror examples/render_page.c -o "$work/pc/render_page" \
  $(pkg-config --cflags --libs rendrix)
c++ -std=c++17 -Wall -Wextra -Werror examples/render_doc.cpp -o "$work/pc/render_doc" -pthread \
  $(pkg-config --cflags --libs rendrix)
cc -Wall -Wextra -Werror examples/render_page.c -o "$work/pc/render_page_static" \
  $(pkg-config --cflags rendrix) "$libdir/librendrix.a" $(pkg-config --static --libs-only-other rendrix) \
  -lstdc++ -lm
run_examples "$work/pc"
echo "install check ok: $prefix ($version), examples built through CMake and pkg-config"
