// The search command and its result page: a list page whose rows are the
// messages of one folder, or of all folders, that hold every word typed and
// pass the chosen narrowing (dates, attachments, unread).  Headers come
// from the folder indexes; the text from the cached message files, read
// where they lie (nothing is kept between requests).  A message whose body
// is still on the POP server is matched by its headers and counted, so the
// page can say so.
#pragma once
#include <string>

// "search": the result page ("search" template).  Non-zero for success.
int f_search();

// The rows of the message list: the search's rows while its page is being
// shown, otherwise the folder's (view/list.h).
void view_show_list(const std::string& block);

void search_reset();
