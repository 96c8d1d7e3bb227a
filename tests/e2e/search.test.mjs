// Searching in Chromium through lighttpd against the real dovecot: a word
// typed into the list page's search field finds its message, the result
// opens, and the browser's Back returns to the same results.  (Charsets,
// encodings, narrowing, paging and escaping are proven by the process
// tests.)
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { env, launch, loadMailbox, noServers, popDeleteAll } from './lib.mjs';

const enc = encodeURIComponent;

describe('search in a browser', { skip: noServers }, () => {
    let rows, b, token;
    const user = env?.LK_USER1, pass = env?.LK_PASS1;
    const url = (q) => `${env.LK_WEB_URL}?${q}&utoken=${enc(token)}`;
    const page = () => b.page;
    const click = (locator) => Promise.all([page().waitForNavigation(), locator.click()]);
    const subjects = async () => (await page().locator('td.subj a').allTextContents()).map((s) => s.trim());

    before(async () => {
        await popDeleteAll(user, pass);
        for (const top of fs.readdirSync(env.LK_WORKAREA)) {
            const dir = path.join(env.LK_WORKAREA, top);
            if (!fs.statSync(dir).isDirectory()) continue;
            for (const d of fs.readdirSync(dir)) {
                if (d.startsWith(`${user}@`)) fs.rmSync(path.join(dir, d), { recursive: true, force: true });
            }
        }
        rows = await loadMailbox(user, pass, '--small', '--count', '8', '--seed', '25');
        b = await launch();
        await page().goto(env.LK_WEB_URL);
        await page().getByLabel('User name').fill(user);
        await page().getByLabel('Password', { exact: true }).fill(pass);
        await click(page().getByRole('button', { name: 'Log in' }));
        const html = await page().content();
        token = /name="utoken" value="([^"]+)"/.exec(html)?.[1] ?? /utoken=([^&"]+)/.exec(html)?.[1];
        assert.ok(token, 'no session after login');
        token = decodeURIComponent(token.replace(/&amp;/g, '&'));
    });
    after(async () => {
        await b?.close();
    });

    test('search from the list, open a result, go back to the results', async () => {
        await page().goto(url('cmd=list&fld=0&page_size=100'));
        const inbox = await subjects();
        assert.equal(inbox.length, rows.length);
        // A word of one subject that no other subject holds.
        const words = (s) => s.toLowerCase().split(/[^a-z0-9]+/).filter((w) => w.length > 3);
        let target, word;
        for (const s of inbox) {
            word = words(s).find((w) => inbox.filter((o) => words(o).includes(w)).length === 1);
            if (word) {
                target = s;
                break;
            }
        }
        assert.ok(word, `no subject with a word of its own among ${inbox.join(' | ')}`);

        await page().locator('#q').fill(word.toUpperCase());
        await click(page().getByRole('button', { name: 'Search', exact: true }));
        assert.match(page().url(), /cmd=search/);
        const found = await subjects();
        assert.ok(found.includes(target), `${word}: ${found.join(' | ')}`);
        assert.equal(await page().locator('#q').inputValue(), word.toUpperCase());

        await click(page().locator('td.subj a', { hasText: target }).first());
        assert.match(page().url(), /cmd=item/);
        assert.ok((await page().textContent('main')).includes(target), 'the message page shows the message found');

        await Promise.all([page().waitForNavigation(), page().goBack()]);
        assert.match(page().url(), /cmd=search/);
        assert.deepEqual(await subjects(), found);
        assert.equal(await page().locator('#q').inputValue(), word.toUpperCase());
    });
});
