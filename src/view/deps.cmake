# The HTML sanitiser of the message page parses mail HTML with gumbo.  It is
# linked statically: the program starts once per request and a shared
# library would add its load time to every page.
find_path(LK_GUMBO_INCLUDE gumbo.h)
find_library(LK_GUMBO_LIB NAMES libgumbo.a gumbo)
if(NOT LK_GUMBO_INCLUDE OR NOT LK_GUMBO_LIB)
  message(FATAL_ERROR "The gumbo HTML parser was not found (gumbo.h and libgumbo.a). "
                      "Install the Debian package libgumbo-dev and run cmake again.")
endif()
list(APPEND LK_EXTERNAL_LIBS ${LK_GUMBO_LIB})
list(APPEND LK_EXTERNAL_INCLUDES ${LK_GUMBO_INCLUDE})
