#include "shell/config.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <limits.h>
#include <string.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "tests/support/capture.h"

// Each test runs in a fresh working directory, where config_read looks.
class ConfigTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getcwd(old_dir_, sizeof old_dir_), nullptr);
        char dir_template[] = "/tmp/zandoro-config-XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir_ = dir_template;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        config_defaults();
    }
    void TearDown() override
    {
        unlink("config.dat");
        EXPECT_EQ(chdir(old_dir_), 0);
        rmdir(dir_.c_str());
    }
    static void write_config(const std::string &text)
    {
        FILE *f = fopen("config.dat", "wb");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    // Reads config.dat and returns what went to standard error.
    static std::string read_config(std::string *out = nullptr)
    {
        capture_stdout_begin();
        capture_stderr_begin();
        config_read();
        std::string err = capture_stderr_end();
        std::string text = capture_stdout_end();
        if (out)
            *out = text;
        return err;
    }

    char old_dir_[PATH_MAX];
    std::string dir_;
};

TEST_F(ConfigTest, DefaultsAreBuiltIn)
{
    EXPECT_EQ(PlayerConfig.video_w, 1024);
    EXPECT_EQ(PlayerConfig.video_h, 576);
    EXPECT_EQ(PlayerConfig.debug, 0);
    EXPECT_EQ(PlayerConfig.amt_port, 2268);
    EXPECT_STREQ(PlayerConfig.override_media_url, "");
    EXPECT_STREQ(PlayerConfig.fake_mcast, "");
    EXPECT_NE(PlayerConfig.portal_url[0], 0);
    EXPECT_NE(PlayerConfig.download_url[0], 0);
    EXPECT_NE(inet_addr(PlayerConfig.amt_relay_addr), INADDR_NONE);
    std::string check = PlayerConfig.version_check_url;
    EXPECT_EQ(check.rfind("http://", 0), 0u) << check;
    EXPECT_NE(check.find("/cgi-bin/zandoro_version_check?version=3.1.1&os=linux"), std::string::npos)
        << check;
}

TEST_F(ConfigTest, CommentsAndBlankLinesLeaveDefaults)
{
    write_config("# a comment\n\n\n# video_w:10\n");
    std::string out;
    EXPECT_EQ(read_config(&out), "");
    EXPECT_EQ(out, "Using ./config.dat for config file\n");
    EXPECT_EQ(PlayerConfig.video_w, 1024);
    EXPECT_EQ(PlayerConfig.video_h, 576);
}

TEST_F(ConfigTest, ValuesAreTrimmedAndConverted)
{
    write_config(
        "video_w:800\n"
        "video_w:640\n"                                  // last line wins
        "video_h: \t480px\n"                             // leading blanks skipped, atoi stops at p
        "debug:\n"                                       // empty number gives 0
        "override_media_url:\tigmp://239.1.1.1:1234\r\n" // CRLF removed, colons kept
        "fake_mcast:C:\\streams\\ \t\r\r\n"              // trailing blanks stay
        " video_w:1\n"                                   // leading space: skipped silently
        "no colon here\n");
    EXPECT_EQ(read_config(), "");
    EXPECT_EQ(PlayerConfig.video_w, 640);
    EXPECT_EQ(PlayerConfig.video_h, 480);
    EXPECT_EQ(PlayerConfig.debug, 0);
    EXPECT_STREQ(PlayerConfig.override_media_url, "igmp://239.1.1.1:1234");
    EXPECT_STREQ(PlayerConfig.fake_mcast, "C:\\streams\\ \t");
}

TEST_F(ConfigTest, EmptyTextAndNonNumbers)
{
    write_config("override_media_url:x\noverride_media_url:\ndebug:abc\n");
    EXPECT_EQ(read_config(), "");
    EXPECT_STREQ(PlayerConfig.override_media_url, "");
    EXPECT_EQ(PlayerConfig.debug, 0);
}

TEST_F(ConfigTest, UnknownKeysAreReportedAsWritten)
{
    write_config("video_w :10\n\tdebug:1\nportal_url:http://elsewhere/\nVideo_W:5\n");
    EXPECT_EQ(read_config(),
              "Unknown config file var: video_w \n"
              "Unknown config file var: \tdebug\n"
              "Unknown config file var: portal_url\n"
              "Unknown config file var: Video_W\n");
    EXPECT_EQ(PlayerConfig.video_w, 1024);
    EXPECT_EQ(PlayerConfig.debug, 0);
}

TEST_F(ConfigTest, LongLinesArriveInPiecesAndFieldsStayTerminated)
{
    // 1200 characters of value: the first read stores 1000+ bytes, the rest is a line of its
    // own without a colon.
    std::string value(1200, 'a');
    write_config("fake_mcast:" + value + "\n");
    EXPECT_EQ(read_config(), "");
    size_t stored = strnlen(PlayerConfig.fake_mcast, sizeof PlayerConfig.fake_mcast);
    EXPECT_EQ(stored, 1023u - strlen("fake_mcast:"));
    EXPECT_LT(stored, sizeof PlayerConfig.fake_mcast);
}

TEST_F(ConfigTest, MissingFileEndsTheProgram)
{
    EXPECT_EXIT(config_read(), testing::ExitedWithCode(1),
                "Unable to read config file: No such file or directory");
}

TEST_F(ConfigTest, UnusableVideoSizeEndsTheProgram)
{
    struct Case {
        const char *text, *line;
    } cases[] = {
        {"video_w:0\n", "video_w and video_h must be positive"},
        {"video_h:-5\n", "video_w and video_h must be positive"},
        {"video_w:wide\n", "video_w and video_h must be positive"},
        {"video_w:99999\n", "video_w and video_h must be at most 16383, .* \\(got 99999 x 576\\)"},
        {"video_w:16384\n", "must be at most 16383"},
        {"video_h:16384\n", "must be at most 16383"},
    };
    for (const Case &c : cases) {
        write_config(c.text);
        config_defaults();
        EXPECT_EXIT(config_read(), testing::ExitedWithCode(1), c.line) << c.text;
    }
    // The largest size SDL can show is still taken.
    write_config("video_w:16383\nvideo_h:16383\n");
    config_defaults();
    capture_stdout_begin();
    config_read();
    capture_stdout_end();
    EXPECT_EQ(PlayerConfig.video_w, 16383);
    EXPECT_EQ(PlayerConfig.video_h, 16383);
}
