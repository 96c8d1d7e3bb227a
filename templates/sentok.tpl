%%set%%nav%%1%%
%%set%%title%%Message sent%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
After a send: h_to, h_cc, h_bcc, h_subject and h_date of the message sent; error
when something after the send went wrong (the message itself was sent).
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
<h1>Message sent</h1>
<div class="alert info" role="status"><p id="sentok">Your message was sent.</p></div>
%%ifdef%%error%%
<div class="alert error" role="alert"><p>%%error%%</p></div>
%%endif%%
<dl class="hdrs">
<dt>To</dt><dd>%%h_to%%</dd>
%%ifdef%%h_cc%%
<dt>Cc</dt><dd>%%h_cc%%</dd>
%%endif%%
%%ifdef%%h_bcc%%
<dt>Bcc</dt><dd>%%h_bcc%%</dd>
%%endif%%
<dt>Subject</dt><dd>%%h_subject%%</dd>
<dt>Date</dt><dd>%%h_date%%</dd>
</dl>
<p><a class="btn primary" href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%">Back to your mail</a>
<a class="btn" href="%%b_action%%?cmd=new&amp;utoken=%%utoken%%">Write another</a></p>
</div>
</main>
%%include%%footer.tpl%%
