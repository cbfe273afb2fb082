#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// Shared set-up of the fuzz targets. Every target calls prepare() from
// LLVMFuzzerInitialize before touching product code.
namespace fuzzsupport {

// Moves the process into a sandbox of its own: a fresh directory that serves
// as VORN_SYSROOT, XDG state, cache and data home, with both D-Bus addresses
// pointing at a socket that does not exist. The fixed paths of the programs
// are resolved when they are loaded, so the first call runs the program
// again as a child with that environment and removes the directory when the
// child ends, however it ends. Also silences the programs' log output (set
// VORN_FUZZ_VERBOSE=1 to keep it) and creates the application object.
void prepare(int* argc, char*** argv);

// The sandbox directory (no trailing slash).
QString root();

// Creates the file (and its directories) below the sandbox with content.
void writeFile(const QString& relativePath, const QByteArray& content);

// The input as a body the HTTPS client or a policy value would carry.
inline QByteArray bytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size));
}

// Ends the run with a message: an invariant of the product did not hold.
[[noreturn]] void fail(const char* what);

} // namespace fuzzsupport
