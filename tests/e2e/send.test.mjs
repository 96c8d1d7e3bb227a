// Sending in Chromium through lighttpd to the real postfix, on the plain
// port, on the submission port (STARTTLS and AUTH) and over SMTPS: a plain
// message, one with an accented subject and Greek, Cyrillic and emoji text,
// one with two attachments and one with an HTML part beside an attachment.
// Each arrives in the recipient's dovecot mailbox, is parsed with Python's
// email package (every header and part compared, attachments byte for
// byte), is read back through Larkspur's own message page, and leaves a copy
// in the sender's copies folder.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { env, freshUser, launch, noServers, popDeleteAll, restoreIni, sendTo, setIni, userDirs } from './lib.mjs';

const sha = (b) => crypto.createHash('sha256').update(b).digest('hex');
const lf = (s) => s.replace(/\r\n/g, '\n').trimEnd();

// The records of the user's copies folder (folder 2).
const copies = (user) => userDirs(user).map((d) => path.join(d, '2', 'index.dat')).filter((f) => fs.existsSync(f))
    .flatMap((f) => fs.readFileSync(f, 'utf8').split('\n').filter((l) => l.trim())).length;

const binary = crypto.randomBytes(50000);
const dataBin = { field: '#attach', name: 'data.bin', mimeType: 'application/octet-stream', buffer: binary };
const messages = [
    { key: 'plain', subject: 'Plain note', body: 'Hello Bob.\n.\n.leading dot\nBye' },
    {
        key: 'utf8',
        subject: 'Grüße — Καλημέρα κόσμε, Привет мир 😀🎉 with a rather long tail of words',
        body: 'Ελληνικά: Καλημέρα κόσμε\nРусский: Съешь же ещё этих мягких французских булок\nEmoji: 😀🎉👍\n',
    },
    {
        key: 'files', subject: 'Two files', body: 'See the two files.',
        files: [dataBin, { field: '#attach2', name: 'résumé Отчёт.txt', mimeType: 'text/plain',
            buffer: Buffer.from('Zeile 1: Grüße\nстрока 2\n', 'utf8') }],
    },
    {
        key: 'html', subject: 'HTML and a file', body: 'Plain version: Ωμέγα',
        html: '<p>Hello <b>bold</b> Ωμέγα</p>', files: [dataBin],
    },
];

const ports = [
    { name: 'plain port', port: 'LK_SMTP_PORT', auth: false },
    // postfix offers AUTH here only after STARTTLS, which the program starts.
    { name: 'submission port with AUTH', port: 'LK_SUBMISSION_PORT', auth: true },
    { name: 'SMTPS port with AUTH', port: 'LK_SMTPS_PORT', auth: true },
];

describe('sending mail from the browser', { skip: noServers }, () => {
    const from = env?.LK_USER1, to = env?.LK_USER2;
    let b, r;

    before(async () => {
        await freshUser(from, env.LK_PASS1); // no real name from another file's test
        await popDeleteAll(to, env.LK_PASS2);
        b = await launch();
        r = await launch();
        await b.login(from, env.LK_PASS1);
    });
    after(async () => {
        restoreIni();
        await b?.close();
        await r?.close();
    });

    for (const p of ports) {
        for (const m of messages) {
            test(`${m.key} message on the ${p.name}`, async () => {
                setIni((ini) => ini.replace(/^smtp_port .*$/m, `smtp_port ${env[p.port]}`)
                    .replace(/^#? ?smtp_auth.*$/m, p.auth ? 'smtp_auth true' : '# no smtp_auth'));
                const before = copies(from);
                const page = b.page;
                await b.go('cmd=new');
                await page.locator('#to').fill(`Bob Example <${to}@example.test>`);
                await page.locator('#subject').fill(m.subject);
                await page.locator('#message').fill(m.body);
                if (m.html) {
                    await page.locator('summary').first().click();
                    await page.locator('#message_html').fill(m.html);
                }
                const files = m.files ?? [];
                for (const f of files) await page.locator(f.field).setInputFiles(f);
                await page.locator('#copyself').check();
                const [got] = await sendTo(b, '#sendbtn', to);

                assert.deepEqual(got.defects, []);
                assert.equal(got.headers.subject, m.subject);
                assert.equal(got.headers.to, `Bob Example <${to}@example.test>`);
                assert.equal(got.headers.from, `${from}@example.test`);
                assert.match(got.headers['message-id'], /^<.+@example\.test>$/);
                assert.equal(lf(got.text), lf(m.body));
                if (m.html) {
                    assert.deepEqual(got.layout.slice(0, 4),
                        ['multipart/mixed', 'multipart/alternative', 'text/plain', 'text/html']);
                    assert.equal(lf(got.html), m.html);
                } else {
                    assert.equal(got.layout[0], files.length ? 'multipart/mixed' : 'text/plain');
                }
                assert.deepEqual(got.attachments.map((a) => [a.name, a.size, a.sha256]),
                    files.map((f) => [f.name, f.buffer.length, sha(f.buffer)]));
                assert.equal(copies(from), before + 1, 'a copy in the copies folder');

                // Read back through the recipient's own message page.
                await r.login(to, env.LK_PASS2);
                await r.open(m.subject, 'cmd=list&fld=0');
                const shown = await r.text();
                assert.ok(shown.includes(m.subject), shown);
                // An alternative shows its HTML version; a text body shows its lines.
                const visible = m.html ? ['Hello', 'bold', 'Ωμέγα'] : m.body.split('\n').filter((l) => l.trim());
                for (const line of visible) assert.ok(shown.includes(line), `${line} in ${shown}`);
                for (const f of files) assert.ok(shown.includes(f.name), f.name);
                await popDeleteAll(to, env.LK_PASS2);
            });
        }
    }
});
