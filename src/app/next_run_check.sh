# What a run after a power cut may do, for the power-cut tests to source:
# exit 0 and "Done!" only over the new text; exit 1 only with the file the old
# or the new text, or with a saved text named that is the whole new one; and
# every saved text it names must be the whole new text.

describe() {  # describe FILE: its size and first bytes
  if [ -f "$1" ]; then
    printf '%s bytes, starting "%s"\n' "$(wc -c <"$1")" "$(head -c 40 "$1" |
      perl -0777 -pe 's/([^ -~])/sprintf("\\x%02x", ord $1)/ge')"
  else
    echo "missing"
  fi
}

# next_run_fault FILE OLD NEW OUTPUT STATUS: says what the run that left FILE
# and wrote OUTPUT, with exit status STATUS, did wrong; nothing if nothing.
next_run_fault() {
  case $5 in
    0)
      grep -qx 'Done!' "$4" || { echo "exit status 0 without \"Done!\""; return; }
      cmp -s "$1" "$3" || echo "\"Done!\" and exit status 0, but the file is not the new text"
      ;;
    1)
      named=$(grep -v '^Left ' "$4" | grep -o '"[^"]*ostrel-saved-[^"]*"' | tr -d '"')
      while IFS= read -r saved; do
        [ -z "$saved" ] || cmp -s "$saved" "$3" ||
          { echo "names \"$saved\" as the new text, but it is not: $(describe "$saved")"; return; }
      done <<NAMED
$named
NAMED
      cmp -s "$1" "$3" || cmp -s "$1" "$2" || [ -n "$named" ] ||
        echo "exit status 1, the file is neither text, and no saved new text is named"
      ;;
    *) echo "exit status $5" ;;
  esac
}
