// A small HTTP/1.1 client over raw sockets for the page's tests: it sends exactly the bytes a
// test gives it (a hostile client too) and reads the answer until the server closes. Loopback
// only.
#pragma once

#include <map>
#include <string>

struct http_answer {
    int status = 0;  // 0: no answer (refused, closed or timed out)
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// The port of a URL such as http://127.0.0.1:8080/; 0 when it has none.
int url_port(const std::string& url);
// A TCP connection to 127.0.0.1:`port` (blocking); -1 when it can't be made.
int http_connect(int port);
// Sends all of `data` on `fd`; false when the connection took less (it was closed).
bool http_send(int fd, const std::string& data);
// Sends `request` as it stands to 127.0.0.1:`port` and reads the answer until the server
// closes or `timeout_ms` passes.
http_answer http_exchange(int port, const std::string& request, int timeout_ms = 10000);
// GET (or another `method`) `path` with Host `host` and nothing else.
http_answer http_get(int port, const std::string& path, const std::string& host = "127.0.0.1",
                     const std::string& method = "GET");
