%%set%%nav%%1%%
%%set%%title%%Search%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Search results: a message list of the messages that hold every word.  From the
search handler: s_q (the words as typed), s_all (all folders) or s_one (this
folder), s_since, s_until, s_att, s_unread, s_headers (the narrowing asked for), s_empty
(nothing asked yet), s_remote (messages searched by their headers only because
their text is still on the server), s_scanned, folder, fld, nitems, pages,
page_num, b_list_prev, b_list_next, b_search (this search as a link, for
the column headings that sort it; sort_on is the user's order).  Rows use the list's row variables plus
h_snippet (escaped text around the match, the words marked), h_folder, h_fld and
h_sel (the selection box, only when the results are of one folder).
%%endif%%
<main id="main" tabindex="-1">
<h1>Search</h1>
<form class="card" role="search" method="get" action="%%b_action%%">
<input type="hidden" name="cmd" value="search">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<p><label for="q">Words</label>
<input type="search" id="q" name="q" maxlength="200" value="%%s_q%%"></p>
<p class="muted">Each word is looked for in the subject, the sender, the recipients and the text; put a phrase in double quotes.</p>
<fieldset><legend>Where</legend>
<input type="radio" id="sfld_this" name="sfld" value="this"
%%ifdef%%s_one%%
 checked
%%endif%%
><label for="sfld_this">%%folder%%</label>
<input type="radio" id="sfld_all" name="sfld" value="all"
%%ifdef%%s_all%%
 checked
%%endif%%
><label for="sfld_all">All folders</label>
</fieldset>
<p><label for="since">From date</label> <input type="date" id="since" name="since" value="%%s_since%%">
<label for="until">to date</label> <input type="date" id="until" name="until" value="%%s_until%%"></p>
<p><input type="checkbox" id="att" name="att" value="1"
%%ifdef%%s_att%%
 checked
%%endif%%
><label for="att">Has attachments</label>
<input type="checkbox" id="unread" name="unread" value="1"
%%ifdef%%s_unread%%
 checked
%%endif%%
><label for="unread">Unread</label>
<input type="checkbox" id="in" name="in" value="headers"
%%ifdef%%s_headers%%
 checked
%%endif%%
><label for="in">Subject, sender and recipients only</label></p>
<p><button type="submit" class="primary">Search</button>
<a class="btn" href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%&amp;fld=%%fld%%">Back to %%folder%%</a></p>
</form>
%%ifdef%%error%%
<div class="alert" role="alert"><p>%%error%%</p></div>
%%endif%%
%%ifdef%%s_empty%%
<p class="muted">Type a word, or choose dates, attachments or unread, then Search.</p>
%%else%%
<p class="muted" role="status">%%nitems%% found among %%s_scanned%% messages.</p>
%%ifdef%%s_remote%%
<div class="alert info" role="status"><p>%%s_remote%% message(s) whose text is still on the server were searched by their headers only.</p></div>
%%endif%%
%%ifequal%%nitems%%0%%
<div class="card empty"><p>No message matches.</p></div>
%%else%%
<form method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<input type="hidden" name="must_lock" value="1">
%%ifdef%%s_one%%
<div class="tools" role="group" aria-label="Selected messages">
<button type="submit" class="danger" name="delsel" value="1">Delete</button>
<span class="grp">
<label for="movefld" class="vh">Destination folder</label>
<select id="movefld" name="dstfld">%%dfldlist%%</option></select>
<button type="submit" name="movesel" value="1">Move</button>
<button type="submit" name="copysel" value="1">Copy</button>
</span>
</div>
%%endif%%
<table class="tbl msgs">
<caption class="vh">Messages found, page %%page_num%% of %%pages%%.</caption>
<thead><tr>
<th scope="col" class="sel"><span class="vh">Select</span></th>
<th scope="col"
%%ifequal%%sort_on%%from:%%
 aria-sort="ascending"><a href="%%b_search%%&amp;sort_on=-from:">From</a>
%%else%%
%%ifequal%%sort_on%%-from:%%
 aria-sort="descending"
%%endif%%
><a href="%%b_search%%&amp;sort_on=from:">From</a>
%%endif%%
</th>
<th scope="col"
%%ifequal%%sort_on%%subject:%%
 aria-sort="ascending"><a href="%%b_search%%&amp;sort_on=-subject:">Subject</a>
%%else%%
%%ifequal%%sort_on%%-subject:%%
 aria-sort="descending"
%%endif%%
><a href="%%b_search%%&amp;sort_on=subject:">Subject</a>
%%endif%%
</th>
<th scope="col">Folder</th>
<th scope="col"
%%ifequal%%sort_on%%datetime%%
 aria-sort="ascending"><a href="%%b_search%%&amp;sort_on=-datetime">Date</a>
%%else%%
%%ifequal%%sort_on%%-datetime%%
 aria-sort="descending"
%%endif%%
><a href="%%b_search%%&amp;sort_on=datetime">Date</a>
%%endif%%
</th>
<th scope="col" class="size"
%%ifequal%%sort_on%%bytes:%%
 aria-sort="ascending"><a href="%%b_search%%&amp;sort_on=-bytes:">Size</a>
%%else%%
%%ifequal%%sort_on%%-bytes:%%
 aria-sort="descending"
%%endif%%
><a href="%%b_search%%&amp;sort_on=bytes:">Size</a>
%%endif%%
</th>
</tr></thead>
<tbody>
%%begin_list%%
<tr class="r%%h_isread%% n%%h_isunseen%%">
<td class="sel">%%h_sel%%</td>
<td class="from"><span class="st"></span>%%h_from_trim%%</td>
<td class="subj"><a href="%%b_item%%">%%h_subject%%</a><span class="clip a%%h_isattached%%"></span><span class="flag f%%h_isreplied%%"></span><br><small class="snip">%%h_snippet%%</small></td>
<td class="fldname">%%h_folder%%</td>
<td class="date">%%h_date_trim%%</td>
<td class="size">%%h_kbytes%% KB</td>
</tr>
%%end_list%%
</tbody>
</table>
</form>
<nav class="pager" aria-label="Pages">
<p>Page %%page_num%% of %%pages%%</p>
<ul>
%%ifdef%%b_list_prev%%
<li><a class="btn" href="%%b_list_prev%%" rel="prev">Previous page</a></li>
%%endif%%
%%ifdef%%b_list_next%%
<li><a class="btn" href="%%b_list_next%%" rel="next">Next page</a></li>
%%endif%%
</ul>
</nav>
%%endif%%
%%endif%%
</main>
%%include%%footer.tpl%%
