%%set%%title%%Logged out%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Shown after logging out, and when a session has ended (timed out, cached login
page): "pre_error" then says why.  The session cookies have been cleared.
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
%%ifdef%%pre_error%%
<h1>Please log in again</h1>
<div class="alert info" role="status"><p>%%pre_error%%</p></div>
%%else%%
<h1>You have logged out</h1>
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
<div class="card">
<p class="lead">Your session has ended. For your privacy, close the browser window if others use this computer.</p>
<p><a class="btn primary" href="%%b_action%%?cmd=flogin" target="_top">Log in again</a></p>
</div>
</div>
</main>
%%include%%footer.tpl%%
