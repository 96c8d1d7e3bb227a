%%set%%title%%Menu%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
The menu on a page of its own (handy on a phone, or as a pane of a custom
split view); the links open in the mail pane when the split view is in use.
%%endif%%
%%ifdef%%isframes%%
%%set%%navtarget%%mailpane%%
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
<h1>Menu</h1>
<div class="card menu">
%%include%%nav.tpl%%
</div>
</div>
</main>
%%include%%footer.tpl%%
