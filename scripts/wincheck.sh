#!/usr/bin/env bash
# wincheck.sh [BUILD_DIR]: the Windows compile check.
#
# Compiles every source and header of driver/ and common/, and the platform's
# layout checks, with mingw-w64's g++ for x86_64 (-fsyntax-only) against real
# Windows kernel headers: mingw-w64's DDK (ntifs.h, wdm.h, ntstrsafe.h) and Wine's
# ddk/fltkernel.h, completed by platform/wdk_gaps.h. The code must compile there
# unchanged, with the same warnings as errors as the Linux build of the driver,
# so a driver file that uses something Windows does not have fails here.
#
# The control library (every source and header of ctrl/, and platform/um.h) is
# compiled the same way against the user-mode headers: mingw-w64's windows.h and
# fltuser.h (completed by platform/um_gaps.h) and the Debian jsoncpp and log4cpp
# headers, as a UNICODE build. Without ctrl/ files only um.h is checked.
#
# Wine's header comes from Debian's libwine-dev package, fetched with apt-get
# download and unpacked into BUILD_DIR/wincheck (never installed: the package
# pulls in far more than one header). It is kept there, so reruns are fast.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=$build/wincheck
include=$work/include

fail() {
  echo "wincheck: $*" >&2
  exit 1
}

cxx=""
for candidate in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++; do
  if command -v "$candidate" >/dev/null 2>&1; then
    cxx=$candidate
    break
  fi
done
[ -n "$cxx" ] || fail "mingw-w64's g++ for x86_64 is missing (scripts/setup.sh installs g++-mingw-w64-x86-64-posix)"
ddk=/usr/share/mingw-w64/include/ddk
[ -f "$ddk/ntifs.h" ] || fail "mingw-w64's DDK headers are missing in $ddk (scripts/setup.sh installs mingw-w64-x86-64-dev)"

# ---- Wine's fltkernel.h, unpacked once into the build tree
if [ ! -f "$include/ddk/fltkernel.h" ]; then
  echo "wincheck: fetching Wine's ddk/fltkernel.h (Debian package libwine-dev)"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  if ! (cd "$tmp" && apt-get download -q libwine-dev >/dev/null 2>"$tmp/download.log"); then
    # A fresh machine may not have the package lists yet.
    $SUDO apt-get update -qq
    (cd "$tmp" && apt-get download -q libwine-dev >/dev/null 2>"$tmp/download.log") ||
      { cat "$tmp/download.log" >&2; fail "apt-get download libwine-dev failed"; }
  fi
  deb=$(ls "$tmp"/libwine-dev_*.deb)
  dpkg-deb -x "$deb" "$tmp/root"
  header=$(find "$tmp/root" -path '*/ddk/fltkernel.h' | head -n 1)
  [ -n "$header" ] || fail "libwine-dev has no ddk/fltkernel.h"
  mkdir -p "$include/ddk"
  cp "$header" "$include/ddk/fltkernel.h.part"
  mv "$include/ddk/fltkernel.h.part" "$include/ddk/fltkernel.h"
  # Drivers include it as <fltKernel.h>, as Windows' case-insensitive paths allow.
  ln -sfn ddk/fltkernel.h "$include/fltKernel.h"
  dpkg-deb -f "$deb" Version >"$include/libwine-dev.version"
  rm -rf "$tmp"
  trap - EXIT
fi
[ -e "$include/fltKernel.h" ] || ln -sfn ddk/fltkernel.h "$include/fltKernel.h"

# The driver's warnings, as in the Linux build (KX_DRIVER_WARNINGS in CMakeLists.txt).
warnings=(-Wall -Wextra -Werror -Wunused -Wunused-parameter -Wshadow -Wsign-compare -Wsign-conversion
  -Wconversion -Wparentheses -Wempty-body -Wuninitialized -Wswitch -Wtype-limits)
flags=(-std=c++20 -fsyntax-only -fno-rtti -D_AMD64_ -D_WIN64 -DNTDDI_VERSION=0x0A000000
  -isystem "$include" -isystem "$ddk" -I "$root" "${warnings[@]}")

mapfile -t files < <(cd "$root" && {
  find driver common -type f \( -name '*.cpp' -o -name '*.h' \)
  echo platform/wdk_layout_check.cpp
} | sort)

# ---- the control library: user-mode headers, jsoncpp, log4cpp
# log4cpp's headers are reached through a directory that holds only them (the
# rest of /usr/include is the Linux C library, which the cross compiler must not see).
libinclude=$work/um-include
mkdir -p "$libinclude"
[ -d /usr/include/log4cpp ] && ln -sfn /usr/include/log4cpp "$libinclude/log4cpp"
[ -d /usr/include/jsoncpp/json ] || echo "wincheck: note: jsoncpp headers missing (/usr/include/jsoncpp, libjsoncpp-dev)" >&2
um_warnings=(-Wall -Wextra -Werror)
um_flags=(-std=c++20 -fsyntax-only -D_WIN64 -DUNICODE -D_UNICODE
  -isystem /usr/include/jsoncpp -isystem "$libinclude" -I "$root" "${um_warnings[@]}")
mapfile -t um_files < <(cd "$root" && {
  [ -d ctrl ] && find ctrl -type f \( -name '*.cpp' -o -name '*.h' \)
  echo platform/um.h
} | sort)

check() {  # check FILE FLAGS...
  local f=$1
  shift
  local out
  case "$f" in
    *.h) out=$(cd "$root" && printf '#include "%s"\n' "$f" | "$cxx" "$@" -x c++ - 2>&1) || true ;;
    *) out=$(cd "$root" && "$cxx" "$@" "$f" 2>&1) || true ;;
  esac
  if [ -n "$out" ]; then
    echo "---- $f"
    echo "$out"
    failed+=("$f")
  fi
}

failed=()
for f in "${files[@]}"; do
  check "$f" "${flags[@]}"
done
for f in "${um_files[@]}"; do
  check "$f" "${um_flags[@]}"
done
files+=("${um_files[@]}")

if [ ${#failed[@]} -gt 0 ]; then
  echo >&2
  echo "wincheck: FAILED: ${#failed[@]} of ${#files[@]} files do not compile against the Windows headers" >&2
  echo "wincheck: (mingw-w64 DDK + Wine fltkernel.h; mingw-w64 windows.h + fltuser.h; with $cxx):" >&2
  printf 'wincheck:   %s\n' "${failed[@]}" >&2
  echo "wincheck: Driver and common code may use only what the WDK declares, through platform/km.h;" >&2
  echo "wincheck: library code only what the SDK declares, through platform/um.h. A declaration these" >&2
  echo "wincheck: header sets lack goes into platform/wdk_gaps.h or platform/um_gaps.h, written from" >&2
  echo "wincheck: Microsoft's documented signature." >&2
  exit 1
fi
echo "wincheck: ${#files[@]} files compile against the Windows headers ($cxx, libwine-dev $(cat "$include/libwine-dev.version"); ${#um_files[@]} of them user mode)"
