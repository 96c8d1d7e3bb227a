%%set%%nav%%1%%
%%set%%title%%Supervised accounts%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Supervision page of a parent account.  From the supervision handler:
child_pick (options of the supervised accounts), children (them, one a
line), child_edit (the account selected), and, when this user is its
recorded parent, ch_accept_from and ch_reject_from (its lists, one address a
line).  has_parent is set for a supervised account, which cannot supervise.
Buttons: child_load (select, and register with the account's password),
child_save (store the lists), child_release (end the supervision),
child_show (show the selected account again).
%%endif%%
<main id="main" tabindex="-1">
<h1>Supervised accounts</h1>
%%ifdef%%error%%
<div class="alert error" role="alert"><p>%%error%%</p></div>
%%endif%%
%%ifdef%%has_parent%%
<p>This account is supervised, so it cannot supervise other accounts.</p>
%%endif%%
%%ifdef%%child_pick%%
<form class="card" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<p><label for="child_pick">Accounts you supervise</label>
<select id="child_pick" name="child_edit">%%child_pick%%</select>
<button type="submit" name="child_show" value="1">Show</button></p>
</form>
%%endif%%
<form class="card" method="post" action="%%b_action%%" autocomplete="off">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="must_lock" value="1">
<h2>Add or select an account</h2>
<p><label for="child_edit">Account (name, or name@host)</label>
<input id="child_edit" name="child_edit" value="%%child_edit%%" maxlength="255"></p>
<p><label for="child_pass">Its password (needed only to start supervising it)</label>
<input id="child_pass" type="password" name="child_pass" maxlength="99" autocomplete="off"></p>
<p><button type="submit" name="child_load" value="1">Select</button></p>
</form>
%%ifdef%%child_edit%%
<form class="card" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="must_lock" value="1">
<input type="hidden" name="child_edit" value="%%child_edit%%">
<h2>Senders of %%child_edit%%</h2>
<p>Mail from a sender on neither list comes to you first.</p>
<p><label for="ch_accept_from">Always deliver mail from (one address a line)</label>
<textarea id="ch_accept_from" name="ch_accept_from" rows="6" cols="50">%%ch_accept_from%%</textarea></p>
<p><label for="ch_reject_from">Always delete mail from (one address a line)</label>
<textarea id="ch_reject_from" name="ch_reject_from" rows="6" cols="50">%%ch_reject_from%%</textarea></p>
<p><button type="submit" class="primary" name="child_save" value="1">Save the lists</button>
<button type="submit" class="danger" name="child_release" value="1">End supervision</button></p>
</form>
%%endif%%
<p><a class="btn" href="%%b_action%%?cmd=config&amp;utoken=%%utoken%%">Back to settings</a></p>
</main>
%%include%%footer.tpl%%
