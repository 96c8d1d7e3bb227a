#!/bin/bash
# The manual page: the built page formats without a groff warning, and the
# generator refuses settings descriptions that disagree with the program's
# key table (a key left out, a key the program does not read, a default the
# table already fixes).
#   man_check.sh MKMAN SOURCE_DIR BUILT_PAGE
set -uo pipefail
mkman=$1 src=$2 page=$3
fail=0 n=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
check() {  # check NAME EXPECTED_STATUS(ok|fail) COMMAND...
    local name=$1 want=$2; shift 2
    n=$((n + 1))
    if "$@" >"$tmp/out" 2>&1; then got=ok; else got=fail; fi
    if [ "$got" = "$want" ]; then echo "ok: $name"; else echo "FAILED: $name (wanted $want)"; cat "$tmp/out"; fail=$((fail + 1)); fi
}
warnings() { [ -z "$(groff -man -ww -z "$page" 2>&1)" ] && grep -q '^\.B poppassd_port$' "$page"; }
check "the built page formats cleanly" ok warnings
grep -v '^fetch_min	' "$src/man/settings.txt" >"$tmp/missing.txt"
check "a setting without a description" fail "$mkman" "$src/man/larkspur.8.in" "$tmp/missing.txt" "$tmp/p"
{ cat "$src/man/settings.txt"; printf 'no_such_key\tnothing\n'; } >"$tmp/extra.txt"
check "a description of a key the program lacks" fail "$mkman" "$src/man/larkspur.8.in" "$tmp/extra.txt" "$tmp/p"
sed 's/^\(pop_timeout	[^	]*\)$/\1	45/' "$src/man/settings.txt" >"$tmp/dflt.txt"
check "a default that contradicts the table" fail "$mkman" "$src/man/larkspur.8.in" "$tmp/dflt.txt" "$tmp/p"
echo "man page: $((n - fail)) passed, $fail failed"
[ "$fail" = 0 ]
