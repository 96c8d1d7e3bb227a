// Folders in Chromium through lighttpd against the real dovecot, with mail
// kept on the server: three messages selected on the list move to a new
// folder (and leave dovecot), one deleted there lands in the trash, the
// trash is emptied, the folder renamed and deleted; a message deleted from
// the inbox is gone from dovecot; the phone folder deck is well-formed.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { env, launch, loadMailbox, noServers, popDeleteAll, popSubjects } from './lib.mjs';

const enc = encodeURIComponent;
const INI = env ? path.join(path.dirname(env.LK_WORKAREA), 'cgi-bin', 'larkspur.ini') : '';

describe('folders in a browser', { skip: noServers }, () => {
    let b, token, iniText, rows;
    const user = env?.LK_USER2, pass = env?.LK_PASS2;
    const url = (q) => `${env.LK_WEB_URL}?${q}&utoken=${enc(token)}`;
    const page = () => b.page;
    const subjects = () => page().locator('td.subj a').allTextContents();
    const click = (locator) => Promise.all([page().waitForNavigation(), locator.click()]);

    before(async () => {
        // New profiles of this run keep mail on the server, so moves and
        // deletes must delete it there.
        iniText = fs.readFileSync(INI, 'utf8');
        fs.writeFileSync(INI, iniText + 'pop_delete_default false\n');
        await popDeleteAll(user, pass);
        for (const top of fs.readdirSync(env.LK_WORKAREA)) {
            const dir = path.join(env.LK_WORKAREA, top);
            if (!fs.statSync(dir).isDirectory()) continue;
            for (const d of fs.readdirSync(dir)) {
                if (d.startsWith(`${user}@`)) fs.rmSync(path.join(dir, d), { recursive: true, force: true });
            }
        }
        rows = await loadMailbox(user, pass, '--small', '--count', '8', '--seed', '5');
        b = await launch();
        await page().goto(env.LK_WEB_URL);
        await page().getByLabel('User name').fill(user);
        await page().getByLabel('Password', { exact: true }).fill(pass);
        await click(page().getByRole('button', { name: 'Log in' }));
        const html = await page().content();
        token = /name="utoken" value="([^"]+)"/.exec(html)?.[1];
        assert.ok(token, 'no session after login');
        token = decodeURIComponent(token.replace(/&amp;/g, '&'));
    });
    after(async () => {
        if (iniText !== undefined) fs.writeFileSync(INI, iniText);
        await b?.close();
    });

    test('move three, delete one into the trash, empty it, rename and delete the folder', async () => {
        await page().goto(url('cmd=list&fld=0&page_size=100'));
        const inbox = (await subjects()).map((s) => s.trim());
        assert.equal(inbox.length, rows.length);
        const chosen = inbox.slice(0, 3);

        await page().goto(url('cmd=fld_manage'));
        await page().getByLabel('Name').fill('Trip <b>&amp;</b>');
        await click(page().getByRole('button', { name: 'Create folder' }));
        const link = page().getByRole('link', { name: 'Trip <b>&amp;</b>' });
        assert.equal(await link.count(), 1, 'new folder listed with its name as text');
        const fld = /fld=(\d+)/.exec(await link.getAttribute('href'))[1];

        await page().goto(url('cmd=list&fld=0&page_size=100'));
        for (const s of chosen) {
            await page().locator('tr', { has: page().locator('td.subj a', { hasText: s }) })
                .locator('td.sel input[type=checkbox]').first().check();
        }
        await page().locator('#movefld').selectOption(fld);
        await click(page().getByRole('button', { name: 'Move', exact: true }));
        const left = (await subjects()).map((s) => s.trim());
        for (const s of chosen) assert.ok(!left.includes(s), `${s} still in the inbox`);
        assert.equal(left.length, inbox.length - 3);
        const onServer = await popSubjects(user, pass);
        assert.equal(onServer.length, inbox.length - 3, 'moved messages deleted on the server');

        await page().goto(url(`cmd=list&fld=${fld}&page_size=100`));
        assert.deepEqual((await subjects()).map((s) => s.trim()).sort(), [...chosen].sort());
        await click(page().locator('td.subj a', { hasText: chosen[0] }).first());
        await click(page().getByRole('button', { name: 'Delete', exact: true }).first());
        await page().goto(url('cmd=list_waste&page_size=100'));
        assert.deepEqual((await subjects()).map((s) => s.trim()), [chosen[0]]);

        await page().goto(url('cmd=fld_manage'));
        await click(page().getByRole('button', { name: 'Empty the trash' }));
        assert.match(await page().locator('main').innerText(), /Your trash has been emptied/);
        await page().goto(url('cmd=list_waste&page_size=100'));
        assert.equal((await subjects()).length, 0);

        await page().goto(url('cmd=fld_manage'));
        await page().locator(`input[name="f_name${fld}"]`).fill('Renamed');
        await click(page().locator(`input[name="fld_rename${fld}"]`));
        assert.equal(await page().getByRole('link', { name: 'Renamed' }).count(), 1);

        // A folder with messages is not deleted; emptied, it is.
        const del = page().locator(`a[href*="cmd=fld_delete"][href*="dstfld=${fld}&"]`);
        await click(del);
        assert.match(await page().locator('main').innerText(), /contains 2 items/);
        await page().goto(url(`cmd=list&fld=${fld}&page_size=100`));
        for (const box of await page().locator('td.sel input[type=checkbox]').all()) await box.check();
        await click(page().getByRole('button', { name: 'Delete', exact: true }));
        await page().goto(url('cmd=fld_manage'));
        await click(page().locator(`a[href*="cmd=fld_delete"][href*="dstfld=${fld}&"]`));
        assert.equal(await page().getByRole('link', { name: 'Renamed' }).count(), 0);
    });

    test('a message deleted from the inbox is gone from dovecot', async () => {
        await page().goto(url('cmd=list&fld=0&page_size=100'));
        const before = (await subjects()).map((s) => s.trim());
        const victim = before[0];
        const serverBefore = await popSubjects(user, pass);
        await click(page().locator('td.subj a', { hasText: victim }).first());
        await click(page().getByRole('button', { name: 'Delete', exact: true }).first());
        const serverAfter = await popSubjects(user, pass);
        assert.equal(serverAfter.length, serverBefore.length - 1);
        await page().goto(url('cmd=list&fld=0&page_size=100&checknew=1'));
        assert.ok(!(await subjects()).map((s) => s.trim()).includes(victim), 'the mail check brought it back');
        await page().goto(url('cmd=list_waste&page_size=100'));
        assert.ok((await subjects()).map((s) => s.trim()).includes(victim), 'not in the trash');
    });

    test('the phone folder deck is well-formed', async () => {
        fs.writeFileSync(INI, iniText + 'pop_delete_default false\nwml true\n');
        try {
            // Through the browser's context: the session cookie goes along.
            const r = await b.context.request.get(url('cmd=fld_manage'));
            const res = { body: await r.text() };
            assert.match(r.headers()['content-type'] ?? '', /wml/);
            const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'lk-deck-')), 'folders.wml');
            fs.writeFileSync(file, res.body);
            execFileSync('xmllint', ['--noout', file]);
            assert.match(res.body, /Trash Can/);
            fs.rmSync(path.dirname(file), { recursive: true, force: true });
        } finally {
            fs.writeFileSync(INI, iniText + 'pop_delete_default false\n');
        }
    });
});
