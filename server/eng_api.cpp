// Engineering API and pages behind the gate. The API has no endpoints yet:
// each one is added as an entry of the list at the end of this file.

#include <cstring>

#include "server/srv_routes.h"
#include "server/srv_static.h"

namespace {

void eng_preflight(srv_call *c) {
    srv_reply_preflight(c->reply);
}

void eng_not_found(srv_call *c) {
    srv_reply_error(c->reply, 404, "not_found", "", SRV_JSON_UTF8);
}

void eng_redirect(srv_call *c) {
    srv_reply_redirect(c->reply, "/eng/");
}

void eng_index(srv_call *c) {
    srv_static_serve(c, "/eng/index.html");
}

void eng_page(srv_call *c) {
    srv_static_serve(c, c->req->path);
}

// Browsers ask before cross-origin uploads; the preflight needs no login.
// The upload body allowance is the path's, so the preflight shares it.
const srv_route routes[] = {
    {SRV_OPTIONS, "/api/eng/", eng_preflight, SRV_PREFIX | SRV_LARGE_BODY},
    {SRV_ANY, "/api/eng/", eng_not_found, SRV_PREFIX | SRV_ENGINEERING | SRV_LARGE_BODY},
    {SRV_ANY, "/api/eng", eng_not_found, SRV_ENGINEERING},
    {SRV_ANY, "/eng", eng_redirect, SRV_ENGINEERING},
    {SRV_ANY, "/eng/", eng_index, SRV_ENGINEERING},
    {SRV_ANY, "/eng/", eng_page, SRV_PREFIX | SRV_ENGINEERING},
};

}  // namespace

std::span<const srv_route> eng_api_routes() {
    return routes;
}
