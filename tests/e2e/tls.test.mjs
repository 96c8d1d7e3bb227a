// Login, list and read in Chromium through lighttpd against the real dovecot
// over POP3S, the program trusting the test CA of servers.sh.  The ini file
// points at the POP3S port for this file and is put back afterwards.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';
import { env, freshUser, launch, loadMailbox, noServers, popDeleteAll, restoreIni, setIni } from './lib.mjs';

test('login, list and a message over POP3S', { skip: noServers }, async (t) => {
    const user = env.LK_USER2, pass = env.LK_PASS2;
    setIni((ini) => ini.split('\n').filter((l) => !/^(port|pop_tls|pop_tls_ports) /.test(l))
        .concat(`port ${env.LK_POP3S_PORT}`, `pop_tls_ports ${env.LK_POP3S_PORT}`, 'pop_tls required', '').join('\n'));
    const b = await launch();
    t.after(async () => {
        await b.close();
        restoreIni();
        await popDeleteAll(user, pass);
    });
    await freshUser(user, pass);
    const rows = await loadMailbox(user, pass, '--small', '--count', '5', '--seed', '11');
    const logStart = fs.statSync(env.LK_CGI_LOG).size;

    await b.login(user, pass);
    await b.go('cmd=list&fld=0&page_size=100');
    const subjects = await b.subjects();
    assert.equal(subjects.length, rows.length, subjects.join('|'));
    const plain = rows.find((r) => /^[\x20-\x7e]+$/.test(r.subject) && !r.subject.includes('=?'));
    assert.ok(plain && subjects.includes(plain.subject), `row for ${plain?.subject}`);
    await b.open(plain.subject);
    assert.ok((await b.text()).trim().length > 20, 'message text shown');

    // Every connection of these requests was TLS to the POP3S port.
    const log = fs.readFileSync(env.LK_CGI_LOG, 'utf8').slice(logStart);
    assert.match(log, new RegExp(`Open socket to 127\\.0\\.0\\.1:${env.LK_POP3S_PORT}`));
    assert.match(log, /TLS to POP server 127\.0\.0\.1: TLSv1\.[23]/);
    assert.doesNotMatch(log, /TLS to POP server .* failed/);
});
