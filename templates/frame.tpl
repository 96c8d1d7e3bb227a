%%set%%framenav%%1%%
%%set%%nav%%1%%
%%set%%navtarget%%mailpane%%
%%set%%title%%Mail%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
The split view (frames layout): the menu stays on top while pages open in the
pane below.  The pane shows the command in "docmd" when the handler set one
(for example an error or a chosen first page), else the inbox.  The command
also arrives from the request, so one that could close the attribute is not used.
%%endif%%
<main id="main" tabindex="-1">
<h1 class="vh">Mail</h1>
%%ifdef%%docmd%%
%%ifninstr%%docmd%%"%%
<iframe class="content" name="mailpane" title="Mail content" src="%%b_action%%?%%docmd%%"></iframe>
%%else%%
<iframe class="content" name="mailpane" title="Mail content" src="%%b_action%%?cmd=list&amp;utoken=%%utoken%%&amp;fld=%%fld%%"></iframe>
%%endif%%
%%else%%
<iframe class="content" name="mailpane" title="Mail content" src="%%b_action%%?cmd=list&amp;utoken=%%utoken%%&amp;fld=%%fld%%"></iframe>
%%endif%%
</main>
</body>
</html>
