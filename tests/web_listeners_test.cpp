// The listeners' log lines, from calls made the way the view makes them. No display
// is needed: the listeners read nothing but their arguments.
#include "shell/web_listeners.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "shell/web_host.h"
#include "tests/support/capture.h"

using namespace Awesomium;

static std::string output_of(const std::function<void()> &call)
{
    capture_stdout_begin();
    call();
    return capture_stdout_end();
}

static WebURL url(const char *text)
{
    return WebURL(web_string_from_utf8(text));
}

TEST(WebListeners, TitleStandsOnASecondLine)
{
    ZandoroViewListener view;
    EXPECT_EQ(output_of([&] { view.OnChangeTitle(nullptr, web_string_from_utf8("Portail télé")); }),
              "[ZandoroViewListener::OnChangeTitle]\n\tTITLE: Portail télé\n");
    EXPECT_EQ(output_of([&] { view.OnChangeTitle(nullptr, WebString()); }),
              "[ZandoroViewListener::OnChangeTitle]\n\tTITLE: \n");
}

TEST(WebListeners, ConsoleMessageIsSourceLineAndText)
{
    ZandoroViewListener view;
    struct Case {
        const char *message;
        int line;
        const char *source, *expected;
    } cases[] = {
        {"portal up", 12, "http://127.0.0.1/p.js", "http://127.0.0.1/p.js:12 portal up\n"},
        {"zero", 0, "a.js", "a.js:0 zero\n"},
        {"negative", -3, "a.js", "a.js:-3 negative\n"},
        {"", 7, "", ":7 \n"},
        {"\xE2\x9C\x93 \"quoted\"", 1, "s", "s:1 \xE2\x9C\x93 \"quoted\"\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(output_of([&] {
                      view.OnAddConsoleMessage(nullptr, web_string_from_utf8(c.message), c.line,
                                               web_string_from_utf8(c.source));
                  }),
                  c.expected);
    }
}

TEST(WebListeners, UrlLinesAreHostSlashFilename)
{
    ZandoroViewListener view;
    struct Case {
        const char *url, *line;
    } cases[] = {
        {"http://127.0.0.1:8080/portal/index.html", "127.0.0.1/index.html"},
        {"http://Portal.Example/", "portal.example/"},
        {"file:///srv/portal/start.html", "/start.html"},
        {"", "/"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(output_of([&] { view.OnChangeAddressBar(nullptr, url(c.url)); }),
                  std::string("OnChangeAddressBar: ") + c.line + "\n");
        EXPECT_EQ(output_of([&] { view.OnChangeTargetURL(nullptr, url(c.url)); }),
                  std::string("OnChangeTargetURL: ") + c.line + "\n");
    }
}

TEST(WebListeners, EventsWriteTheirFixedLineWhateverTheArguments)
{
    ZandoroLoadListener load;
    ZandoroProcessListener process;
    WebURL portal = url("http://127.0.0.1/");
    WebString error = web_string_from_utf8("Connection refused");
    struct Case {
        std::function<void()> call;
        const char *line;
    } cases[] = {
        {[&] { load.OnBeginLoadingFrame(nullptr, 1, true, portal, false); }, "OnBeginLoadingFrame()\n"},
        {[&] { load.OnBeginLoadingFrame(nullptr, -9, false, WebURL(), true); }, "OnBeginLoadingFrame()\n"},
        {[&] { load.OnFailLoadingFrame(nullptr, 1, true, portal, -102, error); }, "OnFailLoadingFrame()\n"},
        {[&] { load.OnFinishLoadingFrame(nullptr, 1, true, portal); }, "OnFinishLoadingFrame()\n"},
        {[&] { load.OnDocumentReady(nullptr, WebURL()); }, "OnDocumentReady()\n"},
        {[&] { process.OnUnresponsive(nullptr); }, "OnUnresponsive()\n"},
        {[&] { process.OnResponsive(nullptr); }, "OnResponsive()\n"},
        {[&] { process.OnCrashed(nullptr, kTerminationStatus_Crashed); }, "OnCrashed()\n"},
        {[&] { process.OnCrashed(nullptr, kTerminationStatus_Killed); }, "OnCrashed()\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(output_of(c.call), c.line);
}

TEST(WebListeners, TheOtherViewOperationsWriteNothing)
{
    ZandoroViewListener view;
    EXPECT_EQ(output_of([&] {
                  view.OnChangeTooltip(nullptr, web_string_from_utf8("tip"));
                  view.OnChangeCursor(nullptr, kCursor_Hand);
                  view.OnChangeFocus(nullptr, kFocusedElementType_Text);
                  view.OnShowCreatedWebView(nullptr, nullptr, url("http://a/"), url("http://b/"), Rect(), true);
              }),
              "");
}

TEST(WebListeners, HoldNoState)
{
    // One shared instance serves the view for the life of the process.
    EXPECT_EQ(sizeof(ZandoroViewListener), sizeof(void *));
    EXPECT_EQ(sizeof(ZandoroLoadListener), sizeof(void *));
    EXPECT_EQ(sizeof(ZandoroProcessListener), sizeof(void *));
}
