// The line's page served with cpp-httplib.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "gang/metrics.h"
#include "gang/page.h"

struct page_server {
    httplib::Server http;
    std::thread thread;
    std::mutex lock;
    std::string status = "{}";
    std::string metrics;
    std::atomic<bool> ended{false};  // the server's loop has returned
};

namespace {

constexpr int SERVER_THREADS = 4;  // a few screens on the line; each request is short

// The page loads nothing from elsewhere, and the browser is told to refuse anything that tries.
constexpr char PAGE_POLICY[] =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
    "img-src data:; base-uri 'none'; form-action 'none'";

void serve_page(const httplib::Request&, httplib::Response& res)
{
    res.set_header("Content-Security-Policy", PAGE_POLICY);
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(gang_page_html, "text/html; charset=utf-8");
}

}  // namespace

page_server* page_start(const std::string& host, int port, int& bound_port, std::string& error)
{
    page_server* server = new page_server;
    server->http.new_task_queue = [] { return new httplib::ThreadPool(SERVER_THREADS); };
    server->http.Get("/", serve_page);
    server->http.Get("/api/status", [server](const httplib::Request&, httplib::Response& res) {
        std::string status;
        {
            std::lock_guard<std::mutex> hold(server->lock);
            status = server->status;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content(status, "application/json");
    });
    server->http.Get("/metrics", [server](const httplib::Request&, httplib::Response& res) {
        std::lock_guard<std::mutex> hold(server->lock);
        res.set_content(server->metrics, METRICS_CONTENT_TYPE);
    });
    bound_port = port == 0 ? server->http.bind_to_any_port(host) : server->http.bind_to_port(host, port) ? port : -1;
    if (bound_port <= 0) {
        error = "can't serve the page on " + host + ":" + std::to_string(port) +
                " (a host of this machine, and a port no other program uses)";
        delete server;
        return nullptr;
    }
    server->thread = std::thread([server] {
        server->http.listen_after_bind();
        server->ended = true;
    });
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
    // A stop before the loop has begun would be lost, and the loop would never end.
    while (!server->http.is_running() && !server->ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server->http.stop();
    server->thread.join();
    delete server;
}
