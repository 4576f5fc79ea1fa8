#include "tests/support/capture.h"

#include <gtest/gtest.h>

#include <stdio.h>

void capture_stdout_begin()
{
    fflush(stdout);
    testing::internal::CaptureStdout();
}

std::string capture_stdout_end()
{
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void capture_stderr_begin()
{
    fflush(stderr);
    testing::internal::CaptureStderr();
}

std::string capture_stderr_end()
{
    fflush(stderr);
    return testing::internal::GetCapturedStderr();
}

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <thread>

StdoutTap::StdoutTap()
{
    fflush(stdout);
    char path[] = "/tmp/zandoro-stdout-XXXXXX";
    file_fd_ = mkstemp(path);
    if (file_fd_ < 0)
        return;
    unlink(path);
    saved_fd_ = dup(1);
    dup2(file_fd_, 1);
}

StdoutTap::~StdoutTap()
{
    fflush(stdout);
    if (saved_fd_ >= 0) {
        dup2(saved_fd_, 1);
        close(saved_fd_);
    }
    if (file_fd_ >= 0)
        close(file_fd_);
}

std::string StdoutTap::text()
{
    fflush(stdout);
    std::string all;
    char chunk[65536];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(file_fd_, chunk, sizeof chunk, at);
        if (n <= 0)
            break;
        all.append(chunk, (size_t)n);
        at += n;
    }
    return all;
}

bool StdoutTap::wait_for(const std::string &what, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (text().find(what) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
