#include "server/file_identity.h"

#include <sys/stat.h>

#include <cstdio>

bool FileIdentity::remember(const std::string& path) {
    struct stat st;
    path_ = path;
    if (stat(path.c_str(), &st) != 0) return false;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
}

bool FileIdentity::unchanged() {
    struct stat st;
    const bool gone = stat(path_.c_str(), &st) != 0;
    if (!gone && st.st_dev == device_ && st.st_ino == inode_) return true;
    if (!reported_.exchange(true))
        std::fprintf(stderr,
                     "quillmoth-server: database %s was %s while the server ran: writes are refused (503) "
                     "until it is restored and the server restarted\n",
                     path_.c_str(), gone ? "deleted" : "replaced");
    return false;
}
