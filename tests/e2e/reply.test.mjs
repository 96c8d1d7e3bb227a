// Answering and passing on mail in Chromium through lighttpd, the real
// postfix and dovecot: one user writes (with a copy to an outside address),
// the other replies (quoted, threaded), replies to all, resends the message
// unchanged with Resent headers, forwards a message with a file through the
// compose page, picks recipients from a book of their own and from a group
// book the first user publishes, and last resends with a note and has the
// message deleted from the server.  Each arrival is parsed with Python's
// email package and compared header by header.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { env, launch, noServers, popDeleteAll, popSubjects, arrived, maildirFiles, parseMail } from './lib.mjs';

const enc = encodeURIComponent;
const sha = (buf) => crypto.createHash('sha256').update(buf).digest('hex');

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
    const stamp = Date.now() % 100000;
    const subject = `Picnic ${stamp} café?`;
    const body = 'Shall we meet at the café at noon?\nBring Ωμέγα cake.';
    // Outside domains land in the catch-all mailbox.
    const carol = `carol${stamp}@elsewhere.test`, catchall = env?.LK_CATCHALL_USER;
    const fileSubject = `Map ${stamp}`;
    const map = { name: 'map of the park.bin', mimeType: 'application/octet-stream', buffer: crypto.randomBytes(30000) };
    let a, b, atok, btok, original, withFile;

    let iniText;
    before(async () => {
        // Fresh profiles that keep mail on the server, so that a delete after
        // forwarding has something to delete there.
        iniText = fs.readFileSync(env.LK_INI, 'utf8');
        fs.writeFileSync(env.LK_INI, iniText + 'pop_delete_default false\n');
        for (const top of fs.readdirSync(env.LK_WORKAREA)) {
            const dir = path.join(env.LK_WORKAREA, top);
            if (!fs.statSync(dir).isDirectory()) continue;
            for (const d of fs.readdirSync(dir))
                if (d.startsWith(`${ann}@`) || d.startsWith(`${bob}@`)) fs.rmSync(path.join(dir, d), { recursive: true, force: true });
        }
        await popDeleteAll(ann, annPass);
        await popDeleteAll(bob, bobPass);
        a = await launch();
        b = await launch();
        atok = await login(a, ann, annPass);
        const seen = maildirFiles(bob);
        await a.page.goto(`${env.LK_WEB_URL}?cmd=new&utoken=${enc(atok)}`);
        await a.page.locator('#to').fill(`${bob}@example.test`);
        await a.page.locator('#cc').fill(carol);
        await a.page.locator('#subject').fill(subject);
        await a.page.locator('#message').fill(body);
        await Promise.all([a.page.waitForNavigation(), a.page.locator('#sendbtn').click()]);
        original = parse(await arrived(bob, seen));
        seen.push(...maildirFiles(bob));
        await a.page.goto(`${env.LK_WEB_URL}?cmd=new&utoken=${enc(atok)}`);
        await a.page.locator('#to').fill(`${bob}@example.test`);
        await a.page.locator('#subject').fill(fileSubject);
        await a.page.locator('#message').fill('The map is attached.');
        await a.page.locator('#attach').setInputFiles(map);
        await Promise.all([a.page.waitForNavigation(), a.page.locator('#sendbtn').click()]);
        withFile = parse(await arrived(bob, seen));
        // The login checks the mailbox (a later list may not, within fetch_min).
        btok = await login(b, bob, bobPass);
    });
    after(async () => {
        if (iniText !== undefined) fs.writeFileSync(env.LK_INI, iniText);
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

    test('a reply to all goes to the sender and the other recipients, not to me', async () => {
        await open(b, btok, subject);
        await Promise.all([b.page.waitForNavigation(), b.page.getByRole('link', { name: 'Reply all' }).click()]);
        const to = await b.page.locator('#to').inputValue();
        assert.deepEqual(to.split(/\s*,\s*/).sort(), [`${ann}@example.test`, carol].sort(), to);
        await b.page.locator('#message').fill('Carol, are you coming too?');
        const seenAnn = maildirFiles(ann), seenCarol = maildirFiles(catchall);
        await Promise.all([b.page.waitForNavigation(), b.page.locator('#sendbtn').click()]);
        assert.match(await b.page.content(), /Your message was sent\./);

        const toAnn = parse(await arrived(ann, seenAnn)), toCarol = parse(await arrived(catchall, seenCarol));
        for (const got of [toAnn, toCarol]) {
            assert.deepEqual(got.defects, []);
            assert.equal(got.headers.subject, `Re: ${subject}`);
            assert.equal(got.headers.from, `${bob}@example.test`);
            assert.deepEqual(got.headers.to.split(/\s*,\s*/).sort(), [`${ann}@example.test`, carol].sort());
            assert.equal(got.headers['in-reply-to'], original.headers['message-id']);
            assert.equal(got.headers['message-id'], toAnn.headers['message-id'], 'one message to both');
        }
        assert.match(toCarol.text, /^Carol, are you coming too\?$/m);
    });

    test('forwarding through the compose page carries the attachment', async () => {
        assert.deepEqual(withFile.attachments.map((f) => [f.name, f.size, f.sha256]),
            [[map.name, map.buffer.length, sha(map.buffer)]], 'the original carries the file');
        await open(b, btok, fileSubject);
        await b.page.getByText('More actions and view options').click();
        await Promise.all([b.page.waitForNavigation(),
            b.page.getByRole('link', { name: 'Forward with changes' }).click()]);
        const carry = b.page.locator('#fwdedit_attachments');
        assert.ok(await carry.isChecked(), 'attachments are offered, checked');
        // (The label lists the file-safe names, blanks left out.)
        assert.match(await b.page.locator('label[for="fwdedit_attachments"]').innerText(), /mapofthepark\.bin/);
        await b.page.locator('#to').fill(`${ann}@example.test`);
        await b.page.locator('#subject').fill(`Fwd: ${fileSubject}`);
        await b.page.locator('#message').fill('Here is the map Ann drew.');
        const seen = maildirFiles(ann);
        await Promise.all([b.page.waitForNavigation(), b.page.locator('#sendbtn').click()]);
        assert.match(await b.page.content(), /Your message was sent\./);

        const got = parse(await arrived(ann, seen));
        assert.deepEqual(got.defects, []);
        assert.equal(got.headers.subject, `Fwd: ${fileSubject}`);
        assert.equal(got.headers.from, `${bob}@example.test`);
        assert.equal(got.headers.to, `${ann}@example.test`);
        assert.equal(got.layout[0], 'multipart/mixed');
        assert.match(got.text, /^Here is the map Ann drew\.$/m);
        assert.deepEqual(got.attachments.map((f) => [f.name, f.type, f.size, f.sha256]),
            withFile.attachments.map((f) => [f.name, f.type, f.size, f.sha256]));
    });

    test('recipients picked from a personal book and from a group book', async () => {
        // Ann publishes a group book; Bob keeps a book of his own and reads Ann's.
        await a.page.goto(`${env.LK_WEB_URL}?cmd=pick_edit&utoken=${enc(atok)}`);
        await a.page.locator('#abook_edit').fill('public_walkers');
        await a.page.locator('#abook').fill(`walkers = ${ann}@example.test, ${carol}\n`);
        await Promise.all([a.page.waitForNavigation(), a.page.locator('#savebtn').click()]);
        assert.doesNotMatch(await a.page.content(), /role="alert"/);

        await b.page.goto(`${env.LK_WEB_URL}?cmd=pick_edit&utoken=${enc(btok)}`);
        await b.page.locator('#abook_edit').fill('pals');
        await b.page.locator('#abook').fill(`Annie = ${ann}@example.test\n`);
        await b.page.locator('#gaddr_books').fill(`${ann}@${env.LK_HOST}/walkers`);
        await Promise.all([b.page.waitForNavigation(), b.page.locator('#savebtn').click()]);
        assert.doesNotMatch(await b.page.content(), /role="alert"/, await b.page.locator('main').innerText());

        const sendPicked = async (label, subj) => {
            await b.page.goto(`${env.LK_WEB_URL}?cmd=new&utoken=${enc(btok)}`);
            await b.page.locator('#tolist').selectOption({ label });
            await b.page.locator('#subject').fill(subj);
            await b.page.locator('#message').fill('Picked from a book.');
            await Promise.all([b.page.waitForNavigation(), b.page.locator('#sendbtn').click()]);
            assert.match(await b.page.content(), /Your message was sent\./, label);
        };
        let seen = maildirFiles(ann);
        await sendPicked('Annie', `Personal ${stamp}`);
        let got = parse(await arrived(ann, seen));
        assert.equal(got.headers.subject, `Personal ${stamp}`);
        assert.equal(got.headers.to, `${ann}@example.test`);
        assert.equal(got.headers.from, `${bob}@example.test`);

        // The group entry is offered by name and expanded when sent.
        const options = await b.page.goto(`${env.LK_WEB_URL}?cmd=new&utoken=${enc(btok)}`)
            .then(() => b.page.locator('#tolist option').allInnerTexts());
        assert.ok(options.indexOf('walkers') > options.indexOf('--public--'), options.join('|'));
        seen = maildirFiles(ann);
        const seenCarol = maildirFiles(catchall);
        await sendPicked('walkers', `Group ${stamp}`);
        const toAnn = parse(await arrived(ann, seen)), toCarol = parse(await arrived(catchall, seenCarol));
        for (const m of [toAnn, toCarol]) {
            assert.equal(m.headers.subject, `Group ${stamp}`);
            assert.deepEqual(m.headers.to.split(/\s*,\s*/).sort(), [`${ann}@example.test`, carol].sort());
            assert.equal(m.headers.from, `${bob}@example.test`);
        }
    });

    test('a resend with a note, then deleted from the server', async () => {
        await open(b, btok, subject);
        await Promise.all([b.page.waitForNavigation(), b.page.getByRole('link', { name: 'Forward', exact: true }).click()]);
        await b.page.locator('#to').fill(`${ann}@example.test`);
        await b.page.locator('#subject').selectOption('(Fwd: From message)');
        await b.page.locator('#fwd_note').fill('Passing this on: see below.');
        await b.page.locator('#action_senddel').check();
        const seen = maildirFiles(ann), before = await popSubjects(bob, bobPass);
        await Promise.all([b.page.waitForNavigation(), b.page.locator('#fwdbtn').click()]);
        assert.match(await b.page.content(), /Your message was sent\./, await b.page.locator('main').innerText());

        const got = parse(await arrived(ann, seen));
        assert.deepEqual(got.defects, []);
        assert.equal(got.headers.subject, `Fwd: ${subject}`);
        for (const h of ['from', 'to', 'cc']) assert.equal(got.headers[h], original.headers[h], h);
        assert.match(got.headers['resent-from'] ?? '', new RegExp(`${bob}@example\\.test`));
        assert.match(got.headers['resent-to'] ?? '', new RegExp(`${ann}@example\\.test`));
        const text = got.text.replace(/\r\n/g, '\n');
        assert.match(text, /^Passing this on: see below\.$/m);
        assert.ok(text.indexOf(body) > text.indexOf('Passing this on'), text);

        // Gone from Bob's server mailbox and from his inbox; the other stays.
        // (Subjects as sent: the picnic's is an encoded word, the map's plain.)
        const left = await popSubjects(bob, bobPass);
        assert.equal(left.length, before.length - 1, left.join('|'));
        assert.deepEqual(left.filter((s) => s === fileSubject), [fileSubject]);
        await b.page.goto(`${env.LK_WEB_URL}?cmd=list&fld=0&utoken=${enc(btok)}`);
        assert.equal(await b.page.getByRole('link', { name: subject }).count(), 0);
        assert.equal(await b.page.getByRole('link', { name: fileSubject }).count(), 1);
    });
});
