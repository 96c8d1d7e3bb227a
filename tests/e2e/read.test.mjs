// Reading the sample mailbox in Chromium through lighttpd against the real
// dovecot, for what only a browser can tell: inline images load, and every
// hostile HTML message shown "as is" runs nothing.  (The list, paging,
// sorting, decoding, downloads and phone decks are proven by the process
// tests.)
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import { env, freshUser, launch, loadMailbox, noServers } from './lib.mjs';

describe('reading mail in a browser', { skip: noServers }, () => {
    let rows, b;

    before(async () => {
        await freshUser(env.LK_USER1, env.LK_PASS1);
        rows = await loadMailbox(env.LK_USER1, env.LK_PASS1, '--small');
        b = await launch();
        await b.login(env.LK_USER1, env.LK_PASS1);
    });
    after(() => b?.close());

    async function open(kind) {
        const r = rows.find((x) => x.kind === kind);
        assert.ok(r, `no ${kind} message in the sample`);
        await b.open(r.subject);
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
            const [dialogs, consoles, requests] = ['dialogs', 'console', 'requests'].map((k) => b.events[k].length);
            await Promise.all([b.page.waitForNavigation(), b.page.evaluate(setView, true)]);
            await b.page.waitForLoadState('load');
            assert.ok((await b.text()).trim().length > 20, 'message text shown');
            assert.equal(b.events.dialogs.length, dialogs, 'a dialog opened');
            assert.equal(b.events.console.length, consoles, 'script wrote to the console');
            assert.deepEqual(b.events.requests.slice(requests).filter((u) => !u.startsWith(env.LK_WEB_BASE)), [],
                'the message made requests');
            await Promise.all([b.page.waitForNavigation(), b.page.evaluate(setView, false)]);
        });
    }
});
