#include "core/record.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvek {

std::string QuoteRecordField(const std::string& field)
{
    std::string out = "\"";
    for (char c : field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

std::string RecordLine(const std::string& when, const std::string& serial,
                       const std::string& surname)
{
    return QuoteRecordField(when) + ';' + QuoteRecordField(serial) + ';' + QuoteRecordField(surname)
           + ";\r\n";
}

namespace {

std::string FullPath(const std::string& path)
{
    if (path.starts_with('/'))
        return path;
    char buf[4096];
    if (!getcwd(buf, sizeof buf))
        return path;
    return std::string(buf) + '/' + path;
}

[[noreturn]] void Fail(const char* what, const std::string& path, int err)
{
    throw std::runtime_error(std::string(what) + " \"" + FullPath(path) + "\". "
                             + std::strerror(err));
}

class TFd
{
public:
    explicit TFd(int fd)
        : fd_(fd)
    {}
    ~TFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

} // namespace

void AppendRecord(const std::string& path, const std::string& bytes)
{
    TFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0)
        Fail("Cannot open file", path, errno);
    struct stat st
    {};
    if (::fstat(fd.get(), &st) != 0)
        Fail("Cannot open file", path, errno);
    const off_t before = st.st_size;

    int err = 0;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (err == 0 && ::fsync(fd.get()) != 0)
        err = errno;
    if (err != 0) {
        // Take back whatever part of the line reached the file.
        if (::ftruncate(fd.get(), before) == 0)
            ::fsync(fd.get());
        Fail("Cannot write to file", path, err);
    }
    if (::close(fd.release()) != 0)
        Fail("Cannot write to file", path, errno);
}

namespace {

std::string Convert(const std::string& in, const char* to, const char* from,
                    const std::string& replacement)
{
    // ASCII is the same in both code pages; most texts from the unit are nothing else.
    if (std::all_of(in.begin(), in.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return in;
    iconv_t cd = ::iconv_open(to, from);
    // (iconv_t)-1 is iconv_open's documented failure value: the cast is the only test.
    if (cd == reinterpret_cast<iconv_t>(-1)) // NOLINT(performance-no-int-to-ptr)
        throw std::runtime_error(std::string("No conversion from ") + from + " to " + to);
    std::string out;
    out.reserve(in.size() * 2);
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char buf[256];
    while (left > 0) {
        char* dst = buf;
        size_t room = sizeof buf;
        const size_t r = ::iconv(cd, &src, &left, &dst, &room);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (r != static_cast<size_t>(-1) || errno == E2BIG)
            continue;
        // Invalid or incomplete input, or a character the target lacks: one
        // replacement, then skip the rest of that UTF-8 sequence (or the one byte).
        out += replacement;
        size_t skip = 1;
        if (std::strcmp(from, "UTF-8") == 0) {
            while (skip < left && (static_cast<unsigned char>(src[skip]) & 0xC0) == 0x80)
                ++skip;
        }
        src += skip;
        left -= skip;
    }
    ::iconv_close(cd);
    return out;
}

} // namespace

std::string Utf8ToCp1251(const std::string& utf8)
{
    return Convert(utf8, "CP1251", "UTF-8", "?");
}

std::string Cp1251ToUtf8(const std::string& cp1251)
{
    return Convert(cp1251, "UTF-8", "CP1251", "\xEF\xBF\xBD");
}

} // namespace tolvek
