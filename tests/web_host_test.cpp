// ui_init and the listeners over a real portal served from loopback, under X: what
// the program logs while the portal loads, fails, or loses its page process.
#include "shell/web_host.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "shell/config.h"
#include "shell/ui_compose.h"
#include "tests/support/http_server.h"
#include "tests/support/web_pump.h"

// Standard output diverted to a file that the test reads while the view runs. The
// test's own failure messages go to standard output too: check them after the tap.
class StdoutTap {
public:
    StdoutTap()
    {
        std::cout.flush();
        fflush(stdout);
        char name[] = "/tmp/zandoro-stdout-XXXXXX";
        fd_ = mkstemp(name);
        unlink(name);
        saved_ = dup(1);
        dup2(fd_, 1);
    }
    ~StdoutTap()
    {
        std::cout.flush();
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        close(fd_);
    }
    std::string text() const
    {
        std::string out;
        char buf[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(fd_, buf, sizeof buf, at)) > 0; at += n)
            out.append(buf, (size_t)n);
        return out;
    }
    bool has(const std::string &line) const { return text().find(line) != std::string::npos; }

private:
    int fd_, saved_;
};

// The page processes of this test process (the engine starts them as children).
static std::vector<pid_t> page_processes()
{
    std::vector<pid_t> pids;
    DIR *proc = opendir("/proc");
    while (struct dirent *e = proc ? readdir(proc) : nullptr) {
        char path[300], stat[512] = {};
        snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
        FILE *f = fopen(path, "r");
        if (!f)
            continue;
        size_t n = fread(stat, 1, sizeof stat - 1, f);
        fclose(f);
        stat[n] = 0;
        // "pid (comm) state ppid ..."; the name is cut to 15 characters.
        const char *close_paren = strrchr(stat, ')');
        int ppid = 0;
        if (strstr(stat, "(WebKitWebProces") && close_paren && sscanf(close_paren + 2, "%*c %d", &ppid) == 1 &&
            ppid == getpid())
            pids.push_back(atoi(e->d_name));
    }
    if (proc)
        closedir(proc);
    return pids;
}

class WebHostTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.start());
        config_defaults();
        PlayerConfig.video_w = 320;
        PlayerConfig.video_h = 180;
        web_test_environment();
        // ui_init has no way back from a missing display; find out first.
        if (!web_test_core())
            GTEST_SKIP() << "no X display to run the web engine on";
        Awesomium::WebCore::Shutdown();
    }
    void TearDown() override
    {
        Awesomium::WebCore::Shutdown();
        web_core = nullptr;
        web_view = nullptr;
    }
    void set_portal(const std::string &url)
    {
        snprintf(PlayerConfig.portal_url, sizeof PlayerConfig.portal_url, "%s", url.c_str());
    }
    // Runs ui_init and the engine with standard output tapped, until the log holds
    // `until` (and `also`, when given) or the deadline passed, then `extra_ms` more; returns the log.
    std::string run_portal(const std::string &until, const std::string &also = "", int extra_ms = 0)
    {
        StdoutTap out;
        ui_init();
        ui_init_log_ = out.text();
        web_pump_until([&] { return out.has(until) && out.has(also); });
        web_pump_for(extra_ms);
        return out.text();
    }

    std::string ui_init_log_;

    // The log less the page process's pauses: WebKit reports a process that did not answer
    // its ping in time, which a busy machine makes happen at any moment.
    static std::string without_responsiveness(std::string log)
    {
        for (const char *line : {"OnUnresponsive()\n", "OnResponsive()\n"})
            for (size_t at; (at = log.find(line)) != std::string::npos;)
                log.erase(at, strlen(line));
        return log;
    }

    LoopbackHttpServer server_;
};

TEST_F(WebHostTest, PortalLoadIsLogged)
{
    server_.set_page("/portal/index.html", "text/html; charset=utf-8",
                     "<html><head><title>Portail \xE2\x9C\x93</title></head><body>\n"
                     "<script>\n"
                     "console.log('portal up');\n"
                     "setTimeout(function () { document.title = 'Menu'; }, 50);\n"
                     "</script></body></html>");
    set_portal(server_.url("/portal/index.html"));
    std::string log = run_portal("OnFinishLoadingFrame()\n", "TITLE: Menu\n");
    // ui_init itself logs nothing; the JavaScript binding inside it writes its one line.
    EXPECT_EQ(ui_init_log_, "Finished setting Handlers\n");
    ASSERT_NE(web_view, nullptr);
    EXPECT_EQ(web_view->width(), 320);
    EXPECT_EQ(web_view->height(), 180);

    EXPECT_EQ(without_responsiveness(log).find("OnBeginLoadingFrame()\n"), ui_init_log_.size()) << log;
    EXPECT_NE(log.find("OnChangeAddressBar: 127.0.0.1/index.html\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ZandoroViewListener::OnChangeTitle]\n\tTITLE: Portail \xE2\x9C\x93\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[ZandoroViewListener::OnChangeTitle]\n\tTITLE: Menu\n"), std::string::npos) << log;
    EXPECT_NE(log.find(server_.url("/portal/index.html") + ":3 portal up\n"), std::string::npos) << log;
    EXPECT_NE(log.find("OnDocumentReady()\n"), std::string::npos) << log;
    EXPECT_NE(log.find("OnFinishLoadingFrame()\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("OnFailLoadingFrame()"), std::string::npos) << log;
    EXPECT_EQ(server_.requests("/portal/index.html"), 1);
}

TEST_F(WebHostTest, UiInitAllocatesThePicturesAtTheVideoSize)
{
    server_.set_page("/", "text/html", "<html></html>");
    set_portal(server_.url("/"));
    ui_init();
    ASSERT_NE(UiBgraPicture, nullptr);
    EXPECT_EQ(UiBgraPicture->format, AV_PIX_FMT_BGRA);
    EXPECT_EQ(UiBgraPicture->width, 320);
    EXPECT_EQ(UiBgraPicture->height, 180);
    EXPECT_EQ(UiBgraPicture->linesize[0], 320 * 4);
    ASSERT_NE(UiPicture, nullptr);
    EXPECT_EQ(UiPicture->format, AV_PIX_FMT_YUVA420P);
    const int expected_lines[4] = {320, 160, 160, 320};
    for (int plane = 0; plane < 4; plane++)
        EXPECT_EQ(UiPicture->linesize[plane], expected_lines[plane]) << plane;
    // One buffer: the planes follow each other.
    EXPECT_EQ(UiPicture->data[1], UiPicture->data[0] + 320 * 180);
    EXPECT_EQ(UiPicture->data[2], UiPicture->data[1] + 160 * 90);
    EXPECT_EQ(UiPicture->data[3], UiPicture->data[2] + 160 * 90);
    // The listeners are in place before the load.
    EXPECT_NE(web_view->load_listener(), nullptr);
    EXPECT_NE(web_view->view_listener(), nullptr);
    EXPECT_NE(web_view->process_listener(), nullptr);
}

TEST_F(WebHostTest, RefusedConnectionLogsTheFailureOnly)
{
    set_portal("http://127.0.0.1:" + std::to_string(loopback_closed_port()) + "/portal/index.html");
    std::string log = run_portal("OnFailLoadingFrame()\n", "", 300);
    // The engine also reports the failed resource as a console message, which may
    // come before or after the load's lines.
    size_t begin = log.find("OnBeginLoadingFrame()\n");
    ASSERT_NE(begin, std::string::npos) << log;
    EXPECT_NE(log.find("OnFailLoadingFrame()\n", begin), std::string::npos) << log;
    EXPECT_EQ(log.find("OnFinishLoadingFrame()"), std::string::npos) << log;
    EXPECT_EQ(log.find("OnChangeAddressBar"), std::string::npos) << "nothing was committed\n" << log;
}

TEST_F(WebHostTest, MissingPageFinishesNormally)
{
    set_portal(server_.url("/no/such/page.html"));
    std::string log = run_portal("OnFinishLoadingFrame()\n");
    EXPECT_NE(log.find("OnFinishLoadingFrame()\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("OnFailLoadingFrame()"), std::string::npos) << log;
    EXPECT_EQ(server_.requests("/no/such/page.html"), 1);
}

TEST_F(WebHostTest, CrashOfThePageProcessIsLoggedAndTheViewStays)
{
    server_.set_page("/", "text/html", "<html><body style='background:rgb(240,72,224)'></body></html>");
    set_portal(server_.url("/"));
    std::string log = run_portal("OnFinishLoadingFrame()\n");
    ASSERT_NE(log.find("OnFinishLoadingFrame()\n"), std::string::npos) << log;
    std::vector<pid_t> pages = page_processes();
    ASSERT_EQ(pages.size(), 1u);
    {
        StdoutTap out;
        kill(pages[0], SIGKILL);
        web_pump_until([&] { return out.has("OnCrashed()\n"); });
        web_pump_for(200);  // the view goes on updating after the crash
        log = out.text();
    }
    EXPECT_EQ(without_responsiveness(log), "OnCrashed()\n") << log;
    EXPECT_NE(web_view->surface(), nullptr);
}
