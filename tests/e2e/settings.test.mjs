// The settings page in Chromium through lighttpd against the real servers:
// a filter rule saved on the page moves matching new mail into a folder at
// fetch time; settings survive a logout and a login; the list's sort and
// page-size controls save; a password changed on the page through the real
// poppassd works for POP3 and SMTP AUTH while the old one is refused, and
// is changed back at the end.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import tls from 'node:tls';
import { after, before, describe, test } from 'node:test';
import { env, launch, LineClient, noServers, popDeleteAll, popStat, port } from './lib.mjs';

const enc = encodeURIComponent;

// Delivers one message on the plain SMTP port (no AUTH there for local mail).
async function deliver(to, subject, body) {
    const c = await LineClient.connect(port('LK_SMTP_PORT'));
    assert.equal((await c.smtpReply()).code, 220);
    c.send('EHLO e2e.example.test');
    await c.smtpReply();
    for (const cmd of ['MAIL FROM:<sender@example.test>', `RCPT TO:<${to}@${env.LK_DOMAIN}>`, 'DATA']) {
        c.send(cmd);
        const r = await c.smtpReply();
        assert.ok(r.code < 400, `${cmd}: ${r.lines}`);
    }
    c.send(`From: Sender <sender@example.test>\r\nTo: ${to}@${env.LK_DOMAIN}\r\nSubject: ${subject}\r\n\r\n${body}\r\n.`);
    assert.equal((await c.smtpReply()).code, 250);
    await c.cmd('QUIT');
    c.close();
}

async function waitCount(user, pass, n) {
    for (let i = 0; i < 100; i++) {
        if ((await popStat(user, pass)).count >= n) return;
        await new Promise((r) => setTimeout(r, 100));
    }
    throw new Error(`mail for ${user} did not arrive`);
}

async function popAccepts(user, pass) {
    const c = await LineClient.connect(port('LK_POP3_PORT'));
    await c.line();
    await c.cmd(`USER ${user}`);
    const r = await c.cmd(`PASS ${pass}`);
    c.send('QUIT');
    c.close();
    return r.startsWith('+OK');
}

async function smtpAuthCode(user, pass) {
    const c = await LineClient.connect(0, '127.0.0.1',
        () => tls.connect({ host: '127.0.0.1', port: port('LK_SMTPS_PORT'), rejectUnauthorized: false }));
    await c.smtpReply();
    c.send('EHLO e2e.example.test');
    await c.smtpReply();
    c.send('AUTH PLAIN ' + Buffer.from(`\0${user}\0${pass}`).toString('base64'));
    const r = await c.smtpReply();
    c.send('QUIT');
    c.close();
    return r.code;
}

describe('settings in a browser', { skip: noServers }, () => {
    let b, token;
    const user = env?.LK_USER1, pass = env?.LK_PASS1, newPass = 'Chg-' + Date.now().toString(36) + '-Pw9';
    const url = (q) => `${env.LK_WEB_URL}?${q}&utoken=${enc(token)}`;
    const page = () => b.page;
    const click = (locator) => Promise.all([page().waitForNavigation(), locator.click()]);

    async function login(p) {
        await page().goto(env.LK_WEB_URL);
        await page().getByLabel('User name').fill(user);
        await page().getByLabel('Password', { exact: true }).fill(p);
        await click(page().getByRole('button', { name: 'Log in' }));
        const html = await page().content();
        token = /name="utoken" value="([^"]+)"/.exec(html)?.[1];
        assert.ok(token, 'no session after login');
        token = decodeURIComponent(token.replace(/&amp;/g, '&'));
    }

    async function changePassword(from, to) {
        await page().goto(url('cmd=config'));
        await click(page().locator('button[name="set_pass0"]'));
        await page().getByLabel('Current password').fill(from);
        await page().getByLabel('New password', { exact: true }).fill(to);
        await page().getByLabel('New password again').fill(to);
        await click(page().getByRole('button', { name: 'Change password' }));
        return page().content();
    }

    let iniText;
    before(async () => {
        // "checknew" checks again at once only when fetch_min allows it.
        iniText = fs.readFileSync(env.LK_INI, 'utf8');
        fs.writeFileSync(env.LK_INI, `${iniText}\nfetch_min 0\n`);
        await popDeleteAll(user, pass);
        for (const top of fs.readdirSync(env.LK_WORKAREA)) {
            const dir = path.join(env.LK_WORKAREA, top);
            if (!fs.statSync(dir).isDirectory()) continue;
            for (const d of fs.readdirSync(dir)) {
                if (d.startsWith(`${user}@`)) fs.rmSync(path.join(dir, d), { recursive: true, force: true });
            }
        }
        b = await launch();
        await login(pass);
    });
    after(async () => {
        if (iniText) fs.writeFileSync(env.LK_INI, iniText);
        await b?.close();
    });

    test('a rule saved on the page moves new mail at fetch time; settings survive a new login', async () => {
        await page().goto(url('cmd=fld_manage'));
        await page().getByLabel('Name').fill('Reports');
        await click(page().getByRole('button', { name: 'Create folder' }));

        await page().goto(url('cmd=config'));
        await page().getByLabel('Real name').fill('E2E Person');
        await page().getByLabel('Rule 0 looks in').selectOption('Subject');
        await page().getByLabel('Rule 0 text').fill('report 4711');
        await page().getByLabel('Rule 0 action').selectOption('Move');
        await page().getByLabel('Rule 0 folder').selectOption('Reports');
        await click(page().getByRole('button', { name: 'Save settings' }));

        await deliver(user, 'Quarterly <b>Report 4711</b>', 'numbers');
        await deliver(user, 'Lunch on Friday', 'soup');
        await waitCount(user, pass, 2);
        await page().goto(url('cmd=checknew'));
        const html = await page().content();
        assert.match(html, /Moving \(Quarterly &lt;b&gt;Report 4711&lt;\/b&gt;/);
        const inbox = await page().locator('td.subj a').allTextContents();
        assert.ok(inbox.some((s) => s.includes('Lunch on Friday')), inbox.join('|'));
        assert.ok(!inbox.some((s) => s.includes('4711')), inbox.join('|'));
        await page().goto(url('cmd=fld_manage'));
        await click(page().getByRole('link', { name: 'Reports' }));
        const moved = await page().locator('td.subj a').allTextContents();
        assert.ok(moved.some((s) => s.includes('Report 4711')), moved.join('|'));

        await page().goto(url('cmd=logout'));
        await login(pass);
        await page().goto(url('cmd=config'));
        assert.equal(await page().getByLabel('Real name').inputValue(), 'E2E Person');
        assert.equal(await page().getByLabel('Rule 0 text').inputValue(), 'report 4711');
        assert.equal(await page().getByLabel('Rule 0 action').inputValue(), 'Move');
    });

    test("the list's sort and page-size controls save", async () => {
        await page().goto(url('cmd=list&fld=0'));
        await page().getByLabel('Per page').selectOption('25');
        await page().locator('#sort_on, select[name="sort_on"]').first().selectOption('subject:');
        await click(page().getByRole('button', { name: 'Apply' }));
        assert.doesNotMatch(await page().content(), /not available/i);
        await page().goto(url('cmd=list&fld=0'));
        assert.equal(await page().getByLabel('Per page').inputValue(), '25');
        assert.equal(await page().locator('select[name="sort_on"]').first().inputValue(), 'subject:');
    });

    test('a password changed on the page works for POP3 and SMTP AUTH; the old one is refused', async () => {
        const html = await changePassword(pass, newPass);
        assert.match(html, /Password change succeeded/);
        assert.ok(!html.includes(newPass) && !html.includes(pass), 'a password on the page');
        try {
            assert.equal(await popAccepts(user, newPass), true);
            assert.equal(await popAccepts(user, pass), false);
            assert.equal(await smtpAuthCode(user, newPass), 235);
            assert.equal(await smtpAuthCode(user, pass), 535);
            // The stored password followed: a mail check still logs in.
            await page().goto(url('cmd=checknew'));
            assert.doesNotMatch(await page().content(), /Incorrect|role="alert"/);
            // A refused change leaves the stored password alone.
            const refused = await changePassword('not-the-password', 'Other-Pw-1');
            assert.match(refused, /Change password failed/);
            assert.equal(await popAccepts(user, newPass), true);
        } finally {
            const back = await changePassword(newPass, pass);
            assert.match(back, /Password change succeeded/);
        }
        assert.equal(await popAccepts(user, pass), true);
    });
});
