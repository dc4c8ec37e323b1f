// Local files of the FTP transfers, opened with the file layer's error texts:
// "Cannot create file "<full path>". <system reason>" and "Cannot open file ...".
#pragma once

#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <streambuf>
#include <string>

namespace tolvek {

class EFileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The name made absolute against the current working directory.
std::string FullFilePath(const std::string& name);

// A local file on a POSIX descriptor, closed when destroyed.
class TLocalFile
{
public:
    enum class Mode {
        Read,      // existing file, read only
        Create,    // created, or emptied when it exists; written
        ReadWrite, // existing file, read and written (resuming a download)
    };
    // Throws EFileError with the file layer's text when the file can't be opened.
    TLocalFile(const std::string& name, Mode mode);
    ~TLocalFile();
    TLocalFile(const TLocalFile&) = delete;
    TLocalFile& operator=(const TLocalFile&) = delete;

    static bool Exists(const std::string& name);

    // Reads up to size bytes; 0 at the end, -1 on error.
    long Read(void* buffer, std::size_t size);
    // Writes all bytes; false on error.
    bool Write(const void* data, std::size_t size);
    std::int64_t Size() const;
    bool Seek(std::int64_t position);
    // Closes now; false when the system reports an error (a full disk, for one).
    bool Close();

private:
    int fd_ = -1;
};

// A stream over a TLocalFile without a buffer of its own: the transfers read and
// write whole pieces, which go straight to the system.
class TLocalFileStream : public std::iostream
{
public:
    // Throws EFileError as TLocalFile does.
    TLocalFileStream(const std::string& name, TLocalFile::Mode mode);
    ~TLocalFileStream() override;
    std::int64_t Size() const { return file_.Size(); }

private:
    class Buffer : public std::streambuf
    {
    public:
        explicit Buffer(TLocalFile& file)
            : file_(file)
        {}

    protected:
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int_type overflow(int_type c) override;
        std::streamsize xsgetn(char* s, std::streamsize n) override;
        int_type underflow() override;
        pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                         std::ios_base::openmode) override;
        pos_type seekpos(pos_type pos, std::ios_base::openmode mode) override;

    private:
        TLocalFile& file_;
        char one_ = 0; // the get area of underflow
        std::int64_t position_ = 0;
    };
    TLocalFile file_;
    Buffer buffer_;
};

} // namespace tolvek
