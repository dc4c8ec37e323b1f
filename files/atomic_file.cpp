#include "files/atomic_file.h"

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

// A new temporary file beside path, or -1 with errno set.
int CreateTemporary(const std::string& path, std::string& name)
{
    name = TemporaryPattern(path);
    return ::mkostemp(name.data(), O_CLOEXEC);
}

mode_t NewFileMode(const std::optional<struct stat>& old, bool keepMode)
{
    if (keepMode)
        return old ? (old->st_mode & 07777) : 0600;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Moves the stamp 2 ms on when it would equal the old one to the millisecond.
void MakeTimeStampDistinct(int fd, const struct stat& old)
{
    struct stat now
    {};
    if (::fstat(fd, &now) == 0 && now.st_size == old.st_size
        && now.st_mtim.tv_sec == old.st_mtim.tv_sec
        && now.st_mtim.tv_nsec / 1000000 == old.st_mtim.tv_nsec / 1000000) {
        timespec times[2] = {now.st_atim, old.st_mtim};
        times[1].tv_nsec += 2000000;
        if (times[1].tv_nsec >= 1000000000) {
            times[1].tv_nsec -= 1000000000;
            ++times[1].tv_sec;
        }
        ::futimens(fd, times);
    }
}

} // namespace

std::string TemporaryPattern(const std::string& path)
{
    return path + ".XXXXXX";
}

std::optional<TWriteFailure> ReplaceFile(const std::string& path, std::string_view bytes,
                                         const TWriteOptions& options)
{
    std::string temp;
    const int fd = CreateTemporary(path, temp);
    if (fd < 0)
        return TWriteFailure{TWriteStep::Create, errno};
    auto fail = [&](TWriteStep step, int err) {
        ::close(fd);
        ::unlink(temp.c_str());
        return TWriteFailure{step, err};
    };

    std::optional<struct stat> old;
    if (struct stat st{}; ::stat(path.c_str(), &st) == 0)
        old = st;
    if (::fchmod(fd, NewFileMode(old, options.keepMode)) != 0)
        return fail(TWriteStep::Mode, errno);
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(TWriteStep::Write, n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0)
        return fail(TWriteStep::Sync, errno);
    if (old && options.distinctTimeStamp)
        MakeTimeStampDistinct(fd, *old);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return TWriteFailure{TWriteStep::Close, err};
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return TWriteFailure{TWriteStep::Replace, err};
    }
    // The rename lasts only once the folder is synced; a folder that cannot be synced
    // (some file systems) still holds the whole file.
    const int dir = ::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return std::nullopt;
}

void CheckWritable(const std::string& path)
{
    struct stat st
    {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        Fail(path, EISDIR);
    std::string name;
    const int fd = CreateTemporary(path, name);
    if (fd < 0)
        Fail(path, errno);
    ::close(fd);
    ::unlink(name.c_str());
}

void WriteFileAtomically(const std::string& path, const std::string& bytes)
{
    if (const auto failure = ReplaceFile(path, bytes))
        Fail(path, failure->error);
}

} // namespace tolvek
