// servers.sh start/stop of a second, private instance (own state directory,
// ports and user names): stop must leave no process, no listening port and
// no user behind, and must not touch the instance the other tests use.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { env, readEnvFile, ROOT } from './lib.mjs';

const SERVERS = path.join(ROOT, 'scripts', 'servers.sh');
const isRoot = process.getuid?.() === 0;
const haveServers = fs.existsSync('/usr/sbin/dovecot') && fs.existsSync('/usr/sbin/lighttpd');

function listeningPorts() {
    const out = execFileSync('ss', ['-Hltn']).toString();
    return new Set(out.split('\n').filter(Boolean).map((l) => Number(l.split(/\s+/)[3].split(':').pop())));
}

// The PID and every descendant of it, from /proc.
function tree(root) {
    const kids = new Map();
    for (const d of fs.readdirSync('/proc')) {
        if (!/^\d+$/.test(d)) continue;
        try {
            const st = fs.readFileSync(`/proc/${d}/stat`, 'utf8');
            const ppid = Number(st.slice(st.lastIndexOf(')') + 2).split(' ')[1]);
            if (!kids.has(ppid)) kids.set(ppid, []);
            kids.get(ppid).push(Number(d));
        } catch { /* gone meanwhile */ }
    }
    const out = [];
    const todo = [root];
    while (todo.length) {
        const p = todo.pop();
        out.push(p);
        todo.push(...(kids.get(p) ?? []));
    }
    return out;
}

// Alive means present and not a zombie (PID 1 here reaps orphans late).
function alive(pid) {
    try {
        const st = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
        return !'ZX'.includes(st[st.lastIndexOf(')') + 2]);
    } catch {
        return false;
    }
}

const users = (prefix) => fs.readFileSync('/etc/passwd', 'utf8').split('\n')
    .filter((l) => l.startsWith(prefix)).map((l) => l.split(':')[0]);

test('stop leaves no process, port or user behind, and spares other instances',
    { skip: !isRoot || !haveServers ? 'needs root and the server packages' : false, timeout: 180000 }, () => {
        const run = fs.mkdtempSync(path.join(os.tmpdir(), 'lk-lifecycle-'));
        const base = 13000 + (process.pid % 50) * 10;
        const ports = {
            LK_POP3_PORT: base, LK_POP3S_PORT: base + 1, LK_LMTP_PORT: base + 2, LK_SASL_PORT: base + 3,
            LK_SMTP_PORT: base + 4, LK_SUBMISSION_PORT: base + 5, LK_SMTPS_PORT: base + 6,
            LK_POPPASSD_PORT: base + 7, LK_WEB_PORT: base + 8,
        };
        const prefix = 'lkz';
        const envv = { ...process.env, LARKSPUR_RUN: run, LK_USER_PREFIX: prefix };
        for (const [k, v] of Object.entries(ports)) envv[k] = String(v);
        const before = env ? fs.readFileSync(path.join(env.LK_RUN, 'servers.env'), 'utf8') : null;
        const run1 = (cmd) => spawnSync('bash', [SERVERS, cmd], { env: envv, encoding: 'utf8' });
        try {
            // A port that is taken stops the start before anything runs.
            const taken = env ? Number(env.LK_POP3_PORT) : null;
            if (taken) {
                const r = spawnSync('bash', [SERVERS, 'start'],
                    { env: { ...envv, LK_POP3_PORT: String(taken) }, encoding: 'utf8' });
                assert.notEqual(r.status, 0);
                assert.match(r.stderr, new RegExp(`port ${taken} \\(LK_POP3_PORT\\) is in use`));
                assert.deepEqual(users(prefix), [], 'no users made before the port check');
            }

            const s = run1('start');
            assert.equal(s.status, 0, s.stdout + s.stderr);
            const e = readEnvFile(path.join(run, 'servers.env'));
            assert.equal(e.LK_POP3_PORT, String(ports.LK_POP3_PORT));
            const listening = listeningPorts();
            for (const p of Object.values(ports)) assert.ok(listening.has(p), `port ${p} listening`);
            assert.equal(run1('status').status, 0);
            assert.equal(run1('start').status, 0, 'a second start is harmless');

            const pids = [];
            for (const name of ['dovecot', 'postfix', 'poppassd', 'lighttpd']) {
                const pid = Number(fs.readFileSync(path.join(run, 'pids', `${name}.pid`), 'utf8'));
                assert.ok(alive(pid), `${name} runs`);
                pids.push(...tree(pid));
            }
            assert.ok(pids.length >= 8, `process tree: ${pids}`);
            assert.deepEqual(users(prefix).sort(), [`${prefix}alice`, `${prefix}bob`, `${prefix}catchall`, `${prefix}demo`]);
            for (const u of users(prefix)) {
                assert.match(execFileSync('getent', ['passwd', u]).toString(), /:larkspur-test:/);
            }

            const t = run1('stop');
            assert.equal(t.status, 0, t.stdout + t.stderr);
            assert.deepEqual(pids.filter(alive), [], 'every process of the instance is gone');
            const after = listeningPorts();
            for (const p of Object.values(ports)) assert.ok(!after.has(p), `port ${p} closed`);
            assert.deepEqual(users(prefix), [], 'its users are removed');
            assert.ok(!fs.existsSync(path.join(run, 'servers.env')));
            assert.notEqual(run1('status').status, 0);
            assert.equal(run1('stop').status, 0, 'a second stop is harmless');
        } finally {
            run1('stop');
            fs.rmSync(run, { recursive: true, force: true });
        }
        if (env) {
            // The instance the other tests use is untouched and still answers.
            assert.equal(fs.readFileSync(path.join(env.LK_RUN, 'servers.env'), 'utf8'), before);
            assert.ok(listeningPorts().has(Number(env.LK_POP3_PORT)));
            assert.ok(users(env.LK_USER1).length === 1);
        }
    });
