#include "tests/support/files.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

std::string read_file(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
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
