// The servers end to end (each one alone is checked by `servers.sh status`):
// the sample mailbox goes in by SMTP, through postfix and LMTP, and comes out
// of POP3 whole, with unique UIDLs.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import { test } from 'node:test';
import { env, LineClient, loadMailbox, noServers, popDeleteAll, popSubjects, port } from './lib.mjs';

test('mail delivered by SMTP is all in the POP3 mailbox', { skip: noServers }, async () => {
    const user = env.LK_APOP_USER, pass = env.LK_APOP_PASS;
    await popDeleteAll(user, pass);
    const rows = await loadMailbox(user, pass, '--seed', String(1000 + crypto.randomInt(1000)), '--small');
    // The queue hands messages to LMTP in no guaranteed order.
    const sorted = (a) => [...a].sort();
    assert.deepEqual(sorted(await popSubjects(user, pass)), sorted(rows.map((r) => r.subject)));
    const c = await LineClient.connect(port('LK_POP3_PORT'));
    try {
        await c.line();
        await c.cmd(`USER ${user}`);
        await c.cmd(`PASS ${pass}`);
        c.send('UIDL');
        assert.match(await c.line(), /^\+OK/);
        const uidls = (await c.dotted()).map((l) => l.split(' ')[1]);
        assert.equal(new Set(uidls).size, rows.length, 'one unique UIDL per message');
    } finally {
        c.close();
    }
    assert.equal(await popDeleteAll(user, pass), rows.length);
});
