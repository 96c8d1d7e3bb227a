// Logins through lighttpd against the real dovecot: the cookies and the
// profile a good login leaves, a wrong password, the token on a second
// request, a client from another network, an idle session, logout and a
// replay of the ended session's token.  The client address is chosen by
// connecting from another loopback address (127.0.1.1), which the web
// server passes on as REMOTE_ADDR.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
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

// The profile file of a login name in the work area.
function profilePath(login) {
    const dir = path.join(env.LK_WORKAREA, `u_${login.slice(0, 2)}`, login.replace(/\./g, '_'));
    return path.join(dir, 'user.dat');
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
        const r = await login(user, pass, { set_cookie: 'on' });
        const tok = r.cookies.utok?.value;
        const utokc = r.cookies.utokc?.value;
        assert.ok(tok && tok.startsWith(`${name}_`), `token cookie: ${JSON.stringify(r.headers['set-cookie'])}`);
        for (const c of ['utok', 'utokc', 'lksid', 'lkssig']) {
            assert.match(r.cookies[c].line, /; expires=\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}; HttpOnly; SameSite=Lax$/, c);
        }
        assert.ok(!r.body.includes(pass), 'password on the page');
        const prof = fs.readFileSync(profilePath(name), 'utf8');
        assert.match(prof, /^tcode \d+$/m);
        assert.match(prof, /^last_login [1-9]\d*$/m);
        assert.ok(!prof.includes(pass), 'stored password in clear');
        const log = fs.readFileSync(env.LK_CGI_LOG, 'utf8');
        assert.ok(!log.includes(pass), 'password in the log');

        // The token works for the next request, from the same network only.
        assert.match((await check(tok, utokc)).body, /\+OK/);
        const far = await check(tok, utokc, '127.0.1.1');
        assert.match(far.body, /E45 Already connected from another machine/);

        // Idle for longer than auto_logout_mins (60): timed out.
        const idle = Math.floor(Date.now() / 1000) - 61 * 60;
        fs.writeFileSync(profilePath(name), fs.readFileSync(profilePath(name), 'utf8')
            .replace(/^log_time \d+$/m, `log_time ${idle}`));
        const late = await check(tok, utokc);
        assert.match(late.body, /Login timed out after 61 mins, please login again/);
        assert.match(late.body, /-ERR/);

        // A new session; logout ends it and its token is refused after.
        const again = await login(user, pass);
        const tok2 = again.cookies.utok.value;
        const utokc2 = again.cookies.utokc.value;
        assert.match((await check(tok2, utokc2)).body, /\+OK/);
        const out = await request(`cmd=logout&utoken=${encodeURIComponent(tok2)}`);
        assert.match(out.body, /You have logged out/);
        assert.equal(out.cookies.utok?.value, '');
        assert.match((await check(tok2, utokc2)).body, /-ERR/);
        assert.match(fs.readFileSync(profilePath(name), 'utf8'), /^last_login 0$/m);
    });
});
