# TLS to the mail servers uses OpenSSL (Debian's libssl-dev).  Linked
# statically by default: the program starts once per request, and loading
# libssl and libcrypto as shared libraries costs more at every start than
# the larger file does (README, "Speed").  LARKSPUR_OPENSSL_SHARED=ON links
# the shared libraries instead.
option(LARKSPUR_OPENSSL_SHARED "Link OpenSSL as shared libraries" OFF)
if(LARKSPUR_OPENSSL_SHARED)
  list(APPEND LK_EXTERNAL_LIBS ssl crypto)
else()
  list(APPEND LK_EXTERNAL_LIBS /usr/lib/x86_64-linux-gnu/libssl.a /usr/lib/x86_64-linux-gnu/libcrypto.a)
  # libcrypto.a needs these from the C library at run time.
  list(APPEND LK_EXTERNAL_LIBS pthread dl)
endif()
