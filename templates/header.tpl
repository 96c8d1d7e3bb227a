<!DOCTYPE html>
<html lang="en">
<head>
%%ifndef%%navtarget%%
%%set%%navtarget%%_self%%
%%endif%%
%%ifdef%%charset%%
<meta charset="%%charset%%">
%%else%%
<meta charset="utf-8">
%%endif%%
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="robots" content="noindex, nofollow">
<meta name="referrer" content="no-referrer">
<title>%%title%% - Larkspur Mail</title>
<style>
%%include%%style.css%%
</style>
</head>
<body
%%ifdef%%isframes%%
%%ifndef%%framenav%%
 class="pane"
%%endif%%
%%endif%%
>
<a class="skip" href="#main">Skip to main content</a>
<header class="top">
<div class="bar">
%%ifdef%%utoken%%
<a class="brand" href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%&amp;fld=0" target="%%navtarget%%">
%%else%%
<a class="brand" href="%%b_action%%">
%%endif%%
<svg viewBox="0 0 24 24" aria-hidden="true"><g fill="currentColor"><circle cx="12" cy="4" r="2.4"/><circle cx="9" cy="8.6" r="2.6"/><circle cx="15" cy="8.6" r="2.6"/><circle cx="9.4" cy="13.6" r="2.8"/><circle cx="14.6" cy="13.6" r="2.8"/></g><path d="M12 15v8" stroke="currentColor" stroke-width="2" fill="none"/></svg>
<span>Larkspur Mail</span></a>
%%ifdef%%nav%%
%%ifdef%%fuser%%
<span class="who"><span class="vh">Signed in as </span>%%fuser%%</span>
%%endif%%
%%ifdef%%framenav%%
%%include%%nav.tpl%%
%%else%%
%%ifndef%%isframes%%
%%include%%nav.tpl%%
%%endif%%
%%endif%%
%%endif%%
</div>
</header>
