%%set%%nav%%1%%
%%set%%title%%Forward%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Forward page.  From the forward handler: fwd_list (message numbers, each
followed by ","), nfwd (their count), fld, h_subject_raw (the subject of a
single message) and v_myfrom ("checked" or empty).  The form posts
cmd=doforward; the subject "(From message)" keeps the stored subject and
"(Fwd: From message)" puts "Fwd: " in front of it.
%%endif%%
<main id="main" tabindex="-1">
<h1>Forward %%nfwd%% message(s)</h1>
%%ifdef%%h_subject_raw%%
<p class="muted">%%h_subject_raw%%</p>
%%endif%%
<form class="card compose" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="cmd" value="doforward">
<input type="hidden" name="fld" value="%%fld%%">
<input type="hidden" name="fwd_list" value="%%fwd_list%%">
<input type="hidden" name="myfrom_shown" value="1">
<p><label for="to">To</label>
<input id="to" name="to" value="" required></p>
<p><label for="cc">Cc</label>
<input id="cc" name="cc" value=""></p>
<p><label for="bcc">Bcc</label>
<input id="bcc" name="bcc" value=""></p>
<p><label for="subject">Subject</label>
<select id="subject" name="subject">
<option value="(From message)">The message's own subject</option>
<option value="(Fwd: From message)">Fwd: and the message's subject</option>
</select></p>
<p><label for="fwd_note">Note (optional)</label>
<textarea id="fwd_note" name="fwd_note" rows="6" cols="76"></textarea></p>
<div class="check"><input type="checkbox" id="v_myfrom" name="v_myfrom" %%v_myfrom%%><label for="v_myfrom">Send as coming from me</label></div>
<div class="check"><input type="checkbox" id="action_senddel" name="action_senddel"><label for="action_senddel">Delete after forwarding</label></div>
<p><button type="submit" class="primary" id="fwdbtn">Forward</button></p>
</form>
</main>
%%include%%footer.tpl%%
