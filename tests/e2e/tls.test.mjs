// Login, list and read in Chromium through lighttpd against the real
// dovecot over POP3S, the program trusting the test CA of servers.sh.  The
// site's ini file points at the POP3S port for this file's tests and is put
// back afterwards.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { env, launch, loadMailbox, noServers, popDeleteAll } from './lib.mjs';

describe('reading mail over POP3S in a browser', { skip: noServers }, () => {
    let b, rows, saved, logStart;
    const user = env?.LK_USER2, pass = env?.LK_PASS2;

    before(async () => {
        saved = fs.readFileSync(env.LK_INI, 'utf8');
        const ini = saved.split('\n').filter((l) => !/^(port|pop_tls|pop_tls_ports) /.test(l));
        ini.push(`port ${env.LK_POP3S_PORT}`, `pop_tls_ports ${env.LK_POP3S_PORT}`, 'pop_tls required');
        fs.writeFileSync(env.LK_INI, ini.join('\n') + '\n');
        for (const top of fs.readdirSync(env.LK_WORKAREA)) {
            const dir = path.join(env.LK_WORKAREA, top);
            if (!fs.statSync(dir).isDirectory()) continue;
            for (const d of fs.readdirSync(dir)) {
                if (d.startsWith(`${user}@`)) fs.rmSync(path.join(dir, d), { recursive: true, force: true });
            }
        }
        await popDeleteAll(user, pass);
        rows = await loadMailbox(user, pass, '--small', '--count', '5', '--seed', '11');
        logStart = fs.statSync(env.LK_CGI_LOG).size;
        b = await launch();
    });
    after(async () => {
        await b?.close();
        if (saved !== undefined) fs.writeFileSync(env.LK_INI, saved);
        await popDeleteAll(user, pass);
    });

    test('login, list and a message over POP3S', async () => {
        await b.page.goto(env.LK_WEB_URL);
        await b.page.getByLabel('User name').fill(user);
        await b.page.getByLabel('Password', { exact: true }).fill(pass);
        await Promise.all([b.page.waitForNavigation(), b.page.getByRole('button', { name: 'Log in' }).click()]);
        const html = await b.page.content();
        const m = /utoken=([^&"]+)/.exec(html) ?? /name="utoken" value="([^"]+)"/.exec(html);
        assert.ok(m, `no session after login: ${await b.page.locator('body').innerText()}`);
        const token = decodeURIComponent(m[1].replace(/&amp;/g, '&'));

        await b.page.goto(`${env.LK_WEB_URL}?cmd=list&fld=0&page_size=100&utoken=${encodeURIComponent(token)}`);
        const subjects = (await b.page.locator('td.subj a').allTextContents()).map((s) => s.trim());
        assert.equal(subjects.length, rows.length, subjects.join('|'));
        const plain = rows.find((r) => /^[\x20-\x7e]+$/.test(r.subject) && !r.subject.includes('=?'));
        assert.ok(plain && subjects.includes(plain.subject), `row for ${plain?.subject}`);
        const link = b.page.locator('td.subj a', { hasText: plain.subject }).first();
        await Promise.all([b.page.waitForNavigation(), link.click()]);
        assert.ok((await b.page.locator('main').innerText()).trim().length > 20, 'message text shown');

        // Every connection of these requests was TLS to the POP3S port.
        const log = fs.readFileSync(env.LK_CGI_LOG, 'utf8').slice(logStart);
        assert.match(log, new RegExp(`Open socket to 127\\.0\\.0\\.1:${env.LK_POP3S_PORT}`));
        assert.match(log, /TLS to POP server 127\.0\.0\.1: TLSv1\.[23]/);
        assert.doesNotMatch(log, /TLS to POP server .* failed/);
    });
});
