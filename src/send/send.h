// The compose page and the send command.  f_send shows the compose form;
// r_send checks everything the form holds, builds the whole message,
// submits it by SMTP and files the sent copy once the server has taken it.
// A send that fails shows the compose form again with everything typed and
// the files still attached.
#pragma once

int f_send();
int r_send();
// Counts one more recipient against the daily limit (max_sends): 1 when
// the limit is reached and this recipient must be refused.
int too_many_sends();
