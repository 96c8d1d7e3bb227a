%%ifdef%%utoken%%
%%set%%nav%%1%%
%%endif%%
%%set%%title%%Error%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Error page: shows the pending error text of the request: "error_lead" (the
sentence the user can act on) with every message under a closed "Details"
disclosure ("error_details"); a page given only "error" (from a frame's
set_error) shows that.  The error channel builds them from encoded texts and
line breaks.  With a session
("utoken") the page offers the way back to the current folder.
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
<h1>Something went wrong</h1>
%%ifdef%%error_lead%%
<div class="alert" role="alert"><p>%%error_lead%%</p>
%%ifdef%%error_details%%
<details><summary>Details</summary><p>%%error_details%%</p></details>
%%endif%%
</div>
%%else%%
<div class="alert" role="alert">
<p>%%error%%</p>
</div>
%%endif%%
<p>
%%ifdef%%utoken%%
<a class="btn primary" href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%&amp;fld=%%fld%%">Back to your mail</a>
<a class="btn" href="%%b_action%%?cmd=flogin" target="_top">Log in again</a>
%%else%%
<a class="btn primary" href="%%b_action%%?cmd=flogin" target="_top">Go to the login page</a>
%%endif%%
</p>
</div>
</main>
%%include%%footer.tpl%%
