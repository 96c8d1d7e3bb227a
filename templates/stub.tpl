%%set%%nav%%1%%
%%set%%title%%New mail%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
New-mail check: a small page for a side pane or a bookmark.  From the list
handler: nnew (fetched now), nnew_sl (since the last login), nitems, tunread,
folder, fld.
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
<h1>New mail</h1>
<div class="card" role="status">
%%ifequal%%nnew%%0%%
<p class="lead">No new messages.</p>
%%else%%
<p class="lead"><strong>%%nnew%%</strong> new message(s).</p>
%%endif%%
<p class="muted">%%nnew_sl%% since you logged in &middot; %%tunread%% unread of %%nitems%% in %%folder%%</p>
<p><a class="btn primary" href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%&amp;fld=0">Open the inbox</a>
<a class="btn" href="%%b_action%%?cmd=stub&amp;utoken=%%utoken%%">Check again</a></p>
</div>
</div>
</main>
%%include%%footer.tpl%%
