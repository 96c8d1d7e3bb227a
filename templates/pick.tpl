%%set%%nav%%1%%
%%set%%title%%Address books%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Address-book page.  From the address-book handler: tolist and topick (option
lists), toedit (recent addresses, one a line), autoadd and autoadda
("checked" or empty), abook_edit (the book being edited) with its text where
abook stands, gaddr_books (group book references), addr_books and
addr_booksa (book choices), msg (what was just done).  The form posts
cmd=pick_set with page=pick; the buttons edit_abook and del_abook open or
delete the book named in abook_edit.
%%endif%%
<main id="main" tabindex="-1">
<h1>Address books</h1>
%%ifdef%%msg%%
<div class="alert" role="status"><p>%%msg%%</p></div>
%%endif%%
%%ifdef%%error%%
<div class="alert error" role="alert"><p>%%error%%</p></div>
%%endif%%
<form class="card" method="post" action="%%b_action%%">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="cmd" value="pick_set">
<input type="hidden" name="page" value="pick">
<p><label for="abook_edit">Book</label>
<input id="abook_edit" name="abook_edit" value="%%abook_edit%%" maxlength="100"></p>
<p><label for="abook">Entries (one a line: an address, or name = address, address)</label>
<textarea id="abook" name="abook" rows="12" cols="76">%%abook%%</textarea></p>
<p><button type="submit" name="edit_abook" value="1">Open this book</button>
<button type="submit" name="del_abook" value="1">Delete this book</button></p>
<p><label for="toedit">Recent addresses</label>
<textarea id="toedit" name="toedit" rows="6" cols="76">%%toedit%%</textarea></p>
<p><label for="gaddr_books">Group books (user/book, comma separated)</label>
<input id="gaddr_books" name="gaddr_books" value="%%gaddr_books%%"></p>
<div class="check"><input type="checkbox" id="autoadd" name="autoadd" %%autoadd%%><label for="autoadd">Remember the addresses I write to</label></div>
<div class="check"><input type="checkbox" id="autoadda" name="autoadda" %%autoadda%%><label for="autoadda">Add them to a book</label></div>
%%ifdef%%addr_booksa%%
<p><label for="add_book">Book to add to</label>
<select id="add_book" name="add_book">%%addr_booksa%%</option></select></p>
<p><label for="abook_only">Offer only this book</label>
<select id="abook_only" name="abook_only">%%addr_books%%</option></select></p>
%%endif%%
<p><label for="tolist">Everyone you can pick</label>
<select id="tolist" name="tolist">%%tolist%%</option></select></p>
<p><button type="submit" class="primary" id="savebtn">Save</button></p>
</form>
</main>
%%include%%footer.tpl%%
