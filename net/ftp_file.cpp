#include "net/ftp_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tolvek {

std::string FullFilePath(const std::string& name)
{
    std::error_code ignored;
    const auto path = std::filesystem::absolute(name, ignored);
    return path.empty() ? name : path.lexically_normal().string();
}

TLocalFile::TLocalFile(const std::string& name, Mode mode)
{
    int flags = O_RDONLY;
    if (mode == Mode::Create)
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    else if (mode == Mode::ReadWrite)
        flags = O_RDWR;
    fd_ = ::open(name.c_str(), flags | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        const int error = errno;
        throw EFileError(std::string(mode == Mode::Create ? "Cannot create file \"" : "Cannot open file \"")
                         + FullFilePath(name) + "\". " + std::strerror(error));
    }
}

TLocalFile::~TLocalFile()
{
    Close();
}

bool TLocalFile::Exists(const std::string& name)
{
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

long TLocalFile::Read(void* buffer, std::size_t size)
{
    for (;;) {
        const auto n = ::read(fd_, buffer, size);
        if (n >= 0 || errno != EINTR)
            return static_cast<long>(n);
    }
}

bool TLocalFile::Write(const void* data, std::size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const auto n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::int64_t TLocalFile::Size() const
{
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

bool TLocalFile::Seek(std::int64_t position)
{
    return ::lseek(fd_, static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(position);
}

bool TLocalFile::Close()
{
    if (fd_ < 0)
        return true;
    const bool ok = ::close(fd_) == 0;
    fd_ = -1;
    return ok;
}

}  // namespace tolvek
