%%set%%nav%%1%%
%%set%%title%%Spelling%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Suggestions for one unknown word: word (the word), wordi (its number),
list_alt (the suggestions as options of a select list).
%%endif%%
<main id="main" tabindex="-1">
<h1>Spelling: %%word%%</h1>
<form class="card" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<input type="hidden" name="wordi" value="%%wordi%%">
%%ifdef%%list_alt%%
<p><label for="altword">Suggestions</label>
<select id="altword" name="altword">%%list_alt%%</option></select>
<button type="submit" class="primary" name="spell_alt" value="1" id="spell_alt">Use this word</button></p>
%%endif%%
<p><label for="spell_value">Your own spelling</label>
<input id="spell_value" name="spell_value" value="%%word%%">
<button type="submit" name="spell_set" value="1" id="spell_set">Replace</button>
<button type="submit" name="spell_add" value="1" id="spell_add">Add to my words</button></p>
<p><button type="submit" name="spell_done" value="1" id="spell_done">Back to the message</button></p>
</form>
</main>
%%include%%footer.tpl%%
