%%set%%nav%%1%%
%%set%%title%%Folders%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Folder management.  Each folder row (between the folder-list markers, whose
lines are joined without line breaks) uses f_href, f_name, f_msgs, f_unread,
f_new, f_size, and, for folders that may change, f_newname (a text field named
f_nameN), f_rename (a button named fld_renameN) and f_delete (a delete link).
After the rows: f_tmsgs, f_tunread, f_tnew, f_tsize.
Forms post to the program: the renames, fld_create with newname, and empty;
each carries must_lock, so it waits for the user's other requests.
%%endif%%
<main id="main" tabindex="-1">
<h1>Folders</h1>
%%ifdef%%error%%
<div class="alert" role="alert"><p>%%error%%</p></div>
%%endif%%
<form method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="must_lock" value="1">
<button type="submit" disabled hidden>Rename</button>
<div class="scroll">
<table class="tbl flds">
<caption class="vh">Your folders with their message counts and sizes</caption>
<thead><tr><th scope="col">Folder</th><th scope="col" class="num">Messages</th><th scope="col" class="num">Unread</th><th scope="col" class="num">New</th><th scope="col" class="num">Size</th><th scope="col">Rename</th><th scope="col"><span class="vh">Delete</span></th></tr></thead>
<tbody>
%%begin_flist%%
<tr><th scope="row"><a href="%%f_href%%">%%f_name%%</a></th>
<td class="num">%%f_msgs%%</td><td class="num">%%f_unread%%</td><td class="num">%%f_new%%</td><td class="num">%%f_size%% KB</td>
<td><label class="inline"><span class="vh">New name for %%f_name%%</span>%%f_newname%%</label> %%f_rename%%</td>
<td>%%f_delete%%</td></tr>
%%end_flist%%
</tbody>
<tfoot><tr><th scope="row">Total</th><td class="num">%%f_tmsgs%%</td><td class="num">%%f_tunread%%</td><td class="num">%%f_tnew%%</td><td class="num">%%f_tsize%% KB</td><td></td><td></td></tr></tfoot>
</table>
</div>
</form>
<div class="card">
<h2>New folder</h2>
<form class="tools" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="must_lock" value="1">
<label for="newname">Name</label>
<input type="text" id="newname" name="newname" maxlength="200" required class="grow">
<button type="submit" class="primary" name="fld_create" value="1">Create folder</button>
</form>
</div>
<div class="card">
<h2>Trash</h2>
<form class="tools" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="must_lock" value="1">
<p>Deleted messages wait in the trash until you empty it.</p>
<button type="submit" class="danger" name="empty" value="1">Empty the trash</button>
</form>
</div>
</main>
%%include%%footer.tpl%%
