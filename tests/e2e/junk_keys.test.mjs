// The junk-mail introduction settings and the key ring in Chromium through
// lighttpd against the real servers: the settings saved on the page survive
// a logout and a login; a public
// key mailed to the user is added to the ring from the message, listed,
// offered on the compose page and deleted.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { env, launch, LineClient, noServers, popDeleteAll, popStat, port, ROOT } from './lib.mjs';

const enc = encodeURIComponent;

async function deliver(to, subject, body) {
    const c = await LineClient.connect(port('LK_SMTP_PORT'));
    assert.equal((await c.smtpReply()).code, 220);
    c.send('EHLO e2e.example.test');
    await c.smtpReply();
    for (const cmd of ['MAIL FROM:<alice@example.test>', `RCPT TO:<${to}@${env.LK_DOMAIN}>`, 'DATA']) {
        c.send(cmd);
        const r = await c.smtpReply();
        assert.ok(r.code < 400, `${cmd}: ${r.lines}`);
    }
    const text = body.replace(/\r?\n/g, '\r\n').replace(/^\./gm, '..');
    c.send(`From: Alice <alice@example.test>\r\nTo: ${to}@${env.LK_DOMAIN}\r\nSubject: ${subject}\r\n\r\n${text}\r\n.`);
    assert.equal((await c.smtpReply()).code, 250);
    await c.cmd('QUIT');
    c.close();
}

// The user's own directories in the work area (one per host the user logged in to).
function userDirs(user) {
    const out = [];
    for (const top of fs.readdirSync(env.LK_WORKAREA)) {
        const dir = path.join(env.LK_WORKAREA, top);
        if (!fs.statSync(dir).isDirectory()) continue;
        for (const d of fs.readdirSync(dir)) if (d.startsWith(`${user}@`)) out.push(path.join(dir, d));
    }
    return out;
}

describe('junk-mail settings and keys in a browser', { skip: noServers }, () => {
    let b, token;
    const user = env?.LK_USER2, pass = env?.LK_PASS2;
    const url = (q) => `${env.LK_WEB_URL}?${q}&utoken=${enc(token)}`;
    const page = () => b.page;
    const click = (locator) => Promise.all([page().waitForNavigation(), locator.click()]);

    async function login() {
        await page().goto(env.LK_WEB_URL);
        await page().getByLabel('User name').fill(user);
        await page().getByLabel('Password', { exact: true }).fill(pass);
        await click(page().getByRole('button', { name: 'Log in' }));
        const html = await page().content();
        token = /name="utoken" value="([^"]+)"/.exec(html)?.[1];
        assert.ok(token, 'no session after login');
        token = decodeURIComponent(token.replace(/&amp;/g, '&'));
    }

    let iniText;
    before(async () => {
        iniText = fs.readFileSync(env.LK_INI, 'utf8');
        fs.writeFileSync(env.LK_INI, `${iniText}\nfetch_min 0\n`);
        await popDeleteAll(user, pass);
        for (const d of userDirs(user)) fs.rmSync(d, { recursive: true, force: true });
        b = await launch();
        await login();
    });
    after(async () => {
        if (iniText) fs.writeFileSync(env.LK_INI, iniText);
        await b?.close();
    });

    test('introduction settings are saved and survive a new login', async () => {
        await page().goto(url('cmd=config'));
        await click(page().getByRole('link', { name: 'Junk-mail introductions' }));
        await page().getByLabel('Friends (one address a line)').fill('zoe@example.test\n<b>odd</b>@example.test');
        await page().getByLabel('Hostiles (one address a line)').fill('spam@junk.example');
        await page().getByLabel('Hold mail from unknown senders for (days)').fill('9');
        await page().getByLabel('The text sent to an unknown sender').fill('Hello,\nplease introduce yourself.');
        await click(page().getByRole('button', { name: 'Save junk-mail settings' }));
        assert.match(await page().content(), /Kestrel settings saved/);

        await page().goto(url('cmd=logout'));
        await login();
        await page().goto(url('cmd=jconf'));
        assert.equal(await page().getByLabel('Friends (one address a line)').inputValue(),
            'zoe@example.test\n<b>odd</b>@example.test\n');
        assert.equal(await page().getByLabel('Hostiles (one address a line)').inputValue(), 'spam@junk.example\n');
        assert.equal(await page().getByLabel('Hold mail from unknown senders for (days)').inputValue(), '9');
        assert.equal(await page().getByLabel('The text sent to an unknown sender').inputValue(),
            'Hello,\nplease introduce yourself.\n');
    });

    test('a key mailed to the user is added from the message, listed, offered and deleted', async () => {
        const key = fs.readFileSync(path.join(ROOT, 'tests/data/pgp/alice.asc'), 'utf8');
        await deliver(user, 'My public key', `Hi, here is my key.\n\n${key}`);
        for (let i = 0; i < 100 && (await popStat(user, pass)).count < 1; i++) {
            await new Promise((r) => setTimeout(r, 100));
        }
        await page().goto(url('cmd=checknew'));
        await click(page().getByRole('link', { name: 'My public key' }));
        await click(page().getByRole('button', { name: 'Add its keys to your key ring' }));

        const rows = page().locator('#keys tbody tr');
        assert.equal(await rows.count(), 1);
        assert.match(await rows.first().innerText(), /RSA 2048[\s\S]*Alice Example <alice@example\.test>/);
        assert.match(await page().content(), /No PGP engine is configured/);

        await page().goto(url('cmd=send'));
        const offered = await page().getByLabel('Encrypt for').locator('option').allTextContents();
        assert.deepEqual(offered, ['(no encryption)', 'Alice Example <alice@example.test>']);

        await page().goto(url('cmd=keylist'));
        await click(page().locator('#keys tbody tr').first().getByRole('button', { name: 'Delete' }));
        assert.equal(await page().locator('#keys').count(), 0);
        assert.match(await page().content(), /Your key ring is empty/);
        await page().goto(url('cmd=send'));
        assert.deepEqual(await page().getByLabel('Encrypt for').locator('option').allTextContents(), ['(no encryption)']);
    });
});
