// Panel files and pictures: the .ks parser's defaults and limits, what a
// hostile panel can put into an SVG (nothing executable), and the
// picture's geometry.
#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "server/ksp_panel.h"
#include "server/ksp_svg.h"
#include "tests/fuzz/corpus_files.h"
#include "tests/fuzz/ks_fuzz_driver.h"

namespace {

ksp_panel parse(const std::string &text, int max_points = KSP_JSON_MAX_POINTS) {
    ksp_panel p;
    EXPECT_EQ(0, ksp_parse(text, max_points, &p)) << text;
    return p;
}

// xmllint over the text (make test installs it: a missing tool fails).
bool xml_well_formed(const std::string &svg) {
    if (system("which xmllint >/dev/null 2>&1") != 0) {
        ADD_FAILURE() << "xmllint is not installed (Debian package libxml2-utils)";
        return false;
    }
    char path[] = "/tmp/zq-ksp-svg-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return false;
    if (write(fd, svg.data(), svg.size()) != (ssize_t)svg.size()) return false;
    close(fd);
    int rc = system((std::string("xmllint --noout ") + path + " 2>/dev/null").c_str());
    unlink(path);
    return rc == 0;
}

TEST(KspParse, DefaultsLimitsAndCurves) {
    ksp_panel p;
    EXPECT_EQ(-1, ksp_parse("<kspx takt=\"5\"/><e param=\"A1\"/>", 100, &p));
    EXPECT_EQ(-1, ksp_parse("", 100, &p));
    p = parse("<ksp>");
    EXPECT_EQ(1, p.takt);
    EXPECT_EQ(1700, p.npoints);
    EXPECT_STREQ("#000000", p.bgcolor);
    EXPECT_STREQ("#808080", p.bordercolor);
    EXPECT_TRUE(p.showgrid && p.showdesc);
    EXPECT_EQ(0, p.ncurves);
    EXPECT_EQ(2, parse("<ksp npoints=\"1\">").npoints);
    // A name that is empty once NUL bytes are gone, or whose first character
    // does not fit the field, names no channel.
    EXPECT_EQ(0, parse(std::string("<ksp><e param=\"") + std::string(2, '\0') + "\"/>").ncurves);
    EXPECT_EQ(0, parse("<ksp><e param=\"" + std::string(200, '\x84') + "A6\"/>").ncurves);
    ksp_panel nul = parse(std::string("<ksp><e param=\"") + '\0' + "A2\"/>");
    ASSERT_EQ(1, nul.ncurves);
    EXPECT_STREQ("A2", nul.c[0].param);
    EXPECT_EQ(20000, parse("<ksp npoints=\"50000\">").npoints);
    EXPECT_EQ(50000, parse("<ksp npoints=\"50000\">", KSP_SVG_MAX_POINTS).npoints);
    EXPECT_EQ(1, parse("<ksp takt=\"-5\">").takt);
    EXPECT_EQ(86400, parse("<ksp takt=\"99999999999\">").takt);
    p = parse("<ksp showgrid='no' showdesc=\"N\" trendsrc=\"3\" trendurl=\"http://h:81/x\">");
    EXPECT_FALSE(p.showgrid || p.showdesc);
    EXPECT_EQ(3, p.trendsrc);
    EXPECT_STREQ("http://h:81/x", p.trendurl);

    std::string text =
        "<?xml version=\"1.0\"?><ksp takt=\"2\">\n<e color=\"red\"/>"
        "<e xparam=\"A9\" param=\"A1\" min=\"-5\" max=\"5\" color='#0f0'/>"
        "<eq param=\"A8\"/><e\tparam=\"D2\" src=\"s1\" desc=\"A &amp; B &lt;\">";
    for (int i = 0; i < 40; i++)
        text += "<e param=\"A" + std::to_string(i + 10) + "\"/>";
    p = parse(text);
    ASSERT_EQ(KSP_MAX_CURVES, p.ncurves);
    EXPECT_STREQ("A1", p.c[0].param);
    EXPECT_EQ(-5, p.c[0].min);
    EXPECT_STREQ("#0f0", p.c[0].color);
    EXPECT_STREQ("A1", p.c[0].desc);  // desc defaults to the param
    EXPECT_STREQ("D2", p.c[1].param);
    EXPECT_STREQ("s1", p.c[1].src);
    EXPECT_STREQ("A & B <", p.c[1].desc);
    EXPECT_EQ(100, p.c[1].max);
    EXPECT_STREQ("#ffffff", p.c[1].color);
    EXPECT_STREQ("A39", p.c[31].param);  // the 33rd and later are ignored

    // A legacy description in CP1251 becomes UTF-8.
    p = parse("<ksp><e param=\"A1\" desc=\"\xD2\xE8\xF1\xEA\"/>");
    EXPECT_STREQ("Тиск", p.c[0].desc);
}

TEST(KspParse, DemoPanelNamesTheDemosChannels) {
    ksp_panel p = parse(fuzz_read_file(ZQ_SOURCE_DIR "/examples/demo/www/boiler.ks"));
    ASSERT_EQ(5, p.ncurves);
    std::string demo = fuzz_read_file(ZQ_SOURCE_DIR "/examples/demo/config.yaml");
    for (int k = 0; k < p.ncurves; k++)
        EXPECT_NE(std::string::npos, demo.find(std::string(p.c[k].param) + ",")) << p.c[k].param;
}

TEST(KspParse, OnlySafeColoursAndNamesPass) {
    for (const char *ok : {"#fff", "#A0b1C2", "red", "DarkSlateGray"})
        EXPECT_TRUE(ksp_color_safe(ok)) << ok;
    for (const char *bad : {"", "#ff", "#12345", "#gggggg", "red;", "url(#x)", "\"/><script>",
                            "rgb(1,2,3)", "red blue", "aVeryLongColourNameBeyondAnyCssName"})
        EXPECT_FALSE(ksp_color_safe(bad)) << bad;
    EXPECT_TRUE(ksp_name_ok("panels/boiler.ks"));
    for (const char *bad : {"", "/etc/passwd", "../x.ks", "a/../../x.ks", "a/.."})
        EXPECT_FALSE(ksp_name_ok(bad)) << bad;
    std::string out;
    ksp_xml_escape(
        "a<b>&\"'\x01\x1f\t\xff\xef\xbf\xbe"
        "ю",
        &out);
    EXPECT_EQ("a&lt;b&gt;&amp;&quot;&#39;\t?ю", out);
}

TEST(KspSvg, HostilePanelYieldsNoScript) {
    std::string text =
        "<ksp bgcolor=\"red&quot; onload=&quot;alert(1)\">"
        "<e param=\"A1\" color=\"#fff&quot; onmouseover=&quot;alert(2)\" "
        "desc=\"&lt;script&gt;alert(3)&lt;/script&gt;\x02\"/>"
        "<e param=\"&lt;/text&gt;&lt;script&gt;alert(4)&lt;/script&gt;\" color=\"javascript\"/>"
        "<e param='A2' desc='\"/><svg onload=\"alert(5)'/>";
    ksp_panel p = parse(text, KSP_SVG_MAX_POINTS);
    std::vector<float> data((size_t)3 * p.npoints, 1.0f);
    std::string svg;
    ksp_svg_draw(&p, 1000000, data.data(), 400, 300, &svg);
    EXPECT_FALSE(ks_fuzz::markup_executable(svg)) << svg;
    EXPECT_EQ(std::string::npos, svg.find("<svg", 1)) << svg;
    EXPECT_NE(std::string::npos, svg.find("&lt;script&gt;alert(3)"));
    EXPECT_TRUE(xml_well_formed(svg)) << svg;
}

TEST(KspSvg, GridCurvesAndLegend) {
    ksp_panel p = parse(
        "<ksp takt=\"1\" npoints=\"61\"><e param=\"A1\" min=\"0\" max=\"10\" "
        "color=\"lime\" desc=\"Рівень\"/><e param=\"A2\"/>",
        KSP_SVG_MAX_POINTS);
    std::vector<float> data((size_t)2 * 61, NAN);
    for (int i = 0; i < 61; i++)
        if (i < 20 || i > 30) data[(size_t)i] = 5;  // gap in the middle
    data[60] = 0.004f;
    std::string svg;
    ksp_svg_draw(&p, 3600, data.data(), 200, 100, &svg);
    EXPECT_TRUE(xml_well_formed(svg)) << svg;
    EXPECT_EQ(0u,
              svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"200\" height=\"100\""));
    // Two runs of A1; A2 has no point at all.
    size_t runs = 0;
    for (size_t at = svg.find("<polyline"); at != std::string::npos;
         at = svg.find("<polyline", at + 1))
        runs++;
    EXPECT_EQ(2u, runs);
    // Chart height 100 - (2 * 14 + 4) - 4 = 64; 5 of 0..10 is y = 32.5.
    EXPECT_NE(std::string::npos, svg.find("0.5,32.5 "));
    EXPECT_NE(std::string::npos, svg.find(">Рівень</text>"));
    EXPECT_NE(std::string::npos, svg.find(">0.00</text>"));
    EXPECT_NE(std::string::npos, svg.find(">--</text>"));
    // 60 s window: lines every 10 s from 3600 to 3660.
    size_t vlines = 0;
    for (size_t at = svg.find("y1=\"0\" x2="); at != std::string::npos;
         at = svg.find("y1=\"0\" x2=", at + 1))
        vlines++;
    EXPECT_EQ(7u, vlines);

    // A huge window draws at most one grid line per pixel column.
    ksp_panel big =
        parse("<ksp takt=\"86400\" npoints=\"86400\" showdesc=\"no\">", KSP_SVG_MAX_POINTS);
    ksp_svg_draw(&big, 0, nullptr, 50, 50, &svg);
    vlines = 0;
    for (size_t at = svg.find("y1=\"0\" x2="); at != std::string::npos;
         at = svg.find("y1=\"0\" x2=", at + 1))
        vlines++;
    EXPECT_LE(vlines, 51u);
}

TEST(KspFuzzCorpus, EveryFileReplaysCleanly) {
    auto files = fuzz_corpus_files("ks");
    ASSERT_GE(files.size(), 3u);
    for (const auto &f : files) {
        SCOPED_TRACE(f);
        std::string data = fuzz_read_file(f);
        ks_fuzz::run_one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
}

}  // namespace
