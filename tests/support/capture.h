// Captures what the code under test prints on standard output or standard error,
// flushing the C streams first so buffered printf lines are not missed.
#pragma once

#include <string>

#include "tests/support/deadline.h"

void capture_stdout_begin();
std::string capture_stdout_end();
void capture_stderr_begin();
std::string capture_stderr_end();

// Collects standard output for as long as it lives, also what other threads print, and
// can be read at any moment without losing a line (unlike restarting a capture).
class StdoutTap {
public:
    StdoutTap();
    ~StdoutTap();
    std::string text();  // everything printed since the tap began
    bool wait_for(const std::string &what, int timeout_ms = test_deadline_ms);

private:
    int saved_fd_ = -1;
    int file_fd_ = -1;
};
