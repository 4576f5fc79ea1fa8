#include "tests/support/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

static int loopback_socket(int *port)  // *port 0: any free one
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)*port);
    socklen_t len = sizeof addr;
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 ||
        getsockname(fd, (struct sockaddr *)&addr, &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

int loopback_closed_port()
{
    int port = 0;
    int fd = loopback_socket(&port);
    if (fd >= 0)
        close(fd);  // bound, never listened: connections are refused
    return port;
}

bool LoopbackHttpServer::start(int port)
{
    port_ = port;
    listen_fd_ = loopback_socket(&port_);
    if (listen_fd_ < 0 || listen(listen_fd_, 32) != 0 || pipe(wake_fd_) != 0)
        return false;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void LoopbackHttpServer::stop()
{
    if (thread_.joinable()) {
        char b = 0;
        (void)!write(wake_fd_[1], &b, 1);
        thread_.join();
    }
    for (int *fd : {&listen_fd_, &wake_fd_[0], &wake_fd_[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

std::string LoopbackHttpServer::url(const std::string &path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackHttpServer::set_page(const std::string &path, const std::string &content_type,
                                  const std::string &body)
{
    std::lock_guard<std::mutex> hold(lock_);
    pages_[path] = {content_type, body};
}

int LoopbackHttpServer::requests(const std::string &path)
{
    std::lock_guard<std::mutex> hold(lock_);
    return counts_[path];
}

std::string LoopbackHttpServer::last_request(const std::string &path)
{
    std::lock_guard<std::mutex> hold(lock_);
    return last_[path];
}

std::string LoopbackHttpServer::answer(const std::string &request)
{
    // "GET /path?query HTTP/1.1": the path without its query names the page.
    size_t begin = request.find(' ');
    size_t end = begin == std::string::npos ? begin : request.find(' ', begin + 1);
    std::string path = end == std::string::npos ? "/" : request.substr(begin + 1, end - begin - 1);
    path = path.substr(0, path.find('?'));
    std::string status = "200 OK", type = "text/html", body;
    {
        std::lock_guard<std::mutex> hold(lock_);
        counts_[path]++;
        last_[path] = request;
        auto page = pages_.find(path);
        if (page == pages_.end()) {
            status = "404 Not Found";
            body = "<html><body>not found</body></html>";
        } else {
            type = page->second.first;
            body = page->second.second;
        }
    }
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

// One poll loop over the listener and the open connections, so a client that
// connects ahead of time and sends nothing holds up no one.
void LoopbackHttpServer::serve()
{
    std::vector<std::pair<int, std::string>> clients;
    for (;;) {
        std::vector<struct pollfd> fds = {{wake_fd_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        for (auto &c : clients)
            fds.push_back({c.first, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN) {
            int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                clients.push_back({fd, std::string()});
        }
        for (size_t i = fds.size(); i-- > 2;) {
            if (!fds[i].revents)
                continue;
            auto &c = clients[i - 2];
            char buf[4096];
            ssize_t n = read(c.first, buf, sizeof buf);
            if (n > 0)
                c.second.append(buf, (size_t)n);
            bool complete = c.second.find("\r\n\r\n") != std::string::npos;
            if (complete) {
                std::string reply = answer(c.second);
                size_t done = 0;
                while (done < reply.size()) {
                    ssize_t w = send(c.first, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
                    if (w <= 0)
                        break;
                    done += (size_t)w;
                }
            }
            if (complete || n <= 0) {
                close(c.first);
                clients.erase(clients.begin() + (long)(i - 2));
            }
        }
    }
    for (auto &c : clients)
        close(c.first);
}
