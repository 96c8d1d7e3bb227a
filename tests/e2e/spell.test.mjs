// The spell check in Chromium through lighttpd with the installed word
// list: a message with two misspellings and a word of the writer's own is
// checked; one misspelling takes a suggestion, the other a typed spelling;
// the own word goes into the personal list and is not flagged when the
// message is checked again; the corrected message is sent through postfix
// and arrives in the recipient's dovecot mailbox with exactly that text.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { ROOT, env, launch, noServers, popDeleteAll, arrived, maildirFiles, parseMail } from './lib.mjs';

const enc = encodeURIComponent;



const parse = parseMail;

describe('spell check in the browser', { skip: noServers }, () => {
    const from = env?.LK_USER1, fromPass = env?.LK_PASS1, to = env?.LK_USER2, toPass = env?.LK_PASS2;
    let b, token;

    before(async () => {
        await popDeleteAll(to, toPass);
        b = await launch();
        await b.page.goto(env.LK_WEB_URL);
        await b.page.getByLabel('User name').fill(from);
        await b.page.getByLabel('Password', { exact: true }).fill(fromPass);
        await Promise.all([b.page.waitForNavigation(), b.page.getByRole('button', { name: 'Log in' }).click()]);
        const html = await b.page.content();
        const t = /name="utoken" value="([^"]+)"/.exec(html)?.[1] ?? /utoken=([^&"]+)/.exec(html)?.[1];
        assert.ok(t, 'no session');
        token = decodeURIComponent(t.replace(/&amp;/g, '&'));
    });
    after(async () => {
        await b?.close();
    });

    test('check, take a suggestion, type a spelling, add a word, send', async () => {
        const page = b.page;
        const click = (loc) => Promise.all([page.waitForNavigation(), loc.click()]);
        const own = 'Zorblat' + Array.from({ length: 5 }, () => String.fromCharCode(97 + Math.floor(Math.random() * 26))).join('');
        await page.goto(`${env.LK_WEB_URL}?cmd=new&utoken=${enc(token)}`);
        await page.locator('#to').fill(`Bob <${to}@example.test>`);
        await page.locator('#subject').fill('Spelling <test>');
        await page.locator('#message').fill(`Teh quick brown fox jumpd over the lazy dog.\n${own} drank a café & left.`);
        await click(page.locator('#spellbtn'));
        assert.match(await page.locator('#nwrong').innerText(), /Words not found: 3/);
        const list = page.locator('#spell_list');
        assert.ok((await list.innerText()).includes('café & left.'), await list.innerText());

        // jumpd: the first suggestion is "jumped".
        await click(list.getByRole('link', { name: 'jumpd' }));
        assert.equal(await page.locator('#altword').inputValue(), 'jumped');
        await click(page.locator('#spell_alt'));
        // Teh: no suggestion shares its first two letters with "the"; typed.
        await click(page.locator('#spell_list').getByRole('link', { name: 'Teh' }));
        await page.locator('#spell_value').fill('the');
        await click(page.locator('#spell_set'));
        // The writer's own word goes into the personal list.
        await click(page.locator('#spell_list').getByRole('link', { name: own }));
        await click(page.locator('#spell_add'));
        // Corrected words stay links (they can be changed again); the added one is not.
        assert.match(await page.locator('#nwrong').innerText(), /Words not found: 2/);
        assert.deepEqual(await page.locator('#spell_list a').allInnerTexts(), ['The', 'jumped']);

        await click(page.locator('#spell_done'));
        const body = `The quick brown fox jumped over the lazy dog.\n${own} drank a café & left.`;
        assert.equal((await page.locator('#message').inputValue()).replace(/\r\n/g, '\n').trimEnd(), body);
        assert.equal(await page.locator('#subject').inputValue(), 'Spelling <test>');

        // Checked again: nothing is flagged, the added word included.
        await click(page.locator('#spellbtn'));
        assert.match(await page.locator('#nwrong').innerText(), /Words not found: 0/);
        await click(page.locator('#spell_done'));

        const seen = maildirFiles(to);
        await click(page.locator('#sendbtn'));
        assert.match(await page.content(), /Your message was sent\./);
        const got = parse(await arrived(to, seen));
        assert.deepEqual(got.defects, []);
        assert.equal(got.headers.subject, 'Spelling <test>');
        assert.equal(got.text.replace(/\r\n/g, '\n').trimEnd(), body);
        await popDeleteAll(to, toPass);
    });
});
