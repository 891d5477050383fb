#include "support/servicenotify.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::atomic<bool> ToldReady{false};

} // namespace

bool NotifyServiceManager(std::string_view state) {
    if (state.starts_with("READY=1"))
        ToldReady.store(true, std::memory_order_relaxed);
    const char* path = std::getenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = path ? std::strlen(path) : 0;
    if (length < 2 || length >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@'))
        return false;
    std::memcpy(address.sun_path, path, length);
    // A leading '@' names a socket in the abstract namespace, whose name starts with a zero.
    if (path[0] == '@')
        address.sun_path[0] = '\0';
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return false;
    const auto size = socklen_t(offsetof(sockaddr_un, sun_path) + length);
    // A manager too busy to read must not stall the thread that beats its watchdog.
    const bool sent =
        sendto(socket, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&address), size) == ssize_t(state.size());
    close(socket);
    return sent;
}

std::optional<std::chrono::milliseconds> WatchdogInterval() {
    const char* microseconds = std::getenv("WATCHDOG_USEC");
    if (!microseconds)
        return std::nullopt;
    if (const char* pid = std::getenv("WATCHDOG_PID"); pid && std::atol(pid) != long(getpid()))
        return std::nullopt;
    char* end = nullptr;
    const unsigned long long interval = std::strtoull(microseconds, &end, 10);
    if (end == microseconds || *end != '\0' || interval == 0)
        return std::nullopt;
    return std::chrono::milliseconds(std::max<unsigned long long>(interval / 2000, 1));
}

void TellServiceManagerStillWorking() {
    if (!ToldReady.load(std::memory_order_relaxed))
        NotifyServiceManager("EXTEND_TIMEOUT_USEC=30000000");
    else if (WatchdogInterval())
        NotifyServiceManager("WATCHDOG=1");
}
