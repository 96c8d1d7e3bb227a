#!/usr/bin/env bash
# Real mail servers on loopback for the demo and the end-to-end tests:
#   dovecot   POP3 (USER/PASS, APOP), POP3 with STLS, POP3S, LMTP, SASL for postfix
#   postfix   plain SMTP, submission (AUTH PLAIN/LOGIN required, STARTTLS
#             offered), SMTPS; local domains go to dovecot over LMTP, every
#             other domain to a catch-all mailbox (nothing leaves the machine)
#   poppassd  Debian's, under socat; changes the test users' system passwords
#   lighttpd  runs the program as a CGI with its templates and ini file
#
# usage: scripts/servers.sh install|start|status|stop|restart|web|env
#   install  apt-get the packages (daemons are kept from starting)
#   start    make the users, certificate and configs; start every server;
#            write $LARKSPUR_RUN/servers.env for the tests
#   status   say what runs and check that each server does its job (logins,
#            TLS, AUTH, the CGI); exit 0 only when everything does
#   stop     stop exactly the processes start started (by PID) and remove
#            exactly the users it created
#   web      (re)install the CGI program, templates and ini file alone
#   env      print servers.env
#
# Environment: LARKSPUR_RUN (state directory, default <repo>/run/servers),
# LK_BINARY (program to install, default <repo>/build/larkspur),
# LK_USER_PREFIX (test user names, default "lk"), LK_WEB_SMTP_AUTH=1 (the
# CGI sends through the submission port with AUTH instead of the plain port),
# and one variable per port (defaults in the table below), each checked free
# before anything starts.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUN=${LARKSPUR_RUN:-$ROOT/run/servers}
BINARY=${LK_BINARY:-$ROOT/build/larkspur}
PREFIX=${LK_USER_PREFIX:-lk}
DOMAIN=example.test
MARK=larkspur-test
HOST=127.0.0.1

: "${LK_POP3_PORT:=11110}"
: "${LK_POP3S_PORT:=11995}"
: "${LK_LMTP_PORT:=11024}"
: "${LK_SASL_PORT:=11012}"
: "${LK_SMTP_PORT:=11025}"
: "${LK_SUBMISSION_PORT:=11587}"
: "${LK_SMTPS_PORT:=11465}"
: "${LK_POPPASSD_PORT:=11106}"
: "${LK_WEB_PORT:=18080}"
PORT_VARS=(LK_POP3_PORT LK_POP3S_PORT LK_LMTP_PORT LK_SASL_PORT LK_SMTP_PORT
           LK_SUBMISSION_PORT LK_SMTPS_PORT LK_POPPASSD_PORT LK_WEB_PORT)
SERVICES=(dovecot postfix poppassd lighttpd)
PACKAGES=(dovecot-core dovecot-pop3d dovecot-lmtpd postfix poppassd socat lighttpd openssl wamerican)

# Test users: system users (their passwords live in /etc/shadow, where
# poppassd changes them) and one passwd-file user (a known plaintext
# password, which APOP needs).
SYS_USERS=("${PREFIX}alice" "${PREFIX}bob" "${PREFIX}demo" "${PREFIX}catchall")
APOP_USER="${PREFIX}apop"

die() { echo "servers.sh: $*" >&2; exit 1; }
say() { echo "servers.sh: $*"; }

need_root() { [ "$(id -u)" = 0 ] || die "must run as root (users, ports, daemons)"; }

# ---------------------------------------------------------------- processes
# A process counts as running when /proc has it in any state but zombie:
# PID 1 here reaps orphans late, so kill -0 would lie for a while.
pid_alive() {
    local pid=$1 stat
    [ -n "$pid" ] && [ -r "/proc/$pid/stat" ] || return 1
    stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat:0:1}" != Z ] && [ "${stat:0:1}" != X ]
}

pidfile() { echo "$RUN/pids/$1.pid"; }

svc_pid() {
    local f; f=$(pidfile "$1")
    [ -s "$f" ] && cat "$f" || true
}

svc_running() { pid_alive "$(svc_pid "$1")"; }

stop_pid() {
    local name=$1 pid=$2 i
    pid_alive "$pid" || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 1 100); do
        pid_alive "$pid" || return 0
        sleep 0.05
    done
    say "$name ($pid) ignored SIGTERM; killing it"
    kill -KILL "$pid" 2>/dev/null || true
    for i in $(seq 1 100); do
        pid_alive "$pid" || return 0
        sleep 0.05
    done
    die "$name ($pid) would not stop"
}

# The local ports listening on TCP, one per line (one ss call for all checks).
listening_ports() {
    ss -Hltn 2>/dev/null | awk '{ n = split($4, a, ":"); print a[n] }' | sort -u
}

port_in_use() {
    listening_ports | grep -qx "$1"
}

wait_port() {
    local name=$1 port=$2 pid=$3 i
    for i in $(seq 1 200); do
        if (exec 3<>"/dev/tcp/$HOST/$port") 2>/dev/null; then return 0; fi
        pid_alive "$pid" || die "$name exited during start; see $RUN/log/"
        sleep 0.05
    done
    die "$name did not listen on $HOST:$port within 10 s; see $RUN/log/"
}

# Runs a command in the background with its output in a log file and
# records the PID that exec keeps, so stop can end exactly that process.
launch() {
    local name=$1; shift
    local log="$RUN/log/$name.out"
    setsid sh -c 'echo $$ >"$0"; exec "$@"' "$(pidfile "$name")" "$@" \
        </dev/null >>"$log" 2>&1 &
    local i
    for i in $(seq 1 100); do
        [ -s "$(pidfile "$name")" ] && break
        sleep 0.02
    done
}

# ---------------------------------------------------------------- install
cmd_install() {
    need_root
    local missing=() p
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        say "packages already installed"
        return 0
    fi
    say "installing ${missing[*]}"
    # Keep apt from starting the system's own daemons on their usual ports.
    local made_policy=0
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
        chmod 755 /usr/sbin/policy-rc.d
        made_policy=1
    fi
    local rc=0
    apt_get install -y "${missing[@]}" || rc=$?
    [ $made_policy = 1 ] && rm -f /usr/sbin/policy-rc.d
    [ $rc = 0 ] || die "apt-get install failed"
}

apt_get() {
    local i
    for i in $(seq 1 60); do
        if DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120 "$@"; then
            return 0
        fi
        # Another apt may hold the lock; anything else fails the same way twice.
        if ! fuser /var/lib/dpkg/lock-frontend >/dev/null 2>&1; then
            [ "$i" -ge 2 ] && return 1
            DEBIAN_FRONTEND=noninteractive apt-get update -qq || true
        fi
        sleep 5
    done
    return 1
}

check_installed() {
    local b
    for b in /usr/sbin/dovecot /usr/lib/postfix/sbin/master /usr/sbin/poppassd \
             /usr/bin/socat /usr/sbin/lighttpd /usr/bin/openssl; do
        [ -x "$b" ] || die "$b is missing: run 'scripts/servers.sh install' first"
    done
}

# ---------------------------------------------------------------- users
users_file() { echo "$RUN/users.created"; }

user_comment() { getent passwd "$1" | cut -d: -f5; }

make_user() {
    local u=$1 pass=$2
    if getent passwd "$u" >/dev/null; then
        # Ours from an earlier run of this state directory: reuse it.
        if [ "$(user_comment "$u")" = "$MARK" ] && grep -qx "$u" "$(users_file)" 2>/dev/null; then
            :
        else
            die "user $u exists and was not made by this script for $RUN; set LK_USER_PREFIX"
        fi
    else
        useradd -M -d /nonexistent -s /usr/sbin/nologin -c "$MARK" "$u"
        echo "$u" >>"$(users_file)"
    fi
    PASSWORDS+="$u:$pass"$'\n'
}

remove_users() {
    local f u; f=$(users_file)
    [ -f "$f" ] || return 0
    while read -r u; do
        [ -n "$u" ] || continue
        if getent passwd "$u" >/dev/null && [ "$(user_comment "$u")" = "$MARK" ]; then
            userdel "$u" 2>/dev/null || true
            getent passwd "$u" >/dev/null && die "could not remove user $u"
        fi
    done <"$f"
    rm -f "$f"
}

# A password that PAM's "obscure" check accepts and that needs no quoting.
new_password() {
    echo "Lk$(openssl rand -hex 6)x9"
}

# ---------------------------------------------------------------- configs
# The test CA and its server certificates (scripts/testcerts.sh): dovecot
# and postfix present server.pem; clients trust ca.pem.
write_cert() {
    bash "$ROOT/scripts/testcerts.sh" "$RUN/tls" || die "openssl could not make the test certificates"
}

write_dovecot() {
    local d=$RUN/dovecot
    mkdir -p "$d/base" "$d/state" "$RUN/mail"
    chown mail:mail "$RUN/mail"
    local dh=""
    [ -f /usr/share/dovecot/dh.pem ] && dh="ssl_dh = </usr/share/dovecot/dh.pem"
    printf '%s:{PLAIN}%s::::::\n' "$APOP_USER" "$APOP_PASS" >"$d/passwd"
    chmod 640 "$d/passwd"
    chgrp dovecot "$d/passwd"
    cat >"$d/dovecot.conf" <<EOF
# Written by scripts/servers.sh; rewritten at every start.
base_dir = $d/base
state_dir = $d/state
instance_name = larkspur-$(echo "$RUN" | md5sum | cut -c1-8)
log_path = $RUN/log/dovecot.log
info_log_path = $RUN/log/dovecot-info.log
protocols = pop3 lmtp
listen = $HOST
default_login_user = dovenull
default_internal_user = dovecot
default_internal_group = dovecot
ssl = yes
ssl_cert = <$RUN/tls/server.pem
ssl_key = <$RUN/tls/server.key
$dh
disable_plaintext_auth = no
auth_mechanisms = plain login apop
auth_failure_delay = 0
auth_username_format = %Ln
mail_location = maildir:~/Maildir
first_valid_uid = 8
first_valid_gid = 8
pop3_uidl_format = %08Xu%08Xv
postmaster_address = postmaster@$DOMAIN
passdb {
  driver = passwd-file
  args = scheme=PLAIN $d/passwd
}
passdb {
  driver = shadow
}
userdb {
  driver = static
  args = uid=mail gid=mail home=$RUN/mail/%u allow_all_users=yes
}
service pop3-login {
  inet_listener pop3 {
    address = $HOST
    port = $LK_POP3_PORT
  }
  inet_listener pop3s {
    address = $HOST
    port = $LK_POP3S_PORT
    ssl = yes
  }
}
service lmtp {
  inet_listener lmtp {
    address = $HOST
    port = $LK_LMTP_PORT
  }
}
service auth {
  inet_listener sasl {
    address = $HOST
    port = $LK_SASL_PORT
  }
}
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
service imap-login {
  inet_listener imap {
    port = 0
  }
  inet_listener imaps {
    port = 0
  }
}
EOF
}

write_postfix() {
    local d=$RUN/postfix q
    mkdir -p "$d/etc" "$d/spool" "$d/data"
    chown root:root "$d/spool"
    chmod 755 "$d/spool"
    for q in active bounce corrupt defer deferred flush hold incoming private saved trace; do
        mkdir -p "$d/spool/$q"
        chown postfix:root "$d/spool/$q"
        chmod 700 "$d/spool/$q"
    done
    mkdir -p "$d/spool/maildrop" "$d/spool/public" "$d/spool/pid"
    chown postfix:postdrop "$d/spool/maildrop" "$d/spool/public"
    chmod 730 "$d/spool/maildrop"
    chmod 710 "$d/spool/public"
    chown root:root "$d/spool/pid"
    chmod 755 "$d/spool/pid"
    chown postfix:postfix "$d/data"
    chmod 700 "$d/data"

    : >"$d/etc/recipients"
    local u
    for u in "${SYS_USERS[@]}" "$APOP_USER" postmaster; do
        echo "$u ok" >>"$d/etc/recipients"
    done
    local dom=${DOMAIN//./\\.}
    cat >"$d/etc/virtual.regexp" <<EOF
# Every domain that is not local goes to the catch-all mailbox.
!/@(localhost|$dom)\$/ ${PREFIX}catchall@localhost
EOF
    cat >"$d/etc/main.cf" <<EOF
# Written by scripts/servers.sh; rewritten at every start.  The submission
# port (master.cf) offers AUTH only after STARTTLS.
compatibility_level = 3.6
queue_directory = $d/spool
data_directory = $d/data
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
maillog_file = $RUN/log/postfix.log
maillog_file_prefixes = $RUN/log
myhostname = localhost
mydomain = $DOMAIN
myorigin = localhost
mydestination = localhost, $DOMAIN
inet_interfaces = $HOST
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
local_transport = lmtp:inet:$HOST:$LK_LMTP_PORT
local_recipient_maps = texthash:$d/etc/recipients
alias_maps =
alias_database =
virtual_alias_domains =
virtual_alias_maps = regexp:$d/etc/virtual.regexp
default_transport = error:mail for other domains is kept on this machine
relay_transport = error:mail for other domains is kept on this machine
smtp_dns_support_level = disabled
smtpd_peername_lookup = no
disable_dns_lookups = yes
biff = no
smtpd_banner = \$myhostname ESMTP larkspur test server
smtpd_sasl_type = dovecot
smtpd_sasl_path = inet:$HOST:$LK_SASL_PORT
smtpd_sasl_auth_enable = no
smtpd_tls_auth_only = no
smtpd_tls_security_level = may
smtpd_tls_cert_file = $RUN/tls/server.pem
smtpd_tls_key_file = $RUN/tls/server.key
smtpd_relay_restrictions = permit_mynetworks, permit_sasl_authenticated, reject_unauth_destination
message_size_limit = 52428800
mailbox_size_limit = 0
lmtp_destination_recipient_limit = 50
# One delivery at a time keeps a mailbox in the order its mail was sent,
# which tests of message numbers rely on.
lmtp_destination_concurrency_limit = 1
EOF
    local sub="-o smtpd_sasl_auth_enable=yes -o smtpd_client_restrictions=permit_sasl_authenticated,reject"
    cat >"$d/etc/master.cf" <<EOF
# Written by scripts/servers.sh.  No chroot: the queue lives in the run directory.
$HOST:$LK_SMTP_PORT inet n - n - - smtpd
$HOST:$LK_SUBMISSION_PORT inet n - n - - smtpd $sub -o smtpd_tls_auth_only=yes
$HOST:$LK_SMTPS_PORT inet n - n - - smtpd -o smtpd_tls_wrappermode=yes $sub
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
tlsmgr unix - - n 1000? 1 tlsmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
proxywrite unix - - n - 1 proxymap
smtp unix - - n - - smtp
relay unix - - n - - smtp
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
lmtp unix - - n - - lmtp
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
EOF
    # postfix waits 300 ms on every config file written in the last second.
    touch -d '-1 minute' "$d/etc/"*
}

write_lighttpd() {
    local d=$RUN/www
    mkdir -p "$d/htdocs" "$d/cgi-bin"
    cat >"$d/htdocs/index.html" <<EOF
<!doctype html><title>Larkspur test server</title>
<p><a href="/cgi-bin/larkspur">/cgi-bin/larkspur</a></p>
EOF
    local f
    for f in lighttpd-error.log lighttpd-access.log; do
        touch "$RUN/log/$f"
        chown www-data:www-data "$RUN/log/$f"
    done
    cat >"$d/lighttpd.conf" <<EOF
# Written by scripts/servers.sh; rewritten at every start.
server.modules = ( "mod_alias", "mod_cgi", "mod_accesslog" )
server.document-root = "$d/htdocs"
server.bind = "$HOST"
server.port = $LK_WEB_PORT
server.username = "www-data"
server.groupname = "www-data"
server.errorlog = "$RUN/log/lighttpd-error.log"
accesslog.filename = "$RUN/log/lighttpd-access.log"
server.max-request-size = 20480
index-file.names = ( "index.html" )
mimetype.assign = ( ".html" => "text/html", ".css" => "text/css", ".gif" => "image/gif",
                    ".png" => "image/png", ".jpg" => "image/jpeg", ".js" => "text/javascript" )
alias.url = ( "/cgi-bin/" => "$d/cgi-bin/" )
\$HTTP["url"] =~ "^/cgi-bin/" {
  cgi.assign = ( "" => "" )
}
EOF
}

# The CGI program, its templates and ini file.  The work area is kept
# across reinstalls: it is the users' state.
install_web() {
    local d=$RUN/www
    [ -x "$BINARY" ] || die "no program at $BINARY: build it first (or set LK_BINARY)"
    mkdir -p "$d/cgi-bin" "$d/templates" "$d/work" "$d/tmp"
    install -m 755 "$BINARY" "$d/cgi-bin/larkspur.new"
    mv -f "$d/cgi-bin/larkspur.new" "$d/cgi-bin/larkspur"
    rm -rf "$d/templates"
    mkdir -p "$d/templates"
    if [ -d "$ROOT/templates" ]; then
        cp -R "$ROOT/templates/." "$d/templates/"
    fi
    # The spell checker's word list, built from Debian's English word list.
    [ -s "$d/templates/words.dat" ] || "$ROOT/scripts/mkwords.sh" "$d/templates/words.dat" \
        || say "no spell checker word list (install wamerican)"
    local smtp_port=$LK_SMTP_PORT smtp_auth="# smtp_auth (off: the plain port needs none)"
    if [ "${LK_WEB_SMTP_AUTH:-}" = 1 ]; then
        smtp_port=$LK_SUBMISSION_PORT
        smtp_auth="smtp_auth true"
    fi
    cat >"$d/cgi-bin/larkspur.ini.new" <<EOF
# Written by scripts/servers.sh web; rewritten at every install.
templates $d/templates
workarea $d/work
temp_area $d/tmp
pophost $HOST
port $LK_POP3_PORT
smtphost $HOST
smtp_port $smtp_port
$smtp_auth
poppassd_port $LK_POPPASSD_PORT
domain $DOMAIN
log_file $RUN/log/larkspur.log
tls_ca_file $RUN/tls/ca.pem
pop_tls_ports 995,$LK_POP3S_PORT
smtp_tls_ports 465,$LK_SMTPS_PORT
debug true
use_page_size true
# the maintenance pages (?cmd=test, ?cmd=showini) for this loopback installation
notest false
# the manager page's password, from a file only the web server reads
manager_password @manager_pass
EOF
    mv -f "$d/cgi-bin/larkspur.ini.new" "$d/cgi-bin/larkspur.ini"
    touch "$RUN/log/larkspur.log"
    chown www-data:www-data "$d/work" "$d/tmp" "$RUN/log/larkspur.log"
    chmod 600 "$RUN/log/larkspur.log"
    chmod 750 "$d/work" "$d/tmp"
    chmod 644 "$d/cgi-bin/larkspur.ini"
    chmod -R a+rX "$d/templates"
    # A reinstall keeps the password of this run.
    [ -n "${MANAGER_PASS:-}" ] || MANAGER_PASS=$(sed -n 's/^LK_MANAGER_PASS=//p' "$RUN/servers.env" 2>/dev/null)
    [ -n "${MANAGER_PASS:-}" ] || MANAGER_PASS=$(new_password)
    printf '%s\n' "$MANAGER_PASS" >"$d/templates/manager_pass.dat"
    chown root:www-data "$d/templates/manager_pass.dat"
    chmod 640 "$d/templates/manager_pass.dat"
}

write_env() {
    local f=$RUN/servers.env
    {
        echo "# Written by scripts/servers.sh start: the servers of this run."
        echo "LK_RUN=$RUN"
        echo "LK_HOST=$HOST"
        echo "LK_DOMAIN=$DOMAIN"
        local v
        for v in "${PORT_VARS[@]}"; do echo "$v=${!v}"; done
        echo "LK_WEB_URL=http://$HOST:$LK_WEB_PORT/cgi-bin/larkspur"
        echo "LK_WEB_BASE=http://$HOST:$LK_WEB_PORT"
        echo "LK_CERT=$RUN/tls/ca.pem"
        echo "LK_TLS_DIR=$RUN/tls"
        echo "LK_USER1=${SYS_USERS[0]}"
        echo "LK_PASS1=$PASS1"
        echo "LK_USER2=${SYS_USERS[1]}"
        echo "LK_PASS2=$PASS2"
        echo "LK_DEMO_USER=${SYS_USERS[2]}"
        echo "LK_DEMO_PASS=$DEMO_PASS"
        echo "LK_MANAGER_PASS=${MANAGER_PASS:-}"
        echo "LK_CATCHALL_USER=${SYS_USERS[3]}"
        echo "LK_APOP_USER=$APOP_USER"
        echo "LK_APOP_PASS=$APOP_PASS"
        echo "LK_MAILDIRS=$RUN/mail"
        echo "LK_CGI_DIR=$RUN/www/cgi-bin"
        echo "LK_INI=$RUN/www/cgi-bin/larkspur.ini"
        echo "LK_TEMPLATES=$RUN/www/templates"
        echo "LK_WORKAREA=$RUN/www/work"
        echo "LK_CGI_LOG=$RUN/log/larkspur.log"
        echo "LK_LOG_DIR=$RUN/log"
    } >"$f.new"
    chmod 600 "$f.new"
    mv -f "$f.new" "$f"
}

# ---------------------------------------------------------------- commands
all_running() {
    local s
    for s in "${SERVICES[@]}"; do svc_running "$s" || return 1; done
}

cmd_start() {
    need_root
    check_installed
    mkdir -p "$RUN"
    if all_running && [ -s "$RUN/servers.env" ]; then
        say "already running (state in $RUN)"
        return 0
    fi
    # Leftovers of a run that half started or crashed.
    stop_services quiet

    # The ports must be ours alone; say which is taken and by what.
    local v busy=0 seen=" " listening
    listening=$(listening_ports)
    for v in "${PORT_VARS[@]}"; do
        local p=${!v}
        [[ "$p" =~ ^[0-9]+$ ]] && [ "$p" -gt 0 ] && [ "$p" -lt 65536 ] || die "$v=$p is not a port"
        case "$seen" in *" $p "*) die "$v=$p: the same port twice";; esac
        seen="$seen$p "
        if grep -qx "$p" <<<"$listening"; then
            echo "servers.sh: port $p ($v) is in use:" >&2
            ss -Hltnp "sport = :$p" >&2 || true
            busy=1
        fi
    done
    [ $busy = 0 ] || die "choose free ports with the variables named above"

    mkdir -p "$RUN/log" "$RUN/pids"
    chmod 755 "$RUN"
    # The mail user and www-data must reach their directories under $RUN.
    local dir=$RUN perm
    while [ "$dir" != / ]; do
        perm=$(stat -c %A "$dir")
        case "${perm:9:1}" in x|t) ;; *) chmod o+x "$dir" ;; esac
        dir=$(dirname "$dir")
    done

    PASSWORDS=""
    PASS1=$(new_password); PASS2=$(new_password); DEMO_PASS=$(new_password)
    MANAGER_PASS=$(new_password)
    APOP_PASS=$(new_password)
    make_user "${SYS_USERS[0]}" "$PASS1"
    make_user "${SYS_USERS[1]}" "$PASS2"
    make_user "${SYS_USERS[2]}" "$DEMO_PASS"
    make_user "${SYS_USERS[3]}" "$(new_password)"
    printf '%s' "$PASSWORDS" | chpasswd

    write_cert
    write_dovecot
    write_postfix
    write_lighttpd
    if [ -x "$BINARY" ]; then
        install_web
    else
        say "no program at $BINARY yet: the web server runs without it ('servers.sh web' later)"
    fi

    launch dovecot /usr/sbin/dovecot -F -c "$RUN/dovecot/dovecot.conf"
    launch postfix /usr/lib/postfix/sbin/master -s -c "$RUN/postfix/etc"
    launch poppassd /usr/bin/socat \
        "TCP-LISTEN:$LK_POPPASSD_PORT,bind=$HOST,reuseaddr,fork" EXEC:/usr/sbin/poppassd
    launch lighttpd /usr/sbin/lighttpd -D -f "$RUN/www/lighttpd.conf"

    wait_port dovecot "$LK_POP3_PORT" "$(svc_pid dovecot)"
    wait_port dovecot "$LK_POP3S_PORT" "$(svc_pid dovecot)"
    wait_port dovecot "$LK_LMTP_PORT" "$(svc_pid dovecot)"
    wait_port dovecot "$LK_SASL_PORT" "$(svc_pid dovecot)"
    wait_port postfix "$LK_SMTP_PORT" "$(svc_pid postfix)"
    wait_port postfix "$LK_SUBMISSION_PORT" "$(svc_pid postfix)"
    wait_port postfix "$LK_SMTPS_PORT" "$(svc_pid postfix)"
    wait_port poppassd "$LK_POPPASSD_PORT" "$(svc_pid poppassd)"
    wait_port lighttpd "$LK_WEB_PORT" "$(svc_pid lighttpd)"

    write_env
    say "started; settings in $RUN/servers.env"
    say "web: http://$HOST:$LK_WEB_PORT/cgi-bin/larkspur"
}

# The descendants of a process, from /proc (children of children too).
descendants() {
    local -A kids=()
    local d stat rest ppid p out=() todo=("$1")
    for d in /proc/[0-9]*; do
        read -r stat 2>/dev/null <"$d/stat" || continue
        rest=${stat##*) }
        ppid=${rest#* }
        ppid=${ppid%% *}
        kids[$ppid]+=" ${d#/proc/}"
    done
    while [ ${#todo[@]} -gt 0 ]; do
        p=${todo[0]}
        todo=("${todo[@]:1}")
        for d in ${kids[$p]:-}; do
            out+=("$d")
            todo+=("$d")
        done
    done
    echo "${out[*]}"
}

# Stops each server by the PID start recorded; the masters end their own
# children, and stop waits until those are gone too.
stop_services() {
    local quiet=${1:-} s pid kids=() k i left
    [ -d "$RUN/pids" ] || return 0
    for s in lighttpd poppassd postfix dovecot; do
        pid=$(svc_pid "$s")
        if [ -n "$pid" ]; then
            if pid_alive "$pid"; then
                [ -n "$quiet" ] || say "stopping $s ($pid)"
                read -r -a k <<<"$(descendants "$pid")"
                kids+=("${k[@]}")
                stop_pid "$s" "$pid"
            fi
            rm -f "$(pidfile "$s")"
        fi
    done
    for i in $(seq 1 100); do
        left=""
        for k in "${kids[@]}"; do pid_alive "$k" && left="$left $k"; done
        [ -z "$left" ] && return 0
        sleep 0.05
    done
    STRAYS=$left
}

cmd_stop() {
    need_root
    stop_services
    # dovecot and postfix end their children after the master; wait for
    # the ports to close so a following start finds them free.
    local v i left
    for i in $(seq 1 100); do
        left=""
        local listening; listening=$(listening_ports)
        for v in "${PORT_VARS[@]}"; do
            grep -qx "${!v}" <<<"$listening" && left="$left ${!v}"
        done
        [ -z "$left" ] && break
        sleep 0.05
    done
    remove_users
    # The mailboxes and the program's work area belong to the users just
    # removed; a new start makes new users with new passwords.
    rm -rf "$RUN/mail" "$RUN/www/work" "$RUN/www/tmp"
    rm -f "$RUN/servers.env"
    [ -z "$left" ] || die "ports still listening after stop:$left"
    [ -z "${STRAYS:-}" ] || die "processes of the servers still running after stop:$STRAYS"
    say "stopped"
}

# What the program and the tests rely on, checked without changing
# anything: each server answers its protocol on its port (TLS where it
# should), the test users log in where they should and are refused with a
# wrong password, and the web server runs the installed program.  Prints one
# line per check; returns non-zero when one fails.
check_services() {
    python3 - "$RUN/servers.env" <<'PY'
import base64, hashlib, os, pwd, re, socket, ssl, subprocess, sys, urllib.error, urllib.request

env = dict(l.split("=", 1) for l in open(sys.argv[1]).read().splitlines() if "=" in l and not l.startswith("#"))
host = env["LK_HOST"]
failed = 0

def check(what, fn):
    global failed
    try:
        fn()
        print("  ok    %s" % what)
    except Exception as e:  # any fault is a failed check, named
        failed += 1
        print("  FAIL  %s: %s" % (what, e))

def tls_ctx():
    c = ssl.create_default_context(cafile=env["LK_CERT"])
    c.check_hostname = False
    return c

class Conn:
    def __init__(self, port, tls=False):
        s = socket.create_connection((host, int(env[port])), timeout=10)
        self.s = tls_ctx().wrap_socket(s) if tls else s
        self.f = self.s.makefile("rb")
    def line(self):
        return self.f.readline().decode("latin-1").rstrip("\r\n")
    def cmd(self, text):
        self.s.sendall(text.encode("latin-1") + b"\r\n")
        return self.line()
    def reply(self, text=None):  # an SMTP reply, all its lines
        lines = [self.cmd(text) if text is not None else self.line()]
        while len(lines[-1]) > 3 and lines[-1][3] == "-":
            lines.append(self.line())
        return lines
    def starttls(self):
        self.s = tls_ctx().wrap_socket(self.s)
        self.f = self.s.makefile("rb")
    def close(self):
        self.s.close()

def expect(got, pattern):
    if not re.match(pattern, got):
        raise AssertionError("%r does not match %r" % (got, pattern))

def pop_login(how, user, pw):
    c = Conn("LK_POP3S_PORT" if how == "pop3s" else "LK_POP3_PORT", tls=how == "pop3s")
    greeting = c.line()
    expect(greeting, r"\+OK")
    if how == "stls":
        expect(c.cmd("STLS"), r"\+OK")
        c.starttls()
    if how == "apop":
        stamp = re.search(r"<[^>]+>", greeting).group(0)
        r = c.cmd("APOP %s %s" % (user, hashlib.md5((stamp + pw).encode()).hexdigest()))
    else:
        c.cmd("USER " + user)
        r = c.cmd("PASS " + pw)
    ok = r.startswith("+OK") and re.match(r"\+OK \d+ \d+$", c.cmd("STAT"))
    c.cmd("QUIT")
    c.close()
    return bool(ok)

def pop(how, user, pw):
    def run():
        if not pop_login(how, user, pw):
            raise AssertionError("login refused")
        if pop_login(how, user, pw + "-wrong"):
            raise AssertionError("a wrong password was taken")
    return run

def smtp(port, tls=False, starttls=False, auth=True):
    def run():
        c = Conn(port, tls=tls)
        expect(c.reply()[0], r"220 ")
        ehlo = c.reply("EHLO status.example.test")
        if starttls:
            if "250-STARTTLS" not in ehlo and "250 STARTTLS" not in ehlo:
                raise AssertionError("no STARTTLS offered")
            expect(c.reply("STARTTLS")[-1], r"220 ")
            c.starttls()
            ehlo = c.reply("EHLO status.example.test")
        if auth:
            if not any(re.match(r"250.AUTH .*PLAIN", l) and "LOGIN" in l for l in ehlo):
                raise AssertionError("no AUTH PLAIN LOGIN offered: %s" % ehlo)
            bad = base64.b64encode(("\0%s\0wrong" % env["LK_USER1"]).encode()).decode()
            expect(c.reply("AUTH PLAIN " + bad)[-1], r"535 ")
            good = base64.b64encode(("\0%s\0%s" % (env["LK_USER1"], env["LK_PASS1"])).encode()).decode()
            expect(c.reply("AUTH PLAIN " + good)[-1], r"235 ")
        else:
            expect(c.reply("MAIL FROM:<status@example.test>")[-1], r"250 ")
            expect(c.reply("RCPT TO:<nobody-here@%s>" % env["LK_DOMAIN"])[-1], r"550 ")
        c.reply("QUIT")
        c.close()
    return run

def poppassd():
    c = Conn("LK_POPPASSD_PORT")
    expect(c.line(), r"200 ")
    expect(c.cmd("user " + env["LK_USER2"]), r"200 ")
    expect(c.cmd("pass " + env["LK_PASS2"]), r"200 ")   # asks for the new one; none is given
    c.cmd("quit")
    c.close()

def users():
    for u in (env["LK_USER1"], env["LK_USER2"], env["LK_DEMO_USER"], env["LK_CATCHALL_USER"]):
        if "larkspur-test" not in pwd.getpwnam(u).pw_gecos:
            raise AssertionError(u + " is not marked larkspur-test")

def web():
    bin = env["LK_CGI_DIR"] + "/larkspur"
    expect(subprocess.run([bin, "-version"], capture_output=True, text=True).stdout, r"Version: Larkspur v\S+")
    ini = open(env["LK_INI"]).read()
    for key, value in (("pophost", host), ("port", env["LK_POP3_PORT"]), ("smtphost", host),
                       ("workarea", env["LK_WORKAREA"]), ("templates", env["LK_TEMPLATES"]),
                       ("domain", env["LK_DOMAIN"])):
        if not re.search("^%s %s$" % (key, re.escape(value)), ini, re.M):
            raise AssertionError("ini has no '%s %s'" % (key, value))
    if pwd.getpwuid(os.stat(env["LK_WORKAREA"]).st_uid).pw_name != "www-data":
        raise AssertionError("the work area is not www-data's")
    r = urllib.request.urlopen(env["LK_WEB_URL"] + "?cmd=test", timeout=20)
    expect(r.headers.get("Content-Type", ""), r"text/(html|vnd\.wap\.wml)")
    if not r.read():
        raise AssertionError("empty page")
    try:
        urllib.request.urlopen(env["LK_WEB_BASE"] + "/cgi-bin/no-such-program", timeout=20)
        raise AssertionError("a missing program was answered")
    except urllib.error.HTTPError as e:
        if e.code != 404:
            raise

check("test users exist and are marked", users)
check("POP3 login, wrong password refused", pop("plain", env["LK_USER1"], env["LK_PASS1"]))
check("POP3 STLS login", pop("stls", env["LK_USER1"], env["LK_PASS1"]))
check("POP3S login", pop("pop3s", env["LK_USER1"], env["LK_PASS1"]))
check("APOP login of the passwd-file user", pop("apop", env["LK_APOP_USER"], env["LK_APOP_PASS"]))
check("SMTP refuses unknown local users", smtp("LK_SMTP_PORT", auth=False))
check("submission: STARTTLS, AUTH PLAIN", smtp("LK_SUBMISSION_PORT", starttls=True))
check("SMTPS: AUTH PLAIN", smtp("LK_SMTPS_PORT", tls=True))
check("poppassd takes the old password", poppassd)
check("web server runs the installed program", web)
sys.exit(1 if failed else 0)
PY
}

cmd_status() {
    local s rc=0 pid
    for s in "${SERVICES[@]}"; do
        pid=$(svc_pid "$s")
        if pid_alive "$pid"; then
            printf '%-9s running (pid %s)\n' "$s" "$pid"
        else
            printf '%-9s stopped\n' "$s"
            rc=1
        fi
    done
    local v
    for v in "${PORT_VARS[@]}"; do
        if port_in_use "${!v}"; then state=listening; else state=closed; rc=1; fi
        printf '  %-20s %-6s %s\n' "$v" "${!v}" "$state"
    done
    if [ -s "$RUN/servers.env" ]; then
        echo "env: $RUN/servers.env"
        [ $rc = 0 ] && { check_services || rc=1; }
    else
        rc=1
    fi
    return $rc
}

cmd_web() {
    need_root
    [ -d "$RUN/www" ] || die "the servers were never started here ($RUN): run start first"
    install_web
    say "installed $BINARY as $RUN/www/cgi-bin/larkspur"
}

# Commands after start read the ports of the run that is up, not the
# defaults, so that status/stop/web agree with start whatever the caller's
# environment.
load_env() {
    if [ -s "$RUN/servers.env" ]; then
        local v line
        for v in "${PORT_VARS[@]}"; do
            line=$(grep "^$v=" "$RUN/servers.env" || true)
            [ -n "$line" ] && printf -v "$v" '%s' "${line#*=}"
        done
    fi
}

case "${1:-}" in
    install) cmd_install ;;
    start) cmd_start ;;
    stop) load_env; cmd_stop ;;
    restart) load_env; cmd_stop; cmd_start ;;
    status) load_env; cmd_status ;;
    web) load_env; cmd_web ;;
    env) cat "$RUN/servers.env" ;;
    *) echo "usage: $0 install|start|status|stop|restart|web|env" >&2; exit 2 ;;
esac
