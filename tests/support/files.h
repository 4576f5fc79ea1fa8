// Small file helpers for tests: whole-file reads and writes, a shell command's output,
// and a scratch directory removed with everything in it when it goes.
#pragma once

#include <string>

// The whole file, or "" when it cannot be read.
std::string read_file(const std::string &path);

// Writes `text` as the whole file; a gtest failure when it cannot be written.
void write_file(const std::string &path, const std::string &text);

// What a shell command writes on standard output, read to its end.
std::string command_output(const std::string &command);

class ScratchDir {
public:
    explicit ScratchDir(const char *prefix = "zandoro-test");
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }  // "" when none could be made
    std::string file(const char *name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
