%%set%%nav%%1%%
%%set%%title%%Junk-mail introductions%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Junk-mail introduction settings.  From the jconf handler: dflt_reply and
real_name, j_last_check (only once the agent has checked), j_current_held,
j_hostiles_removed, j_intros_sent, j_report_days, j_hold_days, j_check_mins,
refresh, and the lists j_offer, j_friends, j_wild_friends, j_hostile and
j_wild_hostile (one entry a line, escaped).  Posts savejconf (save) or
dfltjconf (back to the installation's defaults).
%%endif%%
<main id="main" tabindex="-1">
<h1>Junk-mail introductions</h1>
%%ifdef%%error%%
<div class="alert" role="alert"><p>%%error%%</p></div>
%%endif%%
<form method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="must_lock" value="1">
<div class="card">
<h2>Status</h2>
<p>Settings for %%real_name%% &lt;%%dflt_reply%%&gt;.</p>
<dl class="help">
%%ifdef%%j_last_check%%
<dt>Last check</dt><dd>%%j_last_check%%</dd>
%%endif%%
<dt>Messages held now</dt><dd id="j_current_held">%%j_current_held%%</dd>
<dt>Hostile messages removed</dt><dd>%%j_hostiles_removed%%</dd>
<dt>Introductions sent</dt><dd>%%j_intros_sent%%</dd>
</dl>
</div>
<div class="card">
<h2>Timing</h2>
<p><label for="j_check_mins">Check held mail every (minutes)</label>
<input id="j_check_mins" name="j_check_mins" size="5" value="%%j_check_mins%%"></p>
<p><label for="j_report_days">Send a report every (days)</label>
<input id="j_report_days" name="j_report_days" size="4" value="%%j_report_days%%"></p>
<p><label for="j_hold_days">Hold mail from unknown senders for (days)</label>
<input id="j_hold_days" name="j_hold_days" size="4" value="%%j_hold_days%%"></p>
<p><label for="refresh">Check for new mail every (minutes, 0 for never)</label>
<input id="refresh" name="refresh" size="4" value="%%refresh%%"></p>
</div>
<div class="card">
<h2>Senders</h2>
<p><label for="j_friends">Friends (one address a line)</label>
<textarea id="j_friends" name="j_friends" rows="5" cols="50">%%j_friends%%</textarea></p>
<p><label for="j_wild_friends">Friends by pattern, such as *@example.org</label>
<textarea id="j_wild_friends" name="j_wild_friends" rows="3" cols="50">%%j_wild_friends%%</textarea></p>
<p><label for="j_hostile">Hostiles (one address a line)</label>
<textarea id="j_hostile" name="j_hostile" rows="5" cols="50">%%j_hostile%%</textarea></p>
<p><label for="j_wild_hostile">Hostiles by pattern</label>
<textarea id="j_wild_hostile" name="j_wild_hostile" rows="3" cols="50">%%j_wild_hostile%%</textarea></p>
</div>
<div class="card">
<h2>Introduction offer</h2>
<p><label for="j_offer">The text sent to an unknown sender</label>
<textarea id="j_offer" name="j_offer" rows="8" cols="70">%%j_offer%%</textarea></p>
</div>
<p><button type="submit" class="primary" name="savejconf" value="1">Save junk-mail settings</button>
<button type="submit" name="dfltjconf" value="1">Restore the defaults</button>
<a class="btn" href="%%b_action%%?cmd=jhelp&amp;utoken=%%utoken%%">How introductions work</a></p>
</form>
</main>
%%include%%footer.tpl%%
