%%set%%nav%%1%%
%%set%%title%%Help%%%%include%%header.tpl%%
<main id="main" tabindex="-1">
<h1>Help</h1>
<div class="card">
<h2 id="reading">Reading mail</h2>
<p>The inbox lists your messages, newest first unless you choose another order. Unread messages are in <strong>bold</strong> with a mark at the left; <em>new</em> marks mail that arrived since you last looked, and a paper clip shows a message with attachments.</p>
<p>Select a subject to open the message. From there you can reply, forward, delete or move it, and step to the previous or next message. Attachments are listed above the text; select one to download it.</p>
<h2 id="sorting">Sorting and pages</h2>
<p>Select a column heading (From, Subject, Date, Size) to sort by it; select it again to reverse the order. On a small screen use the <em>Sort by</em> choice below the list. <em>Per page</em> sets how many messages each page shows.</p>
<h2 id="organising">Folders</h2>
<p>Tick the messages you want, choose a folder and press <em>Move</em> or <em>Copy</em>. <em>Delete</em> moves them to the trash; <em>Delete and block sender</em> also refuses future mail from that sender. Create, rename and delete folders under <em>Folders</em>, where you can also empty the trash.</p>
<h2 id="writing">Writing</h2>
<p><em>Compose</em> opens a new message. Replies quote the original text; <em>Reply all</em> also answers everyone the message was sent to.</p>
<h2 id="safety">Staying safe</h2>
<p>Messages are shown as plain text unless you ask for their own formatting; pictures from the sender are shown only if you choose to see attachments in the text. Always use <em>Log out</em> when you finish, especially on a shared computer.</p>
<p><a href="%%b_action%%?cmd=jhelp&amp;utoken=%%utoken%%">About junk-mail introductions</a></p>
</div>
</main>
%%include%%footer.tpl%%
