%%set%%nav%%1%%
%%set%%title%%Junk-mail introductions%%%%include%%header.tpl%%
<main id="main" tabindex="-1">
<h1>Junk-mail introductions</h1>
<div class="card">
<p class="lead">Introductions keep junk mail away without losing mail from people you have not heard from before.</p>
<h2>How it works</h2>
<p>Mail from a sender on your <em>friends</em> list reaches you straight away. Mail from anyone else is held, and the sender is asked to introduce themselves by answering a short message. When they answer, the sender joins your friends and the held mail is delivered. Mail from senders on your <em>hostiles</em> list is removed.</p>
<h2>Held mail and reports</h2>
<p>Held messages are kept for a number of days and then removed. You receive a report at regular intervals that lists what is being held, so you can accept a sender yourself.</p>
<h2>Your settings</h2>
<dl class="help">
<dt>Friends and hostiles</dt><dd>One address per line. A line with <code>*</code> matches many addresses, for example every sender of one domain.</dd>
<dt>Check interval</dt><dd>How often, in minutes, your mail is examined.</dd>
<dt>Report interval</dt><dd>How many days pass between reports.</dd>
<dt>Hold period</dt><dd>How many days held mail is kept before it is removed.</dd>
<dt>Messages</dt><dd>The texts sent to unknown senders and friends; you can change their wording.</dd>
</dl>
<p><a href="%%b_action%%?cmd=jconf&amp;utoken=%%utoken%%">Change your junk-mail settings</a> &middot; <a href="%%b_action%%?cmd=help&amp;utoken=%%utoken%%">General help</a></p>
</div>
</main>
%%include%%footer.tpl%%
