%%set%%nav%%1%%
%%set%%title%%Spelling%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Spell check result.  spell_list is the message as page text with every
unknown word a link to its suggestions (cmd=spell_fix&wordi=N); nwrong is
the number of unknown words; error says what went wrong, if anything.
%%endif%%
<main id="main" tabindex="-1">
<h1>Spelling</h1>
%%ifdef%%error%%
<div class="alert error" role="alert"><p>%%error%%</p></div>
%%endif%%
<p id="nwrong">Words not found: %%nwrong%%</p>
<pre class="spell" id="spell_list">%%spell_list%%</pre>
<form class="card" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<p><button type="submit" class="primary" name="spell_done" value="1" id="spell_done">Back to the message</button>
<button type="submit" name="spell_edit" value="1" id="spell_edit">My own words</button></p>
</form>
</main>
%%include%%footer.tpl%%
