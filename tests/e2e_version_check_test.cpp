// The version check at start-up against the demo server's answers, with the message box
// answered through the program's test seam and the browser replaced by a log of what it
// would open: REQUIRE ends the program with 0 (opening the download page on OK), OFFER
// asks and either ends it with 0 for the download page or lets it start normally, any
// other answer starts it without a question. And the failures a user meets first: no
// config.dat, and no version-check server, each end it with 1 and say why.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/files.h"
#include "tests/support/program_run.h"

namespace {

const char download_url[] = "http://127.0.0.1:8080/download/";

struct Answer {
    const char *name;
    const char *answer;      // the server's whole body
    const char *button;      // the seam's answer, or null: no box may come
    const char *box;         // icon and buttons the box must have
    bool opens_download;
    bool starts;             // the program goes on to the portal and the picture
};

const Answer answers[] = {
    {"RequireOk", "REQUIRE", "IDOK", "icon=error buttons=OK,Cancel", true, false},
    {"RequireCancel", "REQUIRE", "IDCANCEL", "icon=error buttons=OK,Cancel", false, false},
    {"OfferYes", "OFFER", "IDYES", "icon=warning buttons=Yes,No", true, false},
    {"OfferNo", "OFFER", "IDNO", "icon=warning buttons=Yes,No", false, true},
    {"AnswerWithNewline", "REQUIRE\n", nullptr, nullptr, false, true},
    {"Empty", "", nullptr, nullptr, false, true},
};

// Test names show the case's name, not its bytes.
void PrintTo(const Answer &c, std::ostream *os)
{
    *os << c.name;
}

class E2eVersionCheck : public ProgramTest, public testing::WithParamInterface<Answer> {};

TEST_P(E2eVersionCheck, AnswerAndButtonDecideWhetherItStarts)
{
    const Answer c = GetParam();
    run_in_netns(
        [&c] {
            DemoRun demo;
            ProgramRun &program = demo.program;
            DemoServer &server = demo.server;
            std::string open_log = demo.dir.file("open.log");
            // No box expected: any box is refused, which the output then shows.
            ASSERT_TRUE(demo.start(c.answer,
                                   {{"ZANDORO_TEST_OPEN_LOG", open_log},
                                    {"ZANDORO_TEST_MESSAGEBOX", c.button ? c.button : "IDABORT"}},
                                   c.starts));

            if (c.starts) {
                ASSERT_TRUE(program.wait_for("portal: loaded")) << program.out();
                EXPECT_TRUE(demo.first_picture());
                main_window_keys(demo.window, "alt+f x");
            }
            int code = program.wait_exit(test_deadline_ms);
            std::string out = program.out();
            EXPECT_EQ(code, 0) << out << program.err();
            EXPECT_EQ(sanitizer_report(program.err()), "");

            EXPECT_TRUE(server.wait_for("version check: version=3.1.1 os=linux")) << server.log();
            EXPECT_EQ(count_of(server.log(), "version check: version=3.1.1 os=linux"), 1) << server.log();
            EXPECT_EQ(count_of(out, "MessageBoxW "), c.button ? 1 : 0) << out << program.err();
            EXPECT_EQ(count_of(program.err(), "is no button of this box"), 0) << program.err();
            if (c.button) {
                EXPECT_NE(out.find(std::string("MessageBoxW ") + c.box + " caption=\"Tarnell Version Check\""),
                          std::string::npos)
                    << out;
                EXPECT_NE(out.find(std::string("answer=") + c.button), std::string::npos) << out;
            }
            EXPECT_EQ(read_file(open_log), c.opens_download ? download_url + std::string("\n") : "");
            EXPECT_EQ(count_of(out, "portal: loaded"), c.starts ? 1 : 0) << out;
        },
        program_test_limit_ms);
}

INSTANTIATE_TEST_SUITE_P(Answers, E2eVersionCheck, testing::ValuesIn(answers),
                         [](const testing::TestParamInfo<Answer> &info) { return std::string(info.param.name); });

struct Failure {
    const char *name;
    bool config;  // a config.dat in the working directory
    bool server;  // the demo server on 8080
    const char *message;  // on standard error
};

const Failure failures[] = {
    {"NoConfigFile", false, true, "Unable to read config file: No such file or directory\n"},
    {"NoVersionServer", true, false, "Cannot speak to Version Check Server: "},
};

void PrintTo(const Failure &c, std::ostream *os)
{
    *os << c.name;
}

class E2eStartFailure : public ProgramTest, public testing::WithParamInterface<Failure> {};

TEST_P(E2eStartFailure, EndsWithOneAndSaysWhy)
{
    const Failure c = GetParam();
    run_in_netns(
        [&c] {
            WorkDir dir(c.config ? video_size_config : "");
            ASSERT_TRUE(dir.ok());
            DemoServer server;
            if (c.server) {
                ASSERT_TRUE(server.start()) << server.log();
            }
            ProgramRun program;
            ASSERT_TRUE(program.start_program(dir.path(), {{"ZANDORO_TEST_MESSAGEBOX", "IDABORT"}}));
            EXPECT_EQ(program.wait_exit(test_deadline_ms), 1) << program.out() << program.err();
            EXPECT_NE(program.err().find(c.message), std::string::npos) << program.err();
            EXPECT_EQ(sanitizer_report(program.err()), "");
            EXPECT_EQ(count_of(program.out(), "MessageBoxW "), 0) << program.out();
            EXPECT_EQ(count_of(program.err(), "is no button of this box"), 0) << program.err();
            // Without its configuration it asks no server anything.
            if (c.server) {
                EXPECT_EQ(count_of(server.log(), "version check:"), 0) << server.log();
            }
        },
        program_test_limit_ms);
}

INSTANTIATE_TEST_SUITE_P(Failures, E2eStartFailure, testing::ValuesIn(failures),
                         [](const testing::TestParamInfo<Failure> &info) { return std::string(info.param.name); });

}  // namespace
