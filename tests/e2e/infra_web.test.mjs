// lighttpd runs the installed program as a CGI, and Chromium can drive it.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import { describe, test } from 'node:test';
import { env, foreignRequests, httpGet, launch, noServers } from './lib.mjs';

describe('web server', { skip: noServers }, () => {
    test('the installed program, its ini file and its work area are in place', () => {
        const bin = `${env.LK_CGI_DIR}/larkspur`;
        assert.match(execFileSync(bin, ['-version']).toString(), /^Version: Larkspur v\S+/);
        const ini = fs.readFileSync(env.LK_INI, 'utf8');
        for (const [key, value] of [['pophost', env.LK_HOST], ['port', env.LK_POP3_PORT],
            ['smtphost', env.LK_HOST], ['workarea', env.LK_WORKAREA], ['templates', env.LK_TEMPLATES],
            ['domain', env.LK_DOMAIN]]) {
            assert.match(ini, new RegExp(`^${key} ${value.replace(/\./g, '\\.')}$`, 'm'), key);
        }
        // The CGI runs as www-data: the work area must be its own.
        const owner = execFileSync('stat', ['-c', '%U', env.LK_WORKAREA]).toString().trim();
        assert.equal(owner, 'www-data');
    });

    test('lighttpd runs the CGI and answers unknown programs with 404', async () => {
        const r = await httpGet(`${env.LK_WEB_URL}?cmd=test`);
        assert.equal(r.status, 200, r.body.slice(0, 300));
        assert.match(r.headers.get('content-type') ?? '', /^text\/(html|vnd\.wap\.wml)/);
        assert.ok(r.body.length > 0);
        // The access log names the request: lighttpd, not a stray server, answered.
        const access = fs.readFileSync(`${env.LK_LOG_DIR}/lighttpd-access.log`, 'utf8');
        assert.match(access, /GET \/cgi-bin\/larkspur\?cmd=test HTTP/);
        const missing = await httpGet(`${env.LK_WEB_BASE}/cgi-bin/no-such-program`);
        assert.equal(missing.status, 404);
    });

    test('Chromium loads the program page and sees nothing foreign', async () => {
        const b = await launch();
        try {
            const res = await b.page.goto(`${env.LK_WEB_URL}?cmd=test`);
            assert.equal(res.status(), 200);
            assert.ok((await b.page.content()).length > 100);
            const file = await b.shot('infra-web-test-page');
            assert.ok(fs.statSync(file).size > 1000);
            assert.deepEqual(b.events.dialogs, []);
            assert.deepEqual(foreignRequests(b.events), []);
        } finally {
            await b.close();
        }
    });
});
