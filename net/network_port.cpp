// The station's network ports: binding a socket to one, and asking whether one is there.
#include "net/block_socket.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int BindSocketToDevice(TSocket socket, const std::string& device)
{
    if (device.empty())
        return 0;
    // The kernel takes at most IFNAMSIZ - 1 bytes and would cut a longer name to another port's.
    if (device.size() >= IFNAMSIZ || device.find('\0') != std::string::npos)
        return ENODEV;
    if (::setsockopt(socket, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                     static_cast<socklen_t>(device.size() + 1))
        != 0)
        return errno;
    return 0;
}

TPortState NetworkPortState(const std::string& name)
{
    if (name.empty() || name.size() >= IFNAMSIZ || name.find('\0') != std::string::npos)
        return TPortState::Missing;
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return TPortState::Missing;
    ifreq request{};
    std::memcpy(request.ifr_name, name.data(), name.size());
    const int r = ::ioctl(probe, SIOCGIFFLAGS, &request);
    ::close(probe);
    if (r != 0)
        return TPortState::Missing;
    return (request.ifr_flags & IFF_UP) != 0 ? TPortState::Up : TPortState::Down;
}
