#include "trend_v1r.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "trend_v1.h"

std::string v1r_meta_path(const char *data_path) {
    std::string m = data_path;
    if (m.size() >= 2) m[m.size() - 2] = 'n';
    return m;
}

int v1r_open(const char *path, v1r_file *out, int packed, std::string *err) {
    *out = v1r_file{};
    const char *base = strrchr(path, '/');
    base = base ? base + 1 : path;
    const char *ext = strrchr(base, '.');
    if (!ext || strlen(ext) != 4) {
        *err = "not a trend file name";
        return -1;
    }
    if (!strcmp(ext, ".rps"))
        out->res = 's';
    else if (!strcmp(ext, ".rpm"))
        out->res = 'm';
    else if (!strcmp(ext, ".rph"))
        out->res = 'h';
    else {
        *err = "unknown extension";
        return -1;
    }
    if (trend_name_date(base, &out->year, &out->month, &out->day) != 0) {
        *err = "no date in the file name";
        return -1;
    }
    out->meta = v1r_meta_path(path);
    if (trend_meta_load_colmap(out->meta.c_str(), &out->map) != 1) {
        *err = "sidecar " + out->meta + " missing or invalid";
        return -1;
    }
    struct stat st;
    FILE *f = fopen(path, "rb");
    if (!f || fstat(fileno(f), &st) != 0) {
        if (f) fclose(f);
        *err = strerror(errno);
        return -1;
    }
    out->size = st.st_size;
    int na = out->map.n_an, nd = out->map.n_di;
    int extra = out->res == 's' ? 1 : 0;
    long wp = 4L * (na + trend_w_di(nd) + extra), wu = 4L * (na + nd + extra);
    if (out->res == 'h') {
        out->packed = false;
    } else if (packed >= 0) {
        out->packed = packed != 0;
    } else if (out->res == 's') {
        out->packed =
            (out->size % wp == 0 && trend_rps_times_ascend(f, wp, (long)(out->size / wp))) ||
            !(out->size % wu == 0 && trend_rps_times_ascend(f, wu, (long)(out->size / wu)));
    } else {
        // The recorder writes packed minute files; unpacked ones come from
        // older recorders and only match their own width.
        out->packed = !(out->size % wu == 0 && out->size % wp != 0);
    }
    fclose(f);
    out->width = out->packed ? wp : wu;
    out->rows = out->width > 0 ? (long)(out->size / out->width) : 0;
    return 0;
}

bool v1r_read_row(FILE *f, const v1r_file *v, long r, std::vector<uint32_t> *cells) {
    if (r < 0 || r >= v->rows) return false;
    cells->resize((size_t)v->width / 4);
    return fseeko(f, (off_t)r * v->width, SEEK_SET) == 0 &&
           fread(cells->data(), 4, cells->size(), f) == cells->size();
}

int64_t v1r_row_ms(const v1r_file *v, const uint32_t *cells, long r) {
    if (v->res == 's') {
        uint32_t t = cells[v->width / 4 - 1];
        return t <= 86399999u ? (int64_t)t : -1;
    }
    if (v->res == 'm') return r < 1440 ? (int64_t)r * 60000 : -1;
    return (int64_t)(r % 24) * 3600000;
}

static int float_cell(uint32_t c, double *out) {
    if (c == TREND_CELL_NODATA) return V1_NODATA;
    if (c & 7) return V1_BAD;
    float f;
    memcpy(&f, &c, 4);
    *out = f;
    return V1_VALUE;
}

int v1r_analog(const v1r_file *v, const uint32_t *cells, int k, double *out) {
    if (k < 0 || k >= v->map.n_an) return V1_NODATA;
    return float_cell(cells[k], out);
}

int v1r_discrete(const v1r_file *v, const uint32_t *cells, int j, double *out) {
    if (j < 0 || j >= v->map.n_di) return V1_NODATA;
    if (v->packed) {
        uint32_t code = (cells[v->map.n_an + j / 16] >> (2 * (j % 16))) & 3;
        if (code > 1) return V1_NODATA;
        *out = code;
        return V1_VALUE;
    }
    uint32_t c = cells[v->map.n_an + j];
    if (v->res == 's') {  // value byte of an unpacked seconds row
        *out = c;
        return V1_VALUE;
    }
    return float_cell(c, out);
}
