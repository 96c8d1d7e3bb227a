// The junk-mail introduction settings and the key ring in Chromium through
// lighttpd against the real servers: the settings saved on the page survive
// a logout and a login; a public key mailed to the user is added to the ring
// from the message, listed, offered on the compose page and deleted.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { deliver, env, freshUser, launch, noServers, popWait, restoreIni, ROOT, setIni } from './lib.mjs';

describe('junk-mail settings and keys in a browser', { skip: noServers }, () => {
    let b;
    const user = env?.LK_USER2, pass = env?.LK_PASS2;
    const page = () => b.page;
    const field = (label) => page().getByLabel(label);
    const offered = () => field('Encrypt for').locator('option').allTextContents();

    before(async () => {
        setIni('fetch_min 0');
        await freshUser(user, pass);
        b = await launch();
        await b.login(user, pass);
    });
    after(async () => {
        restoreIni();
        await b?.close();
    });

    test('introduction settings are saved and survive a new login', async () => {
        const values = [
            ['Friends (one address a line)', 'zoe@example.test\n<b>odd</b>@example.test', '\n'],
            ['Hostiles (one address a line)', 'spam@junk.example', '\n'],
            ['Hold mail from unknown senders for (days)', '9', ''],
            ['The text sent to an unknown sender', 'Hello,\nplease introduce yourself.', '\n'],
        ];
        await b.go('cmd=config');
        await b.click(page().getByRole('link', { name: 'Junk-mail introductions' }));
        for (const [label, value] of values) await field(label).fill(value);
        await b.click(page().getByRole('button', { name: 'Save junk-mail settings' }));
        assert.match(await page().content(), /Kestrel settings saved/);

        await b.go('cmd=logout');
        await b.login(user, pass);
        await b.go('cmd=jconf');
        // Text boxes come back with a line end after the last line.
        for (const [label, value, end] of values) assert.equal(await field(label).inputValue(), value + end, label);
    });

    test('a key mailed to the user is added from the message, listed, offered and deleted', async () => {
        const key = fs.readFileSync(path.join(ROOT, 'tests/data/pgp/alice.asc'), 'utf8');
        await deliver(user, 'My public key', `Hi, here is my key.\n\n${key}`);
        await popWait(user, pass, 1);
        await b.go('cmd=checknew');
        await b.click(page().getByRole('link', { name: 'My public key' }));
        await b.click(page().getByRole('button', { name: 'Add its keys to your key ring' }));

        const rows = page().locator('#keys tbody tr');
        assert.equal(await rows.count(), 1);
        assert.match(await rows.first().innerText(), /RSA 2048[\s\S]*Alice Example <alice@example\.test>/);
        assert.match(await page().content(), /No PGP engine is configured/);
        await b.go('cmd=send');
        assert.deepEqual(await offered(), ['(no encryption)', 'Alice Example <alice@example.test>']);

        await b.go('cmd=keylist');
        await b.click(rows.first().getByRole('button', { name: 'Delete' }));
        assert.equal(await page().locator('#keys').count(), 0);
        assert.match(await page().content(), /Your key ring is empty/);
        await b.go('cmd=send');
        assert.deepEqual(await offered(), ['(no encryption)']);
    });
});
