#include "loopback_http.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include <strings.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A listening socket on 127.0.0.1 with a port of the kernel's choice, or -1.
int listen_on_loopback(int& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// Waits for `fd` to become readable until `deadline`.
bool readable(int fd, Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    return left > 0 && poll(&p, 1, static_cast<int>(left)) > 0;
}

bool send_all(int fd, const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Appends what `fd` sends to `text` until it closes, `enough` says so, or
// the deadline passes.
template <typename Enough>
void receive(int fd, std::string& text, Clock::time_point deadline, Enough enough)
{
    char buffer[8192];
    while (!enough(text) && readable(fd, deadline)) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text.append(buffer, static_cast<size_t>(n));
    }
}

// The Content-Length of a request's head, 0 when it has none.
size_t content_length(const std::string& head)
{
    size_t at = 0;
    while ((at = head.find("\r\n", at)) != std::string::npos) {
        at += 2;
        const char name[] = "content-length:";
        if (strncasecmp(head.c_str() + at, name, sizeof name - 1) == 0)
            return std::strtoul(head.c_str() + at + sizeof name - 1, nullptr, 10);
    }
    return 0;
}

}  // namespace

int free_loopback_port()
{
    int port = 0;
    const int fd = listen_on_loopback(port);
    if (fd < 0)
        throw std::runtime_error("no free port on 127.0.0.1");
    close(fd);
    return port;
}

HttpReply http_get(int port, const std::string& target, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    HttpReply reply;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    // HTTP/1.0: the server sends the body unchunked and closes at its end.
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        send_all(fd, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n")) {
        std::string text;
        receive(fd, text, deadline, [](const std::string&) { return false; });
        const size_t body = text.find("\r\n\r\n");
        if (text.compare(0, 5, "HTTP/") == 0 && body != std::string::npos && text.find(' ') < body) {
            reply.status = std::atoi(text.c_str() + text.find(' ') + 1);
            reply.body = text.substr(body + 4);
        }
    }
    if (fd >= 0)
        close(fd);
    return reply;
}

std::string url_encoded(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

WebhookReceiver::WebhookReceiver()
{
    listener_ = listen_on_loopback(port_);
    if (listener_ < 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    thread_ = std::thread(&WebhookReceiver::serve, this);
}

WebhookReceiver::~WebhookReceiver()
{
    stopping_ = true;
    thread_.join();
    close(listener_);
}

std::vector<std::string> WebhookReceiver::bodies() const
{
    std::lock_guard lock(mutex_);
    return bodies_;
}

void WebhookReceiver::serve()
{
    while (!stopping_) {
        if (!readable(listener_, Clock::now() + std::chrono::milliseconds(100)))
            continue;
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        // One request a connection, read whole within a few seconds.
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        std::string text;
        receive(fd, text, deadline,
                [](const std::string& t) { return t.find("\r\n\r\n") != std::string::npos; });
        const size_t head_end = text.find("\r\n\r\n");
        if (head_end != std::string::npos) {
            const size_t length = content_length(text.substr(0, head_end + 2));
            receive(fd, text, deadline,
                    [&](const std::string& t) { return t.size() >= head_end + 4 + length; });
            send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            std::lock_guard lock(mutex_);
            bodies_.push_back(text.substr(head_end + 4, length));
        }
        close(fd);
    }
}
