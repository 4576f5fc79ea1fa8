// A small HTTP server on 127.0.0.1 for tests: serves pages held in memory from a
// thread of its own, one answer per connection. Unknown paths get a 404 page.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class LoopbackHttpServer {
public:
    LoopbackHttpServer() = default;
    ~LoopbackHttpServer() { stop(); }
    LoopbackHttpServer(const LoopbackHttpServer &) = delete;
    LoopbackHttpServer &operator=(const LoopbackHttpServer &) = delete;

    // Listens on 127.0.0.1 at that port, or a free one for 0; false when that fails.
    bool start(int port = 0);
    void stop();

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by path.
    std::string url(const std::string &path) const;
    // Any thread, also while serving.
    void set_page(const std::string &path, const std::string &content_type,
                  const std::string &body);
    int requests(const std::string &path);
    // The whole of the latest request for path (request line and headers); empty if none.
    std::string last_request(const std::string &path);

private:
    void serve();
    std::string answer(const std::string &request);

    int listen_fd_ = -1;
    int wake_fd_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    std::mutex lock_;  // guards pages_, counts_ and last_
    std::map<std::string, std::pair<std::string, std::string>> pages_;
    std::map<std::string, int> counts_;
    std::map<std::string, std::string> last_;
};

// A loopback port on which nothing listens (a connection there is refused).
int loopback_closed_port();
