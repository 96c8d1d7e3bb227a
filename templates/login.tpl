%%set%%title%%Log in%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Login page, shown by the login command and by an unknown command without a session.
From the handler: tcode (the fresh login code), pophost, user (a name to offer,
value-encoded; a name that could close
the attribute is not offered), pre_error (why the user must log in again), error, info_msg.
The form posts to the program itself: cmd=login, user, pass, tcode, set_cookie
(remembered login, "on" when ticked) and frame (frames layout, "on" when ticked;
when not ticked the installation's frames_default decides).
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
<h1>Log in to your mail</h1>
%%ifdef%%pre_error%%
<div class="alert info" role="status"><p>%%pre_error%%</p></div>
%%endif%%
%%ifdef%%error_lead%%
<div class="alert" role="alert"><p>%%error_lead%%</p>
%%ifdef%%error_details%%
<details><summary>Details</summary><p>%%error_details%%</p></details>
%%endif%%
</div>
%%else%%
%%ifdef%%error%%
<div class="alert" role="alert"><p>%%error%%</p></div>
%%endif%%
%%endif%%
%%ifdef%%info_msg%%
<div class="alert info" role="status"><p>%%info_msg%%</p></div>
%%endif%%
<form class="card" method="post" action="%%b_action%%">
<input type="hidden" name="cmd" value="login">
<input type="hidden" name="tcode" value="%%tcode%%">
<label for="user">User name</label>
<input type="text" id="user" name="user"
%%ifninstr%%user%%"%%
 value="%%user%%"
%%endif%%
 autocomplete="username" autocapitalize="none" spellcheck="false" maxlength="230" required autofocus>
<label for="pass">Password</label>
<input type="password" id="pass" name="pass" autocomplete="current-password" maxlength="230">
<div class="check"><input type="checkbox" id="set_cookie" name="set_cookie"><label for="set_cookie">Keep me logged in on this computer</label></div>
<div class="check"><input type="checkbox" id="frame" name="frame"><label for="frame">Split view: menu and mail in separate panes</label></div>
<button class="primary wide" type="submit">Log in</button>
</form>
<p class="muted">Use the name and password of your mailbox. Log out when you are done on a shared computer.</p>
</div>
</main>
%%include%%footer.tpl%%
