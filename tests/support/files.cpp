#include "tests/support/files.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

// Reads f to its end and closes it with close_f; "" when f is null.
static std::string read_all(FILE *f, int (*close_f)(FILE *))
{
    std::string text;
    if (!f)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    close_f(f);
    return text;
}

std::string read_file(const std::string &path)
{
    return read_all(fopen(path.c_str(), "rb"), fclose);
}

std::string command_output(const std::string &command)
{
    return read_all(popen(command.c_str(), "r"), pclose);
}

void write_file(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

ScratchDir::ScratchDir(const char *prefix)
{
    std::string name = std::string("/tmp/") + prefix + "-XXXXXX";
    if (mkdtemp(&name[0]))
        path_ = name;
}

ScratchDir::~ScratchDir()
{
    if (!path_.empty())
        nftw(path_.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
}
