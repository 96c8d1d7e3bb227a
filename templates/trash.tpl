%%set%%nav%%1%%
%%set%%title%%Trash%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Asks before the trash is emptied: t_msgs and t_size (KB) describe what is in
it.  The form posts empty.
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
<h1>Empty the trash</h1>
%%ifdef%%error%%
<div class="alert" role="alert"><p>%%error%%</p></div>
%%endif%%
%%ifdef%%t_msgs%%
<p>The trash holds %%t_msgs%% messages (%%t_size%% KB).</p>
%%endif%%
<p>Emptying the trash removes these messages for good.</p>
<form class="tools" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="must_lock" value="1">
<button type="submit" class="danger" name="empty" value="1">Empty the trash</button>
<a class="btn" href="%%b_action%%?cmd=list_waste&amp;utoken=%%utoken%%">Look in the trash</a>
<a class="btn" href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%">Back to your mail</a>
</form>
</div>
</main>
%%include%%footer.tpl%%
