#include "analysis/view.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

namespace vespra::analysis {
namespace {

// How long a connection may keep the server waiting for its request, or for room to send.
constexpr int CLIENT_TIMEOUT_MS = 10000;
// A request head larger than this is no request for the trace.
constexpr size_t MAX_HEAD = 16384;

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// Sends all of `text`; false when the client went away or stopped reading.
bool send_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string response(std::string_view status, std::string_view headers, std::string_view body) {
    std::string text = "HTTP/1.1 ";
    text.append(status).append("\r\nContent-Length: ").append(std::to_string(body.size()));
    text.append("\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\n");
    text.append(headers).append("\r\n").append(body);
    return text;
}

// "%41" to "A"; a "%" not followed by two hex digits stays as it is.
std::string url_unescape(std::string_view text) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
            hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The value of the header `name` (lower case) in a request head, if it has one.
std::optional<std::string> header(const std::string& head, std::string_view name) {
    size_t line = head.find("\r\n");
    while (line != std::string::npos && line + 2 < head.size()) {
        size_t start = line + 2;
        line = head.find("\r\n", start);
        std::string_view text(head.data() + start,
                              (line == std::string::npos ? head.size() : line) - start);
        size_t colon = text.find(':');
        if (colon != name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < colon; ++i) {
            same = same && std::tolower(static_cast<unsigned char>(text[i])) == name[i];
        }
        if (!same) continue;
        std::string_view value = text.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        return std::string(value);
    }
    return std::nullopt;
}

}  // namespace

std::string url_escape(const std::string& text) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out.append({'%', HEX[c >> 4], HEX[c & 15]});
        }
    }
    return out;
}

std::string url_origin(const std::string& url) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    size_t end = url.find_first_of("/?#", scheme + 3);
    return url.substr(0, end);
}

Result<TraceServer> TraceServer::open(const std::string& path, uint16_t port, std::string origin) {
    Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) < 0) {
        return IoError::other(path + ": " + IoError::os(errno).text());
    }
    if (!S_ISREG(st.st_mode)) return IoError::other(path + ": not a file");
    Fd listener{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (listener.fd < 0) return IoError::os(errno);
    // A server stopped a moment ago leaves its connections in TIME_WAIT: the next may bind.
    int on = 1;
    ::setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(listener.fd, 16) < 0) {
        return IoError::os(errno);
    }
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    TraceServer server(file.fd, listener.fd, name, static_cast<uint64_t>(st.st_size),
                       std::move(origin));
    file.fd = listener.fd = -1;
    return server;
}

TraceServer::TraceServer(TraceServer&& other) noexcept
    : file_(other.file_),
      listener_(other.listener_),
      name_(std::move(other.name_)),
      path_(std::move(other.path_)),
      size_(other.size_),
      origin_(std::move(other.origin_)) {
    other.file_ = other.listener_ = -1;
}

TraceServer::~TraceServer() {
    if (file_ >= 0) ::close(file_);
    if (listener_ >= 0) ::close(listener_);
}

Result<TraceServer::Outcome> TraceServer::serve(int wake) {
    for (;;) {
        pollfd wait[2] = {{listener_, POLLIN, 0}, {wake, POLLIN, 0}};
        int ready = ::poll(wait, wake >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno == EINTR) return Outcome::Interrupted;
        if (ready < 0) return IoError::os(errno);
        if (wait[1].revents != 0) return Outcome::Interrupted;
        Fd client{::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)};
        if (client.fd < 0) {
            if (errno == EINTR) return Outcome::Interrupted;
            continue;  // the connection went away before it was taken
        }
        timeval timeout{CLIENT_TIMEOUT_MS / 1000, 0};
        ::setsockopt(client.fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (answer(client.fd)) return Outcome::Served;
    }
}

bool TraceServer::answer(int client) {
    // The request head: the request line and the headers, up to the empty line. Its body, if
    // any, is never read: no request the server takes has one.
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < MAX_HEAD) {
        pollfd wait{client, POLLIN, 0};
        int ready = ::poll(&wait, 1, CLIENT_TIMEOUT_MS);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buf[4096];
        ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        head.append(buf, static_cast<size_t>(n));
    }
    size_t line_end = head.find("\r\n");
    std::string_view line(head.data(), line_end == std::string::npos ? head.size() : line_end);
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || !line.substr(sp2 + 1).starts_with("HTTP/1.")) {
        send_all(client, response("400 Bad Request", "", "bad request\n"));
        return false;
    }
    std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string cors = "Access-Control-Allow-Origin: " + origin_ + "\r\nVary: Origin\r\n";
    // Browsers and the UI escape the name in their own ways: the name is compared unescaped.
    if (url_unescape(target) != name_) {
        send_all(client, response("404 Not Found", "", "not found\n"));
        return false;
    }
    // A page of another origin would not be let read the trace; it is not even sent the bytes
    // (nor does its request end the server).
    std::optional<std::string> origin = header(head, "origin");
    if (origin && *origin != origin_) {
        send_all(client, response("403 Forbidden", "", "not for this origin\n"));
        return false;
    }
    if (method == "OPTIONS") {
        // The preflight of a page that reaches into the private network.
        send_all(client, response("204 No Content",
                                  cors + "Access-Control-Allow-Methods: GET\r\n"
                                         "Access-Control-Allow-Private-Network: true\r\n",
                                  ""));
        return false;
    }
    if (method != "GET") {
        send_all(client, response("405 Method Not Allowed", "Allow: GET, OPTIONS\r\n",
                                  "method not allowed\n"));
        return false;
    }
    std::string header = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size_) +
                         "\r\nContent-Type: application/octet-stream\r\nCache-Control: no-store"
                         "\r\nConnection: close\r\n" +
                         cors + "\r\n";
    if (!send_all(client, header)) return false;
    off_t offset = 0;
    while (static_cast<uint64_t>(offset) < size_) {
        ssize_t n = ::sendfile(client, file_, &offset, size_ - static_cast<uint64_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // the client went away, or the file shrank
    }
    // The last bytes are in the socket's buffer: a close now would still deliver them, but a
    // reset from unread request bytes could discard them. The client closes first.
    ::shutdown(client, SHUT_WR);
    pollfd wait{client, POLLIN, 0};
    char sink[256];
    while (::poll(&wait, 1, CLIENT_TIMEOUT_MS) > 0 && ::recv(client, sink, sizeof sink, 0) > 0) {
    }
    return true;
}

}  // namespace vespra::analysis
