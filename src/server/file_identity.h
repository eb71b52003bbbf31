// Whether a database file is still the one that was opened. A file deleted
// or replaced under a running server keeps taking writes into the old inode,
// and they are gone at the next start: the store checks before it commits.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>

class FileIdentity {
public:
    // Remembers what path names now; false when it names nothing.
    bool remember(const std::string& path);
    // True while path still names the remembered file. The first time it
    // does not, one line on standard error says why.
    bool unchanged();

private:
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::atomic<bool> reported_{false};
};
