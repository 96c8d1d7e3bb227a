// Folders in Chromium through lighttpd against the real dovecot, with mail
// kept on the server: three messages selected on the list move to a new
// folder (and leave dovecot), one deleted there lands in the trash, the
// trash is emptied, the folder renamed and deleted; a message deleted from
// the inbox is gone from dovecot; the phone folder deck is well-formed.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { after, before, describe, test } from 'node:test';
import { env, freshUser, launch, loadMailbox, noServers, popSubjects, restoreIni, setIni } from './lib.mjs';

describe('folders in a browser', { skip: noServers }, () => {
    let b, rows;
    const user = env?.LK_USER2, pass = env?.LK_PASS2;
    const list = (fld) => b.go(`cmd=list&fld=${fld}&page_size=100`);

    before(async () => {
        // Mail stays on the server, so moves and deletes must delete it there.
        setIni('pop_delete_default false');
        await freshUser(user, pass);
        rows = await loadMailbox(user, pass, '--small', '--count', '8', '--seed', '5');
        b = await launch();
        await b.login(user, pass);
    });
    after(async () => {
        restoreIni();
        await b?.close();
    });

    test('move three, delete one into the trash, empty it, rename and delete the folder', async () => {
        const page = b.page;
        await list(0);
        const inbox = await b.subjects();
        assert.equal(inbox.length, rows.length);
        const chosen = inbox.slice(0, 3);

        await b.go('cmd=fld_manage');
        await page.getByLabel('Name').fill('Trip <b>&amp;</b>');
        await b.click(page.getByRole('button', { name: 'Create folder' }));
        const link = page.getByRole('link', { name: 'Trip <b>&amp;</b>' });
        assert.equal(await link.count(), 1, 'new folder listed with its name as text');
        const fld = /fld=(\d+)/.exec(await link.getAttribute('href'))[1];

        await list(0);
        for (const s of chosen) {
            await page.locator('tr', { has: page.locator('td.subj a', { hasText: s }) })
                .locator('td.sel input[type=checkbox]').first().check();
        }
        await page.locator('#movefld').selectOption(fld);
        await b.click(page.getByRole('button', { name: 'Move', exact: true }));
        assert.deepEqual(await b.subjects(), inbox.slice(3));
        assert.equal((await popSubjects(user, pass)).length, inbox.length - 3, 'moved messages deleted on the server');

        await list(fld);
        assert.deepEqual((await b.subjects()).sort(), [...chosen].sort());
        await b.open(chosen[0], `cmd=list&fld=${fld}&page_size=100`);
        await b.click(page.getByRole('button', { name: 'Delete', exact: true }).first());
        await b.go('cmd=list_waste&page_size=100');
        assert.deepEqual(await b.subjects(), [chosen[0]]);

        await b.go('cmd=fld_manage');
        await b.click(page.getByRole('button', { name: 'Empty the trash' }));
        assert.match(await b.text(), /Your trash has been emptied/);
        await b.go('cmd=list_waste&page_size=100');
        assert.deepEqual(await b.subjects(), []);

        await b.go('cmd=fld_manage');
        await page.locator(`input[name="f_name${fld}"]`).fill('Renamed');
        await b.click(page.locator(`input[name="fld_rename${fld}"]`));
        assert.equal(await page.getByRole('link', { name: 'Renamed' }).count(), 1);

        // A folder with messages is not deleted; emptied, it is.
        const del = page.locator(`a[href*="cmd=fld_delete"][href*="dstfld=${fld}&"]`);
        await b.click(del);
        assert.match(await b.text(), /contains 2 items/);
        await list(fld);
        for (const box of await page.locator('td.sel input[type=checkbox]').all()) await box.check();
        await b.click(page.getByRole('button', { name: 'Delete', exact: true }));
        await b.go('cmd=fld_manage');
        await b.click(del);
        assert.equal(await page.getByRole('link', { name: 'Renamed' }).count(), 0);
    });

    test('a message deleted from the inbox is gone from dovecot', async () => {
        await list(0);
        const victim = (await b.subjects())[0];
        const onServer = (await popSubjects(user, pass)).length;
        await b.open(victim);
        await b.click(b.page.getByRole('button', { name: 'Delete', exact: true }).first());
        assert.equal((await popSubjects(user, pass)).length, onServer - 1);
        await b.go('cmd=list&fld=0&page_size=100&checknew=1');
        assert.ok(!(await b.subjects()).includes(victim), 'the mail check brought it back');
        await b.go('cmd=list_waste&page_size=100');
        assert.ok((await b.subjects()).includes(victim), 'not in the trash');
    });

    test('the phone folder deck is well-formed', async () => {
        setIni('pop_delete_default false\nwml true');
        try {
            // Through the browser's context: the session cookie goes along.
            const r = await b.context.request.get(b.url('cmd=fld_manage'));
            assert.match(r.headers()['content-type'] ?? '', /wml/);
            const body = await r.text();
            execFileSync('xmllint', ['--noout', '-'], { input: body });
            assert.match(body, /Trash Can/);
        } finally {
            setIni('pop_delete_default false');
        }
    });
});
