// Pieces of the POSIX platform layer that tests reach directly. Not part of the
// platform interface: a Windows build has no counterpart.
#pragma once

#include <cstddef>

namespace orbisyn::platform::posix_detail {

// Writes the directory that holds the Terminal sockets into out (capacity bytes):
// $XDG_RUNTIME_DIR when absolute, else /tmp/orbisyn-UID (then *in_tmp is true and the
// directory must pass CheckPrivateDirectory). Returns 0, or ENAMETOOLONG.
int SocketDirectory(char* out, size_t capacity, bool* in_tmp);

// 0 when dir is safe to find sockets in: a real directory (not a symlink) owned by the
// real user and writable by nobody else. ENOENT when it is missing, EACCES otherwise.
int CheckPrivateDirectory(const char* dir);

}  // namespace orbisyn::platform::posix_detail
