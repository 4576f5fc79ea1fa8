// Captures what the code under test prints on standard output or standard error,
// flushing the C streams first so buffered printf lines are not missed.
#pragma once

#include <string>

void capture_stdout_begin();
std::string capture_stdout_end();
void capture_stderr_begin();
std::string capture_stderr_end();
