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
        throw EFileError(
                std::string(mode == Mode::Create ? "Cannot create file \"" : "Cannot open file \"")
                + FullFilePath(name) + "\". " + std::strerror(error));
    }
}

TLocalFile::~TLocalFile()
{
    Close();
}

bool TLocalFile::Exists(const std::string& name)
{
    struct stat st
    {};
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
    struct stat st
    {};
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

TLocalFileStream::TLocalFileStream(const std::string& name, TLocalFile::Mode mode)
    : std::iostream(nullptr)
    , file_(name, mode)
    , buffer_(file_)
{
    rdbuf(&buffer_);
}

TLocalFileStream::~TLocalFileStream() = default;

std::streamsize TLocalFileStream::Buffer::xsputn(const char* s, std::streamsize n)
{
    if (n <= 0 || !file_.Write(s, static_cast<std::size_t>(n)))
        return 0;
    position_ += n;
    return n;
}

TLocalFileStream::Buffer::int_type TLocalFileStream::Buffer::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
}

std::streamsize TLocalFileStream::Buffer::xsgetn(char* s, std::streamsize n)
{
    std::streamsize got = 0;
    if (gptr() && gptr() < egptr() && n > 0) { // the byte underflow already read
        *s = *gptr();
        setg(nullptr, nullptr, nullptr);
        got = 1;
    }
    while (got < n) {
        const long r = file_.Read(s + got, static_cast<std::size_t>(n - got));
        if (r <= 0)
            break;
        got += r;
        position_ += r;
    }
    return got;
}

TLocalFileStream::Buffer::int_type TLocalFileStream::Buffer::underflow()
{
    if (gptr() && gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    if (file_.Read(&one_, 1) != 1)
        return traits_type::eof();
    ++position_;
    setg(&one_, &one_, &one_ + 1);
    return traits_type::to_int_type(one_);
}

TLocalFileStream::Buffer::pos_type TLocalFileStream::Buffer::seekoff(off_type off,
                                                                     std::ios_base::seekdir dir,
                                                                     std::ios_base::openmode)
{
    const std::int64_t unread = gptr() && gptr() < egptr() ? 1 : 0;
    std::int64_t target = off;
    if (dir == std::ios_base::cur)
        target = position_ - unread + off;
    else if (dir == std::ios_base::end)
        target = file_.Size() + off;
    if (target < 0 || !file_.Seek(target))
        return pos_type(off_type(-1));
    setg(nullptr, nullptr, nullptr);
    position_ = target;
    return pos_type(target);
}

TLocalFileStream::Buffer::pos_type TLocalFileStream::Buffer::seekpos(pos_type pos,
                                                                     std::ios_base::openmode mode)
{
    return seekoff(off_type(pos), std::ios_base::beg, mode);
}

} // namespace tolvek
