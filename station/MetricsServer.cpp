#include "MetricsServer.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char* kMetricsPath = "/metrics";
constexpr const char* kPageType = "text/plain; version=0.0.4; charset=utf-8";

// host and port of "HOST:PORT" or "[IPv6]:PORT".
std::pair<std::string, std::string> splitAddress(const std::string& address) {
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
        throw MetricsServer::ListenError("not ADDRESS:PORT");
    }
    std::string host = address.substr(0, colon);
    const std::string port = address.substr(colon + 1);
    if (port.find_first_not_of("0123456789") != std::string::npos) {
        throw MetricsServer::ListenError("\"" + port + "\" is not a port number");
    }
    if (host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        throw MetricsServer::ListenError("an IPv6 address goes in brackets, as [" + host +
                                         "]:" + port);
    }
    return {host, port};
}

int listenOn(const std::string& address) {
    const auto [host, port] = splitAddress(address);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); error != 0) {
        throw MetricsServer::ListenError(::gai_strerror(error));
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, ::freeaddrinfo);
    const int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                            found->ai_protocol);
    if (fd < 0) {
        throw MetricsServer::ListenError(std::strerror(errno));
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
        const int error = errno;
        ::close(fd);
        throw MetricsServer::ListenError(std::strerror(error));
    }
    return fd;
}

MHD_Result answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  const char* type) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

struct MetricsServer::Daemon {
    static MHD_Result request(void* self, MHD_Connection* connection, const char* url,
                              const char* method, const char* /*version*/,
                              const char* /*uploadData*/, std::size_t* /*uploadSize*/,
                              void** /*state*/) {
        auto* server = static_cast<MetricsServer*>(self);
        if (std::strcmp(url, kMetricsPath) != 0) {
            return answer(connection, MHD_HTTP_NOT_FOUND, "Not found: the page is /metrics.\n",
                          "text/plain; charset=utf-8");
        }
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
            std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
            return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD.\n",
                          "text/plain; charset=utf-8");
        }
        return answer(connection, MHD_HTTP_OK, server->page_ ? server->page_() : "", kPageType);
    }
};

MetricsServer::MetricsServer(const std::string& address) : listenFd_(listenOn(address)) {
    // Without a thread of its own: MHD_run from the station's loop.
    daemon_ = MHD_start_daemon(MHD_USE_EPOLL, 0, nullptr, nullptr, &Daemon::request, this,
                               MHD_OPTION_LISTEN_SOCKET, listenFd_, MHD_OPTION_CONNECTION_LIMIT,
                               16u, MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        ::close(listenFd_);
        throw ListenError("the HTTP server did not start");
    }
}

MetricsServer::~MetricsServer() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
    }
}

int MetricsServer::pollFd() const {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    return info != nullptr ? info->epoll_fd : -1;
}

void MetricsServer::serve() {
    MHD_run(daemon_);
}

std::optional<std::chrono::milliseconds> MetricsServer::untilServe() const {
    MHD_UNSIGNED_LONG_LONG timeout = 0;
    if (MHD_get_timeout(daemon_, &timeout) != MHD_YES) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(timeout);
}

void MetricsServer::closeInChild() {
    ::close(pollFd());
    ::close(listenFd_);
}
