// Start-up and its version check against a real HTTP server on loopback: what each
// answer does to the process (run in a child, boxes answered through the platform
// layer's test seam), what the request carries, and the limits of the answer buffer.
#include "shell/app_start.h"

#include <gtest/gtest.h>

#include <curl/curl.h>
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "engine/media_control.h"
#include "shell/build_config.h"
#include "shell/config.h"
#include "shell/ui_compose.h"
#include "shell/web_get.h"
#include "shell/web_host.h"
#include "tests/support/capture.h"
#include "tests/support/files.h"
#include "tests/support/http_server.h"
#include "tests/support/netns.h"
#include "tests/support/web_pump.h"

// realloc is asked for more than any allocator grants; under ASan it must answer null
// as the C library does rather than stop the program.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

// Exit code of a child in which the version check returned: start-up would go on.
constexpr int WENT_ON = 42;

static void exit_at_once(int status, void *)
{
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

// For a child that start-up may end with exit(). Forked while a server thread runs, the
// child holds that thread's blocks with no thread left to point at them, and the leak
// checker's pass at exit would report them: the child leaves before that pass, with the
// exit code it was given.
static void child_skips_leak_check_at_exit()
{
    on_exit(exit_at_once, nullptr);
}

static const char check_path[] = "/cgi-bin/zandoro_version_check";

static std::string require_box(const char *answer)
{
    return std::string("MessageBoxW icon=error buttons=OK,Cancel caption=\"Tarnell Version Check\" "
                       "text=\"You need to upgrade your version of Tarnell. Click OK to open the "
                       "download page.\" answer=") +
           answer + "\n";
}

static std::string offer_box(const char *answer)
{
    return std::string("MessageBoxW icon=warning buttons=Yes,No caption=\"Tarnell Version Check\" "
                       "text=\"A new version of Tarnell is available. Would you like to upgrade?\" "
                       "answer=") +
           answer + "\n";
}

// The seam answers boxes with `answers` and logs what is opened instead of opening it.
static void seam_on(const char *answers, const std::string &open_log)
{
    setenv("ZANDORO_TEST_MESSAGEBOX", answers, 1);
    setenv("ZANDORO_TEST_OPEN_LOG", open_log.c_str(), 1);
}

// libcurl honours proxy variables; the loopback server is to be reached directly.
static void no_proxy()
{
    for (const char *name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY"})
        unsetenv(name);
}

class VersionCheckTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(scratch_.path().empty());
        ASSERT_TRUE(server_.start());
        no_proxy();
        config_defaults();
        snprintf(PlayerConfig.download_url, sizeof PlayerConfig.download_url, "%s",
                 server_.url("/download/?from=3.1.1").c_str());
    }
    // The check in a child whose boxes the seam answers with `answers`.
    ChildRun check(const char *answers)
    {
        std::string url = server_.url(std::string(check_path) + "?version=3.1.1&os=linux");
        std::string log = scratch_.file("opened");
        return child_run([&] {
            child_skips_leak_check_at_exit();
            seam_on(answers, log);
            app_version_check(url.c_str());
            fflush(stdout);
            _exit(WENT_ON);
        });
    }
    std::string opened() { return read_file(scratch_.file("opened")); }

    ScratchDir scratch_;
    LoopbackHttpServer server_;
};

TEST_F(VersionCheckTest, OnlyTheExactWordsStopStartUp)
{
    struct Case {
        const char *body;    // null: no page, the server's 404 page answers
        const char *answer;  // the button the seam chooses
        int exit_code;
        bool opens;          // the download page is opened
        std::string box;     // the seam's line for the box, empty when none is shown
    };
    const std::string not_found = "<html><body>not found</body></html>";
    const Case cases[] = {
        {nullptr, "IDOK", WENT_ON, false, ""},  // first: once set, the page stays
        {"REQUIRE", "IDOK", 0, true, require_box("IDOK")},
        {"REQUIRE", "IDCANCEL", 0, false, require_box("IDCANCEL")},
        {"OFFER", "IDYES", 0, true, offer_box("IDYES")},
        {"OFFER", "IDNO", WENT_ON, false, offer_box("IDNO")},
        {"REQUIRE\n", "IDOK", WENT_ON, false, ""},
        {"require", "IDOK", WENT_ON, false, ""},
        {"OFFER\r\n", "IDYES", WENT_ON, false, ""},
        {"", "IDOK", WENT_ON, false, ""},
    };
    for (const Case &c : cases) {
        std::string body = c.body ? c.body : not_found;
        SCOPED_TRACE("answer \"" + body + "\", " + c.answer);
        if (c.body)
            server_.set_page(check_path, "text/plain", c.body);
        unlink(scratch_.file("opened").c_str());

        ChildRun run = check(c.answer);
        EXPECT_EQ(run.exit_code, c.exit_code) << child_describe(run);
        std::string logged = "web_get: " + std::to_string(body.size()) + " bytes retrieved: " + body + "\n";
        EXPECT_EQ(run.out, logged + c.box);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(opened(), c.opens ? std::string(PlayerConfig.download_url) + "\n" : "");
    }
}

// In this process, so that a sanitizer build's leak check at exit finds the answer
// and the transfer's handle released.
TEST_F(VersionCheckTest, GoingOnReleasesTheAnswer)
{
    server_.set_page(check_path, "text/plain", "OK");
    capture_stdout_begin();
    app_version_check(server_.url(check_path).c_str());
    EXPECT_EQ(capture_stdout_end(), "web_get: 2 bytes retrieved: OK\n");
    EXPECT_EQ(server_.requests(check_path), 1);
}

TEST_F(VersionCheckTest, NoServerEndsWithExitCodeOne)
{
    std::string url = "http://127.0.0.1:" + std::to_string(loopback_closed_port()) + check_path;
    ChildRun run = child_run([&] {
        child_skips_leak_check_at_exit();
        seam_on("IDOK", scratch_.file("opened"));
        app_version_check(url.c_str());
        _exit(WENT_ON);
    });
    EXPECT_EQ(run.exit_code, 1) << child_describe(run);
    std::string curl_line = std::string("curl_easy_perform() failed: ") +
                            curl_easy_strerror(CURLE_COULDNT_CONNECT) + "\n";
    const std::string speak_line = "Cannot speak to Version Check Server: ";
    ASSERT_EQ(run.err.rfind(curl_line + speak_line, 0), 0u) << run.err;
    const char *number = run.err.c_str() + curl_line.size() + speak_line.size();
    char *end = nullptr;
    strtol(number, &end, 10);
    EXPECT_TRUE(end != number && std::string(end) == "\n") << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(opened(), "");
}

TEST(WebGet, SendsItsUserAgentAndNothingElseAndReturnsTheWholeBody)
{
    no_proxy();
    LoopbackHttpServer server;
    ASSERT_TRUE(server.start());
    // Larger than one write callback's share, so the answer is assembled from many.
    std::string body;
    for (int i = 0; body.size() < 300000; i++)
        body += std::to_string(i) + ",";
    server.set_page("/page", "text/plain", body);

    capture_stdout_begin();
    char *got = web_get(server.url("/page?version=3.1.1&os=linux").c_str());
    std::string out = capture_stdout_end();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got), body);
    free(got);
    EXPECT_EQ(out, "web_get: " + std::to_string(body.size()) + " bytes retrieved: " + body + "\n");
    EXPECT_EQ(server.requests("/page"), 1);
    EXPECT_EQ(server.last_request("/page"),
              "GET /page?version=3.1.1&os=linux HTTP/1.1\r\nHost: 127.0.0.1:" +
                  std::to_string(server.port()) +
                  "\r\nUser-Agent: zandoro/3.1.1\r\nAccept: */*\r\n\r\n");
}

TEST(WebGet, AppendsItemSizeTimesCount)
{
    WebGetAnswer answer = {(char *)malloc(3), 2};
    memcpy(answer.data, "xy", 3);
    char bytes[] = "abcdef";
    EXPECT_EQ(web_get_write(bytes, 2, 3, &answer), 6u);
    EXPECT_EQ(answer.size, 8u);
    EXPECT_STREQ(answer.data, "xyabcdef");
    free(answer.data);
}

TEST(WebGet, AGrowthPast32BitsFailsAndKeepsWhatWasThere)
{
    struct Case {
        uint32_t size_before;
        size_t item_size, items;
    };
    const Case cases[] = {
        {0xFFFFFF00u, 1, 0x100},          // the bytes pass 2^32
        {0xFFFFFFFEu, 1, 1},              // only the NUL passes it
        {0, 0x10000, 0x10000},            // one write of 2^32 bytes
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.size_before) + " + " + std::to_string(c.item_size) + " x " +
                     std::to_string(c.items));
        char *block = (char *)malloc(4);
        memcpy(block, "abc", 4);
        WebGetAnswer answer = {block, c.size_before};
        char bytes[16] = {};
        capture_stdout_begin();
        size_t taken = web_get_write(bytes, c.item_size, c.items, &answer);
        std::string out = capture_stdout_end();
        EXPECT_EQ(taken, 0u);
        EXPECT_EQ(out, "not enough memory (realloc returned NULL)\n");
        EXPECT_EQ(answer.data, block);
        EXPECT_EQ(answer.size, c.size_before);
        EXPECT_STREQ(answer.data, "abc");
        free(block);
    }
}

// app_init reads the built-in address, so these run in a network namespace of their
// own where the server can take that address's port without meeting anyone else.
class AppInitTest : public testing::Test {
protected:
    void SetUp() override
    {
        NETNS_REQUIRE();
        ASSERT_FALSE(scratch_.path().empty());
        no_proxy();
        config_defaults();
        const std::string loopback = "http://127.0.0.1:";
        std::string url = PlayerConfig.version_check_url;
        size_t slash = url.find('/', loopback.size());
        if (url.rfind(loopback, 0) != 0 || slash == std::string::npos)
            GTEST_SKIP() << "the built-in version check is not on loopback: " << url;
        port_ = atoi(url.substr(loopback.size(), slash - loopback.size()).c_str());
        target_ = url.substr(slash);
    }
    // The server at the built-in address, answering the check with `answer`.
    void serve(LoopbackHttpServer &server, const char *answer)
    {
        ASSERT_TRUE(server.start(port_));
        server.set_page(check_path, "text/plain", answer);
        server.set_page("/portal/index.html", "text/html", "<html><body>portal</body></html>");
    }
    void expect_version_request(LoopbackHttpServer &server)
    {
        std::string request = server.last_request(check_path);
        EXPECT_EQ(target_, std::string(check_path) + "?version=3.1.1&os=" ZANDORO_OS_NAME);
        EXPECT_EQ(request.rfind("GET " + target_ + " HTTP/1.1\r\n", 0), 0u) << request;
        EXPECT_NE(request.find("\r\nUser-Agent: zandoro/3.1.1\r\n"), std::string::npos) << request;
    }

    ScratchDir scratch_;
    int port_ = 0;
    std::string target_;
};

TEST_F(AppInitTest, MissingConfigEndsBeforeTheVersionCheck)
{
    ChildRun ns = netns_run([&] {
        LoopbackHttpServer server;
        serve(server, "REQUIRE");
        ChildRun app = child_run([&] {
            child_skips_leak_check_at_exit();
            ASSERT_EQ(chdir(scratch_.path().c_str()), 0);
            seam_on("IDOK", scratch_.file("opened"));
            app_init();
            _exit(WENT_ON);
        });
        EXPECT_EQ(app.exit_code, 1) << child_describe(app);
        EXPECT_EQ(app.out, "Using ./config.dat for config file\n");
        EXPECT_EQ(app.err, "Unable to read config file: No such file or directory\n");
        EXPECT_EQ(server.requests(check_path), 0);
    }, 2 * test_deadline_ms);
    EXPECT_TRUE(child_ok(ns));
    EXPECT_EQ(read_file(scratch_.file("opened")), "");
}

TEST_F(AppInitTest, RequireLeavesBeforeTheWebUi)
{
    write_file(scratch_.file("config.dat"), "video_w:320\nvideo_h:180\n");
    ChildRun ns = netns_run([&] {
        LoopbackHttpServer server;
        serve(server, "REQUIRE");
        ChildRun app = child_run([&] {
            child_skips_leak_check_at_exit();
            ASSERT_EQ(chdir(scratch_.path().c_str()), 0);
            seam_on("IDOK", scratch_.file("opened"));
            // Were the web UI started first, it would end the process for want of a display.
            unsetenv("DISPLAY");
            app_init();
            _exit(WENT_ON);
        });
        EXPECT_EQ(app.exit_code, 0) << child_describe(app);
        EXPECT_NE(app.out.find(require_box("IDOK")), std::string::npos) << app.out;
        EXPECT_EQ(server.requests(check_path), 1);
        expect_version_request(server);
    }, 2 * test_deadline_ms);
    EXPECT_TRUE(child_ok(ns));
    EXPECT_EQ(read_file(scratch_.file("opened")), std::string(PlayerConfig.download_url) + "\n");
}

TEST_F(AppInitTest, DeclinedOfferGoesOnToTheWebUiAndTheEngine)
{
    const char *display = getenv("DISPLAY");
    if (!display || !*display)
        GTEST_SKIP() << "no X display to run the web engine on";
    web_test_environment();
    write_file(scratch_.file("config.dat"), "video_w:320\nvideo_h:180\n");
    ChildRun ns = netns_run(
        [&] {
            LoopbackHttpServer server;
            serve(server, "OFFER");
            ASSERT_EQ(chdir(scratch_.path().c_str()), 0);
            seam_on("IDNO", scratch_.file("opened"));
            EXPECT_EQ(app_started, 0);
            app_init();
            EXPECT_EQ(app_started, 1);
            expect_version_request(server);
            ASSERT_NE(CompositePicture, nullptr);
            EXPECT_EQ(CompositePicture->format, AV_PIX_FMT_YUV420P);
            EXPECT_EQ(CompositePicture->width, 324);
            EXPECT_EQ(CompositePicture->height, 184);
            EXPECT_GE(CompositePicture->linesize[0], 324);
            EXPECT_NE(web_view, nullptr);
            EXPECT_NE(MediaControl, nullptr);
            EXPECT_TRUE(web_pump_until([&] { return server.requests("/portal/index.html") > 0; }));
        },
        2 * test_deadline_ms);
    EXPECT_TRUE(child_ok(ns));
    EXPECT_NE(ns.out.find(offer_box("IDNO")), std::string::npos) << ns.out;
    EXPECT_EQ(read_file(scratch_.file("opened")), "");
}
