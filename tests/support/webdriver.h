// A headless Chromium driven over WebDriver (chromedriver), for the tests
// of the pages the programs serve. make test installs both programs, so a
// test fails when either is missing (have_browser).
#pragma once

#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/proc.h"

namespace tsup {

extern const char *const CHROMIUM;
extern const char *const CHROMEDRIVER;

// Both programs are installed.
bool have_browser();

// A chromedriver and its browser session. Ending the object closes the
// session and the driver, even when an assertion ended the test early.
struct WebDriver {
    TempDir profile{"chrome"};  // the browser's user data
    Child driver;
    int port = 0;         // chromedriver's
    std::string session;  // empty until webdriver_start succeeds
    WebDriver() = default;
    ~WebDriver();
    WebDriver(const WebDriver &) = delete;
    WebDriver &operator=(const WebDriver &) = delete;
};

// Starts chromedriver and opens a session of a headless browser; extra_args
// are added to the browser's command line. False when no session came up.
bool webdriver_start(WebDriver *wd, const std::vector<std::string> &extra_args = {});

// One WebDriver command (path from the driver's root, body JSON); the body
// of the answer, "" when the driver did not answer.
std::string webdriver_call(WebDriver *wd, const std::string &method, const std::string &path,
                           const std::string &body = "");

// Loads url in the session's window.
void webdriver_open(WebDriver *wd, const std::string &url);

// Runs a script in the page and returns its result: a string as it is, a
// number as text ("3", "0.5"), "" for anything else.
std::string webdriver_script(WebDriver *wd, const std::string &js);

// Picks a file in the <input type=file> that css finds, as the file
// chooser does; true once the input holds one file.
bool webdriver_choose_file(WebDriver *wd, const std::string &css, const std::string &path);

}  // namespace tsup
