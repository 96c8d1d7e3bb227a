%%set%%nav%%1%%
%%set%%title%%Write a message%%%%include%%header.tpl%%
%%ifdef%%template_notes%%
Compose page.  From the compose handler: h_from (the To text), a_from, h_cc, h_bcc,
h_subject, h_priority, reply and from (the From address), h_message and
h_message_html (text typed before a failed send), kept_attach and kept_attach0..3
(files of a failed send kept for the next try), tolist (the pick list; used when To is empty), v_copyself, v_addsig,
v_send_autocc ("checked" or empty), pop_name0.. and pop_reply0.. (the accounts),
and, on a reply, the quoted body where quote_body stands, with item (the message
answered) and in_reply_to and references (its threading headers); on a forward,
fwdedit_attachments ("checked" carries the message's attached files).  The form posts
cmd=send as multipart/form-data with the files in attach, attach2, attach3, attach4.
pgpto: the recipient key choice (whole options, "(no encryption)" first);
pgp_sig_key: the key of the signature, which send_addpgp adds to the mail.
%%endif%%
<main id="main" tabindex="-1">
<h1>Write a message</h1>
%%ifdef%%send_failed%%
<div class="alert error" role="alert"><p>The message was not sent. %%error%%</p></div>
%%endif%%
<form class="card compose" method="post" action="%%b_action%%" enctype="multipart/form-data">
<input type="hidden" name="utoken" value="%%utoken%%">
<input type="hidden" name="cmd" value="send">
<input type="hidden" name="fld" value="%%fld%%">
%%ifdef%%item%%
<input type="hidden" name="item" value="%%item%%">
%%endif%%
%%ifdef%%in_reply_to%%
<input type="hidden" name="in_reply_to" value="%%in_reply_to%%">
<input type="hidden" name="references" value="%%references%%">
%%endif%%
<p><label for="reply">From</label>
<input id="reply" name="reply" value="%%reply%%" autocomplete="email"></p>
<p><label for="to">To</label>
<input id="to" name="to" value="%%h_from%%"></p>
%%ifdef%%tolist%%
<p><label for="tolist">or pick</label>
<select id="tolist" name="tolist">%%tolist%%</option></select></p>
%%endif%%
<p><label for="cc">Cc</label>
<input id="cc" name="cc" value="%%h_cc%%"></p>
<p><label for="bcc">Bcc</label>
<input id="bcc" name="bcc" value="%%h_bcc%%"></p>
<p><label for="subject">Subject</label>
<input id="subject" name="subject" value="%%h_subject%%"></p>
<p><label for="message">Message</label>
<textarea id="message" name="message" rows="18" cols="76">%%h_message%%
%%ifdef%%item%%
%%quote_body%%
%%endif%%
</textarea></p>
<details>
<summary>HTML version (optional)</summary>
<p><label for="message_html">HTML text</label>
<textarea id="message_html" name="message_html" rows="8" cols="76">%%h_message_html%%</textarea></p>
</details>
%%ifdef%%kept_attach%%
<fieldset>
<legend>Files kept from the last try</legend>
%%ifdef%%kept_attach0%%
<div class="check"><input type="checkbox" id="keep_attach0" name="keep_attach0" checked><label for="keep_attach0">%%kept_attach0%%</label></div>
%%endif%%
%%ifdef%%kept_attach1%%
<div class="check"><input type="checkbox" id="keep_attach1" name="keep_attach1" checked><label for="keep_attach1">%%kept_attach1%%</label></div>
%%endif%%
%%ifdef%%kept_attach2%%
<div class="check"><input type="checkbox" id="keep_attach2" name="keep_attach2" checked><label for="keep_attach2">%%kept_attach2%%</label></div>
%%endif%%
%%ifdef%%kept_attach3%%
<div class="check"><input type="checkbox" id="keep_attach3" name="keep_attach3" checked><label for="keep_attach3">%%kept_attach3%%</label></div>
%%endif%%
</fieldset>
%%endif%%
%%ifdef%%fwdedit%%
<div class="check"><input type="checkbox" id="fwdedit_attachments" name="fwdedit_attachments" %%fwdedit_attachments%%><label for="fwdedit_attachments">Send the forwarded message's attachments: %%attachment_names%%</label></div>
%%endif%%
<fieldset>
<legend>Attach files</legend>
<p><input type="file" id="attach" name="attach" aria-label="File 1"></p>
<p><input type="file" id="attach2" name="attach2" aria-label="File 2"></p>
<p><input type="file" id="attach3" name="attach3" aria-label="File 3"></p>
<p><input type="file" id="attach4" name="attach4" aria-label="File 4"></p>
</fieldset>
<fieldset>
<legend>Options</legend>
<div class="check"><input type="checkbox" id="copyself" name="copyself" %%v_copyself%%><label for="copyself">Keep a copy</label></div>
<div class="check"><input type="checkbox" id="addsig" name="addsig" %%v_addsig%%><label for="addsig">Add my signature</label></div>
<div class="check"><input type="checkbox" id="send_autocc" name="send_autocc" %%v_send_autocc%%><label for="send_autocc">Send a copy to myself</label></div>
%%ifdef%%pgpto%%
<p><label for="pgpto">Encrypt for</label>
<select id="pgpto" name="pgpto">%%pgpto%%</select></p>
%%endif%%
%%ifdef%%pgp_sig_key%%
<div class="check"><input type="checkbox" id="send_addpgp" name="send_addpgp"><label for="send_addpgp">Add my public key (%%pgp_sig_key%%)</label></div>
%%endif%%
</fieldset>
<p><button type="submit" class="primary" id="sendbtn">Send</button>
<button type="submit" name="spell_check" value="1" id="spellbtn" formnovalidate>Check spelling</button></p>
</form>
</main>
%%include%%footer.tpl%%
