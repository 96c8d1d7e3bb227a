%%ifdef%%utoken%%
%%set%%nav%%1%%
%%endif%%
%%set%%title%%Error%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Error page: shows the pending error text of the request ("error", which the
error channel builds from encoded texts and line breaks).  With a session
("utoken") the page offers the way back to the current folder.
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
<h1>Something went wrong</h1>
<div class="alert" role="alert">
<p>%%error%%</p>
</div>
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
