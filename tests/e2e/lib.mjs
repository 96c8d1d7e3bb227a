// Helpers of the browser tests: the servers of this run (servers.env, written
// by scripts/servers.sh start), a headless Chromium that logs a user in and
// records what its page did, the test users' mailboxes and the site's ini file.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import tls from 'node:tls';
import { fileURLToPath } from 'node:url';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const ENV_FILE = path.join(process.env.LARKSPUR_RUN || path.join(ROOT, 'run', 'servers'), 'servers.env');

// The KEY=VALUE lines of servers.env; null when the servers are not up.
export const env = fs.existsSync(ENV_FILE)
    ? Object.fromEntries(fs.readFileSync(ENV_FILE, 'utf8').split('\n')
        .map((l) => /^([A-Za-z_]\w*)=(.*)$/.exec(l.trim())).filter(Boolean).map((m) => [m[1], m[2]]))
    : null;
export const noServers = env ? false : `no ${ENV_FILE}: run scripts/servers.sh start`;

const enc = encodeURIComponent;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// fn's first truthy result, polled every 100 ms (10 s by default).
async function waitFor(fn, what, tries = 100) {
    for (let i = 0; i < tries; i++) {
        const v = await fn();
        if (v) return v;
        await sleep(100);
    }
    throw new Error(`${what}: not in time`);
}

// ---------------------------------------------------------------- browser
let playwright;

// Chromium with a new profile (removed by close()).  events collects console
// messages, page errors, dialogs (dismissed at once, so a hostile alert()
// cannot hang a test) and requests.  login() keeps the session token that
// url() and go() add to an address.
export async function launch({ viewport = { width: 1100, height: 800 } } = {}) {
    playwright ??= await import('playwright-core');
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'lk-chromium-'));
    const context = await playwright.chromium.launchPersistentContext(profile, {
        executablePath: process.env.LK_CHROMIUM || '/usr/bin/chromium',
        headless: true, viewport, locale: 'en-GB',
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
            '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    const page = context.pages()[0] ?? await context.newPage();
    const events = { console: [], errors: [], dialogs: [], requests: [] };
    page.on('console', (m) => events.console.push({ type: m.type(), text: m.text() }));
    page.on('pageerror', (e) => events.errors.push(String(e)));
    page.on('dialog', async (d) => {
        events.dialogs.push({ type: d.type(), message: d.message() });
        await d.dismiss().catch(() => {});
    });
    page.on('request', (r) => events.requests.push(r.url()));
    const b = {
        context, page, events, token: null,
        url: (q) => `${env.LK_WEB_URL}?${q}&utoken=${enc(b.token)}`,
        go: (q) => page.goto(b.url(q)),
        // Clicks and waits for the page that follows.
        click: (locator) => Promise.all([page.waitForNavigation(), locator.click()]),
        text: () => page.locator('main').innerText(),
        subjects: async () => (await page.locator('td.subj a').allTextContents()).map((s) => s.trim()),
        async login(user, pass) {
            await page.goto(env.LK_WEB_URL);
            await page.getByLabel('User name').fill(user);
            await page.getByLabel('Password', { exact: true }).fill(pass);
            await b.click(page.getByRole('button', { name: 'Log in' }));
            const html = await page.content();
            const t = /name="utoken" value="([^"]+)"/.exec(html)?.[1] ?? /utoken=([^&"]+)/.exec(html)?.[1];
            assert.ok(t, `no session for ${user}: ${await page.locator('body').innerText()}`);
            return (b.token = decodeURIComponent(t.replace(/&amp;/g, '&')));
        },
        // Opens the first message on a list page whose subject holds text.
        async open(text, list = 'cmd=list&fld=0&page_size=100') {
            await b.go(list);
            await b.click(page.locator('td.subj a', { hasText: text }).first());
        },
        async close() {
            await context.close().catch(() => {});
            fs.rmSync(profile, { recursive: true, force: true });
        },
    };
    return b;
}

// ---------------------------------------------------------------- sockets
// A line-oriented client for POP3 and SMTP dialogues.
class LineClient {
    // Resolves once sock (net or tls) is connected.
    static open(sock) {
        return new Promise((resolve, reject) => {
            sock.once(sock instanceof tls.TLSSocket ? 'secureConnect' : 'connect', () => resolve(new LineClient(sock)));
            sock.once('error', reject);
        });
    }

    constructor(sock) {
        this.sock = sock;
        this.buf = '';
        this.closed = false;
        this.wake = () => {};
        sock.setEncoding('latin1');
        sock.on('data', (d) => { this.buf += d; this.wake(); });
        for (const ev of ['close', 'error']) sock.on(ev, () => { this.closed = true; this.wake(); });
    }

    // The next line without its CR LF; null when the peer closed.
    async line(timeoutMs = 15000) {
        const deadline = Date.now() + timeoutMs;
        let i;
        while ((i = this.buf.indexOf('\n')) < 0) {
            if (this.closed) return null;
            if (Date.now() > deadline) throw new Error('no line from the server in time');
            await new Promise((r) => { this.wake = r; setTimeout(r, 100); });
        }
        const l = this.buf.slice(0, i).replace(/\r$/, '');
        this.buf = this.buf.slice(i + 1);
        return l;
    }

    // A POP3 multi-line answer after "+OK": the lines up to ".", unstuffed.
    async dotted() {
        const out = [];
        for (let l; (l = await this.line()) !== null && l !== '.';) out.push(l.startsWith('..') ? l.slice(1) : l);
        return out;
    }

    // An SMTP reply: { code, lines }, code 0 when the peer closed.
    async smtpReply() {
        const lines = [];
        for (let l; (l = await this.line()) !== null;) {
            lines.push(l);
            if (l[3] !== '-') return { code: Number(l.slice(0, 3)), lines };
        }
        return { code: 0, lines };
    }

    send(text) { this.sock.write(text + '\r\n', 'latin1'); }

    async cmd(text) { this.send(text); return this.line(); }

    close() { this.sock.destroy(); }
}

const connect = (name) => LineClient.open(net.connect(Number(env[name]), '127.0.0.1'));
export const connectTls = (name) =>
    LineClient.open(tls.connect({ host: '127.0.0.1', port: Number(env[name]), rejectUnauthorized: false }));

// ---------------------------------------------------------------- mailboxes
// Logs in to dovecot's POP3 and gives fn the client and the message count;
// fn's result is returned.  A refused login throws "... refused: -ERR ...".
export async function pop(user, pass, fn = (c, count) => count) {
    const c = await connect('LK_POP3_PORT');
    try {
        await c.line();
        await c.cmd(`USER ${user}`);
        const r = await c.cmd(`PASS ${pass}`);
        if (!r?.startsWith('+OK')) throw new Error(`POP3 login of ${user} refused: ${r}`);
        const out = await fn(c, Number((await c.cmd('STAT')).split(' ')[1]));
        await c.cmd('QUIT');
        return out;
    } finally {
        c.close();
    }
}

// Empties a mailbox; returns how many messages it held.
export const popDeleteAll = (user, pass) => pop(user, pass, async (c, n) => {
    for (let i = 1; i <= n; i++) await c.cmd(`DELE ${i}`);
    return n;
});

// The Subject lines (raw, as sent) of a mailbox's messages.
export const popSubjects = (user, pass) => pop(user, pass, async (c, n) => {
    const out = [];
    for (let k = 1; k <= n; k++) {
        c.send(`TOP ${k} 0`);
        await c.line();
        out.push((await c.dotted()).find((l) => /^subject:/i.test(l))?.slice(8).trim() ?? '');
    }
    return out;
});

// Waits until user's mailbox holds at least n messages.
export const popWait = (user, pass, n, tries) => waitFor(async () => await pop(user, pass) >= n, `mail for ${user}`, tries);

// The user's directories in the work area (one per host logged in to).
export function userDirs(user) {
    return fs.readdirSync(env.LK_WORKAREA, { withFileTypes: true }).filter((e) => e.isDirectory())
        .flatMap((e) => fs.readdirSync(path.join(env.LK_WORKAREA, e.name))
            .filter((d) => d.startsWith(`${user}@`)).map((d) => path.join(env.LK_WORKAREA, e.name, d)));
}

// An empty mailbox and no profile: the user starts afresh.
export async function freshUser(user, pass) {
    await popDeleteAll(user, pass);
    for (const d of userDirs(user)) fs.rmSync(d, { recursive: true, force: true });
}

// Delivers genmail's sample mailbox to user by SMTP and waits until all of it
// arrived.  args: more genmail options ('--small', '--count', '5' ...).
// Returns genmail's listing: [{ n, kind, size, subject }].
export async function loadMailbox(user, pass, ...args) {
    const run = (...a) => execFileSync('/usr/bin/python3',
        [path.join(ROOT, 'scripts', 'genmail.py'), '--env', ENV_FILE, '--to', user, ...a],
        { stdio: ['ignore', 'pipe', 'pipe'], maxBuffer: 64 << 20 }).toString();
    const rows = run('--no-smtp', '--list', ...args).trim().split('\n').map((l) => {
        const [n, kind, size, subject] = l.split('\t');
        return { n: Number(n), kind, size: Number(size), subject };
    });
    const before = await pop(user, pass);
    run(...args);
    await popWait(user, pass, before + rows.length, 600);
    return rows;
}

// One message to a local user through postfix's plain port (no AUTH there).
export async function deliver(to, subject, body, from = 'Alice <alice@example.test>') {
    const c = await connect('LK_SMTP_PORT');
    try {
        assert.equal((await c.smtpReply()).code, 220);
        c.send('EHLO e2e.example.test');
        await c.smtpReply();
        for (const cmd of [`MAIL FROM:<${/<(.*)>/.exec(from)[1]}>`, `RCPT TO:<${to}@${env.LK_DOMAIN}>`, 'DATA']) {
            c.send(cmd);
            const r = await c.smtpReply();
            assert.ok(r.code < 400, `${cmd}: ${r.lines}`);
        }
        const text = body.replace(/\r?\n/g, '\r\n').replace(/^\./gm, '..');
        c.send(`From: ${from}\r\nTo: ${to}@${env.LK_DOMAIN}\r\nSubject: ${subject}\r\n\r\n${text}\r\n.`);
        assert.equal((await c.smtpReply()).code, 250);
        await c.cmd('QUIT');
    } finally {
        c.close();
    }
}

// The files of a test user's dovecot Maildir (new and cur).
export function maildirFiles(user) {
    const base = path.join(env.LK_MAILDIRS, user, 'Maildir');
    return ['new', 'cur'].map((s) => path.join(base, s)).filter((d) => fs.existsSync(d))
        .flatMap((d) => fs.readdirSync(d).map((f) => path.join(d, f)));
}

// The first file that arrived for user and is not in seen; waits up to 10 s.
export const arrived = (user, seen) =>
    waitFor(() => maildirFiles(user).find((f) => !seen.includes(f)), `nothing arrived for ${user}`);

// A delivered message as Python's email package reads it (mailparse.py).
export const parseMail = (file) =>
    JSON.parse(execFileSync('python3', [path.join(ROOT, 'tests/e2e/mailparse.py'), file], { encoding: 'utf8' }));

// Clicks b's send button (a selector), checks the program says the message
// was sent and returns it as it arrived for each of users, parsed.
export async function sendTo(b, button, ...users) {
    const seen = users.map(maildirFiles);
    await b.click(b.page.locator(button));
    assert.match(await b.page.content(), /Your message was sent\./, await b.text());
    return Promise.all(users.map(async (u, i) => parseMail(await arrived(u, seen[i]))));
}

// ---------------------------------------------------------------- ini file
let iniSaved;

// Rewrites the site's ini file: change(original) when change is a function,
// else the original plus the lines change.  restoreIni() puts it back.
export function setIni(change) {
    iniSaved ??= fs.readFileSync(env.LK_INI, 'utf8');
    fs.writeFileSync(env.LK_INI, typeof change === 'function' ? change(iniSaved) : `${iniSaved}\n${change}\n`);
}

export function restoreIni() {
    if (iniSaved !== undefined) fs.writeFileSync(env.LK_INI, iniSaved);
    iniSaved = undefined;
}
