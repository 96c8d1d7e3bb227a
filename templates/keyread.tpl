%%set%%nav%%1%%
%%set%%title%%Read an encrypted section%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Decoding a PGP section.  From the handler: item, sec and fld (numbers) and
pgp_note.  Posts r_keyread (show as text) or r_keysave (save as a file)
with keypass.
%%endif%%
<main id="main" tabindex="-1">
<h1>Read an encrypted section</h1>
%%ifdef%%pgp_note%%
<div class="alert info" role="status"><p>%%pgp_note%%</p></div>
%%endif%%
<form class="card" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<input type="hidden" name="item" value="%%item%%">
<input type="hidden" name="sec" value="%%sec%%">
<p><label for="keypass">Pass phrase</label>
<input id="keypass" name="keypass" type="password" autocomplete="current-password"></p>
<p><button type="submit" class="primary" name="r_keyread" value="1">Show as text</button>
<button type="submit" name="r_keysave" value="1">Save as a file</button>
<a class="btn" href="%%b_action%%?cmd=item&amp;utoken=%%utoken%%&amp;fld=%%fld%%&amp;item=%%item%%">Back to the message</a></p>
</form>
</main>
%%include%%footer.tpl%%
