#!/usr/bin/env bash
# The Debian package: builds it, checks it with lintian, and proves it on
# this machine: installs it, serves it with lighttpd and with Apache on
# loopback ports of their own and runs the browser check behind each, upgrades
# over an earlier build, removes and purges it.
#
#   scripts/package.sh build     the .deb in $LK_PKG_DIR (dpkg-buildpackage -us -uc -b
#                                on a copy of the tracked files, so no build output
#                                lands beside the checkout)
#   scripts/package.sh lint      lintian on the built package; fails on any error
#   scripts/package.sh check     build, lint, then the install / web / upgrade /
#                                remove / purge checks (root; needs the mail servers
#                                of scripts/servers.sh start for the browser check)
#   scripts/package.sh web-start|web-stop
#                                the packaged program behind lighttpd and Apache
#
# Environment: LK_PKG_DIR (default run/pkg), LK_PKG_LIGHTTPD_PORT (default
# 18181), LK_PKG_APACHE_PORT (default 18182), LARKSPUR_RUN (the mail servers'
# state directory, for servers.env), LK_PREV_DEB (an earlier build to upgrade
# from; without it the check makes one from this build with a lower version),
# LK_PKG_REUSE=1 (check the package already built instead of building again).
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=${LK_PKG_DIR:-$ROOT/run/pkg}
RUN=${LARKSPUR_RUN:-$ROOT/run/servers}
LIGHTTPD_PORT=${LK_PKG_LIGHTTPD_PORT:-18181}
APACHE_PORT=${LK_PKG_APACHE_PORT:-18182}
HOST=127.0.0.1
WEB=$OUT/web                  # configs, pids and logs of the two web servers
MARK=$OUT/installed-by-check  # the check installed the package (and may undo it)

die() { echo "package.sh: $*" >&2; exit 1; }
say() { echo "package.sh: $*"; }

version() { dpkg-parsechangelog -l "$ROOT/debian/changelog" -S Version; }
deb_path() { echo "$OUT/larkspur_$(version)_$(dpkg --print-architecture).deb"; }

# ---------------------------------------------------------------- build
cmd_build() {
    local v src stage
    v=$(version) || die "cannot read debian/changelog"
    stage=$OUT/src
    src=$stage/larkspur-$v
    rm -rf "$stage"
    mkdir -p "$src"
    # The tracked files (and new ones not ignored), without build trees.
    if git -C "$ROOT" rev-parse --git-dir >/dev/null 2>&1; then
        (cd "$ROOT" && git ls-files -co --exclude-standard -z) \
            | (cd "$ROOT" && xargs -0 cp --parents -t "$src" 2>/dev/null)
    else
        tar -C "$ROOT" --exclude='./build*' --exclude=./run --exclude=node_modules -cf - . | tar -C "$src" -xf -
    fi
    [ -f "$src/debian/rules" ] || die "no debian/rules in the copy at $src"
    local path=$PATH
    [ -d /usr/lib/ccache ] && path=/usr/lib/ccache:$PATH
    say "building larkspur $v in $src"
    (cd "$src" && PATH=$path DEB_BUILD_OPTIONS="nocheck parallel=${LK_JOBS:-2}" \
        dpkg-buildpackage -us -uc -b) >"$OUT/build.log" 2>&1 \
        || { tail -n 40 "$OUT/build.log"; die "dpkg-buildpackage failed (log $OUT/build.log)"; }
    local deb
    deb=$stage/larkspur_${v}_$(dpkg --print-architecture).deb
    [ -f "$deb" ] || die "no package at $deb"
    mv -f "$deb" "$OUT/"
    say "built $(deb_path)"
}

cmd_lint() {
    local deb; deb=$(deb_path)
    [ -f "$deb" ] || die "no package at $deb: run build first"
    lintian --tag-display-limit 0 "$deb" | tee "$OUT/lintian.log"
    if grep -q '^E: ' "$OUT/lintian.log"; then
        die "lintian reports errors"
    fi
    say "lintian: no errors ($(grep -c '^W: ' "$OUT/lintian.log") warnings)"
}

# ---------------------------------------------------------------- web servers
pid_alive() {
    local pid=$1 stat
    [ -n "$pid" ] && [ -r "/proc/$pid/stat" ] || return 1
    stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat:0:1}" != Z ] && [ "${stat:0:1}" != X ]
}

# launch NAME COMMAND...: runs the server in the foreground of its own
# session, its PID in $WEB/NAME.pid.
launch() {
    local name=$1; shift
    rm -f "$WEB/$name.pid"
    setsid sh -c 'echo $$ >"$0"; exec "$@"' "$WEB/$name.pid" "$@" </dev/null >>"$WEB/$name.out" 2>&1 &
    local i
    for i in $(seq 1 100); do [ -s "$WEB/$name.pid" ] && return 0; sleep 0.02; done
    die "$name did not start (log $WEB/$name.out)"
}

stop_one() {
    local name=$1 pid i
    pid=$(cat "$WEB/$name.pid" 2>/dev/null) || return 0
    if pid_alive "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        for i in $(seq 1 200); do pid_alive "$pid" || break; sleep 0.05; done
        if pid_alive "$pid"; then
            say "$name ($pid) ignored SIGTERM; killing it"
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    rm -f "$WEB/$name.pid"
}

# Waits until the login page answers on PORT.
wait_web() {
    local name=$1 port=$2 i
    for i in $(seq 1 100); do
        curl -fsS -o /dev/null "http://$HOST:$port/cgi-bin/larkspur" 2>/dev/null && return 0
        pid_alive "$(cat "$WEB/$name.pid" 2>/dev/null)" || break
        sleep 0.1
    done
    tail -n 20 "$WEB/$name.out" "$WEB/$name-error.log" 2>/dev/null
    die "$name on port $port does not serve /cgi-bin/larkspur"
}

port_free() { ! ss -Htln "sport = :$1" | grep -q .; }

# lighttpd with the packaged snippet included as lighty-enable-mod would
# link it, on its own port; Apache with the snippet enabled by a2enconf in a
# configuration directory of its own.  Neither touches the system's services.
cmd_web_start() {
    [ -f /etc/lighttpd/conf-available/50-larkspur.conf ] && [ -f /etc/apache2/conf-available/larkspur.conf ] \
        || die "the package's web-server snippets are not installed"
    mkdir -p "$WEB/htdocs" "$WEB/apache2/conf-available" "$WEB/apache2/conf-enabled" "$WEB/rt"
    port_free "$LIGHTTPD_PORT" || die "port $LIGHTTPD_PORT is in use"
    port_free "$APACHE_PORT" || die "port $APACHE_PORT is in use"
    echo '<!doctype html><title>Larkspur package check</title>' >"$WEB/htdocs/index.html"
    touch "$WEB/lighttpd-error.log" "$WEB/apache-error.log"
    chown www-data:www-data "$WEB/lighttpd-error.log"   # lighttpd opens it as www-data
    cat >"$WEB/lighttpd.conf" <<CONF
# Written by scripts/package.sh web-start.
server.modules = ( "mod_access", "mod_alias" )
server.document-root = "$WEB/htdocs"
server.bind = "$HOST"
server.port = $LIGHTTPD_PORT
server.username = "www-data"
server.groupname = "www-data"
server.errorlog = "$WEB/lighttpd-error.log"
include "/etc/lighttpd/conf-available/50-larkspur.conf"
CONF
    lighttpd -tt -f "$WEB/lighttpd.conf" >/dev/null || die "lighttpd refuses the packaged snippet"
    launch lighttpd /usr/sbin/lighttpd -D -f "$WEB/lighttpd.conf"

    ln -sfn /etc/apache2/conf-available/larkspur.conf "$WEB/apache2/conf-available/larkspur.conf"
    rm -f "$WEB/apache2/conf-enabled/larkspur.conf"
    APACHE_CONFDIR=$WEB/apache2 a2enconf -q larkspur >/dev/null || die "a2enconf larkspur failed"
    [ -L "$WEB/apache2/conf-enabled/larkspur.conf" ] || die "a2enconf did not enable larkspur"
    local m=/usr/lib/apache2/modules
    cat >"$WEB/apache2.conf" <<CONF
# Written by scripts/package.sh web-start.
ServerName $HOST
Listen $HOST:$APACHE_PORT
PidFile $WEB/apache2.httpd.pid
DefaultRuntimeDir $WEB/rt
Mutex file:$WEB/rt default
User www-data
Group www-data
ErrorLog $WEB/apache-error.log
LogLevel warn
LoadModule mpm_event_module $m/mod_mpm_event.so
LoadModule authz_core_module $m/mod_authz_core.so
LoadModule alias_module $m/mod_alias.so
LoadModule cgid_module $m/mod_cgid.so
ScriptSock $WEB/rt/cgisock
DocumentRoot $WEB/htdocs
<Directory />
    Require all denied
</Directory>
<Directory $WEB/htdocs>
    Require all granted
</Directory>
IncludeOptional $WEB/apache2/conf-enabled/*.conf
CONF
    apache2 -t -f "$WEB/apache2.conf" 2>/dev/null || die "apache2 refuses the packaged snippet"
    launch apache2 /usr/sbin/apache2 -f "$WEB/apache2.conf" -D FOREGROUND
    wait_web lighttpd "$LIGHTTPD_PORT"
    wait_web apache2 "$APACHE_PORT"
    say "lighttpd on $HOST:$LIGHTTPD_PORT, apache2 on $HOST:$APACHE_PORT"
}

cmd_web_stop() {
    stop_one lighttpd
    stop_one apache2
}

# ---------------------------------------------------------------- check
FAILS=0
OK_COUNT=0
ok() { echo "ok: $1"; OK_COUNT=$((OK_COUNT + 1)); }
bad() { echo "FAILED: $1"; FAILS=$((FAILS + 1)); }
expect() {  # expect DESCRIPTION COMMAND...
    local d=$1; shift
    if "$@"; then ok "$d"; else bad "$d"; fi
}
mode_of() { stat -c '%a %U:%G' "$1" 2>/dev/null; }

# A fingerprint of a directory tree: every path with its content's checksum.
tree_sum() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum); }

installed() { dpkg-query -W -f='${Status}' larkspur 2>/dev/null | grep -q 'install ok installed'; }

# A package from the same files with a lower version: the "earlier build"
# to upgrade from when no real one is given.
make_previous() {
    local deb; deb=$(deb_path)
    local d=$OUT/prev
    rm -rf "$d"
    mkdir -p "$d"
    dpkg-deb -R "$deb" "$d/root" || return 1
    sed -i "s/^Version: .*/Version: $(version)~prev/" "$d/root/DEBIAN/control"
    dpkg-deb -b --root-owner-group "$d/root" "$d/larkspur_prev.deb" >/dev/null || return 1
    echo "$d/larkspur_prev.deb"
}

# The mail servers of this run, named in the site's settings file the way an
# administrator edits it.
edit_ini() {
    cat >>/etc/larkspur.ini <<INI

# This site's servers (loopback, from $RUN/servers.env).
pophost $HOST
port $LK_POP3_PORT
smtphost $HOST
smtp_port $LK_SMTP_PORT
poppassd_port $LK_POPPASSD_PORT
domain $LK_DOMAIN
tls_ca_file $LK_CERT
pop_tls_ports 995,$LK_POP3S_PORT
smtp_tls_ports 465,$LK_SMTPS_PORT
fetch_min 0
INI
}

browser() {  # browser SERVER PORT
    LK_PKG_SERVER=$1 LK_PKG_URL="http://$HOST:$2/cgi-bin/larkspur" LARKSPUR_RUN=$RUN \
        node --test --test-reporter=tap "$ROOT/tests/package/web.test.mjs" >"$OUT/browser-$1.log" 2>&1
    local rc=$?
    grep -E '^not ok' "$OUT/browser-$1.log"
    [ $rc = 0 ] || tail -n 40 "$OUT/browser-$1.log"
    return $rc
}

# Leaves the machine as it was: the package purged and what the check made
# removed.  Only after a check of ours installed it (the mark).
undo_install() {
    [ -f "$MARK" ] || return 0
    cmd_web_stop
    dpkg -P larkspur >/dev/null 2>&1 || true
    rm -rf /var/lib/larkspur /var/log/larkspur
    rm -f "$MARK"
}

cmd_check() {
    [ "$(id -u)" = 0 ] || die "the install checks must run as root"
    [ -s "$RUN/servers.env" ] || die "no $RUN/servers.env: start the mail servers first (scripts/servers.sh start)"
    set -a; . "$RUN/servers.env"; set +a
    undo_install
    if installed || [ -e /var/lib/larkspur ] || [ -e /etc/larkspur.ini ]; then
        die "this machine has a Larkspur installation of its own; the check leaves it alone"
    fi
    if [ "${LK_PKG_REUSE:-}" = 1 ] && [ -f "$(deb_path)" ]; then
        say "reusing $(deb_path)"
    else
        cmd_build || return 1
    fi
    cmd_lint || return 1
    local deb prev; deb=$(deb_path)
    prev=${LK_PREV_DEB:-}
    [ -n "$prev" ] || prev=$(make_previous) || die "cannot make the earlier build"
    trap 'undo_install' EXIT

    say "installing the earlier build ($prev)"
    touch "$MARK"
    DEBIAN_FRONTEND=noninteractive dpkg -i "$prev" </dev/null >"$OUT/install.log" 2>&1 \
        || { cat "$OUT/install.log"; die "dpkg -i $prev failed"; }
    expect "the program runs" sh -c '/usr/lib/cgi-bin/larkspur -version | grep -q "Larkspur v"'
    expect "settings file root:www-data 640" test "$(mode_of /etc/larkspur.ini)" = "640 root:www-data"
    expect "work area www-data 700" test "$(mode_of /var/lib/larkspur)" = "700 www-data:www-data"
    expect "log directory www-data 700" test "$(mode_of /var/log/larkspur)" = "700 www-data:www-data"
    expect "settings file is a conffile" sh -c "dpkg-query -W -f='\${Conffiles}' larkspur | grep -q '^ /etc/larkspur.ini '"
    expect "templates and the word list" test -s /usr/share/larkspur/templates/login.tpl -a -s /usr/share/larkspur/templates/words.dat
    expect "the manual page" sh -c 'man -l /usr/share/man/man8/larkspur.8.gz 2>/dev/null | grep -q poppassd_port'
    expect "logrotate accepts its file" sh -c 'command -v logrotate >/dev/null || exit 0; logrotate -d /etc/logrotate.d/larkspur >/dev/null 2>&1'
    expect "lighty-enable-mod finds the snippet by its name" \
        sh -c 'basename /etc/lighttpd/conf-available/*-larkspur.conf | grep -qE "^[0-9]+-larkspur\.conf$"'

    edit_ini
    cp -p /etc/larkspur.ini "$OUT/edited.ini"
    # The self-test an administrator runs, as the web server's user: the
    # installed layout (log, work area) and the mail servers it names.
    local page row
    page=$(cd /usr/lib/cgi-bin && runuser -u www-data -- ./larkspur -query cmd=test 2>&1)
    for row in "log_file</td><td>/var/log/larkspur/larkspur.log" "Write to work area</td><td>/var/lib/larkspur/" \
               "POP Open</td><td>$HOST:$LK_POP3_PORT" "SMTP Open</td><td>$HOST:$LK_SMTP_PORT"; do
        expect "self-test as www-data: ${row%%<*}" grep -q "<td>$row[^<]*</td><td>Succeeded" <<<"$page"
    done
    expect "the log is private to www-data" test "$(mode_of /var/log/larkspur/larkspur.log)" = "600 www-data:www-data"
    cmd_web_start
    expect "browser: log in, send, list, read behind lighttpd" browser lighttpd "$LIGHTTPD_PORT"
    local users_before sum_before
    users_before=$(ls /var/lib/larkspur | wc -l)
    sum_before=$(tree_sum /var/lib/larkspur | sha256sum)
    expect "the work area holds users before the upgrade" test "$users_before" -gt 0

    say "upgrading to $deb"
    DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" </dev/null >"$OUT/upgrade.log" 2>&1 \
        || { cat "$OUT/upgrade.log"; bad "dpkg -i $deb (upgrade)"; }
    expect "upgrade installed the new version" test "$(dpkg-query -W -f='${Version}' larkspur)" = "$(version)"
    expect "upgrade keeps the edited settings file" cmp -s /etc/larkspur.ini "$OUT/edited.ini"
    expect "upgrade keeps the settings file's owner and mode" test "$(mode_of /etc/larkspur.ini)" = "640 root:www-data"
    expect "upgrade keeps the work area" test "$(tree_sum /var/lib/larkspur | sha256sum)" = "$sum_before"
    expect "upgrade keeps the work area's owner and mode" test "$(mode_of /var/lib/larkspur)" = "700 www-data:www-data"
    expect "browser: log in, send, list, read behind Apache (after the upgrade)" browser apache2 "$APACHE_PORT"
    cmd_web_stop

    dpkg -r larkspur >"$OUT/remove.log" 2>&1 || bad "dpkg -r larkspur"
    expect "remove takes the program away" test ! -e /usr/lib/cgi-bin/larkspur
    expect "remove keeps the settings file" cmp -s /etc/larkspur.ini "$OUT/edited.ini"
    expect "remove keeps the work area" test "$(ls /var/lib/larkspur | wc -l)" -ge "$users_before"

    dpkg -P larkspur >"$OUT/purge.log" 2>&1 || bad "dpkg -P larkspur"
    expect "purge removes the settings file and snippets" \
        test ! -e /etc/larkspur.ini -a ! -e /etc/lighttpd/conf-available/50-larkspur.conf -a ! -e /etc/apache2/conf-available/larkspur.conf
    expect "purge removes the logs" test ! -e /var/log/larkspur
    expect "purge keeps users' mail" test "$(ls /var/lib/larkspur | wc -l)" -ge "$users_before"

    undo_install
    trap - EXIT
    echo "package checks: $OK_COUNT passed, $FAILS failed"
    [ "$FAILS" = 0 ]
}

case "${1:-}" in
    build) mkdir -p "$OUT"; cmd_build ;;
    lint) cmd_lint ;;
    check) mkdir -p "$OUT"; cmd_check ;;
    web-start) mkdir -p "$WEB"; cmd_web_start ;;
    web-stop) cmd_web_stop ;;
    *) die "usage: package.sh build|lint|check|web-start|web-stop" ;;
esac
