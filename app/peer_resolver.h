#pragma once
// The thread that looks DMRGateway_address up when it is a host name, so that
// no link or voice thread ever waits for the resolver.

#include <atomic>
#include <cstddef>
#include <netinet/in.h>

// The resolver's answer for `host` (IPv4), through getaddrinfo.
bool resolve_ipv4(const char *host, in_addr &address, char *reason, std::size_t reason_size);

// Starts the thread; does nothing for a dotted address.
void peer_resolver_start();

// Set by the master mode's link thread while a link waits for its next login,
// so the name is looked at again before it.
extern std::atomic<bool> peer_lookup_wanted;
