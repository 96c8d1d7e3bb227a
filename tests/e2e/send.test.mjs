// Sending in Chromium through lighttpd to the real postfix, on the plain
// port and on the submission port with AUTH: a plain message, one with an
// accented subject and Greek, Cyrillic and emoji text, one with two
// attachments and one with an HTML part beside an attachment.  Each arrives
// in the recipient's dovecot mailbox, is parsed with Python's email package
// (every header and part compared, attachments byte for byte), is read back
// through Larkspur's own message page, and leaves a copy in the sender's
// copies folder.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { ROOT, env, launch, noServers, popDeleteAll, arrived, maildirFiles, parseMail } from './lib.mjs';

const enc = encodeURIComponent;
const sha = (b) => crypto.createHash('sha256').update(b).digest('hex');



const parse = parseMail;

function copiesIndex(user) {
    for (const top of fs.readdirSync(env.LK_WORKAREA)) {
        const f = path.join(env.LK_WORKAREA, top, `${user}@127_0_0_1`, '2', 'index.dat');
        if (fs.existsSync(f)) return fs.readFileSync(f, 'utf8').split('\n').filter((l) => l.trim());
    }
    return [];
}

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

const binary = crypto.randomBytes(50000);
const textFile = Buffer.from('Zeile 1: Grüße\nстрока 2\n', 'utf8');
const messages = [
    { key: 'plain', subject: 'Plain note', body: 'Hello Bob.\n.\n.leading dot\nBye' },
    {
        key: 'utf8',
        subject: 'Grüße — Καλημέρα κόσμε, Привет мир 😀🎉 with a rather long tail of words',
        body: 'Ελληνικά: Καλημέρα κόσμε\nРусский: Съешь же ещё этих мягких французских булок\nEmoji: 😀🎉👍\n',
    },
    {
        key: 'files',
        subject: 'Two files',
        body: 'See the two files.',
        files: [
            { field: '#attach', name: 'data.bin', mimeType: 'application/octet-stream', buffer: binary },
            { field: '#attach2', name: 'résumé Отчёт.txt', mimeType: 'text/plain', buffer: textFile },
        ],
    },
    {
        key: 'html',
        subject: 'HTML and a file',
        body: 'Plain version: Ωμέγα',
        html: '<p>Hello <b>bold</b> Ωμέγα</p>',
        files: [{ field: '#attach', name: 'data.bin', mimeType: 'application/octet-stream', buffer: binary }],
    },
];

const ports = [
    { name: 'plain port', port: () => env.LK_SMTP_PORT, auth: false },
    // postfix offers AUTH here only after STARTTLS, which the program starts.
    { name: 'submission port with AUTH', port: () => env.LK_SUBMISSION_PORT, auth: true },
    { name: 'SMTPS port with AUTH', port: () => env.LK_SMTPS_PORT, auth: true },
];

describe('sending mail from the browser', { skip: noServers }, () => {
    const from = env?.LK_USER1, fromPass = env?.LK_PASS1, to = env?.LK_USER2, toPass = env?.LK_PASS2;
    let b, r, token, rtoken, iniText;

    before(async () => {
        iniText = fs.readFileSync(env.LK_INI, 'utf8');
        await popDeleteAll(to, toPass);
        b = await launch();
        r = await launch();
        token = await login(b, from, fromPass);
    });
    after(async () => {
        if (iniText) fs.writeFileSync(env.LK_INI, iniText);
        await b?.close();
        await r?.close();
    });

    for (const p of ports) {
        for (const m of messages) {
            test(`${m.key} message on the ${p.name}`, async () => {
                fs.writeFileSync(env.LK_INI, iniText.replace(/^smtp_port .*$/m, `smtp_port ${p.port()}`)
                    .replace(/^#? ?smtp_auth.*$/m, p.auth ? 'smtp_auth true' : '# no smtp_auth'));
                const seen = maildirFiles(to);
                const copies = copiesIndex(from).length;
                const page = b.page;
                await page.goto(`${env.LK_WEB_URL}?cmd=new&utoken=${enc(token)}`);
                await page.locator('#to').fill(`Bob Example <${to}@example.test>`);
                await page.locator('#subject').fill(m.subject);
                await page.locator('#message').fill(m.body);
                if (m.html) {
                    await page.locator('summary').first().click();
                    await page.locator('#message_html').fill(m.html);
                }
                for (const f of m.files ?? []) {
                    await page.locator(f.field).setInputFiles({ name: f.name, mimeType: f.mimeType, buffer: f.buffer });
                }
                await page.locator('#copyself').check();
                await Promise.all([page.waitForNavigation(), page.locator('#sendbtn').click()]);
                assert.match(await page.content(), /Your message was sent\./, await page.content());

                const got = parse(await arrived(to, seen));
                assert.deepEqual(got.defects, []);
                assert.equal(got.headers.subject, m.subject);
                assert.equal(got.headers.to, `Bob Example <${to}@example.test>`);
                assert.equal(got.headers.from, `${from}@example.test`);
                assert.match(got.headers['message-id'], /^<.+@example\.test>$/);
                assert.equal(got.text.replace(/\r\n/g, '\n').trimEnd(), m.body.trimEnd());
                const files = m.files ?? [];
                if (m.html) {
                    assert.deepEqual(got.layout.slice(0, 4),
                        ['multipart/mixed', 'multipart/alternative', 'text/plain', 'text/html']);
                    assert.equal(got.html.replace(/\r\n/g, '\n').trimEnd(), m.html);
                } else {
                    assert.equal(got.layout[0], files.length ? 'multipart/mixed' : 'text/plain');
                }
                assert.deepEqual(got.attachments.map((a) => [a.name, a.size, a.sha256]),
                    files.map((f) => [f.name, f.buffer.length, sha(f.buffer)]));
                assert.equal(copiesIndex(from).length, copies + 1, 'a copy in the copies folder');

                // Read back through the recipient's own message page.
                rtoken = await login(r, to, toPass);
                await r.page.goto(`${env.LK_WEB_URL}?cmd=list&fld=0&utoken=${enc(rtoken)}`);
                await Promise.all([r.page.waitForNavigation(),
                    r.page.getByRole('link', { name: m.subject }).first().click()]);
                const shown = await r.page.locator('main').innerText();
                assert.ok(shown.includes(m.subject), shown);
                // An alternative shows its HTML version; a text body shows its lines.
                const visible = m.html ? ['Hello', 'bold', 'Ωμέγα'] : m.body.split('\n').filter((l) => l.trim());
                for (const line of visible) assert.ok(shown.includes(line), `${line} in ${shown}`);
                for (const f of files) assert.ok(shown.includes(f.name), f.name);
                await popDeleteAll(to, toPass);
            });
        }
    }
});
