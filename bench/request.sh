#!/usr/bin/env bash
# Whole-process time of the CGI program, as a web server pays it: "-version"
# (process start alone) and a request for the test page ("cmd=test"), each
# beside a bare static C program that prints a fixed page.  hyperfine -N
# runs each without a shell; the medians are printed.
#   bench/request.sh [BUILD_DIR]   (default build)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
B=$(cd "${1:-$ROOT/build}" && pwd)
[ -x "$B/larkspur" ] || { echo "request.sh: no larkspur in $B; build first" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "request.sh: needs hyperfine (apt-get install -y hyperfine)" >&2; exit 1; }
command -v cc >/dev/null || { echo "request.sh: needs a C compiler" >&2; exit 1; }

W=$(mktemp -d /tmp/lkbench_reqXXXXXX)
trap 'rm -rf "$W"' EXIT
mkdir -p "$W/work" "$W/templates"
printf 'templates %s/templates\nworkarea %s/work\n' "$W" "$W" > "$W/larkspur.ini"
cat > "$W/bare.c" <<'C'
#include <stdio.h>
int main(void) {
    fputs("Content-type: text/html\n\n<html><body>fixed page</body></html>\n", stdout);
    return 0;
}
C
cc -O2 -static -o "$W/bare" "$W/bare.c"
cp "$B/larkspur" "$W/larkspur"

CGI_ENV=(env -i REQUEST_METHOD=GET QUERY_STRING=cmd=test SCRIPT_NAME=/cgi-bin/larkspur
         SERVER_NAME=localhost SERVER_PORT=80 REMOTE_ADDR=127.0.0.1)
cd "$W"
median() {
    hyperfine -N -w 5 -r 200 --style none --export-json "$W/r.json" "$@" >/dev/null 2>&1
    python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"][0]; print("%.2f ms" % (r["median"]*1000))' "$W/r.json"
}
echo "bare static C page:          $(median "$W/bare")"
echo "larkspur -version:           $(median "$W/larkspur -version")"
echo "larkspur cmd=test (env -i):  $(median "${CGI_ENV[*]} $W/larkspur")"
