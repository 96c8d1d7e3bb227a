%%set%%nav%%1%%
%%set%%title%%Message%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
One message.  From the message handler: item, item_id, nitems, fld, folder, the
encoded headers h_subject, h_from, h_from_trim, a_from, h_to, h_cc, h_reply, h_date,
h_pri, the flags h_isread and h_isattached, the links b_reply, b_replyall, b_forward,
b_forward_edit, b_reject, b_child_accept and b_child_reject (supervised mail only),
b_prev and b_next (neighbours), attachments (ready-made download links),
dfldlist (folder choice, closing option tag is the page's), the view options
v_font, v_headers, v_inline, v_asis ("checked" or empty), and the body, written
where the show_item marker stands.
Forms post to the program: delitem/delitemn (delete, then the list or the next
message), moveto/moveton with dstfld, setview with the view check boxes.
%%endif%%
<main id="main" tabindex="-1">
<nav class="tools" aria-label="Message navigation">
<a class="btn" href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%&amp;fld=%%fld%%">Back to %%folder%%</a>
<span class="spacer"></span>
<span class="muted">Message %%item_id%% of %%nitems%%</span>
%%ifdef%%b_prev%%
<a class="btn" href="%%b_prev%%&amp;fld=%%fld%%" rel="prev">Previous</a>
%%endif%%
%%ifdef%%b_next%%
<a class="btn" href="%%b_next%%&amp;fld=%%fld%%" rel="next">Next</a>
%%endif%%
</nav>
<article class="card" aria-labelledby="subject">
<h1 id="subject">
%%ifdef%%h_subject%%
%%h_subject%%
%%else%%
(no subject)
%%endif%%
%%ifequal%%h_pri%%High%%
 <span class="badge">High priority</span>
%%endif%%
</h1>
<dl class="hdrs">
<dt>From</dt><dd>%%h_from%%</dd>
%%ifdef%%h_reply%%
<dt>Reply to</dt><dd>%%h_reply%%</dd>
%%endif%%
%%ifdef%%h_to%%
<dt>To</dt><dd>%%h_to%%</dd>
%%endif%%
%%ifdef%%h_cc%%
<dt>Cc</dt><dd>%%h_cc%%</dd>
%%endif%%
%%ifdef%%h_date%%
<dt>Date</dt><dd>%%h_date%%</dd>
%%endif%%
</dl>
<div class="tools acts" role="group" aria-label="Actions">
<a class="btn primary" href="%%b_reply%%">Reply</a>
<a class="btn" href="%%b_replyall%%">Reply all</a>
<a class="btn" href="%%b_forward%%">Forward</a>
<form method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<input type="hidden" name="item" value="%%item%%esc%%">
<input type="hidden" name="must_lock" value="1">
<button type="submit" class="danger" name="delitemn" value="1">Delete</button>
<span class="grp">
<label for="dstfld" class="vh">Move to folder</label>
<select id="dstfld" name="dstfld">%%dfldlist%%</option></select>
<button type="submit" name="moveton" value="1">Move</button>
</span>
%%ifequal%%h_pgp_keys%%1%%
<button type="submit" name="keyadd" value="1">Add its keys to your key ring</button>
%%endif%%
</form>
%%ifequal%%h_pgp_msg%%1%%
<a class="btn" href="%%b_action%%?cmd=item_pgp&amp;utoken=%%utoken%%&amp;fld=%%fld%%&amp;item=%%item%%&amp;sec=1">Decode the encrypted section</a>
%%endif%%
</div>
%%ifdef%%b_child_accept%%
<div class="alert info" role="status"><p>This message is waiting for your approval.
<a href="%%b_child_accept%%">Accept the sender</a> or <a href="%%b_child_reject%%">reject the sender</a>.</p></div>
%%endif%%
%%ifdef%%attachments%%
<section aria-labelledby="atth">
<h2 id="atth">Attachments</h2>
<p class="atts">%%attachments%%</p>
</section>
%%endif%%
<section class="body" aria-label="Message text">
%%show_item%%
</section>
</article>
<details class="card">
<summary>More actions and view options</summary>
<p>
<a class="btn" href="%%b_forward_edit%%">Forward with changes</a>
<a class="btn" href="%%b_action%%?cmd=raw&amp;utoken=%%utoken%%&amp;item=%%item%%esc%%&amp;fld=%%fld%%">View source</a>
<a class="btn danger" href="%%b_reject%%">Block this sender</a>
</p>
<form method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<input type="hidden" name="item" value="%%item%%esc%%">
<fieldset>
<legend>Show messages</legend>
<div class="check"><input type="checkbox" id="v_font" name="v_font" %%v_font%%><label for="v_font">in a proportional font</label></div>
<div class="check"><input type="checkbox" id="v_headers" name="v_headers" %%v_headers%%><label for="v_headers">with all header lines</label></div>
<div class="check"><input type="checkbox" id="v_inline" name="v_inline" %%v_inline%%><label for="v_inline">with pictures and attachments in the text</label></div>
<div class="check"><input type="checkbox" id="v_asis" name="v_asis" %%v_asis%%><label for="v_asis">with their own formatting (HTML)</label></div>
<button type="submit" name="setview" value="1">Save view</button>
</fieldset>
</form>
</details>
</main>
%%include%%footer.tpl%%
