// Host names resolved once, within a deadline, and kept: a resolver that stops answering (or
// answers slowly) cannot hold up a request made later to a name that resolved before.
#pragma once

#include <optional>
#include <string>

namespace corvane {

// `host` as an address a socket connects to. An IP address (an IPv6 one with or without brackets)
// comes back as it is, without brackets; a name is resolved (the first IPv4 address the system's
// resolver gives for TCP, else its first address) and the address kept for the life of the
// process, so later calls return it at once. nullopt when the name did not resolve within `seconds`; `why` then says why.
// A resolution still running at the deadline goes on in the background and is kept when it
// succeeds. Blocks for up to `seconds`: call it without the GIL held.
std::optional<std::string> kept_address(const std::string& host, double seconds, std::string* why = nullptr);

// `address` as a URL's host part: an IPv6 address in brackets, anything else as it is.
std::string url_host(const std::string& address);

}  // namespace corvane
