// A recording stand-in for the shell: every command text is kept, answers
// are scripted by command prefix, and a command nobody scripted fails the
// test instead of reaching the machine.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "os/os.h"

class FakeShell final : public kos::ShellBackend {
public:
    struct Answer {
        std::string prefix;
        std::string output;
        int status;
    };
    bool capture(const char *cmd, std::string &out, size_t limit) override;
    int status(const char *cmd) override;

    void answer(std::string prefix, std::string output, int status = 0);
    std::vector<std::string> commands();
    void reset();

private:
    const Answer *find(const std::string &cmd);
    std::mutex lock_;
    std::vector<Answer> answers_;
    std::vector<std::string> commands_;
};

// The fake every test binary installs before its tests run.
FakeShell &fake_shell();
