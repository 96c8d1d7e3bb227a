// The servers end to end (each one alone is checked by `servers.sh status`):
// the sample mailbox goes in by SMTP, through postfix and LMTP, and comes out
// of POP3 whole, with unique UIDLs.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import { test } from 'node:test';
import { env, loadMailbox, noServers, pop, popDeleteAll, popSubjects } from './lib.mjs';

test('mail delivered by SMTP is all in the POP3 mailbox', { skip: noServers }, async () => {
    const user = env.LK_APOP_USER, pass = env.LK_APOP_PASS;
    await popDeleteAll(user, pass);
    const rows = await loadMailbox(user, pass, '--seed', String(1000 + crypto.randomInt(1000)), '--small');
    // The queue hands messages to LMTP in no guaranteed order.
    assert.deepEqual((await popSubjects(user, pass)).sort(), rows.map((r) => r.subject).sort());
    const uidls = await pop(user, pass, async (c) => {
        assert.match(await c.cmd('UIDL'), /^\+OK/);
        return (await c.dotted()).map((l) => l.split(' ')[1]);
    });
    assert.equal(new Set(uidls).size, rows.length, 'one unique UIDL per message');
    assert.equal(await popDeleteAll(user, pass), rows.length);
});
