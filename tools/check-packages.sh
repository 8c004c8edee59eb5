#!/bin/sh
# Checks the packages that tools/deb.sh and tools/windows.sh made, the way a
# packager or a user would look into them:
#   tools/check-packages.sh deb   build/ostrel_VERSION_amd64.deb: lintian
#                                 reports no error and no warning; the files
#                                 Debian wants are there; the executable is
#                                 stripped and loads no C++ runtime
#   tools/check-packages.sh zip   both Windows .zip files: ostrel.exe, and
#                                 README.txt and LICENSE.txt with CR LF line
#                                 ends, and the MinGW-w64 notices; ostrel.exe
#                                 carries the manifest and the version
#                                 resource with this version
# Exits non-zero, naming what is wrong, on the first failed check.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-packages.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

version_of() {  # version_of BUILD_DIR: the project version it was configured with
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

check_deb() {
  version=$(version_of build)
  deb=build/ostrel_${version}_amd64.deb
  [ -f "$deb" ] || fail "$deb is missing"
  echo "== $deb"
  dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
  dpkg-deb --contents "$deb" | tee "$scratch/contents"
  # Errors and warnings fail; information tags are shown.
  lintian --fail-on error,warning --display-info "$deb" 2>&1 |
    grep -v '^running with root privileges is not recommended!$' || true
  lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || fail "lintian reports errors or warnings"
  for file in usr/bin/ostrel usr/share/man/man1/ostrel.1.gz usr/share/doc/ostrel/copyright \
    usr/share/doc/ostrel/changelog.gz; do
    grep -q " \./$file\$" "$scratch/contents" || fail "$deb lacks /$file"
  done
  dpkg-deb --field "$deb" Depends | grep -q '^libc6 (>= ' || fail "Depends does not name libc6"
  dpkg-deb --extract "$deb" "$scratch/deb"
  exe=$scratch/deb/usr/bin/ostrel
  sed 's/^ \.$//' "$scratch/deb/usr/share/doc/ostrel/copyright" | tr -d ' \n' >"$scratch/copyright"
  sed -n '/^Permission/,$p' LICENSE | tr -d ' \n' | grep -q -F -f - "$scratch/copyright" ||
    fail "the copyright file does not hold the text of LICENSE"
  file "$exe" | grep -q ', stripped' || fail "/usr/bin/ostrel is not stripped"
  needed=$(readelf -d "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  echo "/usr/bin/ostrel loads: $needed"
  case " $needed" in *" libc.so.6 "*) ;; *) fail "/usr/bin/ostrel does not load the C library" ;; esac
  case "$needed" in *libstdc++*|*libgcc_s*) fail "/usr/bin/ostrel loads the C++ runtime" ;; esac
  zcat "$scratch/deb/usr/share/doc/ostrel/changelog.gz" | head -n 1 |
    grep -q "^ostrel ($version) " || fail "the changelog does not start with $version"
  "$exe" | grep -q "^ostrel $version - " || fail "the banner does not show $version"
  zcat "$scratch/deb/usr/share/man/man1/ostrel.1.gz" | grep -q "^\.TH .*\"ostrel $version\"" ||
    fail "the manual page does not show $version"
  echo "PASS: $deb"
}

hex() { od -An -v -tx1 "$1" | tr -d ' \n'; }

# Copies resource TYPE (a number, as objdump prints it) of EXE into OUT.
resource() {  # resource OBJDUMP EXE TYPE OUT
  "$1" -p "$2" >"$scratch/objdump"
  # The .rsrc section starts at the resource directory; a leaf's address is
  # an address in the image, so its offset in the section is the difference.
  base=$(awk '/Resource Directory \[\.rsrc\]/ {print $3; exit}' "$scratch/objdump")
  leaf=$(awk -v type="$3" '
    $2 == "Entry:" && length($1) == 3 && /^[0-9a-f]+   Entry/ {
      current = $4; sub(/^0x0*/, "", current); sub(/,$/, "", current) }
    $2 == "Leaf:" && current == type { print $4, $6; exit }' "$scratch/objdump" | tr -d ,)
  [ -n "$leaf" ] || return 1
  address=${leaf% *}
  size=${leaf#* }
  "${1%objdump}objcopy" -O binary --only-section=.rsrc "$2" "$scratch/rsrc"
  dd if="$scratch/rsrc" of="$4" bs=1 skip=$((address - 0x$base)) count=$((size)) 2>/dev/null
}

check_exe() {  # check_exe EXE OBJDUMP VERSION MANIFEST NAME
  exe=$1 objdump=$2 version=$3 manifest=$4 name=$5
  # RT_MANIFEST (24): exactly the manifest CMake configured.
  resource "$objdump" "$exe" 18 "$scratch/manifest" || fail "$name has no manifest"
  cmp -s "$scratch/manifest" "$manifest" || fail "the manifest in $name is not $manifest"
  grep -q '<longPathAware[^>]*>true</longPathAware>' "$scratch/manifest" ||
    fail "$name is not long-path aware"
  grep -q 'level="asInvoker"' "$scratch/manifest" || fail "$name does not run as invoker"
  grep -q '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>' "$scratch/manifest" ||
    fail "$name does not name Windows 10 and 11 as supported"
  # RT_VERSION (16): the fixed part holds the numbers, the strings the names.
  resource "$objdump" "$exe" 10 "$scratch/version" || fail "$name has no version resource"
  major=${version%%.*} rest=${version#*.}
  minor=${rest%%.*} patch=${rest#*.}
  numbers=$(printf 'bd04effe00000100%02x00%02x000000%02x00' "$minor" "$major" "$patch")
  hex "$scratch/version" | grep -q "${numbers}${numbers#bd04effe00000100}" ||
    fail "the version numbers in $name are not $version"
  # The strings are UTF-16; for ASCII text, dropping the NUL bytes reads them.
  tr -d '\000' <"$scratch/version" >"$scratch/strings"
  copyright=$(grep -m 1 '^Copyright ' LICENSE)
  for pair in "ProductName:ostrel" "FileVersion:$version" "ProductVersion:$version" \
    "LegalCopyright:$copyright" "OriginalFilename:ostrel.exe"; do
    grep -q -F "${pair%%:*}${pair#*:}" "$scratch/strings" ||
      fail "$name lacks ${pair%%:*} \"${pair#*:}\" in its version resource"
  done
  grep -q -F "FileDescription" "$scratch/strings" || fail "$name has no FileDescription"
}

check_text() {  # check_text FILE SOURCE: FILE is SOURCE with CR LF line ends
  sed 's/$/\r/' "$2" | cmp -s - "$1" || fail "$1 is not $2 with CR LF line ends"
}

check_zip() {  # check_zip BUILD_DIR SYSTEM ARCH
  version=$(version_of "$1")
  zip=$1/ostrel-$version-$2.zip
  [ -f "$zip" ] || fail "$zip is missing"
  echo "== $zip"
  cmake -E tar tvf "$zip"
  listed=$(cmake -E tar tf "$zip" | sort | tr '\n' ' ')
  [ "$listed" = "LICENSE.txt README.txt THIRD-PARTY-NOTICES.txt ostrel.exe " ] ||
    fail "$zip holds $listed"
  rm -rf "$scratch/zip" && mkdir "$scratch/zip"
  (cd "$scratch/zip" && cmake -E tar xf "$top/$zip")
  check_text "$scratch/zip/LICENSE.txt" LICENSE
  check_text "$scratch/zip/README.txt" README.md
  grep -q "winpthreads" "$scratch/zip/THIRD-PARTY-NOTICES.txt" ||
    fail "THIRD-PARTY-NOTICES.txt in $zip lacks the winpthreads notice"
  check_exe "$scratch/zip/ostrel.exe" "$3-w64-mingw32-objdump" "$version" "$1/ostrel.exe.manifest" \
    "ostrel.exe in $zip"
  echo "PASS: $zip"
}

case "${1:-}" in
  deb) check_deb ;;
  zip)
    check_zip build-windows win64 x86_64
    check_zip build-windows-x86 win32 i686
    ;;
  *) echo "usage: tools/check-packages.sh deb|zip" >&2; exit 2 ;;
esac
