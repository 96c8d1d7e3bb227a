%%ifdef%%template_notes%%
Forwarding with editing: the compose page with the forwarded message quoted
in the text and fwdedit set, so the form offers to carry its attachments.
%%endif%%
%%include%%send.tpl%%
