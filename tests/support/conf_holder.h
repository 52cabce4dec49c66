// Another program holding the miner configuration's lock: a child process
// takes kos::ConfLock, and on release() writes its own version of the file
// before it lets go, as a second writing program would.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "os/os.h"

class ConfHolder {
public:
    // False from held() when the child could not take the lock.
    ConfHolder(std::string path, std::string text) {
        if (pipe(held_) != 0 || pipe(go_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            kos::ConfLock lock;
            char c = lock.held() ? 'y' : 'n';
            if (write(held_[1], &c, 1) != 1 || read(go_[0], &c, 1) != 1) _exit(2);
            _exit(kos::write_file_atomic(path.c_str(), text) ? 0 : 1);
        }
        char c = 0;
        held_ok_ = pid_ > 0 && read(held_[0], &c, 1) == 1 && c == 'y';
    }
    ~ConfHolder() {
        if (pid_ > 0 && status_ < 0) release();
        for (int fd : {held_[0], held_[1], go_[0], go_[1]})
            if (fd >= 0) close(fd);
    }
    ConfHolder(const ConfHolder &) = delete;
    ConfHolder &operator=(const ConfHolder &) = delete;
    bool held() const { return held_ok_; }
    // Writes the file, lets go of the lock and waits for the child; its exit
    // status (0 when the write went in).
    int release() {
        char c = 'g';
        if (write(go_[1], &c, 1) != 1) return -1;
        int st = -1;
        waitpid(pid_, &st, 0);
        status_ = st;
        return st;
    }

private:
    int held_[2] = {-1, -1}, go_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool held_ok_ = false;
    int status_ = -1;
};
