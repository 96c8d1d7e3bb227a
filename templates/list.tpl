%%set%%nav%%1%%
%%set%%title%%Messages%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Message list of one folder.  From the list handler: folder (name), fld, nitems,
tunread, nnew, nnew_sl, nrej, upto, pages, page_num, b_list_prev, b_list_next,
newmail, last_login, rule_log (what the filter rules did); fldlist and dfldlist (option lists of the folders, the current
one chosen; the closing option tag is the page's); sort_on and page_size.
Each row (between the list markers) uses only row variables, since the row block is
filled in without conditions: b_item, item, h_from_trim, h_subject, h_subject_40,
h_date_trim, h_kbytes, and the flags h_isread, h_isunseen, h_isattached, h_isreplied
(0 or 1) which become class names the stylesheet turns into markers.
Forms post to the program: the selection form (sel_N check boxes, buttons delsel,
rejsel, movesel, copysel with dstfld), the folder switch (switch with dstfld),
the view form (saveconfig with sort_on and page_size; the settings command
clears some flags when absent, so they are passed on unchanged), and the search
form (a get of cmd=search with q and sfld; its results page is search.tpl).
%%endif%%
<main id="main" tabindex="-1">
<h1>%%folder%%</h1>
%%ifdef%%rule_log%%
<div class="alert info" role="status"><p class="pre">%%rule_log%%</p></div>
%%endif%%
<p class="muted">
%%nitems%% messages, %%tunread%% unread
%%ifdef%%last_login%%
 &middot; last login %%last_login%%
%%endif%%
</p>
%%ifdef%%error%%
<div class="alert" role="alert"><p>%%error%%</p></div>
%%endif%%
%%ifdef%%info_msg%%
<div class="alert info" role="status"><p>%%info_msg%%</p></div>
%%endif%%
%%ifdef%%newmail%%
%%ifdef%%nnew%%
%%ifnequal%%nnew%%0%%
<div class="alert info" role="status"><p><strong>%%nnew%% new</strong> message(s) arrived.</p></div>
%%endif%%
%%endif%%
%%endif%%
<div class="tools">
<form method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<label for="gofld">Folder</label>
<select id="gofld" name="dstfld">%%fldlist%%</option></select>
<button type="submit" name="switch" value="1">Open</button>
</form>
<span class="spacer"></span>
<a class="btn wide-only" href="%%b_action%%?cmd=checknew&amp;utoken=%%utoken%%">Check mail</a>
<a class="btn primary wide-only" href="%%b_action%%?cmd=send&amp;utoken=%%utoken%%">Compose</a>
</div>
<form class="tools" role="search" method="get" action="%%b_action%%">
<input type="hidden" name="cmd" value="search">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<label for="q">Search</label>
<input type="search" id="q" name="q" class="grow" maxlength="200" placeholder="Sender, subject or words in the text">
<select name="sfld" aria-label="Where to search"><option value="this">This folder</option><option value="all">All folders</option></select>
<button type="submit">Search</button>
<a href="%%b_action%%?cmd=search&amp;utoken=%%utoken%%&amp;fld=%%fld%%">More choices</a>
</form>
<form id="sortform" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<input type="hidden" name="saveconfig" value="1">
%%include%%keepflags.tpl%%
</form>
%%ifequal%%nitems%%0%%
<div class="card empty"><p>This folder is empty.</p></div>
%%else%%
<form method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<input type="hidden" name="must_lock" value="1">
<div class="tools" role="group" aria-label="Selected messages">
<button type="submit" class="danger" name="delsel" value="1">Delete</button>
<button type="submit" name="rejsel" value="1">Delete and block sender</button>
<span class="grp">
<label for="movefld" class="vh">Destination folder</label>
<select id="movefld" name="dstfld">%%dfldlist%%</option></select>
<button type="submit" name="movesel" value="1">Move</button>
<button type="submit" name="copysel" value="1">Copy</button>
</span>
</div>
<table class="tbl msgs">
<caption class="vh">Messages in %%folder%%, page %%page_num%% of %%pages%%. Column headers sort the list.</caption>
<thead><tr>
<th scope="col" class="sel"><span class="vh">Select</span></th>
<th scope="col"
%%ifequal%%sort_on%%from:%%
 aria-sort="ascending"><button form="sortform" name="sort_on" value="-from:">From</button>
%%else%%
%%ifequal%%sort_on%%-from:%%
 aria-sort="descending"
%%endif%%
><button form="sortform" name="sort_on" value="from:">From</button>
%%endif%%
</th>
<th scope="col"
%%ifequal%%sort_on%%subject:%%
 aria-sort="ascending"><button form="sortform" name="sort_on" value="-subject:">Subject</button>
%%else%%
%%ifequal%%sort_on%%-subject:%%
 aria-sort="descending"
%%endif%%
><button form="sortform" name="sort_on" value="subject:">Subject</button>
%%endif%%
</th>
<th scope="col"
%%ifequal%%sort_on%%-datetime%%
 aria-sort="descending"><button form="sortform" name="sort_on" value="datetime">Date</button>
%%else%%
%%ifequal%%sort_on%%datetime%%
 aria-sort="ascending"
%%endif%%
><button form="sortform" name="sort_on" value="-datetime">Date</button>
%%endif%%
</th>
<th scope="col" class="size"
%%ifequal%%sort_on%%-bytes:%%
 aria-sort="descending"><button form="sortform" name="sort_on" value="bytes:">Size</button>
%%else%%
%%ifequal%%sort_on%%bytes:%%
 aria-sort="ascending"
%%endif%%
><button form="sortform" name="sort_on" value="-bytes:">Size</button>
%%endif%%
</th>
</tr></thead>
<tbody>
%%begin_list%%
<tr class="r%%h_isread%% n%%h_isunseen%%">
<td class="sel"><input type="checkbox" id="sel_%%item%%" name="sel_%%item%%"><label for="sel_%%item%%" class="vh">Select %%h_subject_40%%</label></td>
<td class="from"><span class="st"></span>%%h_from_trim%%</td>
<td class="subj"><a href="%%b_item%%">%%h_subject%%</a><span class="clip a%%h_isattached%%"></span><span class="flag f%%h_isreplied%%"></span></td>
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
<li><a class="btn" href="%%b_action%%?cmd=list&amp;utoken=%%utoken%%&amp;fld=%%fld%%">First page</a></li>
<li><a class="btn" href="%%b_list_prev%%" rel="prev">Previous page</a></li>
%%endif%%
%%ifdef%%b_list_next%%
<li><a class="btn" href="%%b_list_next%%" rel="next">Next page</a></li>
%%endif%%
</ul>
</nav>
%%endif%%
<form class="tools" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="fld" value="%%fld%%">
<input type="hidden" name="saveconfig" value="1">
%%include%%keepflags.tpl%%
<label for="sort_on">Sort by</label>
<select id="sort_on" name="sort_on">
<option value="arrival"
%%ifequal%%sort_on%%arrival%%
 selected
%%endif%%
>Arrival, newest first</option>
<option value="-datetime"
%%ifequal%%sort_on%%-datetime%%
 selected
%%endif%%
>Date, newest first</option>
<option value="datetime"
%%ifequal%%sort_on%%datetime%%
 selected
%%endif%%
>Date, oldest first</option>
<option value="from:"
%%ifequal%%sort_on%%from:%%
 selected
%%endif%%
>Sender, A to Z</option>
<option value="subject:"
%%ifequal%%sort_on%%subject:%%
 selected
%%endif%%
>Subject, A to Z</option>
<option value="-from:"
%%ifequal%%sort_on%%-from:%%
 selected
%%endif%%
>Sender, Z to A</option>
<option value="-subject:"
%%ifequal%%sort_on%%-subject:%%
 selected
%%endif%%
>Subject, Z to A</option>
<option value="-bytes:"
%%ifequal%%sort_on%%-bytes:%%
 selected
%%endif%%
>Size, largest first</option>
<option value="bytes:"
%%ifequal%%sort_on%%bytes:%%
 selected
%%endif%%
>Size, smallest first</option>
</select>
<label for="page_size">Per page</label>
<select id="page_size" name="page_size">
%%ifnequal%%page_size%%10%%%%ifnequal%%page_size%%25%%%%ifnequal%%page_size%%50%%%%ifnequal%%page_size%%100%%<option selected>%%page_size%%</option>%%endif%%%%endif%%%%endif%%%%endif%%
<option
%%ifequal%%page_size%%10%%
 selected
%%endif%%
>10</option>
<option
%%ifequal%%page_size%%25%%
 selected
%%endif%%
>25</option>
<option
%%ifequal%%page_size%%50%%
 selected
%%endif%%
>50</option>
<option
%%ifequal%%page_size%%100%%
 selected
%%endif%%
>100</option>
</select>
<button type="submit">Apply</button>
</form>
</main>
%%include%%footer.tpl%%
