%%set%%title%%Welcome%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
First login of a new user.  From the login handler: pop_del0 ("checked" when mail
is removed from the server by default), pop_port0, pop_reply0, dflt_reply; from the
common set: real_name, pop_name0, pop_user0, fuser, utoken, isframes.
The form posts the settings command (button "saveconfig"), which stores the
fields and goes on to the inbox (or the frame set when "newframe" is sent).
Flags that the settings command clears when absent are passed on unchanged.
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
<h1>Welcome to Larkspur Mail</h1>
<p class="lead">Your mailbox <strong>%%fuser%%</strong> is ready. Check these settings before you start; you can change them later under Settings.</p>
<form class="card" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="pop_name0" value="%%pop_name0%%">
<input type="hidden" name="pop_user0" value="%%pop_user0%%">
<input type="hidden" name="pop_port0" value="%%pop_port0%%">
%%ifdef%%isframes%%
<input type="hidden" name="newframe" value="1">
%%endif%%
%%include%%keepflags.tpl%%
<label for="real_name">Your name, as others see it</label>
<input type="text" id="real_name" name="real_name" value="%%real_name%%" autocomplete="name" maxlength="511">
<label for="dflt_reply">Reply address</label>
<input type="email" id="dflt_reply" name="dflt_reply" value="%%dflt_reply%%" autocomplete="email" maxlength="511" aria-describedby="reply_hint">
<p class="muted" id="reply_hint">Replies to your messages go here. Leave it as it is if unsure.</p>
<div class="check"><input type="checkbox" id="pop_del0" name="pop_del0" %%pop_del0%%><label for="pop_del0">Remove messages from the server once they are read here</label></div>
<button class="primary wide" type="submit" name="saveconfig" value="1">Save and open my inbox</button>
</form>
<p><a href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%&amp;fld=0">Skip for now</a></p>
</div>
</main>
%%include%%footer.tpl%%
