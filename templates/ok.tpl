%%set%%nav%%1%%
%%set%%title%%Done%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Confirmation page: "msg" says what was done (for example after emptying the trash).
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
<h1>Done</h1>
<div class="alert info" role="status"><p>%%msg%%</p></div>
<p><a class="btn primary" href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%&amp;fld=%%fld%%">Back to your mail</a></p>
</div>
</main>
%%include%%footer.tpl%%
