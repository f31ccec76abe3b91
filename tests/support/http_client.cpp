#include "support/http_client.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>

namespace {

http_answer parse(const std::string& raw)
{
    http_answer answer;
    size_t head_end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.", 0) != 0 || head_end == std::string::npos)
        return answer;
    answer.status = atoi(raw.c_str() + raw.find(' ') + 1);
    size_t line = raw.find("\r\n") + 2;
    while (line < head_end) {
        size_t end = raw.find("\r\n", line);
        size_t colon = raw.find(':', line);
        if (colon < end) {
            std::string name = raw.substr(line, colon - line);
            for (char& c : name)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            size_t value = raw.find_first_not_of(' ', colon + 1);
            answer.headers[name] = raw.substr(value, end - value);
        }
        line = end + 2;
    }
    answer.body = raw.substr(head_end + 4);
    return answer;
}

}  // namespace

int url_port(const std::string& url)
{
    size_t scheme = url.find("://");
    size_t colon = url.find(':', scheme == std::string::npos ? 0 : scheme + 3);
    size_t bracket = url.find(']');
    if (bracket != std::string::npos)
        colon = url.find(':', bracket);
    return colon == std::string::npos ? 0 : atoi(url.c_str() + colon + 1);
}

int http_connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool http_send(int fd, const std::string& data)
{
    for (size_t sent = 0; sent < data.size();) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

http_answer http_exchange(int port, const std::string& request, int timeout_ms)
{
    int fd = http_connect(port);
    if (fd < 0)
        return {};
    std::string raw;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    if (http_send(fd, request))
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p = {fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char block[4096];
            ssize_t got = recv(fd, block, sizeof block, 0);
            if (got <= 0)
                break;
            raw.append(block, static_cast<size_t>(got));
        }
    close(fd);
    return parse(raw);
}

http_answer http_get(int port, const std::string& path, const std::string& host, const std::string& method)
{
    return http_exchange(port, method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
}
