#pragma once
// Static files of the operator pages: wwwdir first, then sys_wwwdir.

#include <string>

struct srv_call;

// Fills the call's reply with the file at `path` (a URL path).
void srv_static_serve(srv_call *c, const char *path);
// Serves the request's own path; 400 when a decoded NUL cut it short.
void srv_static_request(srv_call *c);
// Rewrites absolute links to .ks panel files on other hosts into bare paths.
std::string http_rewrite_ks_links(const std::string &html);
// Content type and whether the type may be cached, by file extension.
const char *srv_content_type(const char *path, bool *cacheable);
// Resolves `path` under `root` (a real directory) to an existing regular
// file that does not leave root, also through symbolic links. Returns the
// resolved path or "" when there is none.
std::string srv_resolve_under(const char *root, const char *path);
