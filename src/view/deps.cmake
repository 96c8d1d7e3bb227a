# The HTML sanitiser of the message page parses mail HTML with gumbo.  It is
# linked statically: the program starts once per request and a shared
# library would add its load time to every page.
list(APPEND LK_EXTERNAL_LIBS /usr/lib/x86_64-linux-gnu/libgumbo.a)
