// A host name looked up once, bounded in time and cut short by the run's stop. The system's
// resolver cannot be interrupted: it runs on a thread of its own, which is left to finish
// by itself when the caller stops waiting for it.
#pragma once

#include <string>

struct THostLookup
{
    std::string Address; // numeric, IPv4 preferred as the sockets prefer it; empty on failure
    int Error = 0;       // 0, a resolver error (11001...), 10060 out of time, 10004 stopped
};

// A numeric address comes back as it is, at once.
THostLookup LookUpHost(const std::string& name, int timeoutMs);
