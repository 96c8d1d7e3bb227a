%%set%%nav%%1%%
%%set%%title%%Change password%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Password change for one mail-server account: pop_name and pop_user (the
account), info (the outcome of the last try).  Posts do_ch_pass with
old_pass, new_pass1 and new_pass2.
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
<h1>Change password</h1>
%%ifdef%%info%%
<div class="alert" role="status"><p>%%info%%</p></div>
%%endif%%
<form method="post" action="%%b_action%%" autocomplete="off">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="must_lock" value="1">
<input type="hidden" name="pop_name" value="%%pop_name%%">
<input type="hidden" name="pop_user" value="%%pop_user%%">
<p>Account <strong>%%pop_user%%</strong> on <strong>%%pop_name%%</strong></p>
<p><label for="old_pass">Current password</label>
<input id="old_pass" type="password" name="old_pass" maxlength="99" autocomplete="current-password"></p>
<p><label for="new_pass1">New password</label>
<input id="new_pass1" type="password" name="new_pass1" maxlength="99" autocomplete="new-password"></p>
<p><label for="new_pass2">New password again</label>
<input id="new_pass2" type="password" name="new_pass2" maxlength="99" autocomplete="new-password"></p>
<p><button type="submit" class="primary" name="do_ch_pass" value="1">Change password</button>
<a class="btn" href="%%b_action%%?cmd=config&amp;utoken=%%utoken%%">Back to settings</a></p>
</form>
</div>
</main>
%%include%%footer.tpl%%
