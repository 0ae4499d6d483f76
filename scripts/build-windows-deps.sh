#!/usr/bin/env bash
# Builds TinyXML, SQLite and GoogleTest for the Windows target (x86_64-w64-mingw32, static) from
# Debian's own sources, into a cache folder outside the source tree. Later runs find the
# finished prefix and return at once.
#
#   QEM_CACHE   the cache folder (default: ~/.cache/qem)
#
# The result is $QEM_CACHE/mingw64 with include/ and lib/ (libtinyxml.a, libsqlite3.a,
# libgtest*.a, libgmock*.a and GTest's CMake package files).
set -euo pipefail

cache="${QEM_CACHE:-$HOME/.cache/qem}"
prefix="$cache/mingw64"
stamp="$prefix/.complete-v1"
if [ -f "$stamp" ]; then
  echo "build-windows-deps: using $prefix"
  exit 0
fi

cc=x86_64-w64-mingw32-gcc-posix
cxx=x86_64-w64-mingw32-g++-posix
ar=x86_64-w64-mingw32-ar
work="$cache/src"
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix/include" "$prefix/lib"

# Debian's source packages, fetched through a private deb-src list so that the system's apt
# configuration stays untouched.
apt_state="$cache/apt"
mkdir -p "$apt_state/lists/partial"
uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
[ -n "$uri" ] || uri=http://deb.debian.org/debian
cat > "$apt_state/sources.list" <<SRC
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri bookworm main
SRC
apt_opts=(-o "Dir::Etc::sourcelist=$apt_state/sources.list" -o Dir::Etc::sourceparts=/dev/null
          -o "Dir::State::Lists=$apt_state/lists")
apt-get "${apt_opts[@]}" update -qq
(cd "$work" && apt-get "${apt_opts[@]}" source -qq tinyxml sqlite3 >/dev/null 2>&1)

# TinyXML: three translation units, built with the STL interface exactly as Debian builds it.
txdir=$(find "$work" -maxdepth 1 -type d -name 'tinyxml-*' | head -n 1)
for f in tinyxml tinyxmlparser tinyxmlerror; do
  $cxx -O2 -DTIXML_USE_STL -c "$txdir/$f.cpp" -o "$work/$f.o"
done
$ar rcs "$prefix/lib/libtinyxml.a" "$work"/tinyxml*.o
cp "$txdir/tinyxml.h" "$txdir/tinystr.h" "$prefix/include/"

# SQLite: the amalgamation is generated natively, then compiled for Windows.
sqdir=$(find "$work" -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)
mkdir -p "$work/sqlite-native"
(cd "$work/sqlite-native" && "$sqdir/configure" --disable-tcl >/dev/null && make -s sqlite3.c >/dev/null)
$cc -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c "$work/sqlite-native/sqlite3.c" \
    -o "$work/sqlite3.o"
$ar rcs "$prefix/lib/libsqlite3.a" "$work/sqlite3.o"
cp "$work/sqlite-native/sqlite3.h" "$prefix/include/"

# GoogleTest from Debian's googletest sources.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cmake -S /usr/src/googletest -B "$work/gtest" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -Dgtest_disable_pthreads=OFF >/dev/null
cmake --build "$work/gtest" >/dev/null
cmake --install "$work/gtest" >/dev/null

rm -rf "$work"
touch "$stamp"
echo "build-windows-deps: built $prefix"
