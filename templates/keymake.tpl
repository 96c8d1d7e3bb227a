%%set%%nav%%1%%
%%set%%title%%Make a PGP key%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Key making.  From the handler: real_name, dflt_reply and pgp_note.  Posts
r_keymake with key_name, key_email, key_type, key_size, key_life (days, 0
for ever) and key_pass.
%%endif%%
<main id="main" tabindex="-1">
<h1>Make a PGP key</h1>
%%ifdef%%pgp_note%%
<div class="alert info" role="status"><p>%%pgp_note%%</p></div>
%%endif%%
<form class="card" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="must_lock" value="1">
<p><label for="key_name">Full name</label>
<input id="key_name" name="key_name" maxlength="200" value="%%real_name%%"></p>
<p><label for="key_email">Mail address</label>
<input id="key_email" name="key_email" maxlength="200" value="%%dflt_reply%%"></p>
<p><label for="key_type">Type</label>
<select id="key_type" name="key_type"><option value="RSA" selected>RSA</option><option value="DSA">DSA</option></select></p>
<p><label for="key_size">Size (bits)</label>
<select id="key_size" name="key_size"><option>2048</option><option selected>3072</option><option>4096</option></select></p>
<p><label for="key_life">Valid for (days, 0 for ever)</label>
<input id="key_life" name="key_life" size="5" value="0"></p>
<p><label for="key_pass">Pass phrase</label>
<input id="key_pass" name="key_pass" type="password" autocomplete="new-password"></p>
<p><button type="submit" class="primary" name="r_keymake" value="1">Make the key</button>
<button type="submit" name="f_keylist" value="1">Back to the key ring</button></p>
</form>
</main>
%%include%%footer.tpl%%
