// The line's page: a read-only page and its JSON status, served from the station's own process
// on a thread of the server's own (page_server.cpp). The server only hands out the last status
// the station published; nothing a browser sends reaches the station.
#pragma once

#include <string>
#include <vector>

struct page_server;

// Connections the page serves at once at most; fewer when the station's descriptors are short.
constexpr unsigned PAGE_CONNECTIONS_MAX = 32;

// Serves on `host`:`port` (0: a free port of the system's choosing), answering requests that
// name it by an IP address, localhost or one of `names` (--http-host), on at most
// `connections` connections at once. nullptr with `error` when it can't; the port it got in
// `bound_port`.
page_server* page_start(const std::string& host, int port, const std::vector<std::string>& names,
                        unsigned connections, int& bound_port, std::string& error);
// The status that /api/status returns from now on (one JSON object).
void page_publish(page_server* server, const std::string& status_json);
// The text that /metrics returns from now on (Prometheus' text format).
void page_publish_metrics(page_server* server, const std::string& metrics_text);
void page_stop(page_server* server);  // closes every connection at once; harmless on nullptr

// The page itself: HTML with its style and script, built into the program.
extern const char line_page_html[];
// Its Content-Security-Policy: nothing from elsewhere, and of inline code only the page's own
// script and style, named by their SHA-256 hashes (made by the build).
extern const char line_page_policy[];
