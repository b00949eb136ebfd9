// What an engineer does on an editor page in headless Chromium, shared by
// the editor's browser tests.
#pragma once

#include <string>

#include "common/json.h"
#include "tests/support/wait.h"
#include "tests/support/webdriver.h"

namespace srvtest {

struct eng_page {
    tsup::WebDriver wd;
    std::string js(const std::string &script) { return tsup::webdriver_script(&wd, script); }
    static std::string q(const std::string &s) { return "\"" + json_escape_str(s) + "\""; }
    // textContent, or the value of a form field, of the first match of `css`.
    std::string get(const std::string &css) {
        return js("var e=document.querySelector(" + q(css) +
                  ");return e?(e.tagName=='INPUT'?e.value:e.textContent):'';");
    }
    void click(const std::string &css) {
        js("document.querySelector(" + q(css) + ").click();return '';");
    }
    // Types into a field as a user would: the value, then an input event.
    void fill(const std::string &css, const std::string &value) {
        js("var e=document.querySelector(" + q(css) + ");e.value=" + q(value) +
           ";e.dispatchEvent(new Event('input',{bubbles:true}));return '';");
    }
    bool shows(const std::string &css, const std::string &text, int ms = 20000) {
        return tsup::wait_for([&] { return get(css) == text; }, ms);
    }
    bool starts(const std::string &css, const std::string &text, int ms = 20000) {
        return tsup::wait_for([&] { return get(css).rfind(text, 0) == 0; }, ms);
    }
};

}  // namespace srvtest
