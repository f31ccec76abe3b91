// The line's page served with GNU libmicrohttpd. One thread of the library's own runs an event
// loop over every connection, under limits that no client can push past: a slow, idle, huge or
// numerous client costs the gang a bounded amount of memory and descriptors, and never a wait.
// Only GET and HEAD of three paths are answered; a request with a body is refused unread.
#include <microhttpd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/os.h"
#include "line/metrics.h"
#include "line/page.h"

struct page_server {
    MHD_Daemon* daemon = nullptr;
    std::vector<std::string> names;  // Host names answered beside IP addresses and localhost
    std::mutex lock;
    std::string status = "{}";
    std::string metrics;
};

namespace {

// PAGE_CONNECTIONS_MAX (page.h): a few screens on the line, with room for reloads; more are
// closed at once when they come. One client (or one proxy in front of many) can't take every connection.
constexpr unsigned CONNECTIONS_PER_ADDRESS = 8;
// A connection that sends or takes nothing for this long is closed: idle and stalled clients.
constexpr unsigned IDLE_TIMEOUT_S = 5;
// Everything a connection holds (request line, headers, the answer's head); a request that
// does not fit is answered 431 or 413 and closed. A browser's GET needs about 1 KB.
constexpr size_t CONNECTION_MEMORY = 16 * 1024;
constexpr unsigned LISTEN_BACKLOG = 64;  // connections the system queues before the loop takes them

// On every answer: never cached (the status is live), never read as another type, and no
// address of the page passed on to another site.
const char* const COMMON_HEADERS[][2] = {
    {"Cache-Control", "no-store"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
};

bool ip_literal(const std::string& host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return true;  // only an IPv6 address is written in brackets
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

bool same_name(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A page read under another name is what DNS rebinding does: a hostile site's name made to
// point at the gang, so that its script may read the status. An address can't be rebound, so
// any IP address is answered, and of names only localhost and those given with --http-host.
bool host_answered(const page_server& server, const char* header)
{
    if (!header)
        return true;  // HTTP/1.0 without Host: no browser sends that
    std::string host = header;
    size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']', colon) == std::string::npos)
        host.resize(colon);  // the port
    if (ip_literal(host) || same_name(host, "localhost"))
        return true;
    for (const std::string& name : server.names)
        if (same_name(host, name))
            return true;
    return false;
}

MHD_Result reply(MHD_Connection* connection, unsigned code, const std::string& body, const char* type,
                const char* policy = nullptr)
{
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    for (const auto& header : COMMON_HEADERS)
        MHD_add_response_header(response, header[0], header[1]);
    if (policy)
        MHD_add_response_header(response, "Content-Security-Policy", policy);
    if (code == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    MHD_Result queued = MHD_queue_response(connection, code, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result refuse(MHD_Connection* connection, unsigned code, const char* why)
{
    return reply(connection, code, std::string(why) + "\n", "text/plain; charset=utf-8");
}

bool has_body(MHD_Connection* connection)
{
    const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const char* coding =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
    return coding || (length && strcmp(length, "0") != 0);
}

// Called once the request's head is in: every answer is given then, so a body is never read
// (the library closes the connection after answering one that has a body).
MHD_Result answer(void* context, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t*, void**)
{
    page_server* server = static_cast<page_server*>(context);
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return refuse(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD: the page is read only");
    if (has_body(connection))
        return refuse(connection, MHD_HTTP_CONTENT_TOO_LARGE, "a request with a body is refused");
    if (!host_answered(*server, MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST)))
        return refuse(connection, MHD_HTTP_MISDIRECTED_REQUEST, "not a name of this page (see --http-host)");
    if (strcmp(url, "/") == 0)
        return reply(connection, MHD_HTTP_OK, line_page_html, "text/html; charset=utf-8", line_page_policy);
    if (strcmp(url, "/api/status") == 0) {
        std::string status;
        {
            std::lock_guard<std::mutex> hold(server->lock);
            status = server->status;
        }
        return reply(connection, MHD_HTTP_OK, status, "application/json");
    }
    if (strcmp(url, "/metrics") == 0) {
        std::string metrics;
        {
            std::lock_guard<std::mutex> hold(server->lock);
            metrics = server->metrics;
        }
        return reply(connection, MHD_HTTP_OK, metrics, METRICS_CONTENT_TYPE);
    }
    return refuse(connection, MHD_HTTP_NOT_FOUND, "not found");
}

}  // namespace

page_server* page_start(const std::string& host, int port, const std::vector<std::string>& names,
                        unsigned connections, int& bound_port, std::string& error)
{
    error = "can't serve the page on " + host + ":" + std::to_string(port) +
            " (a host of this machine, and a port no other program uses)";
    std::vector<unsigned char> address;
    bool ipv6 = false;
    if (!os_socket_address(host, port, address, ipv6))
        return nullptr;
    page_server* server = new page_server;
    server->names = names;
    // The library's default bind is exclusive: SO_REUSEADDR only where it means "after
    // TIME_WAIT", never a second listener on the same port.
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | (ipv6 ? MHD_USE_IPv6 : 0);
    server->daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, answer, server,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<const sockaddr*>(address.data()),
        MHD_OPTION_CONNECTION_LIMIT, std::min(connections, PAGE_CONNECTIONS_MAX),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, CONNECTIONS_PER_ADDRESS,
        MHD_OPTION_CONNECTION_TIMEOUT, IDLE_TIMEOUT_S,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY,
        MHD_OPTION_LISTEN_BACKLOG_SIZE, LISTEN_BACKLOG,
        MHD_OPTION_STRICT_FOR_CLIENT, 1,
        MHD_OPTION_END);
    const MHD_DaemonInfo* info = server->daemon ? MHD_get_daemon_info(server->daemon, MHD_DAEMON_INFO_BIND_PORT) : nullptr;
    if (!info || info->port == 0) {
        page_stop(server);
        return nullptr;
    }
    bound_port = info->port;
    error.clear();
    return server;
}

void page_publish(page_server* server, const std::string& status_json)
{
    std::lock_guard<std::mutex> hold(server->lock);
    server->status = status_json;
}

void page_publish_metrics(page_server* server, const std::string& metrics_text)
{
    std::lock_guard<std::mutex> hold(server->lock);
    server->metrics = metrics_text;
}

void page_stop(page_server* server)
{
    if (!server)
        return;
    if (server->daemon)
        MHD_stop_daemon(server->daemon);  // closes every connection; no client is waited for
    delete server;
}
