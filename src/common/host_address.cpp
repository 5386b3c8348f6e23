#include "common/host_address.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace corvane {

namespace {

struct Resolution {
    bool done = false;
    std::optional<std::string> address;
    std::string why;
};

// Resolved names and the resolutions in progress; never destroyed (resolver threads may outlive
// static destruction).
struct Table {
    std::mutex mutex;
    std::condition_variable finished;
    std::map<std::string, std::string> kept;
    std::map<std::string, std::shared_ptr<Resolution>> running;
};

Table& table() {
    static Table* instance = new Table();
    return *instance;
}

std::optional<std::string> ip_literal(const std::string& host) {
    std::string bare = host.size() >= 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
    unsigned char buffer[sizeof(in6_addr)];
    if (inet_pton(AF_INET, bare.c_str(), buffer) == 1 || inet_pton(AF_INET6, bare.c_str(), buffer) == 1) return bare;
    return std::nullopt;
}

void resolve(const std::string& host, const std::shared_ptr<Resolution>& resolution) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::optional<std::string> address;
    std::string why;
    int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status == 0 && found != nullptr) {
        // An IPv4 address when the name has one: a name such as localhost often lists ::1 first,
        // where a controller or stand-in listening on IPv4 alone is not found.
        const addrinfo* chosen = found;
        for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            if (entry->ai_family == AF_INET) {
                chosen = entry;
                break;
            }
        }
        char text[NI_MAXHOST];
        if (getnameinfo(chosen->ai_addr, chosen->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0)
            address = text;
        else
            why = "no usable address";
    } else {
        why = gai_strerror(status);
    }
    if (found != nullptr) freeaddrinfo(found);
    Table& t = table();
    std::lock_guard lock(t.mutex);
    if (address) t.kept[host] = *address;
    resolution->done = true;
    resolution->address = address;
    resolution->why = why;
    t.running.erase(host);
    t.finished.notify_all();
}

}  // namespace

std::optional<std::string> kept_address(const std::string& host, double seconds, std::string* why) {
    if (auto literal = ip_literal(host)) return literal;
    Table& t = table();
    std::unique_lock lock(t.mutex);
    if (auto it = t.kept.find(host); it != t.kept.end()) return it->second;
    std::shared_ptr<Resolution> resolution;
    if (auto it = t.running.find(host); it != t.running.end()) {
        resolution = it->second;
    } else {
        resolution = std::make_shared<Resolution>();
        t.running[host] = resolution;
        std::thread(resolve, host, resolution).detach();
    }
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    t.finished.wait_until(lock, deadline, [&] { return resolution->done; });
    if (resolution->done && resolution->address) return resolution->address;
    if (why != nullptr) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", seconds);
        *why = resolution->done ? resolution->why : std::string("no answer from the resolver within ") + limit + " s";
    }
    return std::nullopt;
}

std::string url_host(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace corvane
