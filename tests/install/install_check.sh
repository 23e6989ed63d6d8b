#!/usr/bin/env bash
# Installs a release build into a temporary prefix and uses it as a stranger
# would: a C host built through pkg-config, the same host and a C++ program on
# the host library built through find_package(Quorvin), each run on the
# bundled sample and compared byte for byte with the installed quorvin tool.
# Then builds the Debian packages and checks their contents and dependencies.
#
# The C host is examples/host.c when it exists, else tests/install/decode_bmp.c;
# either is run as `HOST IN OUT` and writes OUT as a BMP file (the delivered
# bitmap behind a 14-byte file header, as `quorvin decode IN -f dib -o OUT`).
#
# Usage: install_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
here="$src/tests/install"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"
sample="$src/examples/sample.bmp"
host_c="$here/decode_bmp.c"
[[ -f "$src/examples/host.c" ]] && host_c="$src/examples/host.c"
fail() { echo "FAIL: $*"; exit 1; }

echo "== cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"
libdir=$(find "$prefix" -name libquorvin.so -printf '%h\n')
[[ -n "$libdir" ]] || fail "libquorvin.so not installed"
for f in bin/quorvin bin/cindral include/quorvin.h include/cindral.h \
         include/quorvin/quorvin_host.h include/quorvin/image_view.h; do
  [[ -e "$prefix/$f" ]] || fail "$f not installed"
done
for name in quorvin cindral; do
  [[ -f "$libdir/pkgconfig/$name.pc" ]] || fail "$name.pc not installed"
  if [[ -f "$src/tools/$name/$name.1" ]]; then
    page="$tmp/prefix/share/man/man1/$name.1.gz"
    [[ -f "$page" ]] || fail "manual page $name.1.gz not installed"
    gzip -dc "$page" | cmp -s - "$src/tools/$name/$name.1" || fail "manual page $name.1.gz is not the page"
  fi
done
[[ -f "$libdir/cmake/Quorvin/QuorvinConfig.cmake" ]] || fail "CMake package not installed"

# The shipped libraries: versioned soname, only their entry points, the C library alone.
check_library() {  # $1 name, $2 expected exports
  local lib="$libdir/lib$1.so" soname exports needed
  soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
  [[ "$soname" == "lib$1.so.1" && -f "$libdir/$soname" ]] || fail "lib$1: soname '$soname'"
  exports=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRWV]$/ {print $3}' | sort | tr '\n' ' ')
  [[ "$exports" == "$2" ]] || fail "lib$1 exports '$exports', expected '$2'"
  needed=$(readelf -d "$lib" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')
  [[ "$needed" == "libc.so.6 " ]] || fail "lib$1 needs '$needed'"
  echo "lib$1: soname $soname, exports $2, needs $needed"
}
check_library quorvin "Corvane "
check_library cindral "CoDecFile DecFile2Buf GetCindralVersion IsCoded SetCode "

echo "== the installed tool"
export LD_LIBRARY_PATH="$libdir"
"$prefix/bin/quorvin" info "$sample" >"$tmp/info.txt" || fail "quorvin info"
"$prefix/bin/quorvin" decode "$sample" -f dib -o "$tmp/reference.bmp" >/dev/null || fail "quorvin decode"
[[ -s "$tmp/reference.bmp" ]] || fail "quorvin decode wrote nothing"

run_same() {  # $1 program, $2 how it was built: its output must equal the tool's
  "$1" "$sample" "$tmp/out.bmp" || fail "$2 failed"
  cmp "$tmp/reference.bmp" "$tmp/out.bmp" || fail "$2 output differs from quorvin decode"
  [[ "$(ldd "$1")" == *"libquorvin.so.1 => $libdir/"* ]] || fail "$2 does not use the installed libquorvin"
  echo "$2: output identical to quorvin decode ($(stat -c %s "$tmp/out.bmp") bytes)"
  rm -f "$tmp/out.bmp"
}

echo "== pkg-config build of $(basename "$host_c")"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[[ "$(pkg-config --modversion quorvin)" == "$(pkg-config --modversion cindral)" ]] ||
  fail "pkg-config versions differ"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror "$host_c" $(pkg-config --cflags --libs quorvin) -o "$tmp/host_pc"
run_same "$tmp/host_pc" "pkg-config build"
cc -std=c11 -Wall -Werror "$here/cindral_version.c" $(pkg-config --cflags --libs cindral) \
  -o "$tmp/cindral_pc"
want=$(sed -n 's/^#define CINDRAL_VERSION "\(.*\)"/\1/p' "$prefix/include/cindral.h")
[[ "$("$tmp/cindral_pc")" == "$want" ]] || fail "pkg-config build of the Cindral program"

echo "== find_package(Quorvin) build"
cmake -S "$here" -B "$tmp/fp" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" -DQV_HOST_C="$host_c" >"$tmp/fp.log" ||
  { cat "$tmp/fp.log"; fail "configure with find_package"; }
cmake --build "$tmp/fp" >>"$tmp/fp.log" 2>&1 || { cat "$tmp/fp.log"; fail "build with find_package"; }
run_same "$tmp/fp/decode_bmp" "find_package build (C, Quorvin::quorvin)"
run_same "$tmp/fp/decode_bmp_host" "find_package build (C++, Quorvin::host)"
[[ "$("$tmp/fp/cindral_version")" == "$want" ]] || fail "find_package build of the Cindral program"
unset LD_LIBRARY_PATH

# The Python package, when this build made it: imported from where it was
# installed by Debian's python3, it writes the sample as the tool does.
python=""
if compgen -G "$build/lib/python/quorvin/_quorvin*.so" >/dev/null; then
  echo "== the installed Python package"
  python=$(ls -d "$prefix"/lib/python3*/dist-packages 2>/dev/null | head -n 1)
  [[ -n "$python" && -f "$python/quorvin/__init__.py" ]] || fail "the Python package is not installed"
  for f in __init__.pyi dask.py py.typed; do
    [[ -f "$python/quorvin/$f" ]] || fail "quorvin/$f not installed"
  done
  PYTHONPATH="$python" /usr/bin/python3 -c '
import sys, quorvin
assert quorvin.__file__.startswith(sys.argv[3]), quorvin.__file__
image = quorvin.open(sys.argv[1])
assert image.read().shape == image.shape
assert quorvin.convert(sys.argv[1], sys.argv[2], format="bmp") == [(sys.argv[2], "")]
' "$sample" "$tmp/python.bmp" "$python" || fail "import quorvin from $python"
  cmp "$tmp/reference.bmp" "$tmp/python.bmp" || fail "quorvin.convert output differs from quorvin decode"
  echo "quorvin imported from $python; its BMP is identical to quorvin decode's"
fi

echo "== Debian packages"
(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb" >"$tmp/cpack.log" 2>&1) ||
  { cat "$tmp/cpack.log"; fail "cpack"; }
# Libraries in the multiarch folder, each package with its copyright and changelog.
multiarch=$(gcc -print-multiarch)
lib="./usr/lib/$multiarch"
declare -A want_files=(
  [libquorvin1]="$lib/libquorvin.so.1.0.0 $lib/libcindral.so.1"
  [libquorvin-dev]="./usr/include/quorvin.h $lib/libquorvin.so $lib/pkgconfig/quorvin.pc $lib/cmake/Quorvin/QuorvinConfig.cmake $lib/libquorvin_host.a"
  [quorvin-tools]="./usr/bin/quorvin ./usr/bin/cindral ./usr/share/man/man1/quorvin.1.gz ./usr/share/man/man1/cindral.1.gz"
)
if [[ -n "$python" ]]; then
  dist=${python#"$prefix"}
  want_files[python3-quorvin]="./usr$dist/quorvin/__init__.py ./usr$dist/quorvin/dask.py ./usr$dist/quorvin/__init__.pyi"
fi
for pkg in "${!want_files[@]}"; do
  deb=$(ls "$tmp/deb/${pkg}_"*.deb 2>/dev/null) || fail "package $pkg not built"
  dpkg-deb -c "$deb" | awk '{print $6}' >"$tmp/contents"
  for f in ${want_files[$pkg]} "./usr/share/doc/$pkg/copyright" "./usr/share/doc/$pkg/changelog.gz"; do
    grep -qx -- "$f" "$tmp/contents" || fail "$pkg lacks $f"
  done
  # Stripped: no symbol table, no debug information in what the package installs.
  rm -rf "$tmp/x" && dpkg-deb -x "$deb" "$tmp/x"
  while IFS= read -r elf; do
    ! readelf -S "$elf" | grep -Eq ' \.(symtab|debug_info) ' || fail "$pkg: ${elf#"$tmp/x"} is not stripped"
  done < <(find "$tmp/x" -type f \( -name '*.so*' -o -path '*/bin/*' \))
  zcat "$tmp/x/usr/share/doc/$pkg/changelog.gz" | head -1 | grep -q "($(dpkg-deb -f "$deb" Version))" ||
    fail "$pkg: the changelog's first entry is not this version"
  maintainer=$(dpkg-deb -f "$deb" Maintainer)
  [[ "$maintainer" =~ ^[^@]+\ \<[^@\ ]+@[a-z0-9-]+\.[a-z.]+\>$ && "$maintainer" != *localhost* ]] ||
    fail "$pkg: Maintainer '$maintainer'"
  echo "$(basename "$deb"): $(wc -l <"$tmp/contents") entries; Depends: $(dpkg-deb -f "$deb" Depends)"
done
# The manual pages carry their date.
for page in quorvin cindral; do
  date=$(zcat "$tmp/prefix/share/man/man1/$page.1.gz" | sed -n '1s/^\.TH [A-Z]* 1 "\([^"]*\)".*/\1/p')
  [[ "$date" =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}$ ]] || fail "$page.1: no date in its .TH line"
done
tools_depends=$(dpkg-deb -f "$tmp"/deb/quorvin-tools_*.deb Depends)
[[ "$tools_depends" != *libstdc++* ]] || fail "quorvin-tools depends on '$tools_depends'"
# lintian (scripts/deps installs it): no errors; the warnings left are
# explained in cmake/install.cmake.
if command -v lintian >/dev/null; then
  lintian --no-tag-display-limit "$tmp"/deb/*.deb >"$tmp/lintian.log" 2>&1 || true
  if grep -q '^E: ' "$tmp/lintian.log"; then
    cat "$tmp/lintian.log"
    fail "lintian reports errors"
  fi
  echo "lintian: no errors, $(grep -c '^W: ' "$tmp/lintian.log") warning(s)$(grep '^W: ' "$tmp/lintian.log" | sed 's/^W: [^:]*: \([^ ]*\).*/ \1/' | sort -u | tr -d '\n')"
else
  echo "lintian is not installed (scripts/deps installs it): the packages were not checked with it"
fi
runtime_depends=$(dpkg-deb -f "$tmp"/deb/libquorvin1_*.deb Depends)
[[ "$runtime_depends" =~ ^libc6(\ \(.*\))?$ ]] || fail "libquorvin1 depends on '$runtime_depends'"
# libjpeg-turbo is loaded at run time for JPEG: recommended, never a dependency.
[[ "$(dpkg-deb -f "$tmp"/deb/libquorvin1_*.deb Recommends)" == libjpeg62-turbo ]] ||
  fail "libquorvin1 does not recommend libjpeg62-turbo"
[[ "$(dpkg-deb -f "$tmp"/deb/libquorvin-dev_*.deb Depends)" == *"libquorvin1 (= "* ]] ||
  fail "libquorvin-dev does not depend on its libquorvin1"
# apt resolves the three together against this system without installing anything.
if [[ $(id -u) -eq 0 ]]; then
  apt-get install --simulate "$tmp"/deb/*.deb >"$tmp/apt.log" 2>&1 ||
    { cat "$tmp/apt.log"; fail "apt-get install --simulate"; }
  grep -c '^Inst ' "$tmp/apt.log" | sed 's/^/apt-get would install /; s/$/ package(s)/'
fi
echo "install check passed"
