// Message boxes and the shell's "open" over GTK and GIO: the test seam that answers
// boxes without a desktop, the real dialog under X answered by the seam's own click,
// and opening through the desktop's default handler for a scheme.
#include "platform/win32/win_dialogs.h"

#include <gtest/gtest.h>

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tests/support/capture.h"
#include "tests/support/files.h"
#include "tests/support/netns.h"
#include "tests/support/program_run.h"
#include "tests/support/x_session.h"

class WinDialogsTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(scratch_.path().empty());
        dir_ = scratch_.path();
        unsetenv("ZANDORO_TEST_MESSAGEBOX");
        unsetenv("ZANDORO_TEST_MESSAGEBOX_SHOW");
        unsetenv("ZANDORO_TEST_OPEN_LOG");
    }
    void TearDown() override
    {
        unsetenv("ZANDORO_TEST_MESSAGEBOX");
        unsetenv("ZANDORO_TEST_MESSAGEBOX_SHOW");
        unsetenv("ZANDORO_TEST_OPEN_LOG");
    }
    static bool have_display()
    {
        const char *display = getenv("DISPLAY");
        return display && *display;
    }

    ScratchDir scratch_{"zandoro-win32"};
    std::string dir_;
};

TEST_F(WinDialogsTest, SeamAnswersEachBoxInTurnAndRefusesAMissingButton)
{
    setenv("ZANDORO_TEST_MESSAGEBOX", "IDNO,IDCANCEL,IDYES,IDOK", 1);
    capture_stdout_begin();
    capture_stderr_begin();
    INT first = MessageBoxW(nullptr, L"Save?", L"Editor", MB_YESNO | MB_ICONQUESTION);
    INT second = MessageBoxW(nullptr, L"Go on?", L"Editor", MB_OKCANCEL);
    INT refused = MessageBoxW(nullptr, L"Done.", nullptr, MB_OK | MB_ICONINFORMATION);
    INT last = MessageBoxW(nullptr, L"Done.", nullptr, MB_OK | MB_ICONINFORMATION);
    INT repeated = MessageBoxW(nullptr, L"Again.", nullptr, MB_OK);
    std::string err = capture_stderr_end();
    std::string out = capture_stdout_end();

    EXPECT_EQ(first, IDNO);
    EXPECT_EQ(second, IDCANCEL);
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(last, IDOK);
    EXPECT_EQ(repeated, IDOK);
    EXPECT_STREQ(getenv("ZANDORO_TEST_MESSAGEBOX"), "IDOK");
    EXPECT_EQ(out,
              "MessageBoxW icon=question buttons=Yes,No caption=\"Editor\" text=\"Save?\" answer=IDNO\n"
              "MessageBoxW icon=none buttons=OK,Cancel caption=\"Editor\" text=\"Go on?\" answer=IDCANCEL\n"
              "MessageBoxW icon=information buttons=OK caption=\"Error\" text=\"Done.\" answer=IDOK\n"
              "MessageBoxW icon=none buttons=OK caption=\"Error\" text=\"Again.\" answer=IDOK\n");
    EXPECT_EQ(err, "ZANDORO_TEST_MESSAGEBOX: IDYES is no button of this box\n");
}

// The dialog GTK builds, answered by clicking its button; the child ends with the result.
TEST_F(WinDialogsTest, RealDialogShowsTheTextAndReturnsTheButtonClicked)
{
    if (!have_display())
        GTEST_SKIP() << "no X display for the dialog";
    struct Case {
        const wchar_t *text;
        const wchar_t *caption;
        UINT type;
        const char *answer;
        int result;
        const char *line;
    };
    const Case cases[] = {
        {L"You must upgrade.", L"Check", MB_OKCANCEL | MB_ICONERROR, "IDCANCEL", IDCANCEL,
         "MessageBoxW icon=error buttons=OK,Cancel caption=\"Check\" text=\"You must upgrade.\" "
         "answer=IDCANCEL\n"},
        {L"Upgrade now?", L"Check", MB_YESNO | MB_ICONWARNING, "IDYES", IDYES,
         "MessageBoxW icon=warning buttons=Yes,No caption=\"Check\" text=\"Upgrade now?\" "
         "answer=IDYES\n"},
        {L"Gr\u00f6\u00dfe \u2713", nullptr, MB_OK | MB_ICONINFORMATION, "IDOK", IDOK,
         "MessageBoxW icon=information buttons=OK caption=\"Error\" text=\"Gr\xc3\xb6\xc3\x9f"
         "e \xe2\x9c\x93\" answer=IDOK\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        ChildRun run = child_run([&] {
            setenv("NO_AT_BRIDGE", "1", 1);
            setenv("ZANDORO_TEST_MESSAGEBOX", c.answer, 1);
            setenv("ZANDORO_TEST_MESSAGEBOX_SHOW", "1", 1);
            _exit(MessageBoxW(nullptr, c.text, c.caption, c.type));
        });
        EXPECT_EQ(run.exit_code, c.result) << child_describe(run);
        EXPECT_EQ(run.out, c.line);
    }
}

bool is_error_red(Rgb c)
{
    return c.r >= 150 && c.g <= 90 && c.b <= 90;
}

bool is_warning_orange(Rgb c)
{
    return c.r >= 200 && c.g >= 120 && c.g <= 200 && c.b <= 120;
}

// The boxes as a viewer meets them, on a display with a window manager (openbox): the
// icon is drawn on the screen, and the box is a dialog to the window manager, which
// then offers neither sizing nor maximising. Return closes it with its first button.
TEST_F(WinDialogsTest, BoxesDrawTheirIconAndAreDialogsToTheWindowManager)
{
    const char *outer = getenv("DISPLAY");
    std::string outer_display = outer ? outer : "";
    XSession x;
    std::string why;
    if (!x_session_start(&x, true, &why))
        GTEST_SKIP() << why;
    // As start-up's boxes are: an upgrade required, an upgrade offered.
    struct Case {
        UINT type;
        int answer;  // the default button, which Return picks
        const wchar_t *caption;
        const char *caption8;
        bool (*icon_colour)(Rgb);
    } cases[] = {
        {MB_OKCANCEL | MB_ICONERROR, IDOK, L"Required", "Required", is_error_red},
        {MB_YESNO | MB_ICONWARNING, IDYES, L"Offered", "Offered", is_warning_orange},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.caption8);
        ChildRun run = child_run(
            [&] {
                setenv("NO_AT_BRIDGE", "1", 1);
                std::thread driver([&] {
                    std::string id = x_command(std::string("timeout 10 xdotool search --sync --onlyvisible --name '^") +
                                               c.caption8 + "$'");
                    id = id.substr(0, id.find('\n'));
                    if (id.empty()) {
                        ADD_FAILURE() << "no box on the screen";
                        return;
                    }
                    // The window manager states what it allows once it has taken the box on.
                    std::string actions;
                    for (int i = 0; i < 500 && actions.find("_NET_WM_ACTION_CLOSE") == std::string::npos; i++) {
                        actions = x_command("timeout 5 xprop -id " + id + " _NET_WM_ALLOWED_ACTIONS");
                        usleep(10000);
                    }
                    std::string type = x_command("timeout 5 xprop -id " + id + " _NET_WM_WINDOW_TYPE");
                    EXPECT_NE(type.find("_NET_WM_WINDOW_TYPE_DIALOG"), std::string::npos) << type;
                    EXPECT_NE(actions.find("_NET_WM_ACTION_CLOSE"), std::string::npos) << actions;
                    EXPECT_EQ(actions.find("_NET_WM_ACTION_MAXIMIZE"), std::string::npos) << actions;
                    EXPECT_EQ(actions.find("_NET_WM_ACTION_RESIZE"), std::string::npos) << actions;

                    // The icon's own colour over an area of its size (48 x 48 pixels).
                    MainWindow box;
                    box.client = id;
                    int icon_pixels = 0;
                    for (long long end = program_now_ms() + 10000; icon_pixels < 400 && program_now_ms() < end;) {
                        Screenshot shot;
                        icon_pixels = 0;
                        if (screenshot_take(&shot, &box))
                            for (int y = 0; y < shot.height; y++)
                                for (int x = 0; x < shot.width; x++)
                                    icon_pixels += c.icon_colour(shot.at(x, y));
                        if (icon_pixels < 400)
                            usleep(50000);
                    }
                    EXPECT_GE(icon_pixels, 400) << "pixels of the icon's colour on the box";
                    x_command("timeout 5 xdotool windowfocus --sync " + id + "; xdotool key Return");
                });
                int answer = MessageBoxW(nullptr, L"The text of the box.", c.caption, c.type);
                driver.join();
                EXPECT_EQ(answer, c.answer);
            },
            60000);
        EXPECT_TRUE(child_ok(run));
    }
    x_session_stop(&x);
    if (outer)
        setenv("DISPLAY", outer_display.c_str(), 1);
    else
        unsetenv("DISPLAY");
}

TEST_F(WinDialogsTest, OpenGoesToTheSeamLogAndOnlyOpenIsKnown)
{
    std::string log = dir_ + "/opened";
    setenv("ZANDORO_TEST_OPEN_LOG", log.c_str(), 1);
    EXPECT_GT((intptr_t)ShellExecuteW(nullptr, L"open", L"http://127.0.0.1:8080/download/", nullptr,
                                      nullptr, SW_SHOW),
              32);
    EXPECT_GT((intptr_t)ShellExecuteW(nullptr, nullptr, L"http://127.0.0.1/\u00e9", nullptr, nullptr,
                                      SW_SHOW),
              32);
    EXPECT_EQ((intptr_t)ShellExecuteW(nullptr, L"print", L"http://127.0.0.1/", nullptr, nullptr,
                                      SW_SHOW),
              SE_ERR_NOASSOC);
    EXPECT_EQ((intptr_t)ShellExecuteW(nullptr, L"open", nullptr, nullptr, nullptr, SW_SHOW),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(read_file(log), "http://127.0.0.1:8080/download/\nhttp://127.0.0.1/\xc3\xa9\n");
}

// A desktop of the test's own: one application that handles the scheme "zandoro-test"
// and writes each address it is started with to a file.
TEST_F(WinDialogsTest, OpenStartsTheDesktopsHandlerForTheAddress)
{
    std::string data = dir_ + "/data", config = dir_ + "/config", log = dir_ + "/handled";
    ASSERT_EQ(mkdir(data.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((data + "/applications").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(config.c_str(), 0700), 0);
    std::string handler = dir_ + "/handler";
    write_file(handler, "#!/bin/sh\necho \"$1\" >> " + log + "\n");
    ASSERT_EQ(chmod(handler.c_str(), 0700), 0);
    write_file(data + "/applications/zandoro-test-opener.desktop",
               "[Desktop Entry]\nType=Application\nName=Test opener\nExec=" + handler +
                   " %u\nMimeType=x-scheme-handler/zandoro-test;\nNoDisplay=true\n");
    write_file(config + "/mimeapps.list",
               "[Default Applications]\nx-scheme-handler/zandoro-test=zandoro-test-opener.desktop\n");

    ChildRun run = child_run([&] {
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        setenv("XDG_DATA_DIRS", data.c_str(), 1);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_CONFIG_DIRS", config.c_str(), 1);
        EXPECT_GT((intptr_t)ShellExecuteW(nullptr, L"open", L"zandoro-test://page?x=1", nullptr,
                                          nullptr, SW_SHOW),
                  32);
        EXPECT_EQ((intptr_t)ShellExecuteW(nullptr, L"open", L"zandoro-none://page", nullptr,
                                          nullptr, SW_SHOW),
                  SE_ERR_NOASSOC);
        // The handler runs on its own: until it has written the address.
        for (int waited = 0; waited < test_deadline_ms && read_file(log).empty(); waited += 10)
            usleep(10000);
    }, 2 * test_deadline_ms);
    EXPECT_TRUE(child_ok(run));
    EXPECT_EQ(read_file(log), "zandoro-test://page?x=1\n");
    EXPECT_NE(run.err.find("Cannot open zandoro-none://page: "), std::string::npos) << run.err;
}
