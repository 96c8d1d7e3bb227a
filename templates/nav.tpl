<nav class="nav" aria-label="Main">
<ul>
<li><a href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%&amp;fld=0" target="%%navtarget%%"
%%ifequal%%page%%list%%
%%ifequal%%fld%%0%%
 aria-current="page"
%%endif%%
%%endif%%
>Inbox</a></li>
<li><a href="%%b_action%%?cmd=checknew&amp;utoken=%%utoken%%" target="%%navtarget%%">Check mail</a></li>
<li><a href="%%b_action%%?cmd=send&amp;utoken=%%utoken%%" target="%%navtarget%%"
%%ifequal%%page%%send%%
 aria-current="page"
%%endif%%
>Compose</a></li>
<li><a href="%%b_action%%?cmd=fld_manage&amp;utoken=%%utoken%%" target="%%navtarget%%"
%%ifequal%%page%%folders%%
 aria-current="page"
%%endif%%
>Folders</a></li>
<li><a href="%%b_action%%?cmd=config&amp;utoken=%%utoken%%" target="%%navtarget%%"
%%ifequal%%page%%config%%
 aria-current="page"
%%endif%%
>Settings</a></li>
<li><a href="%%b_action%%?cmd=help&amp;utoken=%%utoken%%" target="%%navtarget%%"
%%ifequal%%page%%help%%
 aria-current="page"
%%endif%%
>Help</a></li>
<li><a href="%%b_action%%?cmd=logout&amp;utoken=%%utoken%%" target="_top">Log out</a></li>
</ul>
</nav>
