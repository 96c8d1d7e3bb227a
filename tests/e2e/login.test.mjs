// A session through lighttpd against the real dovecot: its token works from
// the address it logged in from and not from another (127.0.1.1, which the
// web server passes on as REMOTE_ADDR), and logout ends it.  Cookies, the
// idle timeout, refused logins and hostile input are proven by the process
// tests.
import assert from 'node:assert/strict';
import http from 'node:http';
import { test } from 'node:test';
import { env, noServers } from './lib.mjs';

// One request to the CGI: { cookies, body }.
function request(query, { body, cookie = '', from = '127.0.0.1' } = {}) {
    const url = new URL(env.LK_WEB_URL);
    const headers = { Cookie: cookie };
    if (body) headers['Content-Type'] = 'application/x-www-form-urlencoded';
    return new Promise((resolve, reject) => {
        const req = http.request({
            host: url.hostname, port: url.port, path: `${url.pathname}?${query}`,
            method: body ? 'POST' : 'GET', headers, localAddress: from,
        }, (res) => {
            let data = '';
            res.setEncoding('utf8');
            res.on('data', (c) => { data += c; });
            res.on('end', () => resolve({
                cookies: Object.fromEntries((res.headers['set-cookie'] || []).map((l) => /^([^=]+)=([^;]*)/.exec(l).slice(1))),
                body: data,
            }));
        });
        req.on('error', reject);
        req.end(body);
    });
}

test('a session from login to logout', { skip: noServers }, async () => {
    // As a browser does: the login page first, then the form with its code.
    const tcode = /name="tcode" value="(\d+)"/.exec((await request('')).body)?.[1];
    assert.ok(tcode, 'login page without its code');
    const r = await request('', {
        body: new URLSearchParams({ cmd: 'login', user: env.LK_USER1, pass: env.LK_PASS1, frame: 'on', tcode }).toString(),
    });
    const tok = r.cookies.utok;
    assert.ok(tok?.startsWith(`${env.LK_USER1}@${env.LK_HOST}_`), `token cookie: ${JSON.stringify(r.cookies)}`);
    const check = (from) => request(`cmd=check&utoken=${encodeURIComponent(tok)}`, { cookie: `utokc=${r.cookies.utokc}`, from });
    assert.match((await check('127.0.0.1')).body, /\+OK/);
    assert.match((await check('127.0.1.1')).body, /E45 Already connected from another machine/);
    assert.match((await request(`cmd=logout&utoken=${encodeURIComponent(tok)}`)).body, /You have logged out/);
    assert.match((await check('127.0.0.1')).body, /-ERR/);
});
