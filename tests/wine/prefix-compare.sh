#!/usr/bin/env bash
# Tavdump.exe under Wine and the Linux tavdump reading the same Wine prefix must write the
# same bytes: for every program that has an open command in the prefix's classes, in each
# of the three formats. Usage: prefix-compare.sh LINUX_TAVDUMP TAVDUMP_EXE PREFIX
# Prints one line per difference and a summary; exits 1 when anything differs. Wine 8's
# HKEY_CLASSES_ROOT leaves out the user's classes (HKCU\Software\Classes), which tavdump
# merges as Windows does: use a prefix whose user.reg holds no classes of those programs.
set -u
linux=$(realpath "$1") exe=$(realpath "$2") prefix=$(realpath "$3")
[ -f "$prefix/system.reg" ] || { echo "$prefix: no system.reg" >&2; exit 2; }
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
# The programs named by the open commands of both registry files ("\\" separates folders
# in Wine's escaping); each one once, in any letter case.
programs=$(cat "$prefix/system.reg" "$prefix/user.reg" 2>/dev/null | awk '
  /^\[/ { open = tolower($0) ~ /^\[software\\\\classes\\\\.*\\\\shell\\\\open\\\\command\]/ }
  open && /^@=/ { if (match(tolower($0), /[^\\" ]*\.exe/)) print substr(tolower($0), RSTART, RLENGTH) }
' | sort -u)
[ -n "$programs" ] || { echo "$prefix: no program has an open command" >&2; exit 2; }
# Both runs get the Unix locale, which gives Wine, and tavdump reading a prefix, their code
# pages; nothing else.
locale=()
for name in LC_ALL LC_CTYPE LANG; do [ -n "${!name:-}" ] && locale+=("$name=${!name}"); done
runs=0 same=0
for program in $programs; do
  for format in cmd reg inf; do
    mkdir -p "$work/linux" "$work/wine"
    (cd "$work/linux" && env -i WINEPREFIX="$prefix" "${locale[@]}" "$linux" "$program" "out.$format" \
      >stdout 2>stderr; echo $? >exit)
    # Tavdump.exe always prints its banner: a run with nothing on standard output is Wine
    # that did not start the program (it happens on a busy machine), so it is tried again.
    for attempt in 1 2 3; do
      (cd "$work/wine" && env -i PATH="$PATH" HOME="${HOME:-/tmp}" WINEARCH=win64 WINEDEBUG=-all \
        WINEPREFIX="$prefix" "${locale[@]}" wine "$exe" "$program" "out.$format" \
        >stdout 2>stderr; echo $? >exit)
      [ -s "$work/wine/stdout" ] && break
    done
    runs=$((runs + 1))
    if diff -r "$work/linux" "$work/wine" >"$work/diff"; then
      same=$((same + 1))
    else
      echo "DIFFERS: $program out.$format"; head -n 20 "$work/diff"
    fi
    rm -rf "$work/linux" "$work/wine"
  done
done
echo "prefix-compare: $same of $runs runs the same ($(echo $programs | wc -w) programs)"
[ "$same" -eq "$runs" ]
