// Reading the sample mailbox in Chromium through lighttpd against the real
// dovecot: the list with its senders, subjects and dates, paging and
// sorting, a plain, a quoted-printable and a multipart message (one
// attachment downloaded and compared with what was sent), inline images
// that load, and every hostile HTML message shown "as is" without running
// anything.  (Phone decks need a WML site and are checked by the process
// tests.)
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { env, launch, loadMailbox, noServers, popDeleteAll } from './lib.mjs';

const enc = encodeURIComponent;

// The decoded bytes of the first base64 attachment of an .eml file, with its name.
function firstAttachment(eml) {
    const text = fs.readFileSync(eml, 'latin1');
    const parts = text.split(/\r?\n--/);
    for (const p of parts) {
        if (!/Content-Disposition:\s*attachment/i.test(p) || !/base64/i.test(p)) continue;
        const name = /filename="?([^"\r\n;]+)"?/i.exec(p)?.[1];
        const body = p.split(/\r?\n\r?\n/).slice(1).join('\n');
        return { name, bytes: Buffer.from(body.replace(/[^A-Za-z0-9+/=]/g, ''), 'base64') };
    }
    return null;
}

describe('reading mail in a browser', { skip: noServers }, () => {
    let rows, emlDir, b, token;
    const user = env?.LK_USER1, pass = env?.LK_PASS1;
    const url = (q) => `${env.LK_WEB_URL}?${q}&utoken=${enc(token)}`;
    const row = (kind) => rows.find((r) => r.kind === kind);

    before(async () => {
        emlDir = fs.mkdtempSync(path.join(os.tmpdir(), 'lk-read-'));
        await popDeleteAll(user, pass);
        // A fresh work area for the user: the list then holds exactly this mailbox.
        for (const top of fs.readdirSync(env.LK_WORKAREA)) {
            const dir = path.join(env.LK_WORKAREA, top);
            if (!fs.statSync(dir).isDirectory()) continue;
            for (const d of fs.readdirSync(dir)) {
                if (d.startsWith(`${user}@`)) fs.rmSync(path.join(dir, d), { recursive: true, force: true });
            }
        }
        rows = await loadMailbox(user, pass, '--small', '--eml', emlDir);
        b = await launch();
        await b.page.goto(env.LK_WEB_URL);
        await b.page.getByLabel('User name').fill(user);
        await b.page.getByLabel('Password', { exact: true }).fill(pass);
        await Promise.all([b.page.waitForNavigation(), b.page.getByRole('button', { name: 'Log in' }).click()]);
        const html = await b.page.content();
        token = /name="utoken" value="([^"]+)"/.exec(html)?.[1] ?? /utoken=([^&"]+)/.exec(html)?.[1];
        assert.ok(token, 'no session after login');
        token = decodeURIComponent(token.replace(/&amp;/g, '&'));
    });
    after(async () => {
        await b?.close();
        fs.rmSync(emlDir, { recursive: true, force: true });
    });

    test('the list shows the senders, subjects and dates, pages and sorts', async () => {
        await b.page.goto(url('cmd=list&fld=0&page_size=100'));
        const subjects = await b.page.locator('td.subj a').allTextContents();
        assert.equal(subjects.length, rows.length, 'one row per message');
        for (const r of rows.filter((x) => /^[\x20-\x7e]+$/.test(x.subject) && !x.subject.includes('=?'))) {
            assert.ok(subjects.includes(r.subject), `row for ${r.subject}`);
        }
        const dates = await b.page.locator('td.date').allTextContents();
        assert.ok(dates.every((d) => /\d{1,2} \w{3} \d{4}/.test(d.trim()) || d.trim() === ''), dates.join('|'));
        const froms = await b.page.locator('td.from').allTextContents();
        assert.ok(froms.some((f) => f.trim().length > 0));

        await b.page.goto(url('cmd=list&fld=0&page_size=5'));
        assert.match(await b.page.locator('nav.pager').innerText(), /Page 1 of \d+/);
        await b.page.getByRole('link', { name: 'Next page' }).click();
        assert.match(await b.page.locator('nav.pager').innerText(), /Page 2 of \d+/);

        await b.page.goto(url('cmd=list&fld=0&page_size=100&sort_on=subject%3A'));
        const sorted = (await b.page.locator('td.subj a').allTextContents()).map((s) => s.trim());
        // Subjects sent without encoded words sort by their text, capitals folded.
        const plainSubjects = new Set(rows.filter((r) => r.subject && !r.subject.includes('=?') &&
            /^[\x20-\x7e]+$/.test(r.subject)).map((r) => r.subject));
        const seen = sorted.filter((x) => plainSubjects.has(x)).map((x) => x.toLowerCase());
        assert.ok(seen.length >= 10, `${seen.length} plain subjects`);
        assert.deepEqual(seen, [...seen].sort(), 'not in subject order');
        await b.page.goto(url('cmd=list&fld=0&sort_on=arrival'));
    });

    // Subjects as the list shows them (encoded words decoded).
    const shown = { 'quoted-printable': 'Grüße aus München' };
    async function open(kind) {
        await b.page.goto(url('cmd=list&fld=0&page_size=100'));
        const r = row(kind);
        assert.ok(r, `no ${kind} message in the sample`);
        const link = b.page.locator('td.subj a', { hasText: shown[kind] ?? r.subject }).first();
        await Promise.all([b.page.waitForNavigation(), link.click()]);
        return b.page.locator('main').innerText();
    }

    test('plain, quoted-printable and multipart messages', async () => {
        const plain = await open('plain');
        assert.ok(plain.length > 50);
        const qp = await open('quoted-printable');
        assert.doesNotMatch(qp, /=[0-9A-F]{2}/, 'quoted-printable left undecoded');
        await open('attachments');
        const links = await b.page.locator('a[href*="part="]').evaluateAll((as) => as.map((a) => a.href));
        assert.ok(links.length > 0, 'attachment links');
        const eml = fs.readdirSync(emlDir).find((f) => f.includes('attachments'));
        const want = firstAttachment(path.join(emlDir, eml));
        assert.ok(want, 'attachment in the sample file');
        let matched = false;
        for (const href of links) {
            const res = await b.context.request.get(href);
            assert.equal(res.headers()['x-content-type-options'], 'nosniff');
            assert.match(res.headers()['content-disposition'] ?? '', /^(attachment|inline);/);
            assert.doesNotMatch(res.headers()['content-type'] ?? '', /html|svg|xml/);
            if (Buffer.compare(await res.body(), want.bytes) === 0) matched = true;
        }
        assert.ok(matched, `no download equals ${want.name}`);
    });

    test('inline images load', async () => {
        await open('inline-images');
        const imgs = b.page.locator('main img[src*="part="]');
        assert.ok(await imgs.count() > 0, 'no inline image');
        await b.page.waitForFunction(() => [...document.querySelectorAll('main img[src*="part="]')]
            .every((i) => i.complete), null, { timeout: 10000 });
        const widths = await imgs.evaluateAll((is) => is.map((i) => i.naturalWidth));
        assert.ok(widths.every((w) => w > 0), `image did not load: ${widths}`);
    });

    // The view form's "as is" box, submitted as its button would.
    const setView = (on) => {
        const c = document.getElementById('v_asis');
        c.checked = on;
        c.form.requestSubmit(c.form.querySelector('button[name=setview]'));
    };
    for (const kind of ['hostile-html', 'hostile-html-only']) {
        test(`${kind} shown as is runs nothing`, async () => {
            await open(kind);
            const dialogs = b.events.dialogs.length, consoles = b.events.console.length;
            const outside = [];
            b.page.on('request', (req) => {
                if (!req.url().startsWith(env.LK_WEB_BASE)) outside.push(req.url());
            });
            await Promise.all([b.page.waitForNavigation(), b.page.evaluate(setView, true)]);
            await b.page.waitForLoadState('load');
            const text = await b.page.locator('main').innerText();
            assert.ok(text.trim().length > 20, 'message text shown');
            assert.equal(b.events.dialogs.length, dialogs, 'a dialog opened');
            assert.equal(b.events.console.length, consoles, 'script wrote to the console');
            assert.deepEqual(outside, [], 'the message made requests');
            await Promise.all([b.page.waitForNavigation(), b.page.evaluate(setView, false)]);
        });
    }
});
