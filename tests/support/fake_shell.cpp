#include "support/fake_shell.h"

#include <gtest/gtest.h>

const FakeShell::Answer *FakeShell::find(const std::string &cmd) {
    for (const Answer &a : answers_)
        if (cmd.compare(0, a.prefix.size(), a.prefix) == 0) return &a;
    return nullptr;
}

bool FakeShell::capture(const char *cmd, std::string &out, size_t limit) {
    std::lock_guard<std::mutex> g(lock_);
    commands_.emplace_back(cmd);
    const Answer *a = find(cmd);
    if (!a) {
        ADD_FAILURE() << "unscripted shell command: " << cmd;
        out.clear();
        return true;
    }
    out = a->output.substr(0, limit);
    return true;
}

int FakeShell::status(const char *cmd) {
    std::lock_guard<std::mutex> g(lock_);
    commands_.emplace_back(cmd);
    const Answer *a = find(cmd);
    if (!a) {
        ADD_FAILURE() << "unscripted shell command: " << cmd;
        return -1;
    }
    return a->status << 8;  // as system() reports a normal exit
}

void FakeShell::answer(std::string prefix, std::string output, int status) {
    std::lock_guard<std::mutex> g(lock_);
    answers_.insert(answers_.begin(), Answer{std::move(prefix), std::move(output), status});
}

std::vector<std::string> FakeShell::commands() {
    std::lock_guard<std::mutex> g(lock_);
    return commands_;
}

void FakeShell::reset() {
    std::lock_guard<std::mutex> g(lock_);
    answers_.clear();
    commands_.clear();
}

FakeShell &fake_shell() {
    static FakeShell shell;
    return shell;
}
