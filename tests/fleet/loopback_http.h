#pragma once

// Just enough HTTP on 127.0.0.1 for a test to ask real servers and to take
// their webhooks. Every call is bounded in time.

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A TCP port on 127.0.0.1 that nothing listens on at the moment of asking.
int free_loopback_port();

struct HttpReply {
    int status = 0;  // 0: no answer
    std::string body;
};

// GET http://127.0.0.1:`port``target`; gives up after `timeout`.
HttpReply http_get(int port, const std::string& target,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));

// `text` percent-encoded for a URL's query.
std::string url_encoded(const std::string& text);

// A webhook receiver on 127.0.0.1: answers every request 200 and keeps the
// request bodies, in the order they came.
class WebhookReceiver {
public:
    WebhookReceiver();  // throws std::runtime_error when it cannot listen
    ~WebhookReceiver();
    WebhookReceiver(const WebhookReceiver&) = delete;
    WebhookReceiver& operator=(const WebhookReceiver&) = delete;

    int port() const { return port_; }
    std::vector<std::string> bodies() const;

private:
    void serve();

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> bodies_;
    std::thread thread_;
};
