%%set%%nav%%1%%
%%set%%title%%PGP keys%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
The key ring.  From the key list handler: keylist (ready-made table rows,
one a key: type and size, date, user id, then the hidden key id with the
"Use in Sig" button and the "Delete" button, named cmd_keyuid_N,
cmd_keysig_N and cmd_keydel_N), nkeys, dflt_key (the key in the
signature) and pgp_note (what this installation cannot do).
%%endif%%
<main id="main" tabindex="-1">
<h1>PGP keys</h1>
%%ifdef%%pgp_note%%
<div class="alert info" role="status"><p>%%pgp_note%%</p></div>
%%endif%%
<form method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="must_lock" value="1">
<div class="card">
<h2>Your key ring</h2>
%%ifequal%%nkeys%%0%%
<p>Your key ring is empty. Open a message that carries a public key and choose <em>Add its keys</em>.</p>
%%else%%
<div class="scroll">
<table class="tbl" id="keys">
<thead><tr><th scope="col">Type</th><th scope="col">Created</th><th scope="col">User id</th><th scope="col">Signature</th><th scope="col">Remove</th></tr></thead>
<tbody>
%%keylist%%
</tbody>
</table>
</div>
%%endif%%
%%ifdef%%dflt_key%%
<p>Your signature carries key %%dflt_key%%.</p>
%%endif%%
</div>
<p><button type="submit" name="f_keymake" value="1">Make a key</button>
<a class="btn" href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%">Back to your mail</a></p>
</form>
</main>
%%include%%footer.tpl%%
