#include "InstanceClient.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrova {

namespace {

bool isFolder(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Waits until the socket is ready for `events`, for at most `ms`.
bool await(int fd, short events, int ms) {
    pollfd wanted{fd, events, 0};
    int ready;
    do {
        ready = ::poll(&wanted, 1, ms);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (wanted.revents & events) != 0;
}

struct Socket {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ~Socket() {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

std::string InstanceClient::privateFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime && *runtime && isFolder(runtime))
        return runtime;
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp");
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    folder += "/kestrova-" + std::to_string(::getuid());
    ::mkdir(folder.c_str(), 0700);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid())
        return {};
    ::chmod(folder.c_str(), 0700);
    return folder;
}

std::string InstanceClient::sessionName() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* display = std::getenv("DISPLAY");
    std::string name = wayland && *wayland ? std::string("wayland-") + wayland
                                           : std::string(display ? display : "none");
    for (char& c : name) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!plain)
            c = '_';
    }
    return name;
}

std::optional<std::string> InstanceClient::socketPath() {
    const std::string folder = privateFolder();
    const std::string name = sessionName();
    if (folder.empty() || name.size() > longestName)
        return std::nullopt;
    return folder + "/kestrova-" + name + ".socket";
}

bool InstanceClient::send(const std::string& socketPath, std::string_view word) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    const Socket socket;
    if (socket.fd < 0)
        return false;
    if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        (errno != EINPROGRESS && errno != EAGAIN))
        return false;
    if (!await(socket.fd, POLLOUT, 1000))
        return false;
    const std::string line = std::string(word) + '\n';
    if (::send(socket.fd, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
        return false;
    // The answer is one short line; the instance closes the connection after it.
    std::string answer;
    while (answer.find('\n') == std::string::npos) {
        if (!await(socket.fd, POLLIN, 3000))
            return false;
        char buffer[64];
        const ssize_t n = ::recv(socket.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        answer.append(buffer, std::size_t(n));
    }
    return answer.substr(0, answer.find('\n')) == "ok";
}

} // namespace kestrova
