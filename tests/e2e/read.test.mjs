// Reading the sample mailbox in Chromium through lighttpd against the real
// dovecot, for what only a browser can tell: inline images load, and every
// hostile HTML message shown "as is" runs nothing.  (The list, paging,
// sorting, decoding, downloads and phone decks are proven by the process
// tests.)
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { env, launch, loadMailbox, noServers, popDeleteAll } from './lib.mjs';

const enc = encodeURIComponent;

describe('reading mail in a browser', { skip: noServers }, () => {
    let rows, b, token;
    const user = env?.LK_USER1, pass = env?.LK_PASS1;
    const url = (q) => `${env.LK_WEB_URL}?${q}&utoken=${enc(token)}`;
    const row = (kind) => rows.find((r) => r.kind === kind);

    before(async () => {
        await popDeleteAll(user, pass);
        // A fresh work area for the user: the list then holds exactly this mailbox.
        for (const top of fs.readdirSync(env.LK_WORKAREA)) {
            const dir = path.join(env.LK_WORKAREA, top);
            if (!fs.statSync(dir).isDirectory()) continue;
            for (const d of fs.readdirSync(dir)) {
                if (d.startsWith(`${user}@`)) fs.rmSync(path.join(dir, d), { recursive: true, force: true });
            }
        }
        rows = await loadMailbox(user, pass, '--small');
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
    });

    async function open(kind) {
        await b.page.goto(url('cmd=list&fld=0&page_size=100'));
        const r = row(kind);
        assert.ok(r, `no ${kind} message in the sample`);
        const link = b.page.locator('td.subj a', { hasText: r.subject }).first();
        await Promise.all([b.page.waitForNavigation(), link.click()]);
        return b.page.locator('main').innerText();
    }

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
