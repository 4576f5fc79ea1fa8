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
