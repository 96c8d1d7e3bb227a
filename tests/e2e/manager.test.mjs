// The manager page in Chromium through lighttpd: the administrator sets the
// profile line page_size for the users matching a wildcard; the matching
// user's next login shows it as the list's "Per page" choice, and a user
// outside the wildcard keeps the old value.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { env, launch, noServers } from './lib.mjs';

// The "Per page" choice user sees on the list page after a new login.
async function perPage(user, pass) {
    const b = await launch();
    try {
        await b.login(user, pass);
        await b.go('cmd=list&fld=0');
        return await b.page.$eval('#page_size', (s) => s.value);
    } finally {
        await b.close();
    }
}

test('a bulk edit by wildcard reaches the matching user at the next login',
    { skip: noServers || (!env?.LK_MANAGER_PASS && 'no manager password in servers.env') }, async () => {
        const before1 = await perPage(env.LK_USER1, env.LK_PASS1);
        const before2 = await perPage(env.LK_USER2, env.LK_PASS2);
        const want = before1 === '7' ? '11' : '7';

        const m = await launch();
        try {
            await m.page.goto(`${env.LK_WEB_URL}?cmd=manager`);
            await m.page.getByLabel('Manager password').fill(env.LK_MANAGER_PASS);
            await m.page.getByLabel('User names (wildcard)').fill(`${env.LK_USER1}@*`);
            await m.page.getByLabel('Profile line to set').fill('page_size');
            await m.page.getByLabel('Value (empty removes the line)').fill(want);
            await m.page.getByLabel('Add the line where it is missing').check();
            await m.click(m.page.locator('#go'));
            assert.equal(await m.page.locator('#nmatches').textContent(), '1');
            assert.match(await m.page.locator('#result').textContent(), /I1: \d+ lines from 1 user\.dat files/);
            assert.deepEqual(m.events.dialogs, []);
        } finally {
            await m.close();
        }
        assert.equal(await perPage(env.LK_USER1, env.LK_PASS1), want);
        assert.equal(await perPage(env.LK_USER2, env.LK_PASS2), before2);
    });
