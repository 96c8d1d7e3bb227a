#include "cgi/request.h"

Request g;

void request_reset() { g = Request{}; }
