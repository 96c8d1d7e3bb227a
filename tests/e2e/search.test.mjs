// Searching in Chromium through lighttpd against the real dovecot: a word
// typed into the list page's search field finds its message, the result
// opens, and the browser's Back returns to the same results.  (Charsets,
// encodings, narrowing, paging and escaping are proven by the process tests.)
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { env, freshUser, launch, loadMailbox, noServers } from './lib.mjs';

test('search from the list, open a result, go back to the results', { skip: noServers }, async (t) => {
    const user = env.LK_USER1, pass = env.LK_PASS1;
    await freshUser(user, pass);
    const rows = await loadMailbox(user, pass, '--small', '--count', '8', '--seed', '25');
    const b = await launch();
    t.after(() => b.close());
    const page = b.page;
    await b.login(user, pass);
    await b.go('cmd=list&fld=0&page_size=100');
    const inbox = await b.subjects();
    assert.equal(inbox.length, rows.length);
    // A word of one subject that no other subject holds.
    const words = (s) => s.toLowerCase().split(/[^a-z0-9]+/).filter((w) => w.length > 3);
    const own = (s) => words(s).find((w) => inbox.filter((o) => words(o).includes(w)).length === 1);
    const target = inbox.find(own);
    assert.ok(target, `no subject with a word of its own among ${inbox.join(' | ')}`);
    const word = own(target).toUpperCase();

    await page.locator('#q').fill(word);
    await b.click(page.getByRole('button', { name: 'Search', exact: true }));
    assert.match(page.url(), /cmd=search/);
    const found = await b.subjects();
    assert.ok(found.includes(target), `${word}: ${found.join(' | ')}`);
    assert.equal(await page.locator('#q').inputValue(), word);

    await b.click(page.locator('td.subj a', { hasText: target }).first());
    assert.match(page.url(), /cmd=item/);
    assert.ok((await b.text()).includes(target), 'the message page shows the message found');

    await Promise.all([page.waitForNavigation(), page.goBack()]);
    assert.match(page.url(), /cmd=search/);
    assert.deepEqual(await b.subjects(), found);
    assert.equal(await page.locator('#q').inputValue(), word);
});
