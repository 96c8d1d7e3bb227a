// The real mail servers of scripts/servers.sh: what the program's login,
// mailbox, sending and password pages rely on.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import { describe, test } from 'node:test';
import tls from 'node:tls';
import { env, LineClient, noServers, port } from './lib.mjs';

const HOST = '127.0.0.1';
const tlsOpts = () => ({ host: HOST, ca: fs.readFileSync(env.LK_CERT), servername: 'localhost' });
const b64 = (s) => Buffer.from(s, 'latin1').toString('base64');

async function pop3(user, pass, how = 'plain') {
    let c;
    if (how === 'pop3s') {
        c = await LineClient.connect(0, HOST, () => tls.connect({ ...tlsOpts(), port: port('LK_POP3S_PORT') }));
    } else {
        c = await LineClient.connect(port('LK_POP3_PORT'));
    }
    const greeting = await c.line();
    assert.match(greeting, /^\+OK/);
    if (how === 'stls') {
        assert.match(await c.cmd('STLS'), /^\+OK/);
        c.sock.removeAllListeners('data');
        const secure = tls.connect({ ...tlsOpts(), socket: c.sock });
        await new Promise((res, rej) => { secure.once('secureConnect', res); secure.once('error', rej); });
        c = new LineClient(secure);
    }
    const u = await c.cmd(`USER ${user}`);
    const p = u.startsWith('+OK') ? await c.cmd(`PASS ${pass}`) : u;
    return { c, ok: p.startsWith('+OK'), reply: p, greeting };
}

// Every message of a mailbox: [{ uidl, text }].
async function mailbox(user, pass, how) {
    const s = await pop3(user, pass, how);
    // A failed check must not leave the connection open: node would wait
    // for it and the test file would never end.
    try {
        return await readAll(s, user, how);
    } finally {
        s.c.close();
    }
}

async function readAll(s, user, how) {
    assert.ok(s.ok, `${how} login of ${user}: ${s.reply}`);
    s.c.send('UIDL');
    assert.match(await s.c.line(), /^\+OK/);
    const uidls = await s.c.dotted();
    const out = [];
    for (const row of uidls) {
        const [n, uidl] = row.split(' ');
        s.c.send(`RETR ${n}`);
        const reply = await s.c.line();
        // Another session may expunge a message after our UIDL; it is gone,
        // not a fault of the server.
        if (/^-ERR .*expunged/i.test(reply)) continue;
        assert.match(reply, /^\+OK/);
        out.push({ uidl, text: (await s.c.dotted()).join('\n') });
    }
    await s.c.cmd('QUIT');
    return out;
}

// One SMTP session; returns the replies by step.  auth: [user, pass, mech].
async function smtpSend({ portName, auth, from, to, body, secure = false, starttls = false }) {
    let c = secure
        ? await LineClient.connect(0, HOST, () => tls.connect({ ...tlsOpts(), port: port(portName) }))
        : await LineClient.connect(port(portName));
    const r = {};
    r.greeting = await c.smtpReply();
    c.send('EHLO tester.example.test');
    r.ehlo = await c.smtpReply();
    if (starttls) {
        c.send('STARTTLS');
        r.starttls = await c.smtpReply();
        c.sock.removeAllListeners('data');
        const s = tls.connect({ ...tlsOpts(), socket: c.sock });
        await new Promise((res, rej) => { s.once('secureConnect', res); s.once('error', rej); });
        c = new LineClient(s);
        c.send('EHLO tester.example.test');
        r.ehlo2 = await c.smtpReply();
    }
    if (auth) {
        const [user, pass, mech = 'PLAIN'] = auth;
        if (mech === 'PLAIN') {
            c.send(`AUTH PLAIN ${b64(`\0${user}\0${pass}`)}`);
        } else {
            c.send('AUTH LOGIN');
            await c.smtpReply();
            c.send(b64(user));
            await c.smtpReply();
            c.send(b64(pass));
        }
        r.auth = await c.smtpReply();
    }
    c.send(`MAIL FROM:<${from}>`);
    r.mail = await c.smtpReply();
    c.send(`RCPT TO:<${to}>`);
    r.rcpt = await c.smtpReply();
    if (r.rcpt.code === 250) {
        c.send('DATA');
        r.data = await c.smtpReply();
        c.send(body.replace(/\n/g, '\r\n').replace(/^\./gm, '..') + '\r\n.');
        r.end = await c.smtpReply();
    }
    c.send('QUIT');
    await c.smtpReply();
    c.close();
    return r;
}

// Mail is handed on asynchronously (postfix -> LMTP): poll for it.
async function waitForMail(user, pass, marker, how = 'plain') {
    for (let i = 0; i < 100; i++) {
        const box = await mailbox(user, pass, how);
        const hit = box.find((m) => m.text.includes(marker));
        if (hit) return hit;
        await new Promise((r) => setTimeout(r, 100));
    }
    assert.fail(`no message with ${marker} for ${user}`);
}

const marker = (what) => `${what}-${crypto.randomBytes(6).toString('hex')}`;

describe('real mail servers', { skip: noServers }, () => {
    test('submission with AUTH is read back over POP3, POP3 STLS and POP3S', async () => {
        const m = marker('submit');
        for (const mech of ['PLAIN', 'LOGIN']) {
            const r = await smtpSend({
                portName: 'LK_SUBMISSION_PORT', auth: [env.LK_USER1, env.LK_PASS1, mech],
                from: `${env.LK_USER2}@${env.LK_DOMAIN}`, to: `${env.LK_USER1}@${env.LK_DOMAIN}`,
                body: `Subject: ${m} ${mech}\n\n.a line that starts with a dot\n${m}\n`,
            });
            assert.equal(r.auth.code, 235, `AUTH ${mech}: ${r.auth.lines}`);
            assert.equal(r.end.code, 250, r.end.lines.join());
        }
        const got = await waitForMail(env.LK_USER1, env.LK_PASS1, `${m} LOGIN`);
        assert.match(got.text, /^\.a line that starts with a dot$/m);
        for (const how of ['stls', 'pop3s']) {
            const box = await mailbox(env.LK_USER1, env.LK_PASS1, how);
            assert.ok(box.some((x) => x.text.includes(`${m} PLAIN`)), how);
            assert.ok(box.some((x) => x.text.includes(`${m} LOGIN`)), how);
        }
    });

    test('submission refuses clients without AUTH and offers STARTTLS; SMTPS takes AUTH', async () => {
        const m = marker('noauth');
        const r = await smtpSend({
            portName: 'LK_SUBMISSION_PORT', from: 'x@example.test', to: `${env.LK_USER1}@${env.LK_DOMAIN}`,
            body: `Subject: ${m}\n\nx\n`,
        });
        assert.ok(r.ehlo.lines.some((l) => /STARTTLS/.test(l)), 'STARTTLS offered');
        assert.ok(r.ehlo.lines.some((l) => /AUTH .*PLAIN/.test(l) && /LOGIN/.test(l)), 'AUTH PLAIN LOGIN offered');
        assert.ok(r.rcpt.code >= 500, `unauthenticated RCPT: ${r.rcpt.lines}`);

        const tlsRun = await smtpSend({
            portName: 'LK_SUBMISSION_PORT', starttls: true, auth: [env.LK_USER1, env.LK_PASS1],
            from: `${env.LK_USER1}@${env.LK_DOMAIN}`, to: `${env.LK_USER2}@${env.LK_DOMAIN}`,
            body: `Subject: ${m} starttls\n\nx\n`,
        });
        assert.equal(tlsRun.starttls.code, 220);
        assert.equal(tlsRun.end.code, 250);
        const s = await smtpSend({
            portName: 'LK_SMTPS_PORT', secure: true, auth: [env.LK_USER1, env.LK_PASS1],
            from: `${env.LK_USER1}@${env.LK_DOMAIN}`, to: `${env.LK_USER2}@${env.LK_DOMAIN}`,
            body: `Subject: ${m} smtps\n\nx\n`,
        });
        assert.equal(s.end.code, 250);
        await waitForMail(env.LK_USER2, env.LK_PASS2, `${m} smtps`);
        await waitForMail(env.LK_USER2, env.LK_PASS2, `${m} starttls`);
        const bad = await smtpSend({
            portName: 'LK_SUBMISSION_PORT', auth: [env.LK_USER1, 'wrong-password'],
            from: 'x@example.test', to: `${env.LK_USER1}@${env.LK_DOMAIN}`, body: 'x\n',
        });
        assert.equal(bad.auth.code, 535);
    });

    test('plain port: unknown local user refused, other domains kept in the catch-all', async () => {
        const unknown = await smtpSend({
            portName: 'LK_SMTP_PORT', from: 'x@example.test', to: `nobody-here@${env.LK_DOMAIN}`, body: 'x\n',
        });
        assert.equal(unknown.rcpt.code, 550);
        const m = marker('away');
        const r = await smtpSend({
            portName: 'LK_SMTP_PORT', from: `${env.LK_USER1}@${env.LK_DOMAIN}`, to: 'someone@far-away.invalid',
            body: `Subject: ${m}\n\nx\n`,
        });
        assert.equal(r.end.code, 250);
        const dir = `${env.LK_MAILDIRS}/${env.LK_CATCHALL_USER}/Maildir`;
        let found = false;
        for (let i = 0; i < 100 && !found; i++) {
            for (const sub of ['new', 'cur']) {
                const p = `${dir}/${sub}`;
                if (!fs.existsSync(p)) continue;
                found ||= fs.readdirSync(p).some((f) => fs.readFileSync(`${p}/${f}`, 'latin1').includes(m));
            }
            if (!found) await new Promise((res) => setTimeout(res, 100));
        }
        assert.ok(found, 'mail for another domain reached the catch-all mailbox');
    });

    test('POP3 refuses a wrong password; APOP works for the passwd-file user', async () => {
        const bad = await pop3(env.LK_USER1, 'not-the-password');
        assert.equal(bad.reply, '-ERR [AUTH] Authentication failed.');
        bad.c.close();
        const c = await LineClient.connect(port('LK_POP3_PORT'));
        const stamp = /<[^>]+>/.exec(await c.line())[0];
        const digest = crypto.createHash('md5').update(stamp + env.LK_APOP_PASS).digest('hex');
        assert.match(await c.cmd(`APOP ${env.LK_APOP_USER} ${digest}`), /^\+OK/);
        assert.match(await c.cmd('STAT'), /^\+OK \d+ \d+$/);
        c.close();
    });

    test('a password changed through poppassd works for POP3 and SMTP AUTH, then is changed back', async () => {
        const user = env.LK_USER2, old = env.LK_PASS2, next = `Nw${crypto.randomBytes(5).toString('hex')}q7`;
        async function change(from, to) {
            const c = await LineClient.connect(port('LK_POPPASSD_PORT'));
            const said = [await c.line()];
            for (const l of [`user ${user}`, `pass ${from}`, `newpass ${to}`]) {
                said.push(await c.cmd(l));
                if (!said.at(-1)?.startsWith('200')) break;
            }
            c.send('quit');
            c.close();
            return said;
        }
        const wrong = await (async () => {
            const c = await LineClient.connect(port('LK_POPPASSD_PORT'));
            await c.line();
            await c.cmd(`user ${user}`);
            const r = await c.cmd('pass definitely-wrong');
            c.close();
            return r;
        })();
        assert.match(wrong, /^500 /);
        const said = await change(old, next);
        try {
            assert.match(said[0], /^200 .*who are you/);
            assert.equal(said.at(-1), '200 Password changed, thank-you.');
            const withNew = await pop3(user, next);
            assert.ok(withNew.ok, `POP3 with the new password: ${withNew.reply}`);
            withNew.c.close();
            const withOld = await pop3(user, old);
            assert.equal(withOld.ok, false);
            withOld.c.close();
            const r = await smtpSend({
                portName: 'LK_SUBMISSION_PORT', auth: [user, next],
                from: `${user}@${env.LK_DOMAIN}`, to: `${user}@${env.LK_DOMAIN}`, body: 'Subject: new pw\n\nx\n',
            });
            assert.equal(r.auth.code, 235);
        } finally {
            const back = await change(next, old);
            assert.equal(back.at(-1), '200 Password changed, thank-you.', `change back: ${back}`);
        }
        const again = await pop3(user, old);
        assert.ok(again.ok);
        again.c.close();
    });
});
