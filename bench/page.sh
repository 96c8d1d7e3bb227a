#!/usr/bin/env bash
# Page rendering speed.
#  1. In-process: the shipped login page (HTML and WML) rendered 2,000 times,
#     and one 43 KB line of 5,000 references (median per render).
#  2. Whole process, as the web server runs it (hyperfine -N, CGI
#     environment only): the page the program shows for a plain GET of the
#     script (the login page once the login command is built; until then the
#     error page, which uses the same header, stylesheet and footer), next
#     to a static program that prints a fixed page of the same size.
#   bench/page.sh [BUILD_DIR]   (default build-page, else build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=${1:-}
if [ -z "$B" ]; then
    for d in "$ROOT/build-page" "$ROOT/build"; do [ -x "$d/larkspur" ] && { B=$d; break; }; done
fi
[ -x "$B/larkspur" ] || { echo "page.sh: no larkspur in ${B:-build}; build first" >&2; exit 1; }
B=$(cd "$B" && pwd)
T=$(mktemp -d /tmp/lkpagebenchXXXXXX)
trap 'rm -rf "$T"' EXIT
g++ -std=c++20 -O2 -I"$ROOT/src" -o "$T/page_bench" "$ROOT/bench/page_bench.cpp" \
    $(find "$B/CMakeFiles" -path '*lk_*.dir*' -name '*.o' | sort) \
    /usr/lib/x86_64-linux-gnu/libgumbo.a -static-libstdc++ -static-libgcc
"$T/page_bench" "$ROOT/templates"

command -v hyperfine >/dev/null || { echo "page.sh: hyperfine not installed; whole-process figures skipped"; exit 0; }
mkdir -p "$T/work"
cp "$B/larkspur" "$T/larkspur"
printf 'templates %s\nworkarea %s\nlog_file %s\n' "$ROOT/templates" "$T/work" "$T/larkspur.log" > "$T/larkspur.ini"
CGI=(REQUEST_METHOD=GET QUERY_STRING= SCRIPT_NAME=/cgi-bin/larkspur SERVER_NAME=localhost SERVER_PORT=80
     REMOTE_ADDR=127.0.0.1 HTTP_USER_AGENT=bench)
cd "$T"
env -i "${CGI[@]}" ./larkspur > page.out || true   # an error page exits 1
SIZE=$(wc -c < page.out)
TITLE=$(grep -o '<title>[^<]*' page.out | head -1 | sed 's/<title>//')
echo "page: a plain GET shows \"$TITLE\" ($SIZE bytes)"

# The reference: a static program writing a fixed page of the same size.
head -c "$SIZE" page.out > fixed.txt
{
    echo '#include <unistd.h>'
    echo 'static const unsigned char page[] = {'
    od -An -v -tu1 fixed.txt | tr -s ' ' ',' | sed 's/^,//; s/$/,/'
    echo '};'
    echo 'int main(void) { return write(1, page, sizeof page) == (long)sizeof page ? 0 : 1; }'
} > fixed.c
cc -O2 -static -o fixed fixed.c

env -i "${CGI[@]}" hyperfine -N -i --warmup 30 --runs 400 --export-json times.json \
    "$T/larkspur" "$T/fixed" > hyperfine.txt 2>&1 || { cat hyperfine.txt; exit 1; }
python3 - <<'PY'
import json
r = json.load(open("times.json"))["results"]
for x in r:
    name = "larkspur" if x["command"].endswith("larkspur") else "fixed page"
    print("page: %-10s median %.2f ms  mean %.2f ms  (min %.2f)" % (name, x["median"]*1e3, x["mean"]*1e3, x["min"]*1e3))
print("page: ratio of medians %.2f" % (r[0]["median"] / r[1]["median"]))
PY
