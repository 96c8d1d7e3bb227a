// A login through lighttpd against the real dovecot: a wrong password is
// refused, a good one gives a session whose token works from the same
// network and not from another (the client address is chosen by connecting
// from 127.0.1.1, which the web server passes on as REMOTE_ADDR), and logout
// ends it.  Cookies, the profile, the idle timeout and hostile input are
// proven by the process tests.
import assert from 'node:assert/strict';
import http from 'node:http';
import { describe, test } from 'node:test';
import { env, noServers } from './lib.mjs';

// One request to the CGI: { status, headers, cookies, body }.
function request(query, { method = 'GET', body = '', cookie = '', from = '127.0.0.1' } = {}) {
    const url = new URL(env.LK_WEB_URL);
    return new Promise((resolve, reject) => {
        const headers = {};
        if (cookie) headers.Cookie = cookie;
        if (method === 'POST') {
            headers['Content-Type'] = 'application/x-www-form-urlencoded';
            headers['Content-Length'] = Buffer.byteLength(body);
        }
        const req = http.request({
            host: url.hostname, port: url.port, path: url.pathname + (query ? `?${query}` : ''),
            method, headers, localAddress: from,
        }, (res) => {
            let data = '';
            res.setEncoding('utf8');
            res.on('data', (c) => { data += c; });
            res.on('end', () => {
                const cookies = {};
                for (const line of res.headers['set-cookie'] || []) {
                    const m = /^([^=]+)=([^;]*)/.exec(line);
                    if (m) cookies[m[1]] = { value: m[2], line };
                }
                resolve({ status: res.statusCode, headers: res.headers, cookies, body: data });
            });
        });
        req.on('error', reject);
        req.end(body);
    });
}

const form = (o) => new URLSearchParams(o).toString();

// As a browser does: the login page first, then the form with its code.
async function login(user, pass, more = {}) {
    const page = await request('');
    const tcode = /name="tcode" value="(\d+)"/.exec(page.body)?.[1];
    assert.ok(tcode, 'login page without its code');
    return request('', { method: 'POST', body: form({ cmd: 'login', user, pass, frame: 'on', tcode, ...more }) });
}

// The "check" command answers +OK or -ERR after the session check.
function check(token, utokc, from = '127.0.0.1') {
    return request(`cmd=check&utoken=${encodeURIComponent(token)}`, { cookie: `utokc=${utokc}`, from });
}

describe('login through the web server against dovecot', { skip: noServers }, () => {
    const user = env?.LK_USER1;
    const pass = env?.LK_PASS1;
    const name = `${user}@${env?.LK_HOST}`;

    test('a wrong password gets W14 and W20 and no session', async () => {
        const r = await login(user, `${pass}-wrong`);
        assert.match(r.body, /W14: Login failed, try again/);
        assert.match(r.body, /W20: User login error/);
        assert.ok(!r.cookies.utok?.value, 'no token cookie');
        assert.ok(!r.body.includes(`${pass}-wrong`));
    });

    test('a session from login to logout', async () => {
        const r = await login(user, pass);
        const tok = r.cookies.utok?.value;
        const utokc = r.cookies.utokc?.value;
        assert.ok(tok && tok.startsWith(`${name}_`), `token cookie: ${JSON.stringify(r.headers['set-cookie'])}`);
        assert.match((await check(tok, utokc)).body, /\+OK/);
        assert.match((await check(tok, utokc, '127.0.1.1')).body, /E45 Already connected from another machine/);
        const out = await request(`cmd=logout&utoken=${encodeURIComponent(tok)}`);
        assert.match(out.body, /You have logged out/);
        assert.match((await check(tok, utokc)).body, /-ERR/);
    });
});
