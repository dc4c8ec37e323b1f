#include "net/host_lookup.h"

#include "net/block_socket.h"
#include "net/run_stop.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Shared by the caller and the lookup's thread, so a thread left behind still has it.
struct TLookupState
{
    int done = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); // readable once the thread is through
    std::atomic<bool> finished{false};
    int result = EAI_FAIL;
    std::string address;

    TLookupState() = default;
    TLookupState(const TLookupState&) = delete;
    TLookupState& operator=(const TLookupState&) = delete;
    ~TLookupState()
    {
        if (done >= 0)
            close(done);
    }
};

void Resolve(TLookupState& state, const std::string& name)
{
    for (const int family : {AF_INET, AF_INET6}) {
        addrinfo hints{};
        hints.ai_family = family;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        state.result = getaddrinfo(name.c_str(), nullptr, &hints, &found);
        if (state.result != 0)
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0,
                        NI_NUMERICHOST)
            == 0)
            state.address = text;
        freeaddrinfo(found);
        if (!state.address.empty())
            return;
        state.result = EAI_FAIL;
    }
}

} // namespace

THostLookup LookUpHost(const std::string& name, int timeoutMs)
{
    in6_addr numeric{};
    if (inet_pton(AF_INET, name.c_str(), &numeric) == 1
        || inet_pton(AF_INET6, name.c_str(), &numeric) == 1)
        return {name, 0};
    auto state = std::make_shared<TLookupState>();
    if (state->done < 0)
        return {{}, WSAEMFILE};
    try {
        std::thread([state, name] {
            Resolve(*state, name);
            state->finished.store(true, std::memory_order_release);
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = write(state->done, &one, sizeof one);
        }).detach();
    } catch (const std::system_error&) {
        return {{}, WSAEMFILE};
    }
    pollfd p{state->done, POLLIN, 0};
    const int r = PollUnlessStopped(p, timeoutMs);
    if (r < 0 && errno == ECANCELED)
        return {{}, WSAEINTR};
    if (r <= 0 || !state->finished.load(std::memory_order_acquire))
        return {{}, WSAETIMEDOUT};
    if (state->result != 0)
        return {{}, ResolverToSocketError(state->result)};
    return {state->address, 0};
}
