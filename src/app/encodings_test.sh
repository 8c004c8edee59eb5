#!/bin/sh
# ostrel on one text in every encoding it knows by its byte-order mark, each
# file made by iconv: the file must become exactly what iconv makes of the
# expected text, with the transcript and exit status of a byte file.
# Usage: encodings_test.sh OSTREL [WINE]   (with WINE, OSTREL is a .exe)
set -eu
exe=$1
wine=${2:-}
dir=$(mktemp -d /tmp/ostrel-encodings-test.XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/tmp"

# Indents of spaces, tabs, CR LF, LF, a lone CR, a line of spaces, NUL, a
# surrogate pair at a line start (U+1F600), characters whose UTF-16 or UTF-32
# bytes hold 0x20, 0x0A or 0x0D (U+4E0A, U+2000, U+0A20, U+0D0A, U+200A), pairs
# of them that hold a LF's bytes across their boundary (U+0A41 U+2000, U+4100
# U+0A41), and a last line without a line end.
printf '  alpha\r\n\tbeta\n    \n \t gamma  \r\n  \344\270\212\351\231\220 \303\251t\303\251\n'\
'   \360\237\230\200 smile\r\n\342\200\200 en quad\n'\
' \340\250\240\340\264\212\342\200\212\340\251\201\342\200\200\344\204\200\340\251\201 x\r\r\n'\
'  \000 nul\n  last' >"$dir/sample"
printf 'alpha\r\n\tbeta\r\n\r\n\t gamma  \r\n\344\270\212\351\231\220 \303\251t\303\251\r\n'\
'\360\237\230\200 smile\r\n\342\200\200 en quad\r\n'\
'\340\250\240\340\264\212\342\200\212\340\251\201\342\200\200\344\204\200\340\251\201 x\r\r\n'\
'\000 nul\r\nlast' >"$dir/expected"

run() {  # run FILE: the transcript into $dir/out, the exit status into $status
  status=0
  if [ -n "$wine" ]; then
    WINEDEBUG=-all "$wine" "$exe" "Z:$(echo "$1" | tr / '\\')" >"$dir/out" || status=$?
  else
    TMPDIR=$dir/tmp "$exe" "$1" >"$dir/out" || status=$?
  fi
}

cp "$dir/sample" "$dir/f"
run "$dir/f"
cmp "$dir/expected" "$dir/f" || { echo "FAIL: bytes without a mark"; exit 1; }
mv "$dir/out" "$dir/transcript"
grep -q "Done!" "$dir/transcript" || { echo "FAIL: no Done! for bytes"; cat "$dir/transcript"; exit 1; }

mark() {  # mark ENCODING: U+FEFF to put first, unless iconv writes the mark itself
  case $1 in
    UTF-16 | UTF-32) ;;
    *) printf '\357\273\277' ;;
  esac
}

failed=0
for encoding in UTF-8 UTF-16LE UTF-16BE UTF-32LE UTF-32BE UTF-16 UTF-32; do
  { mark $encoding; cat "$dir/sample"; } | iconv -f UTF-8 -t $encoding >"$dir/f"
  { mark $encoding; cat "$dir/expected"; } | iconv -f UTF-8 -t $encoding >"$dir/want"
  run "$dir/f"
  if [ "$status" != 0 ] || ! cmp -s "$dir/transcript" "$dir/out"; then
    echo "FAIL: $encoding: exit status $status, transcript:"; cat "$dir/out"; failed=1
  elif ! cmp "$dir/want" "$dir/f"; then
    echo "FAIL: $encoding: the file is not what iconv makes of the expected text"; failed=1
  elif [ -n "$(ls -A "$dir/tmp")" ]; then
    echo "FAIL: $encoding: a work file was left behind"; failed=1
  else
    echo "ok: $encoding ($(head -c 4 "$dir/f" | od -An -tx1 | tr -s ' ') ...)"
  fi
done
[ "$failed" = 0 ] || exit 1
echo "PASS"
