// The login page as a person sees it in Chromium through lighttpd, on a
// desktop-sized window and a phone-sized one: form fields found by their
// labels, the focus order walked with the keyboard, and a failed login's
// error read.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { env, launch, noServers } from './lib.mjs';

const SIZES = [['desktop', { width: 1280, height: 900 }], ['phone', { width: 390, height: 844 }]];

// Runs check(b, size) in a fresh browser of each size, then asserts what
// every page must hold to: nothing fetched from elsewhere, no script, no
// error, no dialog, nothing wider than the window.
async function eachSize(name, check) {
    for (const [size, viewport] of SIZES) {
        const b = await launch({ viewport });
        try {
            await check(b, size);
            const what = `${name} ${size}`;
            const foreign = b.events.requests.filter((u) => !u.startsWith(env.LK_WEB_BASE) && !/^(data|about):/.test(u));
            assert.deepEqual(foreign, [], `${what}: foreign requests`);
            assert.deepEqual(b.events.errors, [], `${what}: page errors`);
            assert.deepEqual(b.events.dialogs, [], `${what}: dialogs`);
            assert.equal(await b.page.locator('script').count(), 0, `${what}: the pages need no script`);
            const [scroll, client] = await b.page.evaluate(() =>
                [document.documentElement.scrollWidth, document.documentElement.clientWidth]);
            assert.ok(scroll <= client, `${what}: ${scroll}px wide in a ${client}px window`);
        } finally {
            await b.close();
        }
    }
}

const heading = (b) => b.page.getByRole('heading', { level: 1, name: 'Log in to your mail' }).isVisible();

test('login page: labelled fields in a sensible focus order', { skip: noServers }, () => eachSize('login', async (b, size) => {
    assert.equal((await b.page.goto(env.LK_WEB_URL)).status(), 200);
    assert.ok(await heading(b));
    const fields = [['User name', 'user'], ['Password', 'pass'], ['Keep me logged in on this computer', 'set_cookie'],
        [/^Split view/, 'frame']];
    for (const [label, name] of fields) {
        const field = b.page.getByLabel(label, { exact: label === 'Password' });
        assert.ok(await field.isVisible(), `${size}: ${name} visible`);
        assert.equal(await field.getAttribute('name'), name);
    }
    assert.equal(await b.page.getByLabel('Keep me logged in on this computer').isChecked(), false);

    // The name field has the focus; Tab walks the form in reading order.
    const focused = () => b.page.evaluate(() => document.activeElement?.name || document.activeElement?.textContent?.trim());
    assert.equal(await focused(), 'user');
    const order = [];
    for (let i = 0; i < 4; i++) {
        await b.page.keyboard.press('Tab');
        order.push(await focused());
    }
    assert.deepEqual(order, ['pass', 'set_cookie', 'frame', 'Log in']);
    // The skip link is the first stop from the top of the page and comes
    // into view when it has the focus.
    const first = await b.page.evaluate(() =>
        document.querySelector('a[href], input:not([type=hidden]), button, select, textarea')?.textContent);
    assert.equal(first, 'Skip to main content');
    const skip = b.page.getByRole('link', { name: 'Skip to main content' });
    await skip.focus();
    const box = await skip.boundingBox();
    assert.ok(box && box.y >= 0 && box.height > 10, `${size}: skip link shown on focus`);
}));

test('a failed login shows the form again: one sentence, the details closed', { skip: noServers }, () => eachSize('error', async (b, size) => {
    await b.page.goto(env.LK_WEB_URL);
    await b.page.getByLabel('User name').fill(`nosuchuser${size}`);
    await b.page.getByLabel('Password', { exact: true }).fill('not-the-password');
    await b.click(b.page.getByRole('button', { name: 'Log in' }));
    assert.ok(await heading(b));
    assert.equal(await b.page.getByLabel('User name').inputValue(), `nosuchuser${size}`);
    const alert = b.page.getByRole('alert');
    assert.ok(await alert.isVisible());
    // The sentence to act on shows; the server's lines wait under "Details".
    assert.equal((await alert.locator('p').first().innerText()).trim(), 'Login failed, try again');
    assert.equal(await alert.locator('details').getAttribute('open'), null);
    assert.ok(!(await alert.getByText(/W20: User login error/).isVisible()));
    await alert.getByText('Details').click();
    assert.ok(await alert.getByText(/W20: User login error/).isVisible());
    assert.doesNotMatch(await b.page.content(), /not-the-password|%%/);
    assert.ok(!(await b.context.cookies()).some((c) => c.name === 'utok' && c.value), 'a session for a failed login');
}));
