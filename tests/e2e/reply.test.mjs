// Answering and passing on mail in Chromium through lighttpd, the real
// postfix and dovecot: one user writes, the other replies (quoted, threaded)
// and resends the message unchanged with Resent headers; each arrival is
// parsed with Python's email package and compared header by header.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { ROOT, env, launch, noServers, popDeleteAll, arrived, maildirFiles, parseMail } from './lib.mjs';

const enc = encodeURIComponent;



const parse = parseMail;

async function login(b, user, pass) {
    await b.page.goto(env.LK_WEB_URL);
    await b.page.getByLabel('User name').fill(user);
    await b.page.getByLabel('Password', { exact: true }).fill(pass);
    await Promise.all([b.page.waitForNavigation(), b.page.getByRole('button', { name: 'Log in' }).click()]);
    const html = await b.page.content();
    const t = /name="utoken" value="([^"]+)"/.exec(html)?.[1] ?? /utoken=([^&"]+)/.exec(html)?.[1];
    assert.ok(t, `no session for ${user}`);
    return decodeURIComponent(t.replace(/&amp;/g, '&'));
}

// Opens the newest message with this subject on the inbox list.
async function open(b, token, subject) {
    await b.page.goto(`${env.LK_WEB_URL}?cmd=list&fld=0&utoken=${enc(token)}`);
    await Promise.all([b.page.waitForNavigation(), b.page.getByRole('link', { name: subject }).first().click()]);
}

describe('replying and forwarding from the browser', { skip: noServers }, () => {
    const ann = env?.LK_USER1, annPass = env?.LK_PASS1, bob = env?.LK_USER2, bobPass = env?.LK_PASS2;
    const subject = `Picnic ${Date.now() % 100000} café?`;
    const body = 'Shall we meet at the café at noon?\nBring Ωμέγα cake.';
    let a, b, atok, btok, original;

    before(async () => {
        await popDeleteAll(ann, annPass);
        await popDeleteAll(bob, bobPass);
        a = await launch();
        b = await launch();
        atok = await login(a, ann, annPass);
        const seen = maildirFiles(bob);
        await a.page.goto(`${env.LK_WEB_URL}?cmd=new&utoken=${enc(atok)}`);
        await a.page.locator('#to').fill(`${bob}@example.test`);
        await a.page.locator('#subject').fill(subject);
        await a.page.locator('#message').fill(body);
        await Promise.all([a.page.waitForNavigation(), a.page.locator('#sendbtn').click()]);
        original = parse(await arrived(bob, seen));
        // The login checks the mailbox (a later list may not, within fetch_min).
        btok = await login(b, bob, bobPass);
    });
    after(async () => {
        await a?.close();
        await b?.close();
        if (env) {
            await popDeleteAll(ann, annPass);
            await popDeleteAll(bob, bobPass);
        }
    });

    test('a reply quotes the text, keeps the thread and goes to the sender', async () => {
        await open(b, btok, subject);
        await Promise.all([b.page.waitForNavigation(), b.page.getByRole('link', { name: 'Reply', exact: true }).click()]);
        assert.match(await b.page.locator('#to').inputValue(), new RegExp(`${ann}@example\\.test`));
        assert.equal(await b.page.locator('#subject').inputValue(), `Re: ${subject}`);
        const quoted = await b.page.locator('#message').inputValue();
        assert.match(quoted, /^>\s?Shall we meet at the café at noon\?$/m, quoted);
        await b.page.locator('#message').fill(`Yes, noon is fine.\n\n${quoted}`);
        const seen = maildirFiles(ann);
        await Promise.all([b.page.waitForNavigation(), b.page.locator('#sendbtn').click()]);
        assert.match(await b.page.content(), /Your message was sent\./);

        const got = parse(await arrived(ann, seen));
        assert.deepEqual(got.defects, []);
        assert.equal(got.headers.subject, `Re: ${subject}`);
        assert.equal(got.headers.from, `${bob}@example.test`);
        assert.equal(got.headers['in-reply-to'], original.headers['message-id']);
        assert.ok(got.headers.references.includes(original.headers['message-id']), got.headers.references);
        assert.match(got.text, /^Yes, noon is fine\.$/m);
        assert.match(got.text, /^>\s?Bring Ωμέγα cake\.$/m);
    });

    test('a plain forward resends the message as it came, with Resent headers', async () => {
        await open(b, btok, subject);
        await Promise.all([b.page.waitForNavigation(), b.page.getByRole('link', { name: 'Forward', exact: true }).click()]);
        await b.page.locator('#to').fill(`${ann}@example.test`);
        const seen = maildirFiles(ann);
        await Promise.all([b.page.waitForNavigation(), b.page.locator('#fwdbtn').click()]);

        const got = parse(await arrived(ann, seen));
        assert.deepEqual(got.defects, []);
        for (const h of ['subject', 'from', 'to']) assert.equal(got.headers[h], original.headers[h], h);
        // The resend is a message of its own: a fresh Message-ID.
        assert.match(got.headers['message-id'], /^<.+@example\.test>$/);
        assert.match(got.headers['resent-from'] ?? '', new RegExp(`${bob}@example\\.test`));
        assert.match(got.headers['resent-to'] ?? '', new RegExp(`${ann}@example\\.test`));
        assert.equal(got.text.replace(/\r\n/g, '\n').trimEnd(), body);
    });
});
