// Pieces of the POSIX platform layer that tests reach directly. Not part of the
// platform interface: a Windows build has no counterpart.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace orbisyn::platform::posix_detail {

// Length of the last part of every socket path ("Zelt.Terminal." and 64 hex digits); a
// socket path has at most 107 bytes, so the folder that holds them at most 28.
constexpr size_t kPipeLeafBytes = 78;
constexpr size_t kSocketPathBytes = 107;

// How many alternatives to BASE/orbisyn-UID are tried (BASE/orbisyn-UID-1 .. -N) when
// another user holds it.
constexpr unsigned kFallbackAlternatives = 8;

// Writes the folder that holds the Terminal sockets and the relay records into out
// (capacity bytes). $XDG_RUNTIME_DIR when it is absolute and a private folder (see
// CheckPrivateDirectory); otherwise, in the temporary folder BASE ($TMPDIR when absolute,
// a folder of this user or root that others cannot write to or that is sticky, and short
// enough for the sockets; else /tmp), the first of BASE/orbisyn-UID and its alternatives
// that is a private folder, else the first of them that is missing.
// Returns 0 (out is private), ENOENT (out is missing: the server side makes it 0700),
// EACCES (none is usable: out is BASE/orbisyn-UID) or ENAMETOOLONG.
int SocketDirectory(char* out, size_t capacity);

// 0 when dir is safe to find sockets in: a real directory (not a symlink) owned by the
// real user and writable by nobody else. ENOENT when it is missing, EACCES otherwise.
int CheckPrivateDirectory(const char* dir);

// When no socket of this user can be reached here, writes what is wrong and the fix into
// why and returns the error number: EACCES (no private folder for them) or ENAMETOOLONG
// (the folder is too deep for a socket path). 0 when nothing stands in the way.
int SocketFolderProblem(char* why, size_t capacity);

// ---- What the Wine route (wine_posix.cpp) needs besides the platform interface ----

// Starts argv (argv[0] an absolute path) detached as SpawnDetached does, in the root
// folder, with the caller's environment plus the "NAME=value" entries of env (null
// ended; they replace same-named ones), standard input a pipe holding the input_bytes
// (at most PIPE_BUF) at input and then its end, standard output into a new pipe whose
// reading end (close-on-exec) is stored in *output, and standard error appended to the
// file log_path (created 0600). *pid is the program's process. False with errno set when
// it failed.
bool SpawnWithOutput(const char* const* argv, const char* const* env, const char* log_path,
                     const void* input, size_t input_bytes, int* output, pid_t* pid);

// Waits up to ms for fd to be readable (or at its end). 1 ready, 0 time is up, -1 error;
// a signal asks the interrupt check, which may end the wait (-2).
int WaitReadable(int fd, uint32_t ms);

// Folder of the shared object (or program) this code is linked into, UTF-8, no trailing
// separator. False when unknown.
bool ModuleFolder(char* out, size_t capacity);

}  // namespace orbisyn::platform::posix_detail
