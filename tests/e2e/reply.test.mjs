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
import { after, before, describe, test } from 'node:test';
import { env, freshUser, launch, noServers, popDeleteAll, popSubjects, restoreIni, sendTo, setIni } from './lib.mjs';

const sha = (buf) => crypto.createHash('sha256').update(buf).digest('hex');
const files = (m, ...keys) => m.attachments.map((f) => keys.map((k) => f[k]));
const sorted = (list) => list.split(/\s*,\s*/).sort();

describe('replying and forwarding from the browser', { skip: noServers }, () => {
    const ann = env?.LK_USER1, annPass = env?.LK_PASS1, bob = env?.LK_USER2, bobPass = env?.LK_PASS2;
    const annAt = `${ann}@example.test`, bobAt = `${bob}@example.test`;
    const stamp = Date.now() % 100000;
    const subject = `Picnic ${stamp} café?`;
    const body = 'Shall we meet at the café at noon?\nBring Ωμέγα cake.';
    // Outside domains land in the catch-all mailbox.
    const carol = `carol${stamp}@elsewhere.test`, catchall = env?.LK_CATCHALL_USER;
    const fileSubject = `Map ${stamp}`;
    const map = { name: 'map of the park.bin', mimeType: 'application/octet-stream', buffer: crypto.randomBytes(30000) };
    let a, b, original, withFile;

    // Fills the open compose page of browser x (fields by id) and sends it to users.
    async function compose(x, fields, button, ...users) {
        for (const [id, value] of Object.entries(fields)) await x.page.locator(`#${id}`).fill(value);
        return sendTo(x, button, ...users);
    }
    // Opens the message with this subject in Bob's inbox and follows a link of its page.
    async function answer(name, subj = subject) {
        await b.open(subj);
        await b.click(b.page.getByRole('link', { name, exact: true }));
    }

    before(async () => {
        // Mail stays on the server, so that a delete after forwarding has
        // something to delete there.
        setIni('pop_delete_default false');
        await freshUser(ann, annPass);
        await freshUser(bob, bobPass);
        a = await launch();
        b = await launch();
        await a.login(ann, annPass);
        await a.go('cmd=new');
        [original] = await compose(a, { to: bobAt, cc: carol, subject, message: body }, '#sendbtn', bob);
        await a.go('cmd=new');
        await a.page.locator('#attach').setInputFiles(map);
        [withFile] = await compose(a, { to: bobAt, subject: fileSubject, message: 'The map is attached.' }, '#sendbtn', bob);
        // The login checks the mailbox (a later list may not, within fetch_min).
        await b.login(bob, bobPass);
    });
    after(async () => {
        restoreIni();
        await a?.close();
        await b?.close();
        if (env) {
            await popDeleteAll(ann, annPass);
            await popDeleteAll(bob, bobPass);
        }
    });

    test('a reply quotes the text, keeps the thread and goes to the sender', async () => {
        await answer('Reply');
        assert.match(await b.page.locator('#to').inputValue(), new RegExp(annAt));
        assert.equal(await b.page.locator('#subject').inputValue(), `Re: ${subject}`);
        const quoted = await b.page.locator('#message').inputValue();
        assert.match(quoted, /^>\s?Shall we meet at the café at noon\?$/m, quoted);
        const [got] = await compose(b, { message: `Yes, noon is fine.\n\n${quoted}` }, '#sendbtn', ann);
        assert.deepEqual(got.defects, []);
        assert.equal(got.headers.subject, `Re: ${subject}`);
        assert.equal(got.headers.from, bobAt);
        assert.equal(got.headers['in-reply-to'], original.headers['message-id']);
        assert.ok(got.headers.references.includes(original.headers['message-id']), got.headers.references);
        assert.match(got.text, /^Yes, noon is fine\.$/m);
        assert.match(got.text, /^>\s?Bring Ωμέγα cake\.$/m);
    });

    test('a plain forward resends the message as it came, with Resent headers', async () => {
        await answer('Forward');
        const [got] = await compose(b, { to: annAt }, '#fwdbtn', ann);
        assert.deepEqual(got.defects, []);
        for (const h of ['subject', 'from', 'to']) assert.equal(got.headers[h], original.headers[h], h);
        // The resend is a message of its own: a fresh Message-ID.
        assert.match(got.headers['message-id'], /^<.+@example\.test>$/);
        assert.notEqual(got.headers['message-id'], original.headers['message-id']);
        assert.match(got.headers['resent-from'] ?? '', new RegExp(bobAt));
        assert.match(got.headers['resent-to'] ?? '', new RegExp(annAt));
        assert.equal(got.text.replace(/\r\n/g, '\n').trimEnd(), body);
    });

    test('a reply to all goes to the sender and the other recipients, not to me', async () => {
        await answer('Reply all');
        const to = await b.page.locator('#to').inputValue();
        assert.deepEqual(sorted(to), [annAt, carol].sort(), to);
        const [toAnn, toCarol] = await compose(b, { message: 'Carol, are you coming too?' }, '#sendbtn', ann, catchall);
        for (const got of [toAnn, toCarol]) {
            assert.deepEqual(got.defects, []);
            assert.equal(got.headers.subject, `Re: ${subject}`);
            assert.equal(got.headers.from, bobAt);
            assert.deepEqual(sorted(got.headers.to), [annAt, carol].sort());
            assert.equal(got.headers['in-reply-to'], original.headers['message-id']);
            assert.equal(got.headers['message-id'], toAnn.headers['message-id'], 'one message to both');
        }
        assert.match(toCarol.text, /^Carol, are you coming too\?$/m);
    });

    test('forwarding through the compose page carries the attachment', async () => {
        assert.deepEqual(files(withFile, 'name', 'size', 'sha256'), [[map.name, map.buffer.length, sha(map.buffer)]],
            'the original carries the file');
        await b.open(fileSubject);
        await b.page.getByText('More actions and view options').click();
        await b.click(b.page.getByRole('link', { name: 'Forward with changes' }));
        assert.ok(await b.page.locator('#fwdedit_attachments').isChecked(), 'attachments are offered, checked');
        // (The label lists the file-safe names, blanks left out.)
        assert.match(await b.page.locator('label[for="fwdedit_attachments"]').innerText(), /mapofthepark\.bin/);
        const [got] = await compose(b, { to: annAt, subject: `Fwd: ${fileSubject}`, message: 'Here is the map Ann drew.' },
            '#sendbtn', ann);
        assert.deepEqual(got.defects, []);
        assert.equal(got.headers.subject, `Fwd: ${fileSubject}`);
        assert.equal(got.headers.from, bobAt);
        assert.equal(got.headers.to, annAt);
        assert.equal(got.layout[0], 'multipart/mixed');
        assert.match(got.text, /^Here is the map Ann drew\.$/m);
        const keys = ['name', 'type', 'size', 'sha256'];
        assert.deepEqual(files(got, ...keys), files(withFile, ...keys));
    });

    test('recipients picked from a personal book and from a group book', async () => {
        // Ann publishes a group book; Bob keeps a book of his own and reads Ann's.
        const saveBook = async (x, fields) => {
            await x.go('cmd=pick_edit');
            for (const [id, value] of Object.entries(fields)) await x.page.locator(`#${id}`).fill(value);
            await x.click(x.page.locator('#savebtn'));
            assert.doesNotMatch(await x.page.content(), /role="alert"/, await x.text());
        };
        await saveBook(a, { abook_edit: 'public_walkers', abook: `walkers = ${annAt}, ${carol}\n` });
        await saveBook(b, { abook_edit: 'pals', abook: `Annie = ${annAt}\n`, gaddr_books: `${ann}@${env.LK_HOST}/walkers` });

        const sendPicked = async (label, subj, ...users) => {
            await b.go('cmd=new');
            await b.page.locator('#tolist').selectOption({ label });
            const got = await compose(b, { subject: subj, message: 'Picked from a book.' }, '#sendbtn', ...users);
            for (const m of got) {
                assert.equal(m.headers.subject, subj);
                assert.equal(m.headers.from, bobAt);
            }
            return got;
        };
        const [personal] = await sendPicked('Annie', `Personal ${stamp}`, ann);
        assert.equal(personal.headers.to, annAt);

        // The group entry is offered by name and expanded when sent.
        await b.go('cmd=new');
        const options = await b.page.locator('#tolist option').allInnerTexts();
        assert.ok(options.indexOf('walkers') > options.indexOf('--public--'), options.join('|'));
        for (const m of await sendPicked('walkers', `Group ${stamp}`, ann, catchall)) {
            assert.deepEqual(sorted(m.headers.to), [annAt, carol].sort());
        }
    });

    test('a resend with a note, then deleted from the server', async () => {
        await answer('Forward');
        await b.page.locator('#subject').selectOption('(Fwd: From message)');
        await b.page.locator('#action_senddel').check();
        const before = await popSubjects(bob, bobPass);
        const [got] = await compose(b, { to: annAt, fwd_note: 'Passing this on: see below.' }, '#fwdbtn', ann);
        assert.deepEqual(got.defects, []);
        assert.equal(got.headers.subject, `Fwd: ${subject}`);
        for (const h of ['from', 'to', 'cc']) assert.equal(got.headers[h], original.headers[h], h);
        assert.match(got.headers['resent-from'] ?? '', new RegExp(bobAt));
        assert.match(got.headers['resent-to'] ?? '', new RegExp(annAt));
        const text = got.text.replace(/\r\n/g, '\n');
        assert.match(text, /^Passing this on: see below\.$/m);
        assert.ok(text.indexOf(body) > text.indexOf('Passing this on'), text);

        // Gone from Bob's server mailbox and from his inbox; the other stays.
        // (Subjects as sent: the picnic's is an encoded word, the map's plain.)
        const left = await popSubjects(bob, bobPass);
        assert.equal(left.length, before.length - 1, left.join('|'));
        assert.deepEqual(left.filter((s) => s === fileSubject), [fileSubject]);
        await b.go('cmd=list&fld=0');
        assert.equal(await b.page.getByRole('link', { name: subject }).count(), 0);
        assert.equal(await b.page.getByRole('link', { name: fileSubject }).count(), 1);
    });
});
