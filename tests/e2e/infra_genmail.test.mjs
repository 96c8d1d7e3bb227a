// The sample-mailbox generator: deterministic, complete, and delivered in
// order through the real SMTP server.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { describe, test } from 'node:test';
import {
    env, LineClient, loadMailbox, noServers, popDeleteAll, popStat, popSubjects, port, ROOT,
} from './lib.mjs';

const GENMAIL = path.join(ROOT, 'scripts', 'genmail.py');
const genmail = (...args) => execFileSync('/usr/bin/python3', [GENMAIL, ...args],
    { stdio: ['ignore', 'pipe', 'pipe'], maxBuffer: 64 << 20 }).toString();

// "--list" rows: { n, kind, size, subject }
const listing = (...args) => genmail('--no-smtp', '--list', ...args).trim().split('\n').map((l) => {
    const [n, kind, size, subject] = l.split('\t');
    return { n: Number(n), kind, size: Number(size), subject };
});

const tmp = () => fs.mkdtempSync(path.join(os.tmpdir(), 'lk-genmail-'));

describe('genmail', () => {
    test('the sample set has every kind, with the sizes asked for', () => {
        const rows = listing('--to', 'someone', '--seed', '5');
        const kinds = rows.map((r) => r.kind);
        for (const k of ['plain', 'quoted-printable', 'base64', 'charset-iso-8859-1', 'charset-windows-1252',
            'charset-iso-2022-jp', 'charset-koi8-r', 'attachments', 'alternative', 'hostile-html',
            'inline-images', 'forwarded', 'uuencoded', 'no-message-id', 'long-lines', 'big-100k', 'big-4m']) {
            assert.ok(kinds.includes(k), `kind ${k}`);
        }
        const size = (k) => rows.find((r) => r.kind === k).size;
        assert.ok(size('big-100k') > 100 * 1024);
        assert.ok(size('big-4m') > 4 * 1024 * 1024);
        const small = listing('--to', 'someone', '--seed', '5', '--small').map((r) => r.kind);
        assert.ok(!small.includes('big-4m') && !small.includes('big-100k'));
        assert.equal(small.length, rows.length - 2);
    });

    test('same seed, same bytes; another seed, other bytes; --count fills up', () => {
        const [a, b, c] = [tmp(), tmp(), tmp()];
        try {
            genmail('--no-smtp', '--to', 'u', '--seed', '9', '--count', '40', '--eml', a);
            genmail('--no-smtp', '--to', 'u', '--seed', '9', '--count', '40', '--eml', b);
            genmail('--no-smtp', '--to', 'u', '--seed', '10', '--count', '40', '--eml', c);
            const files = fs.readdirSync(a).sort();
            assert.equal(files.length, 40);
            assert.deepEqual(fs.readdirSync(b).sort(), files);
            let differ = 0;
            for (const f of files) {
                const x = fs.readFileSync(path.join(a, f));
                assert.ok(x.equals(fs.readFileSync(path.join(b, f))), f);
                if (fs.existsSync(path.join(c, f)) && !x.equals(fs.readFileSync(path.join(c, f)))) differ++;
            }
            assert.ok(differ > 30, `only ${differ} messages differ between seeds`);
            assert.ok(files.some((f) => f.includes('filler')), 'load-test filler after the sample set');
            // Every message is CR LF throughout and has a header/body split.
            for (const f of files) {
                const t = fs.readFileSync(path.join(a, f), 'latin1');
                assert.ok(!/[^\r]\n/.test(t), `${f}: bare LF`);
                assert.ok(t.includes('\r\n\r\n'), `${f}: no body`);
            }
            const noId = files.find((f) => f.includes('no-message-id'));
            assert.doesNotMatch(fs.readFileSync(path.join(a, noId), 'latin1'), /^Message-ID:/im);
        } finally {
            for (const d of [a, b, c]) fs.rmSync(d, { recursive: true, force: true });
        }
    });

    test('--maildir writes the files straight into new/', () => {
        const d = tmp();
        try {
            genmail('--to', 'u', '--count', '25', '--maildir', path.join(d, 'Maildir'));
            assert.equal(fs.readdirSync(path.join(d, 'Maildir', 'new')).length, 25);
            assert.deepEqual(fs.readdirSync(path.join(d, 'Maildir', 'tmp')), []);
        } finally {
            fs.rmSync(d, { recursive: true, force: true });
        }
    });

    test('delivered by SMTP, the mailbox holds every message', { skip: noServers }, async () => {
        const user = env.LK_APOP_USER, pass = env.LK_APOP_PASS;
        await popDeleteAll(user, pass);
        const seed = String(1000 + crypto.randomInt(1000));
        const rows = await loadMailbox(user, pass, '--seed', seed, '--small');
        // The queue hands messages to LMTP in no guaranteed order.
        const sorted = (a) => [...a].sort();
        assert.deepEqual(sorted(await popSubjects(user, pass)), sorted(rows.map((r) => r.subject)));
        const c = await LineClient.connect(port('LK_POP3_PORT'));
        await c.line();
        await c.cmd(`USER ${user}`);
        await c.cmd(`PASS ${pass}`);
        c.send('UIDL');
        await c.line();
        const uidls = (await c.dotted()).map((l) => l.split(' ')[1]);
        c.close();
        assert.equal(uidls.length, rows.length);
        assert.equal(new Set(uidls).size, uidls.length, 'UIDLs are unique');
        assert.equal(await popDeleteAll(user, pass), rows.length);
        assert.equal((await popStat(user, pass)).count, 0);
    });
});
