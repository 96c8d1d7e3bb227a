// The settings page in Chromium through lighttpd against the real servers:
// a filter rule saved on the page moves matching new mail into a folder at
// fetch time; settings survive a logout and a login; the list's sort and
// page-size controls save; a password changed on the page through the real
// poppassd works for POP3 and SMTP AUTH while the old one is refused, and
// is changed back at the end.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import { connectTls, deliver, env, freshUser, launch, noServers, pop, popWait, restoreIni, setIni } from './lib.mjs';

// Whether dovecot takes the password (a refused login is false, any other failure throws).
const popAccepts = (user, pass) => pop(user, pass).then(() => true, (e) => {
    if (/refused: -ERR/.test(e.message)) return false;
    throw e;
});

async function smtpAuthCode(user, pass) {
    const c = await connectTls('LK_SMTPS_PORT');
    try {
        await c.smtpReply();
        c.send('EHLO e2e.example.test');
        await c.smtpReply();
        c.send('AUTH PLAIN ' + Buffer.from(`\0${user}\0${pass}`).toString('base64'));
        return (await c.smtpReply()).code;
    } finally {
        c.close();
    }
}

describe('settings in a browser', { skip: noServers }, () => {
    let b;
    const user = env?.LK_USER1, pass = env?.LK_PASS1, newPass = 'Chg-' + Date.now().toString(36) + '-Pw9';
    const page = () => b.page;

    async function changePassword(from, to) {
        await b.go('cmd=config');
        await b.click(page().locator('button[name="set_pass0"]'));
        await page().getByLabel('Current password').fill(from);
        await page().getByLabel('New password', { exact: true }).fill(to);
        await page().getByLabel('New password again').fill(to);
        await b.click(page().getByRole('button', { name: 'Change password' }));
        return page().content();
    }

    before(async () => {
        // "checknew" checks again at once only when fetch_min allows it.
        setIni('fetch_min 0');
        await freshUser(user, pass);
        b = await launch();
        await b.login(user, pass);
    });
    after(async () => {
        restoreIni();
        await b?.close();
    });

    test('a rule saved on the page moves new mail at fetch time; settings survive a new login', async () => {
        await b.go('cmd=fld_manage');
        await page().getByLabel('Name').fill('Reports');
        await b.click(page().getByRole('button', { name: 'Create folder' }));

        await b.go('cmd=config');
        await page().getByLabel('Real name').fill('E2E Person');
        await page().getByLabel('Rule 0 looks in').selectOption('Subject');
        await page().getByLabel('Rule 0 text').fill('report 4711');
        await page().getByLabel('Rule 0 action').selectOption('Move');
        await page().getByLabel('Rule 0 folder').selectOption('Reports');
        await b.click(page().getByRole('button', { name: 'Save settings' }));

        await deliver(user, 'Quarterly <b>Report 4711</b>', 'numbers');
        await deliver(user, 'Lunch on Friday', 'soup');
        await popWait(user, pass, 2);
        await b.go('cmd=checknew');
        assert.match(await page().content(), /Moving \(Quarterly &lt;b&gt;Report 4711&lt;\/b&gt;/);
        const inbox = await b.subjects();
        assert.ok(inbox.some((s) => s.includes('Lunch on Friday')), inbox.join('|'));
        assert.ok(!inbox.some((s) => s.includes('4711')), inbox.join('|'));
        await b.go('cmd=fld_manage');
        await b.click(page().getByRole('link', { name: 'Reports' }));
        const moved = await b.subjects();
        assert.ok(moved.some((s) => s.includes('Report 4711')), moved.join('|'));

        await b.go('cmd=logout');
        await b.login(user, pass);
        await b.go('cmd=config');
        assert.equal(await page().getByLabel('Real name').inputValue(), 'E2E Person');
        assert.equal(await page().getByLabel('Rule 0 text').inputValue(), 'report 4711');
        assert.equal(await page().getByLabel('Rule 0 action').inputValue(), 'Move');
    });

    test("the list's sort and page-size controls save", async () => {
        await b.go('cmd=list&fld=0');
        await page().getByLabel('Per page').selectOption('25');
        await page().locator('select[name="sort_on"]').first().selectOption('subject:');
        await b.click(page().getByRole('button', { name: 'Apply' }));
        await b.go('cmd=list&fld=0');
        assert.equal(await page().getByLabel('Per page').inputValue(), '25');
        assert.equal(await page().locator('select[name="sort_on"]').first().inputValue(), 'subject:');
    });

    test('a password changed on the page works for POP3 and SMTP AUTH; the old one is refused', async () => {
        const html = await changePassword(pass, newPass);
        assert.match(html, /Password change succeeded/);
        assert.ok(!html.includes(newPass) && !html.includes(pass), 'a password on the page');
        try {
            assert.equal(await popAccepts(user, newPass), true);
            assert.equal(await popAccepts(user, pass), false);
            assert.equal(await smtpAuthCode(user, newPass), 235);
            assert.equal(await smtpAuthCode(user, pass), 535);
            // The stored password followed: a mail check still logs in.
            await b.go('cmd=checknew');
            assert.doesNotMatch(await page().content(), /Incorrect|role="alert"/);
            // A refused change leaves the stored password alone.
            assert.match(await changePassword('not-the-password', 'Other-Pw-1'), /Change password failed/);
            assert.equal(await popAccepts(user, newPass), true);
        } finally {
            assert.match(await changePassword(newPass, pass), /Password change succeeded/);
        }
        assert.equal(await popAccepts(user, pass), true);
    });
});
