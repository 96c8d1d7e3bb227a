// The manager page in Chromium through lighttpd: the administrator logs in
// with the run's manager password, sets one profile line for the users
// matching a wildcard, and the matching user's next login shows it (the
// list page's "Per page" choice comes from the profile line page_size).
// A user outside the wildcard keeps the old value.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { env, launch, noServers } from './lib.mjs';

// Logs in (a first login may show the welcome page, with frames or
// without) and reads the "Per page" choice of the list page.
async function loginAndList(b, user, pass) {
    await b.page.goto(env.LK_WEB_URL);
    await b.page.getByLabel('User name').fill(user);
    await b.page.getByLabel('Password', { exact: true }).fill(pass);
    await Promise.all([b.page.waitForNavigation(), b.page.getByRole('button', { name: 'Log in' }).click()]);
    const html = await b.page.content();
    let token = /name="utoken" value="([^"]+)"/.exec(html)?.[1] ?? /utoken=([^&"]+)/.exec(html)?.[1];
    assert.ok(token, `no session after login for ${user}`);
    token = decodeURIComponent(token.replace(/&amp;/g, '&'));
    await b.page.goto(`${env.LK_WEB_URL}?cmd=list&fld=0&utoken=${encodeURIComponent(token)}`);
    return b.page.$eval('#page_size', (s) => s.value);
}

describe('manager page', { skip: noServers || (!env?.LK_MANAGER_PASS && 'no manager password in servers.env') }, () => {
    test('a bulk edit by wildcard reaches the matching user at the next login', async () => {
        const b = await launch();
        try {
            // Both users have a profile before the edit.
            const before1 = await loginAndList(b, env.LK_USER1, env.LK_PASS1);
            await b.close();
            const b2 = await launch();
            const before2 = await loginAndList(b2, env.LK_USER2, env.LK_PASS2);
            await b2.close();
            const want = before1 === '7' ? '11' : '7';

            const m = await launch();
            try {
                await m.page.goto(`${env.LK_WEB_URL}?cmd=manager`);
                await m.page.getByLabel('Manager password').fill(env.LK_MANAGER_PASS);
                await m.page.getByLabel('User names (wildcard)').fill(`${env.LK_USER1}@*`);
                await m.page.getByLabel('Profile line to set').fill('page_size');
                await m.page.getByLabel('Value (empty removes the line)').fill(want);
                await m.page.getByLabel('Add the line where it is missing').check();
                await Promise.all([m.page.waitForLoadState('load'), m.page.locator('#go').click()]);
                assert.equal(await m.page.locator('#nmatches').textContent(), '1');
                assert.match(await m.page.locator('#result').textContent(), /I1: \d+ lines from 1 user\.dat files/);
                assert.deepEqual(m.events.dialogs, []);
            } finally {
                await m.close();
            }

            const a1 = await launch();
            try {
                assert.equal(await loginAndList(a1, env.LK_USER1, env.LK_PASS1), want);
            } finally {
                await a1.close();
            }
            const a2 = await launch();
            try {
                assert.equal(await loginAndList(a2, env.LK_USER2, env.LK_PASS2), before2);
            } finally {
                await a2.close();
            }
        } finally {
            await b.close();
        }
    });
});
