#include "core/echo_permission.h"

#include <filesystem>
#include <system_error>

namespace tolvek {

std::string NoEchoPermissionMessage()
{
    std::error_code error;
    std::string program = std::filesystem::read_symlink("/proc/self/exe", error).string();
    if (error || program.empty())
        program = "/usr/bin/tolvek";
    return "Станция не может послать эхо-запрос ICMP (ping): системой это не разрешено. "
           "Блок не проверен. Разрешите эхо одним из способов:\n"
           "sudo setcap cap_net_raw+ep "
           + program
           + "\n"
             "sudo sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"";
}

} // namespace tolvek
