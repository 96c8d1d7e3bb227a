#!/bin/bash
# Builds the spell checker's word list, words.dat, from Debian's English
# word list (package wamerican): lower case (ASCII letters only, as the
# program lower-cases), one word a line, in byte order, each word once.
# The program searches a list in that layout where it lies, without
# reading it into memory.
#
#   scripts/mkwords.sh OUT            e.g. scripts/mkwords.sh /usr/share/larkspur/templates/words.dat
#
# LK_WORDLIST names another source list (default /usr/share/dict/american-english);
# run as root, the package is installed when the list is missing.
set -euo pipefail
out=${1:?usage: mkwords.sh OUT}
src=${LK_WORDLIST:-/usr/share/dict/american-english}
if [ ! -r "$src" ] && [ -z "${LK_WORDLIST:-}" ] && [ "$(id -u)" = 0 ]; then
    echo "mkwords.sh: installing wamerican"
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y wamerican >/dev/null \
        || { DEBIAN_FRONTEND=noninteractive apt-get update -qq \
             && DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y wamerican >/dev/null; }
fi
[ -r "$src" ] || { echo "mkwords.sh: no word list at $src (install wamerican)" >&2; exit 1; }
tmp=$(mktemp "${out}.XXXXXX")
trap 'rm -f "$tmp"' EXIT
LC_ALL=C tr -d '\r' <"$src" | LC_ALL=C tr 'A-Z' 'a-z' | LC_ALL=C grep -v '[[:space:]]' \
    | LC_ALL=C grep -v '^$' | LC_ALL=C sort -u >"$tmp"
chmod 644 "$tmp"
mv -f "$tmp" "$out"
trap - EXIT
echo "mkwords.sh: $(wc -l <"$out") words in $out"
