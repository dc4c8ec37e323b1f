// Files that appear whole or not at all: written to a temporary file beside them, synced
// to disk and renamed into place.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvek {

// The name pattern of every temporary file made beside path (mkstemp's Xs replaced), kept
// here alone so that a leftover of a killed writer can be recognised.
std::string TemporaryPattern(const std::string& path);

struct TWriteOptions
{
    // Give the new file the mode of the one it replaces (0600 when there is none) rather
    // than a plain new file's mode.
    bool keepMode = false;
    // Move the time stamp on when size and millisecond stamp would equal the old file's, so
    // that readers caching by time stamp and size see the new content as new.
    bool distinctTimeStamp = false;
};

enum class TWriteStep { Create, Mode, Write, Sync, Close, Replace };

struct TWriteFailure
{
    TWriteStep step;
    int error; // errno
};

// Replaces path with the bytes; on failure leaves path untouched and says which step
// failed and why. The folder must exist.
std::optional<TWriteFailure> ReplaceFile(const std::string& path, std::string_view bytes,
                                         const TWriteOptions& options = {});

// Throws std::runtime_error with the reason unless a file can be written at path now
// (tried by creating and removing a temporary file beside it), so an unwritable place
// shows before any long work is done.
void CheckWritable(const std::string& path);

// Replaces path with the bytes, or throws std::runtime_error and leaves path untouched.
void WriteFileAtomically(const std::string& path, const std::string& bytes);

} // namespace tolvek
