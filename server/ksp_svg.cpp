#include "ksp_svg.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>

#include <algorithm>

#include "common/parse_util.h"
#include "ksp_frame.h"

namespace {

void add(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void add(std::string *out, const char *fmt, ...) {
    char b[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(b, sizeof b, fmt, ap);
    va_end(ap);
    if (n > 0) out->append(b, std::min((size_t)n, sizeof b - 1));
}

int64_t grid_step(int64_t len, int w) {
    int64_t step = len < 120     ? 10
                   : len < 600   ? 30
                   : len < 1800  ? 60
                   : len < 3600  ? 120
                   : len < 10800 ? 600
                                 : 3600;
    // At most one line per pixel column, whatever the window.
    while (len / step > w)
        step *= 2;
    return step;
}

}  // namespace

void ksp_svg_draw(const ksp_panel *p, int64_t start_s, const float *data, int w, int h,
                  std::string *out) {
    int W = std::clamp(w, KSP_SVG_MIN_SIDE, KSP_SVG_MAX_SIDE);
    int HT = std::clamp(h, KSP_SVG_MIN_SIDE, KSP_SVG_MAX_SIDE);
    int nc = std::min(p->ncurves, KSP_LOCAL_CURVES);
    int band = 0;
    if (p->showdesc && nc > 0) {
        band = 14 * nc + 4;
        if (HT - band - 4 < 20) band = 0;
    }
    int H = band ? HT - band - 4 : HT;
    int64_t len = std::max<int64_t>((int64_t)(p->npoints - 1) * p->takt, 1);
    int64_t end_s = start_s + len;
    out->clear();
    add(out,
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d "
        "%d\">",
        W, HT, W, HT);
    add(out, "<rect x=\"0\" y=\"0\" width=\"%d\" height=\"%d\" fill=\"black\"/>", W, HT);
    if (p->showgrid) {
        int64_t step = grid_step(len, W);
        int64_t m = ((start_s % step) + step) % step;
        int64_t first = m ? start_s - m + step : start_s;
        for (int64_t t = first; t <= end_s; t += step) {
            int x = (int)((double)(t - start_s) / (double)len * W + 0.5);
            add(out,
                "<line x1=\"%d.5\" y1=\"0\" x2=\"%d.5\" y2=\"%d\" stroke=\"#333333\" "
                "stroke-width=\"1\" stroke-dasharray=\"4,4\"/>",
                x, x, H);
        }
        for (int k = 1; k <= 9; k++) {
            int y = k * H / 10;
            add(out,
                "<line x1=\"0\" y1=\"%d.5\" x2=\"%d\" y2=\"%d.5\" stroke=\"#333333\" "
                "stroke-width=\"1\" stroke-dasharray=\"4,4\"/>",
                y, W, y);
        }
    }
    add(out,
        "<rect x=\"0.5\" y=\"0.5\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#9a9a9a\" "
        "stroke-width=\"1\"/>",
        W - 1, H - 1);
    int n = p->npoints;
    int s = W >= n ? 1 : (W + n - 1) / W;
    double d = n > 1 ? n - 1 : 1;
    for (int k = 0; k < nc; k++) {
        const ksp_curve &c = p->c[k];
        const float *v = data + (size_t)k * (size_t)n;
        double range = c.max - c.min;
        if (range == 0) range = 1;
        bool open = false;
        for (int i = 0; i < n; i += s) {
            if (!isfinite(v[i])) {
                if (open) out->append("\"/>");
                open = false;
                continue;
            }
            double f = std::clamp((v[i] - c.min) / range, 0.0, 1.0);
            double x = (double)(int)(i / d * W) + 0.5;
            double y = (double)(int)(H - f * H) + 0.5;
            if (!open) {
                out->append("<polyline fill=\"none\" stroke=\"");
                out->append(c.color);
                out->append("\" stroke-width=\"1\" points=\"");
                open = true;
            }
            char b[64];
            zq_format_double_c(b, 32, "%.1f", x);
            zq_format_double_c(b + 32, 32, "%.1f", y);
            add(out, "%s,%s ", b, b + 32);
        }
        if (open) out->append("\"/>");
    }
    if (band) {
        add(out,
            "<rect x=\"0.5\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#9a9a9a\" "
            "stroke-width=\"1\"/>",
            H + 3, W - 1, 14 * nc);
        for (int k = 1; k < nc; k++)
            add(out,
                "<line x1=\"0\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#5a5a5a\" "
                "stroke-width=\"1\"/>",
                H + 3 + 14 * k, W, H + 3 + 14 * k);
        int xs = std::max(W - 80, W / 2);
        add(out,
            "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#5a5a5a\" stroke-width=\"1\"/>",
            xs, H + 3, xs, H + 3 + 14 * nc);
        for (int k = 0; k < nc; k++) {
            const ksp_curve &c = p->c[k];
            int y = H + 14 * (k + 1);
            add(out, "<text x=\"3\" y=\"%d\" font-family=\"sans-serif\" font-size=\"13\" fill=\"",
                y);
            out->append(c.color);
            out->append("\">");
            ksp_xml_escape(c.desc, out);
            out->append("</text>");
            const float *v = data + (size_t)k * (size_t)n;
            char val[64] = "--";
            for (int i = n - 1; i >= 0; i--)
                if (isfinite(v[i])) {
                    double x = v[i];
                    if (x > -0.005 && x < 0.005) x = 0;
                    zq_format_double_c(val, sizeof val, "%.2f", x);
                    break;
                }
            add(out,
                "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\" font-family=\"sans-serif\" "
                "font-size=\"13\" fill=\"",
                (xs + W) / 2, y);
            out->append(c.color);
            out->append("\">");
            ksp_xml_escape(val, out);
            out->append("</text>");
        }
    }
    out->append("</svg>");
}
