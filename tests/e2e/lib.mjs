// Shared helpers of the end-to-end tests: the servers of this run (from
// servers.env), a headless Chromium with a fresh profile, and listeners that
// collect what a page did (console messages, dialogs, requests) so tests can
// assert that nothing unexpected happened.
//
//   import { env, launch, loginUrl } from './lib.mjs';
//   const b = await launch();            // { context, page, events, close() }
//   await b.page.goto(env.LK_WEB_URL + '?cmd=test');
//   await b.shot('test-page');           // PNG under $LK_SHOTS or run/shots
//   assert.deepEqual(b.events.dialogs, []);
//   await b.close();
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const RUN = process.env.LARKSPUR_RUN || path.join(ROOT, 'run', 'servers');
export const ENV_FILE = path.join(RUN, 'servers.env');
export const CHROMIUM = process.env.LK_CHROMIUM || '/usr/bin/chromium';

// KEY=VALUE lines; '#' comments and blank lines skipped; no quoting.
export function readEnvFile(file = ENV_FILE) {
    const out = {};
    for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
        const m = /^([A-Za-z_][A-Za-z0-9_]*)=(.*)$/.exec(line.trim());
        if (m) out[m[1]] = m[2];
    }
    return out;
}

// The servers of this run, or null when servers.sh start has not run.
export const env = fs.existsSync(ENV_FILE) ? readEnvFile() : null;

// For node:test's { skip }: a reason when the servers are not up.
export const noServers = env ? false : `no ${ENV_FILE}: run scripts/servers.sh start`;

export const port = (name) => Number(env[name]);

export const CHROMIUM_ARGS = [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

let playwright;
async function chromium() {
    playwright ??= await import('playwright-core');
    return playwright.chromium;
}

// Starts Chromium with a new profile directory (removed by close()).
// Options: viewport, userAgent (e.g. a phone's), javaScriptEnabled, locale.
export async function launch(opts = {}) {
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'lk-chromium-'));
    const context = await (await chromium()).launchPersistentContext(profile, {
        executablePath: CHROMIUM,
        headless: true,
        args: CHROMIUM_ARGS,
        viewport: opts.viewport ?? { width: 1100, height: 800 },
        userAgent: opts.userAgent,
        javaScriptEnabled: opts.javaScriptEnabled ?? true,
        locale: opts.locale ?? 'en-GB',
    });
    const page = context.pages()[0] ?? await context.newPage();
    const events = watch(page);
    return {
        context,
        page,
        events,
        shot: (name, o) => screenshot(page, name, o),
        async close() {
            await context.close().catch(() => {});
            fs.rmSync(profile, { recursive: true, force: true });
        },
    };
}

// Collects console messages, page errors, dialogs (dismissed at once, so a
// hostile alert() cannot hang a test), requests and failed requests.
export function watch(page) {
    const events = { console: [], errors: [], dialogs: [], requests: [], failed: [] };
    page.on('console', (m) => events.console.push({ type: m.type(), text: m.text() }));
    page.on('pageerror', (e) => events.errors.push(String(e)));
    page.on('dialog', async (d) => {
        events.dialogs.push({ type: d.type(), message: d.message() });
        await d.dismiss().catch(() => {});
    });
    page.on('request', (r) => events.requests.push({ method: r.method(), url: r.url() }));
    page.on('requestfailed', (r) => events.failed.push({ url: r.url(), error: r.failure()?.errorText }));
    return events;
}

// Requests that left the test web server (remote images, trackers ...).
export function foreignRequests(events, base = env?.LK_WEB_BASE) {
    return events.requests.filter((r) => !r.url.startsWith(base) && !r.url.startsWith('data:')
        && !r.url.startsWith('about:'));
}

export const SHOTS = process.env.LK_SHOTS || path.join(ROOT, 'run', 'shots');

export async function screenshot(page, name, opts = {}) {
    fs.mkdirSync(SHOTS, { recursive: true });
    const file = path.join(SHOTS, `${name.replace(/[^A-Za-z0-9._-]/g, '_')}.png`);
    await page.screenshot({ path: file, fullPage: opts.fullPage ?? true });
    return file;
}

// A plain HTTP GET of the CGI (no browser): { status, headers, body }.
export async function httpGet(url) {
    const res = await fetch(url, { redirect: 'manual' });
    return { status: res.status, headers: res.headers, body: await res.text() };
}

// ---------------------------------------------------------------- sockets
// A line-oriented client for POP3, SMTP and poppassd dialogues in tests.
export class LineClient {
    static connect(portNumber, host = '127.0.0.1', socketFactory = null) {
        return new Promise((resolve, reject) => {
            const sock = socketFactory ? socketFactory() : net.connect(portNumber, host);
            const c = new LineClient(sock);
            const ev = socketFactory ? 'secureConnect' : 'connect';
            sock.once(ev, () => resolve(c));
            sock.once('error', reject);
        });
    }

    constructor(sock) {
        this.sock = sock;
        this.buf = '';
        this.waiters = [];
        this.closed = false;
        sock.setEncoding('latin1');
        sock.on('data', (d) => { this.buf += d; this.wake(); });
        sock.on('close', () => { this.closed = true; this.wake(); });
        sock.on('error', () => { this.closed = true; this.wake(); });
    }

    wake() {
        const w = this.waiters;
        this.waiters = [];
        for (const f of w) f();
    }

    // The next line without its CR LF; null when the peer closed.
    async line(timeoutMs = 15000) {
        const deadline = Date.now() + timeoutMs;
        for (;;) {
            const i = this.buf.indexOf('\n');
            if (i >= 0) {
                const l = this.buf.slice(0, i).replace(/\r$/, '');
                this.buf = this.buf.slice(i + 1);
                return l;
            }
            if (this.closed) return null;
            const left = deadline - Date.now();
            if (left <= 0) throw new Error('no line from the server in time');
            await new Promise((r) => {
                const t = setTimeout(r, left);
                this.waiters.push(() => { clearTimeout(t); r(); });
            });
        }
    }

    // A POP3 multi-line answer after "+OK": the lines up to ".", unstuffed.
    async dotted() {
        const out = [];
        for (;;) {
            const l = await this.line();
            if (l === null || l === '.') return out;
            out.push(l.startsWith('..') ? l.slice(1) : l);
        }
    }

    // An SMTP reply: its lines up to the one with a blank after the code.
    async smtpReply() {
        const lines = [];
        for (;;) {
            const l = await this.line();
            if (l === null) return { code: 0, lines };
            lines.push(l);
            if (l[3] !== '-') return { code: Number(l.slice(0, 3)), lines };
        }
    }

    send(text) { this.sock.write(text + '\r\n', 'latin1'); }

    async cmd(text) { this.send(text); return this.line(); }

    close() { this.sock.destroy(); }
}

// ---------------------------------------------------------------- mailboxes
async function popLogin(user, pass) {
    const c = await LineClient.connect(port('LK_POP3_PORT'));
    await c.line();
    await c.cmd(`USER ${user}`);
    const r = await c.cmd(`PASS ${pass}`);
    if (!r?.startsWith('+OK')) {
        c.close();
        throw new Error(`POP3 login of ${user} failed: ${r}`);
    }
    return c;
}

// { count, size } of a mailbox.
export async function popStat(user, pass) {
    const c = await popLogin(user, pass);
    const [, count, size] = (await c.cmd('STAT')).split(' ');
    await c.cmd('QUIT');
    c.close();
    return { count: Number(count), size: Number(size) };
}

// Empties a mailbox (so a test starts from a known state).
export async function popDeleteAll(user, pass) {
    const c = await popLogin(user, pass);
    const n = Number((await c.cmd('STAT')).split(' ')[1]);
    for (let i = 1; i <= n; i++) await c.cmd(`DELE ${i}`);
    await c.cmd('QUIT');
    c.close();
    return n;
}

// The Subject lines (raw, as sent) of messages first..last of a mailbox.
export async function popSubjects(user, pass, first = 1) {
    const c = await popLogin(user, pass);
    const n = Number((await c.cmd('STAT')).split(' ')[1]);
    const out = [];
    for (let k = first; k <= n; k++) {
        c.send(`TOP ${k} 0`);
        await c.line();
        const s = (await c.dotted()).find((l) => /^subject:/i.test(l));
        out.push(s ? s.slice(8).trim() : '');
    }
    await c.cmd('QUIT');
    c.close();
    return out;
}

// Delivers genmail's mailbox to USER by SMTP and waits until it has all
// arrived.  args: more genmail options (e.g. '--small', '--count', '50',
// '--seed', '3').  Returns genmail's listing: [{ n, kind, size, subject }].
export async function loadMailbox(user, pass, ...args) {
    const { execFileSync } = await import('node:child_process');
    const genmail = path.join(ROOT, 'scripts', 'genmail.py');
    const run = (...a) => execFileSync('/usr/bin/python3', [genmail, '--env', ENV_FILE, '--to', user, ...a],
        { stdio: ['ignore', 'pipe', 'pipe'], maxBuffer: 64 << 20 }).toString();
    const rows = run('--no-smtp', '--list', ...args).trim().split('\n').map((l) => {
        const [n, kind, size, subject] = l.split('\t');
        return { n: Number(n), kind, size: Number(size), subject };
    });
    const before = (await popStat(user, pass)).count;
    run(...args);
    for (let i = 0; i < 600; i++) {
        if ((await popStat(user, pass)).count >= before + rows.length) return rows;
        await new Promise((r) => setTimeout(r, 100));
    }
    throw new Error(`mail for ${user} did not arrive`);
}

// The files of a test user's dovecot Maildir (new and cur).
export function maildirFiles(user) {
    const base = path.join(env.LK_MAILDIRS, user, 'Maildir');
    const out = [];
    for (const sub of ['new', 'cur']) {
        const d = path.join(base, sub);
        if (fs.existsSync(d)) for (const f of fs.readdirSync(d)) out.push(path.join(d, f));
    }
    return out;
}

// The first file that arrived for user since seen was taken; waits up to 10 s.
export async function arrived(user, seen) {
    for (let i = 0; i < 100; i++) {
        const fresh = maildirFiles(user).filter((f) => !seen.includes(f));
        if (fresh.length) return fresh[0];
        await new Promise((r) => setTimeout(r, 100));
    }
    throw new Error(`nothing arrived for ${user}`);
}

// A delivered message as Python's email package reads it (mailparse.py).
export const parseMail = (file) =>
    JSON.parse(execFileSync('python3', [path.join(ROOT, 'tests/e2e/mailparse.py'), file], { encoding: 'utf8' }));
