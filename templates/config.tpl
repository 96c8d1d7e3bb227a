%%set%%nav%%1%%
%%set%%title%%Settings%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Settings page.  From the settings handler: pop_nameN, pop_userN, pop_portN,
pop_replyN, pop_delN, pop_passN ("***" when a password is stored) and pop_curN
for the accounts 0-5; dflt_reply, real_name, sig, nm_sound, refresh, page_size,
wml_page_size, max_download_kbytes, max_download_msgs, set_cookie_checked, the
flags nosortpick_checked, nosortaddr_checked, popall_checked, wysiwyg_checked,
the lists accept_from and reject_from (has_parent when they cannot be changed),
and the sort marker (arrivalselected, from:selected, ...).  The rule rows
(between the rules markers, one row per rule plus four empty ones) use
n, r_headers, r_actions, r_folders (option lists; the closing option tag is
the page's), r_contains, r_addr and r_iscase.  Posts saveconfig.
%%endif%%
<main id="main" tabindex="-1">
<h1>Settings</h1>
%%ifdef%%error%%
<div class="alert" role="alert"><p>%%error%%</p></div>
%%endif%%
<form method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="must_lock" value="1">
<div class="card">
<h2>You</h2>
<p><label for="real_name">Real name</label>
<input id="real_name" name="real_name" maxlength="510" value="%%real_name%%"></p>
<p><label for="dflt_reply">Reply address</label>
<input id="dflt_reply" name="dflt_reply" maxlength="511" value="%%dflt_reply%%"></p>
<p><label for="sig">Signature</label>
<textarea id="sig" name="sig" rows="4" cols="60">%%sig%%</textarea></p>
</div>
<div class="card">
<h2>Mail accounts</h2>
<div class="scroll">
<table class="tbl">
<thead><tr><th scope="col">Use</th><th scope="col">Server</th><th scope="col">Port</th><th scope="col">User</th><th scope="col">Password</th><th scope="col">Reply address</th><th scope="col">Delete from server</th><th scope="col"><span class="vh">Password change</span></th></tr></thead>
<tbody>
<tr>
<td><input type="radio" name="pop_cur" value="0" aria-label="Use account 1" %%pop_cur0%%></td>
<td><input name="pop_name0" aria-label="Server 1" value="%%pop_name0%%"></td>
<td><input name="pop_port0" size="5" aria-label="Port 1" value="%%pop_port0%%"></td>
<td><input name="pop_user0" aria-label="User 1" value="%%pop_user0%%"></td>
<td><input type="password" name="pop_pass0" maxlength="99" aria-label="Password 1" value="%%pop_pass0%%"></td>
<td><input name="pop_reply0" aria-label="Reply address 1" value="%%pop_reply0%%"></td>
<td><input type="checkbox" name="pop_del0" aria-label="Delete from server 1" %%pop_del0%%></td>
<td><button type="submit" name="set_pass0" value="1">Change password</button></td>
</tr>
<tr>
<td><input type="radio" name="pop_cur" value="1" aria-label="Use account 2" %%pop_cur1%%></td>
<td><input name="pop_name1" aria-label="Server 2" value="%%pop_name1%%"></td>
<td><input name="pop_port1" size="5" aria-label="Port 2" value="%%pop_port1%%"></td>
<td><input name="pop_user1" aria-label="User 2" value="%%pop_user1%%"></td>
<td><input type="password" name="pop_pass1" maxlength="99" aria-label="Password 2" value="%%pop_pass1%%"></td>
<td><input name="pop_reply1" aria-label="Reply address 2" value="%%pop_reply1%%"></td>
<td><input type="checkbox" name="pop_del1" aria-label="Delete from server 2" %%pop_del1%%></td>
<td><button type="submit" name="set_pass1" value="1">Change password</button></td>
</tr>
<tr>
<td><input type="radio" name="pop_cur" value="2" aria-label="Use account 3" %%pop_cur2%%></td>
<td><input name="pop_name2" aria-label="Server 3" value="%%pop_name2%%"></td>
<td><input name="pop_port2" size="5" aria-label="Port 3" value="%%pop_port2%%"></td>
<td><input name="pop_user2" aria-label="User 3" value="%%pop_user2%%"></td>
<td><input type="password" name="pop_pass2" maxlength="99" aria-label="Password 3" value="%%pop_pass2%%"></td>
<td><input name="pop_reply2" aria-label="Reply address 3" value="%%pop_reply2%%"></td>
<td><input type="checkbox" name="pop_del2" aria-label="Delete from server 3" %%pop_del2%%></td>
<td><button type="submit" name="set_pass2" value="1">Change password</button></td>
</tr>
<tr>
<td><input type="radio" name="pop_cur" value="3" aria-label="Use account 4" %%pop_cur3%%></td>
<td><input name="pop_name3" aria-label="Server 4" value="%%pop_name3%%"></td>
<td><input name="pop_port3" size="5" aria-label="Port 4" value="%%pop_port3%%"></td>
<td><input name="pop_user3" aria-label="User 4" value="%%pop_user3%%"></td>
<td><input type="password" name="pop_pass3" maxlength="99" aria-label="Password 4" value="%%pop_pass3%%"></td>
<td><input name="pop_reply3" aria-label="Reply address 4" value="%%pop_reply3%%"></td>
<td><input type="checkbox" name="pop_del3" aria-label="Delete from server 4" %%pop_del3%%></td>
<td><button type="submit" name="set_pass3" value="1">Change password</button></td>
</tr>
<tr>
<td><input type="radio" name="pop_cur" value="4" aria-label="Use account 5" %%pop_cur4%%></td>
<td><input name="pop_name4" aria-label="Server 5" value="%%pop_name4%%"></td>
<td><input name="pop_port4" size="5" aria-label="Port 5" value="%%pop_port4%%"></td>
<td><input name="pop_user4" aria-label="User 5" value="%%pop_user4%%"></td>
<td><input type="password" name="pop_pass4" maxlength="99" aria-label="Password 5" value="%%pop_pass4%%"></td>
<td><input name="pop_reply4" aria-label="Reply address 5" value="%%pop_reply4%%"></td>
<td><input type="checkbox" name="pop_del4" aria-label="Delete from server 5" %%pop_del4%%></td>
<td></td>
</tr>
<tr>
<td><input type="radio" name="pop_cur" value="5" aria-label="Use account 6" %%pop_cur5%%></td>
<td><input name="pop_name5" aria-label="Server 6" value="%%pop_name5%%"></td>
<td><input name="pop_port5" size="5" aria-label="Port 6" value="%%pop_port5%%"></td>
<td><input name="pop_user5" aria-label="User 6" value="%%pop_user5%%"></td>
<td><input type="password" name="pop_pass5" maxlength="99" aria-label="Password 6" value="%%pop_pass5%%"></td>
<td><input name="pop_reply5" aria-label="Reply address 6" value="%%pop_reply5%%"></td>
<td><input type="checkbox" name="pop_del5" aria-label="Delete from server 6" %%pop_del5%%></td>
<td></td>
</tr>
</tbody>
</table>
</div>
</div>
<div class="card">
<h2>Reading</h2>
<p><label for="sort_on">Sort by</label>
<select id="sort_on" name="sort_on">
<option value="arrival" %%arrivalselected%%>Arrival</option>
<option value="-datetime" %%-datetimeselected%%>Date, newest first</option>
<option value="datetime" %%datetimeselected%%>Date, oldest first</option>
<option value="from:" %%from:selected%%>Sender, A to Z</option>
<option value="-from:" %%-from:selected%%>Sender, Z to A</option>
<option value="subject:" %%subject:selected%%>Subject, A to Z</option>
<option value="-subject:" %%-subject:selected%%>Subject, Z to A</option>
<option value="-bytes:" %%-bytes:selected%%>Size, largest first</option>
<option value="bytes:" %%bytes:selected%%>Size, smallest first</option>
</select></p>
<p><label for="page_size">Messages per page</label>
<input id="page_size" name="page_size" size="4" value="%%page_size%%">
<label for="wml_page_size">on a phone</label>
<input id="wml_page_size" name="wml_page_size" size="4" value="%%wml_page_size%%"></p>
<p><label for="refresh">Check for new mail every (minutes, 0 for never)</label>
<input id="refresh" name="refresh" size="4" value="%%refresh%%"></p>
<p><label for="max_download_kbytes">Largest message to download (KB)</label>
<input id="max_download_kbytes" name="max_download_kbytes" size="6" value="%%max_download_kbytes%%">
<label for="max_download_msgs">Messages per check</label>
<input id="max_download_msgs" name="max_download_msgs" size="6" value="%%max_download_msgs%%"></p>
<p><label class="inline"><input type="checkbox" name="popall" %%popall_checked%%> Show all messages on the server</label>
<label class="inline"><input type="checkbox" name="nosortpick" %%nosortpick_checked%%> Do not sort the pick list</label>
<label class="inline"><input type="checkbox" name="nosortaddr" %%nosortaddr_checked%%> Do not sort the address book</label>
<label class="inline"><input type="checkbox" name="wysiwyg" %%wysiwyg_checked%%> Rich text editor</label></p>
<p><input type="hidden" name="setcookie" value="off">
<label class="inline"><input type="checkbox" name="set_cookie" %%set_cookie_checked%%> Remember me on this computer</label></p>
</div>
%%ifndef%%has_parent%%
<div class="card">
<h2>Senders</h2>
<p><a href="%%b_action%%?cmd=child_show&amp;utoken=%%utoken%%">Supervised accounts</a></p>
<p><label for="accept_from">Always accept mail from (one address a line)</label>
<textarea id="accept_from" name="accept_from" rows="4" cols="50">%%accept_from%%</textarea></p>
<p><label for="reject_from">Always refuse mail from (one address a line)</label>
<textarea id="reject_from" name="reject_from" rows="4" cols="50">%%reject_from%%</textarea></p>
</div>
%%endif%%
<div class="card">
<h2>Filter rules</h2>
<p class="muted">Each new message is checked against the rules in order.</p>
<div class="scroll">
<table class="tbl">
<thead><tr><th scope="col">Look in</th><th scope="col">For</th><th scope="col">Match case</th><th scope="col">Then</th><th scope="col">Folder</th><th scope="col">Forward to</th></tr></thead>
<tbody>
%%begin_rules%%
<tr>
<td><select name="r_header%%n%%" aria-label="Rule %%n%% looks in">%%r_headers%%</option></select></td>
<td><input name="r_contains%%n%%" aria-label="Rule %%n%% text" value="%%r_contains%%"></td>
<td><input type="checkbox" name="r_iscase%%n%%" aria-label="Rule %%n%% matches case" %%r_iscase%%></td>
<td><select name="r_action%%n%%" aria-label="Rule %%n%% action">%%r_actions%%</option></select></td>
<td><select name="r_dstfld%%n%%" aria-label="Rule %%n%% folder">%%r_folders%%</option></select></td>
<td><input name="r_addr%%n%%" aria-label="Rule %%n%% forward address" value="%%r_addr%%"></td>
</tr>
%%end_rules%%
</tbody>
</table>
</div>
</div>
<div class="card">
<h2>More settings</h2>
<p><a href="%%b_action%%?cmd=jconf&amp;utoken=%%utoken%%">Junk-mail introductions</a> &middot;
<a href="%%b_action%%?cmd=keylist&amp;utoken=%%utoken%%">PGP keys</a></p>
</div>
<p><button type="submit" class="primary" name="saveconfig" value="1">Save settings</button>
<a class="btn" href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%">Back to your mail</a></p>
</form>
</main>
%%include%%footer.tpl%%
