#include "core/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvek {
namespace {

[[noreturn]] void Fail(const std::string& path, int err)
{
    throw std::runtime_error("cannot write \"" + path + "\": " + std::strerror(err));
}

std::string Folder(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A new temporary file beside path, with the permissions a plain new file would get.
int CreateTemporary(const std::string& path, std::string& name)
{
    name = path + ".XXXXXX";
    const int fd = ::mkstemp(name.data());
    if (fd < 0)
        Fail(path, errno);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    return fd;
}

} // namespace

void CheckWritable(const std::string& path)
{
    struct stat st
    {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        Fail(path, EISDIR);
    std::string name;
    ::close(CreateTemporary(path, name));
    ::unlink(name.c_str());
}

void WriteFileAtomically(const std::string& path, const std::string& bytes)
{
    std::string temp;
    const int fd = CreateTemporary(path, temp);
    int err = 0;
    for (size_t done = 0; done < bytes.size() && err == 0;) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n >= 0)
            done += static_cast<size_t>(n);
        else if (errno != EINTR)
            err = errno;
    }
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        Fail(path, err);
    }
    // The rename lasts only once the folder is synced; a folder that cannot be synced
    // (some file systems) still holds the whole file.
    const int dir = ::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

} // namespace tolvek
