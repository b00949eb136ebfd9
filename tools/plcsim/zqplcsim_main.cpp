// zqplcsim: Logix-family controller simulator for tests, benchmarks and demos.

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/signals.h"
#include "common/version.h"
#include "plcsim.h"

void sim_control_signal();

namespace {

std::atomic<int> g_stop{0};

void on_stop(int) {
    g_stop = 1;
}
void on_usr1(int) {
    sim_control_signal();
}

const char kUsage[] =
    "usage: zqplcsim [options]\n"
    "Simulates a Logix-family controller on EtherNet/IP (TCP).\n"
    "\n"
    "  --addr A             listen address (default 127.0.0.1)\n"
    "  --port P             TCP port (default 44818)\n"
    "  --slot N             backplane slot of the CPU (default 0); routes to other\n"
    "                       slots are refused\n"
    "  --tag SPEC           add a tag, repeatable. SPEC is NAME:TYPE[N] with N = 1\n"
    "                       for a scalar, optionally :SIGNAL or\n"
    "                       :SIGNAL/PERIOD_S/MIN/MAX and =VALUE (initial value).\n"
    "                       TYPE: BOOL SINT INT DINT LINT USINT UINT UDINT ULINT\n"
    "                       REAL LREAL BYTE WORD DWORD LWORD. SIGNAL: ramp, sine,\n"
    "                       square, walk. BOOL arrays are served as DWORD words.\n"
    "                       Example: --tag Temp:REAL[1]:sine/60/20/80=25\n"
    "  --tags FILE          tags from a YAML or JSON file (.json): a list \"tags\"\n"
    "                       of maps with name, type, count, value, signal,\n"
    "                       period_s, min, max\n"
    "  --page-size N        symbol-list entries per reply (default 100)\n"
    "  --name TEXT          controller (project) name (default ZQSIM)\n"
    "  --mode M             run, program or fault (Identity status)\n"
    "  --control FILE       control file, read every 50 ms and on SIGUSR1, then\n"
    "                       deleted; one command per line (see below)\n"
    "  --drop-after N       drop each connection after N requests\n"
    "  --delay-ms N         delay every reply by N ms\n"
    "  --refuse-forward-open  refuse every Forward Open\n"
    "  --refuse-large-forward-open  refuse Large Forward Open (service not\n"
    "                       supported, as older firmware); Forward Open works\n"
    "  --zero-conn-ids      answer Forward Open with both connection ids 0\n"
    "  --refuse-reads S     refuse every tag read with CIP status S (1..255)\n"
    "  --refuse-symbol-types  refuse symbol-list requests that ask for the\n"
    "                       tag types (names alone are still listed)\n"
    "  --clock-skew-ms N    a clock set lands N ms off the time written\n"
    "  --refuse-clock-set N accept N clock sets, refuse the later ones\n"
    "  --trace-reads        log every tag read: name, element, count, offset\n"
    "  --version            print the version\n"
    "  --help               this text\n"
    "\n"
    "Control commands: drop_after N (-1 = off), delay_ms N, refuse_forward_open 0|1,\n"
    "refuse_large_forward_open 0|1, "
    "zero_conn_ids 0|1, refuse_reads S (0 = off), refuse_multi S (refuse packed\n"
    "requests with status S, 0 = off), refuse_symbol_types 0|1,\n"
    "clock_skew_ms N, refuse_clock_set N (-1 = off), clear (all faults off),\n"
    "trace_reads 0|1 (kept by clear), download (change the controller\n"
    "attributes, as a program download does), close_listen MS (close the\n"
    "listening socket for MS ms), drop_all (close every client connection),\n"
    "set NAME[INDEX] VALUE.\n"
    "\n"
    "Prints \"listening on ADDR:PORT\" once ready, then one line per client\n"
    "connection and per refused request.\n";

bool arg_int(const char *s, long lo, long hi, long *out) {
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (s[0] == 0 || *end != 0 || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (zq_version_arg(argc, argv)) return 0;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    static sim_state st;
    std::vector<std::string> tag_specs;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto need = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "zqplcsim: %s needs %s\n", a.c_str(), what);
                exit(2);
            }
            return argv[++i];
        };
        auto need_int = [&](long lo, long hi) -> long {
            const char *s = need("a number");
            long v;
            if (!arg_int(s, lo, hi, &v)) {
                fprintf(stderr, "zqplcsim: bad value for %s: %s\n", a.c_str(), s);
                exit(2);
            }
            return v;
        };
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == "--addr") {
            st.cfg.addr = need("an address");
        } else if (a == "--port") {
            st.cfg.port = (int)need_int(1, 65535);
        } else if (a == "--slot") {
            st.cfg.slot = (uint32_t)need_int(0, 255);
        } else if (a == "--tag") {
            tag_specs.push_back(need("NAME:TYPE[N]"));
        } else if (a == "--tags") {
            st.cfg.tag_file = need("a file");
        } else if (a == "--page-size") {
            st.cfg.page_size = (int)need_int(1, 100000);
        } else if (a == "--name") {
            st.cfg.name = need("a name");
            if (st.cfg.name.size() > 40) st.cfg.name.resize(40);
        } else if (a == "--mode") {
            std::string m = need("run, program or fault");
            if (m == "run") {
                st.cfg.status = 0x0060;
            } else if (m == "program") {
                st.cfg.status = 0x0070;
            } else if (m == "fault") {
                st.cfg.status = 0x0450;
            } else {
                fprintf(stderr, "zqplcsim: unknown mode %s\n", m.c_str());
                return 2;
            }
        } else if (a == "--control") {
            st.cfg.control_path = need("a file");
        } else if (a == "--drop-after") {
            st.faults.drop_after = (int)need_int(-1, 1000000000);
        } else if (a == "--delay-ms") {
            st.faults.delay_ms = (int)need_int(0, 600000);
        } else if (a == "--refuse-forward-open") {
            st.faults.refuse_forward_open = 1;
        } else if (a == "--refuse-large-forward-open") {
            st.faults.refuse_large_forward_open = 1;
        } else if (a == "--zero-conn-ids") {
            st.faults.zero_conn_ids = 1;
        } else if (a == "--refuse-reads") {
            st.faults.refuse_reads = (int)need_int(1, 255);
        } else if (a == "--refuse-symbol-types") {
            st.faults.refuse_symbol_types = 1;
        } else if (a == "--clock-skew-ms") {
            st.faults.clock_skew_ms = (int)need_int(-86400000, 86400000);
        } else if (a == "--refuse-clock-set") {
            st.faults.clock_sets_left = (int)need_int(0, 1000000000);
        } else if (a == "--trace-reads") {
            st.faults.trace_reads = 1;
        } else {
            fprintf(stderr, "zqplcsim: unknown option %s (see --help)\n", a.c_str());
            return 2;
        }
    }
    zq_version_write_run("zqplcsim");

    std::string err;
    if (!st.cfg.tag_file.empty() && sim_tags_load(st.cfg.tag_file.c_str(), &st.tags, &err) != 0) {
        fprintf(stderr, "zqplcsim: %s\n", err.c_str());
        return 1;
    }
    for (const auto &s : tag_specs) {
        sim_tag t;
        if (sim_tag_parse(s.c_str(), &t, &err) != 0) {
            fprintf(stderr, "zqplcsim: %s\n", err.c_str());
            return 1;
        }
        st.tags.push_back(std::move(t));
    }
    if (sim_index_tags(&st, &err) != 0) {
        fprintf(stderr, "zqplcsim: %s\n", err.c_str());
        return 1;
    }

    zq_signals_install(on_stop, on_usr1, ZQ_SIG_IGNORE_PIPE);

    sim_log("zqplcsim %s: %zu tags, slot %u", zq_version_full(), st.tags.size(), st.cfg.slot);
    return sim_run(&st, &g_stop) == 0 ? 0 : 1;
}
