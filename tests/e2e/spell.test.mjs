// The spell check in Chromium through lighttpd with the installed word list:
// a message with two misspellings and a word of the writer's own is checked;
// one misspelling takes a suggestion, the other a typed spelling; the own
// word goes into the personal list and is not flagged when the message is
// checked again; the corrected message is sent through postfix and arrives
// in the recipient's dovecot mailbox with exactly that text.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { env, launch, noServers, popDeleteAll, sendTo } from './lib.mjs';

test('check, take a suggestion, type a spelling, add a word, send', { skip: noServers }, async (t) => {
    const to = env.LK_USER2;
    await popDeleteAll(to, env.LK_PASS2);
    const b = await launch();
    t.after(async () => {
        await b.close();
        await popDeleteAll(to, env.LK_PASS2);
    });
    const page = b.page, list = page.locator('#spell_list');
    const wrong = async () => (await page.locator('#nwrong').innerText()).match(/Words not found: (\d+)/)?.[1];
    const own = 'Zorblat' + Array.from({ length: 5 }, () => String.fromCharCode(97 + Math.floor(Math.random() * 26))).join('');
    await b.login(env.LK_USER1, env.LK_PASS1);
    await b.go('cmd=new');
    await page.locator('#to').fill(`Bob <${to}@example.test>`);
    await page.locator('#subject').fill('Spelling <test>');
    await page.locator('#message').fill(`Teh quick brown fox jumpd over the lazy dog.\n${own} drank a café & left.`);
    await b.click(page.locator('#spellbtn'));
    assert.equal(await wrong(), '3');
    assert.ok((await list.innerText()).includes('café & left.'), await list.innerText());

    // jumpd: the first suggestion is "jumped".
    await b.click(list.getByRole('link', { name: 'jumpd' }));
    assert.equal(await page.locator('#altword').inputValue(), 'jumped');
    await b.click(page.locator('#spell_alt'));
    // Teh: no suggestion shares its first two letters with "the"; typed.
    await b.click(list.getByRole('link', { name: 'Teh' }));
    await page.locator('#spell_value').fill('the');
    await b.click(page.locator('#spell_set'));
    // The writer's own word goes into the personal list.
    await b.click(list.getByRole('link', { name: own }));
    await b.click(page.locator('#spell_add'));
    // Corrected words stay links (they can be changed again); the added one is not.
    assert.equal(await wrong(), '2');
    assert.deepEqual(await list.locator('a').allInnerTexts(), ['The', 'jumped']);

    await b.click(page.locator('#spell_done'));
    const body = `The quick brown fox jumped over the lazy dog.\n${own} drank a café & left.`;
    assert.equal((await page.locator('#message').inputValue()).replace(/\r\n/g, '\n').trimEnd(), body);
    assert.equal(await page.locator('#subject').inputValue(), 'Spelling <test>');

    // Checked again: nothing is flagged, the added word included.
    await b.click(page.locator('#spellbtn'));
    assert.equal(await wrong(), '0');
    await b.click(page.locator('#spell_done'));

    const [got] = await sendTo(b, '#sendbtn', to);
    assert.deepEqual(got.defects, []);
    assert.equal(got.headers.subject, 'Spelling <test>');
    assert.equal(got.text.replace(/\r\n/g, '\n').trimEnd(), body);
});
