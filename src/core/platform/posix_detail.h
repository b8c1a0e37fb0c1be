// Pieces of the POSIX platform layer that tests reach directly. Not part of the
// platform interface: a Windows build has no counterpart.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace orbisyn::platform::posix_detail {

// Writes the directory that holds the Terminal sockets into out (capacity bytes):
// $XDG_RUNTIME_DIR when absolute, else /tmp/orbisyn-UID (then *in_tmp is true and the
// directory must pass CheckPrivateDirectory). Returns 0, or ENAMETOOLONG.
int SocketDirectory(char* out, size_t capacity, bool* in_tmp);

// 0 when dir is safe to find sockets in: a real directory (not a symlink) owned by the
// real user and writable by nobody else. ENOENT when it is missing, EACCES otherwise.
int CheckPrivateDirectory(const char* dir);

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
