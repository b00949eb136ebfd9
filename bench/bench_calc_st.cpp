// Ticks of a Structured Text program of about 1000 statements (arithmetic,
// comparisons, conditionals and timer calls), and the same work written in
// Lua 5.4 as the reference. Prints nanoseconds per statement for both and
// their ratio.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "calc/calc_host.h"

#ifdef ZQ_HAVE_LUA
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}
#endif

namespace {

constexpr int kStmts = 1000;
constexpr int kTimers = 50;

// Variables: v[kStmts] LREAL from cell 0, ts[kTimers] FBD_TIMER after it;
// channels A1..A63 at i * 1.5 and D1..D63 at 0.
void setup_host(calc_host *h) {
    int nv[1] = {kStmts}, nt[1] = {kTimers};
    calc_host_add_var(h, "v", CX_T_LREAL, CX_KIND_PLAIN, 1, nv);
    calc_host_add_var(h, "ts", 0, CX_KIND_TIMER, 1, nt);
    for (int i = 1; i < 64; i++) {
        calc_host_store(h, 0, i, 0, i * 1.5);
        calc_host_store(h, 1, i, 0, 0);
    }
}

// The program: statement i in one of several forms; every 20th pair
// enables and runs a timer.
std::string st_program() {
    std::string p = "v[0] := A1;\n";
    char b[256];
    for (int i = 1; i < kStmts; i++) {
        int k = 1 + i % 60, t = (i / 20) % kTimers;
        if (i % 20 == 3)
            snprintf(b, sizeof b, "ts[%d].TimerEnable := v[%d] > 0;", t, i - 1);
        else if (i % 20 == 7)
            snprintf(b, sizeof b, "TONR(ts[%d]);", t);
        else if (i % 4 == 0)
            snprintf(b, sizeof b, "v[%d] := v[%d] * 1.0001 + A%d - 0.5;", i, i - 1, k);
        else if (i % 4 == 1)
            snprintf(b, sizeof b, "v[%d] := (v[%d] - A%d) / 3.0 + v[%d] * 0.5;", i, i - 1, k,
                     i > 1 ? i - 2 : 0);
        else if (i % 4 == 2)
            snprintf(b, sizeof b, "D%d := v[%d] > A%d AND v[%d] <= 100.0;", k, i - 1, k,
                     i > 1 ? i - 2 : 0);
        else
            snprintf(b, sizeof b, "v[%d] := if(v[%d] > 10, v[%d] - 1, v[%d] + 2);", i, i - 1, i - 1,
                     i - 1);
        p += b;
        p += "\n";
    }
    return p;
}

std::map<std::string, double> g_ns;  // ns per statement, by benchmark

void BM_St_Parse(benchmark::State &state) {
    std::string prog = st_program();
    calc_host h;
    setup_host(&h);
    for (auto _ : state) {
        cx_node *root = calc_host_parse(&h, prog.c_str());
        if (!root) state.SkipWithError(h.err);
        benchmark::DoNotOptimize(root);
        cx_free(root);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(prog.size()));
}
BENCHMARK(BM_St_Parse)->Unit(benchmark::kMicrosecond);

void BM_St_Tick(benchmark::State &state) {
    std::string prog = st_program();
    calc_host h;
    setup_host(&h);
    cx_node *root = calc_host_parse(&h, prog.c_str());
    if (!root) {
        state.SkipWithError(h.err);
        return;
    }
    int64_t now = 1773136800000;
    for (auto _ : state) {
        // the clock alone: the program uses no period
        now += 100;
        h.tick[CX_TICK_NOW] = h.tick[CX_TICK_MONO] = now;
        h.tick[CX_TICK_DT] = 100;
        calc_host_run(&h, root);
    }
    benchmark::DoNotOptimize(h.cells.data());
    state.counters["stmts"] = kStmts;
    state.SetItemsProcessed(state.iterations() * kStmts);
    cx_free(root);
}
BENCHMARK(BM_St_Tick)->Unit(benchmark::kMicrosecond);

#ifdef ZQ_HAVE_LUA
std::string lua_program() {
    std::string p =
        "local A, D, v, ts = A, D, v, ts\n"
        "local min = math.min\n"
        "local function tonr(t, now)\n"
        "  local el = 0\n"
        "  if t.tt ~= 0 and t.tl > 0 and t.tl <= now then el = now - t.tl end\n"
        "  t.tl = now\n"
        "  if t.en ~= 0 then\n"
        "    if t.pre > t.acc then t.acc = min(t.pre, t.acc + el) end\n"
        "    t.tt = (t.acc < t.pre) and 1 or 0; t.dn = (t.acc >= t.pre) and 1 or 0\n"
        "  else t.acc = 0; t.dn = 0; t.tt = 0 end\n"
        "  t.eo = 1; t.status = 0; t.enb = t.en\n"
        "end\n"
        "return function(now)\n"
        "v[0] = A[1]\n";
    char b[256];
    for (int i = 1; i < kStmts; i++) {
        int k = 1 + i % 60, t = (i / 20) % kTimers;
        if (i % 20 == 3)
            snprintf(b, sizeof b, "ts[%d].en = (v[%d] > 0) and 1 or 0", t, i - 1);
        else if (i % 20 == 7)
            snprintf(b, sizeof b, "tonr(ts[%d], now)", t);
        else if (i % 4 == 0)
            snprintf(b, sizeof b, "v[%d] = v[%d] * 1.0001 + A[%d] - 0.5", i, i - 1, k);
        else if (i % 4 == 1)
            snprintf(b, sizeof b, "v[%d] = (v[%d] - A[%d]) / 3.0 + v[%d] * 0.5", i, i - 1, k,
                     i > 1 ? i - 2 : 0);
        else if (i % 4 == 2)
            snprintf(b, sizeof b, "D[%d] = (v[%d] > A[%d] and v[%d] <= 100.0) and 1 or 0", k, i - 1,
                     k, i > 1 ? i - 2 : 0);
        else
            snprintf(b, sizeof b, "if v[%d] > 10 then v[%d] = v[%d] - 1 else v[%d] = v[%d] + 2 end",
                     i - 1, i, i - 1, i, i - 1);
        p += b;
        p += "\n";
    }
    p += "end\n";
    return p;
}

void BM_Lua_Tick(benchmark::State &state) {
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    std::string init =
        "A, D, v, ts = {}, {}, {}, {}\n"
        "for i = 0, 63 do A[i] = i * 1.5; D[i] = 0 end\n"
        "for i = 0, 999 do v[i] = 0 end\n"
        "for i = 0, 49 do ts[i] = {en = 0, pre = 0, acc = 0, tt = 0, dn = 0, tl = 0, eo = 0, "
        "status = 0, enb = 0} end\n";
    if (luaL_dostring(L, init.c_str()) != LUA_OK ||
        luaL_loadstring(L, lua_program().c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
        state.SkipWithError(lua_tostring(L, -1));
        lua_close(L);
        return;
    }
    int fn = luaL_ref(L, LUA_REGISTRYINDEX);
    int64_t now = 1773136800000;
    for (auto _ : state) {
        now += 100;
        lua_rawgeti(L, LUA_REGISTRYINDEX, fn);
        lua_pushinteger(L, now);
        if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
            state.SkipWithError(lua_tostring(L, -1));
            break;
        }
    }
    state.counters["stmts"] = kStmts;
    state.SetItemsProcessed(state.iterations() * kStmts);
    lua_close(L);
}
BENCHMARK(BM_Lua_Tick)->Unit(benchmark::kMicrosecond);
#endif

// Console output plus a closing line with ns per statement (CPU time: the
// machine is shared, wall time mostly measures the neighbours) and the ratio.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
            std::string name = r.benchmark_name();
            if (name.find("_Tick") == std::string::npos) continue;
            double ns = r.cpu_accumulated_time * 1e9 / static_cast<double>(r.iterations) / kStmts;
            g_ns[name] = ns;
        }
    }
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    ratio_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    auto st = g_ns.find("BM_St_Tick"), lua = g_ns.find("BM_Lua_Tick");
    if (st != g_ns.end()) printf("Structured Text: %.2f ns per statement\n", st->second);
    if (lua != g_ns.end()) printf("Lua 5.4:         %.2f ns per statement\n", lua->second);
    if (st != g_ns.end() && lua != g_ns.end() && lua->second > 0)
        printf("ratio ST / Lua:  %.2f\n", st->second / lua->second);
    benchmark::Shutdown();
    return 0;
}
