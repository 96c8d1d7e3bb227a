// The installed package behind a real web server (scripts/package.sh check
// runs this once behind lighttpd and once behind Apache): one user logs in,
// sends a message to another, which arrives in the recipient's mailbox; the
// recipient logs in, finds it in the message list and reads it.
//
//   LK_PKG_URL=http://127.0.0.1:PORT/cgi-bin/larkspur LK_PKG_SERVER=lighttpd \
//   LARKSPUR_RUN=run/servers node --test tests/package/web.test.mjs
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import { after, before, describe, test } from 'node:test';
import { env, launch, noServers, popDeleteAll, arrived, maildirFiles, parseMail } from '../e2e/lib.mjs';

const URL_ = process.env.LK_PKG_URL;
const SERVER = process.env.LK_PKG_SERVER || 'web server';
const skip = noServers || (URL_ ? false : 'no LK_PKG_URL: run through scripts/package.sh check');
const enc = encodeURIComponent;

async function login(b, user, pass) {
    await b.page.goto(URL_);
    await b.page.getByLabel('User name').fill(user);
    await b.page.getByLabel('Password', { exact: true }).fill(pass);
    await Promise.all([b.page.waitForNavigation(), b.page.getByRole('button', { name: 'Log in' }).click()]);
    const html = await b.page.content();
    const t = /name="utoken" value="([^"]+)"/.exec(html)?.[1] ?? /utoken=([^&"]+)/.exec(html)?.[1];
    assert.ok(t, `no session for ${user}: ${html.slice(0, 2000)}`);
    return decodeURIComponent(t.replace(/&amp;/g, '&'));
}

describe(`the installed package behind ${SERVER}`, { skip }, () => {
    const from = env?.LK_USER1, to = env?.LK_USER2;
    const subject = `Packaged ${SERVER} ${crypto.randomBytes(4).toString('hex')}`;
    const body = `Sent through ${SERVER}.\nSecond line: Grüße`;
    let s, r;

    before(async () => {
        await popDeleteAll(to, env.LK_PASS2);
        s = await launch();
        r = await launch();
    });
    after(async () => {
        await s?.close();
        await r?.close();
    });

    test('log in, send, list and read', async () => {
        const token = await login(s, from, env.LK_PASS1);
        const seen = maildirFiles(to);
        await s.page.goto(`${URL_}?cmd=new&utoken=${enc(token)}`);
        await s.page.locator('#to').fill(`${to}@${env.LK_DOMAIN}`);
        await s.page.locator('#subject').fill(subject);
        await s.page.locator('#message').fill(body);
        await Promise.all([s.page.waitForNavigation(), s.page.locator('#sendbtn').click()]);
        assert.match(await s.page.content(), /Your message was sent\./);
        const got = parseMail(await arrived(to, seen));
        assert.equal(got.headers.subject, subject);
        assert.equal(got.headers.from, `${from}@${env.LK_DOMAIN}`);

        const rtoken = await login(r, to, env.LK_PASS2);
        await r.page.goto(`${URL_}?cmd=list&fld=0&utoken=${enc(rtoken)}`);
        await Promise.all([r.page.waitForNavigation(), r.page.getByRole('link', { name: subject }).first().click()]);
        const shown = await r.page.locator('main').innerText();
        for (const line of [subject, 'Sent through', 'Second line: Grüße']) assert.ok(shown.includes(line), `${line} in ${shown}`);
        assert.deepEqual(s.events.errors.concat(r.events.errors), []);
    });
});
