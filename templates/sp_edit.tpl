%%set%%nav%%1%%
%%set%%title%%My own words%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
The personal word list: spelledit (the words, four to a line) and
spellshown (how many of them the box holds; the rest are kept on save).
%%endif%%
<main id="main" tabindex="-1">
<h1>My own words</h1>
<form class="card" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<input type="hidden" name="spellshown" value="%%spellshown%%">
<p><label for="spelledit">Words the spell check accepts</label>
<textarea id="spelledit" name="spelledit" rows="14" cols="60">%%spelledit%%</textarea></p>
<p><button type="submit" class="primary" name="spell_save" value="1" id="spell_save">Save</button>
<button type="submit" name="spell_done" value="1" id="spell_done">Back to the message</button></p>
</form>
</main>
%%include%%footer.tpl%%
