// Files that appear whole or not at all: written to a temporary file beside them, synced
// to disk and renamed into place.
#pragma once

#include <string>

namespace tolvek {

// Throws std::runtime_error with the reason unless a file can be written at path now
// (tried by creating and removing a temporary file beside it), so an unwritable place
// shows before any long work is done.
void CheckWritable(const std::string& path);

// Replaces path with the bytes, or throws std::runtime_error and leaves path untouched.
void WriteFileAtomically(const std::string& path, const std::string& bytes);

} // namespace tolvek
