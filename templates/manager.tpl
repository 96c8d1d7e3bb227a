%%set%%title%%Manager%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Manager page, shown by the manager command and after every manager action.
From the handler: tcode (a fresh form code; a form is accepted once), and after an
action uwild, uset, uval (value-encoded), uadd, ub_only, upurge ("checked" or empty),
ukill_days, nmatches, nusers, nmodified, nadded, nkilled, msgs_served, msgs_diskuse,
last_purge (when a purge has run) and xinfomsg (the result lines of the action).
The form posts cmd=domanager with pass, tcode, uwild, uset, uval, uadd, ub_only,
upurge, ukill_days, mcmd and dwild.
%%endif%%
<main id="main" tabindex="-1">
<div class="narrow">
<h1>Manager</h1>
%%ifdef%%error%%
<div class="alert" role="alert"><p>%%error%%</p></div>
%%endif%%
%%ifdef%%xinfomsg%%
<div class="alert info" role="status" id="result"><p>%%xinfomsg%%</p>
<p>Users matched: <span id="nmatches">%%nmatches%%</span>, lines changed: <span id="nmodified">%%nmodified%%</span>,
lines added: <span id="nadded">%%nadded%%</span>, accounts removed: %%nkilled%%,
messages served: %%msgs_served%%, disk use: %%msgs_diskuse%%, users counted: %%nusers%%</p>
%%ifdef%%last_purge%%
<p>Last purge: %%last_purge%%</p>
%%endif%%
</div>
%%endif%%
<form class="card" method="post" action="%%b_action%%" autocomplete="off">
<input type="hidden" name="cmd" value="domanager">
<input type="hidden" name="tcode" value="%%tcode%%">
<label for="pass">Manager password</label>
<input type="password" id="pass" name="pass" autocomplete="current-password" required>
<label for="uwild">User names (wildcard)</label>
<input type="text" id="uwild" name="uwild" value="%%uwild%%" placeholder="*">
<label for="uset">Profile line to set</label>
<input type="text" id="uset" name="uset" value="%%uset%%">
<label for="uval">Value (empty removes the line)</label>
<input type="text" id="uval" name="uval" value="%%uval%%">
<div class="check"><input type="checkbox" id="uadd" name="uadd"
%%ifequal%%uadd%%checked%%
 checked
%%endif%%
><label for="uadd">Add the line where it is missing</label></div>
<div class="check"><input type="checkbox" id="ub_only" name="ub_only"
%%ifequal%%ub_only%%checked%%
 checked
%%endif%%
><label for="ub_only">Only where the value is blank</label></div>
<div class="check"><input type="checkbox" id="upurge" name="upurge"
%%ifequal%%upurge%%checked%%
 checked
%%endif%%
><label for="upurge">Purge cached mail of idle sessions</label></div>
<label for="ukill_days">Remove accounts unused for more than (days, 0 = never)</label>
<input type="number" id="ukill_days" name="ukill_days" min="0" value="%%ukill_days%%">
<label for="dwild">Delete accounts (wildcard, or @list file)</label>
<input type="text" id="dwild" name="dwild">
<div class="check"><input type="checkbox" id="mcmd" name="mcmd" value="delete accounts"><label for="mcmd">Delete the accounts named above</label></div>
<button class="primary wide" type="submit" id="go">Apply</button>
</form>
</div>
</main>
%%include%%footer.tpl%%
