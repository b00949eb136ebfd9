// A real mosquitto broker on a free loopback port, the certificates its TLS
// listener needs, a zqmqtt project with its own database, and mosquitto_sub
// and mosquitto_pub as the far side.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/parse_util.h"
#include "common/shm.h"
#include "tests/support/files.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"

namespace mqt {

inline bool run_ok(const std::vector<std::string> &argv) {
    tsup::RunResult r = tsup::run({.argv = argv, .err_to_out = true}, 60000);
    if (r.status != 0) ADD_FAILURE() << argv[0] << ": " << r.out;
    return r.status == 0;
}

// A certificate authority and server certificates made with openssl once per
// test process: the good one (IP:127.0.0.1, DNS:localhost), one for another
// name, and a second CA the bridge does not trust.
struct pki {
    tsup::TempDir dir{"mqpki"};
    std::string ca, other_ca, key, cert, other_name_cert;
    bool ok = false;

    bool make_ca(const std::string &name) {
        return run_ok({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                       "-subj", "/CN=" + name, "-keyout", dir / (name + ".key"), "-out",
                       dir / (name + ".pem")});
    }
    bool make_cert(const std::string &name, const std::string &ca_name, const std::string &san) {
        std::string ext = dir / (name + ".ext");
        tsup::write_file(ext, "subjectAltName=" + san + "\n");
        return run_ok({"openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj",
                       "/CN=zq-test-broker", "-keyout", dir / (name + ".key"), "-out",
                       dir / (name + ".csr")}) &&
               run_ok({"openssl", "x509", "-req", "-in", dir / (name + ".csr"), "-CA",
                       dir / (ca_name + ".pem"), "-CAkey", dir / (ca_name + ".key"),
                       "-CAcreateserial", "-days", "2", "-extfile", ext, "-out",
                       dir / (name + ".pem")});
    }
    pki() {
        ok = make_ca("ca") && make_ca("otherca") &&
             make_cert("server", "ca", "IP:127.0.0.1,DNS:localhost") &&
             make_cert("othername", "ca", "DNS:other.example");
        ca = dir / "ca.pem";
        other_ca = dir / "otherca.pem";
        cert = dir / "server.pem";
        key = dir / "server.key";
        other_name_cert = dir / "othername.pem";
    }
    static pki &get() {
        static pki p;
        return p;
    }
};

struct broker_opts {
    bool tls = false;
    std::string cert, key;       // default: the good certificate
    std::string user, password;  // a password file with this one user
};

struct broker {
    tsup::TempDir dir{"mosq"};
    int port = 0, tls_port = 0;
    tsup::Child proc;
    broker_opts opts;

    bool start(const broker_opts &o = {}) {
        opts = o;
        if (!port) port = tsup::free_port();
        if (o.tls && !tls_port) tls_port = tsup::free_port();
        std::string conf = "per_listener_settings false\npersistence false\n";
        conf += "log_dest file " + (dir / "mosquitto.log") + "\nlog_type all\n";
        if (getuid() == 0) conf += "user root\n";
        if (!o.user.empty()) {
            std::string pw = dir / "passwd";
            tsup::write_file(pw, "");
            if (!run_ok({"mosquitto_passwd", "-b", pw, o.user, o.password})) return false;
            conf += "allow_anonymous false\npassword_file " + pw + "\n";
        } else {
            conf += "allow_anonymous true\n";
        }
        conf += "listener " + std::to_string(port) + " 127.0.0.1\n";
        if (o.tls) {
            pki &p = pki::get();
            conf += "listener " + std::to_string(tls_port) + " 127.0.0.1\n";
            conf += "cafile " + p.ca + "\ncertfile " + (o.cert.empty() ? p.cert : o.cert) +
                    "\nkeyfile " + (o.key.empty() ? p.key : o.key) + "\n";
        }
        tsup::write_file(dir / "mosquitto.conf", conf);
        return restart();
    }
    bool restart() {
        if (!tsup::child_start(&proc,
                               {.argv = {"/usr/sbin/mosquitto", "-c", dir / "mosquitto.conf"},
                                .out_path = dir / "stdout.log",
                                .err_to_out = true}))
            return false;
        return tsup::wait_for(
            [&] {
                if (!tsup::child_running(&proc)) return false;
                int fd = tsup::tcp_connect(port);
                if (fd >= 0) close(fd);
                return fd >= 0;
            },
            10000);
    }
    void kill9() { tsup::child_stop(&proc, 0, SIGKILL); }
    std::string log() const { return tsup::read_file(dir / "mosquitto.log"); }
};

// mosquitto_sub printing "topic payload" lines.
struct subscriber {
    tsup::TempDir dir{"mqsub"};
    tsup::Child proc;
    int port = 0;
    std::string out() const { return tsup::read_file(dir / "out.txt"); }
    std::vector<std::string> lines(const std::string &topic_prefix = "") const {
        std::vector<std::string> v;
        std::string text = out();
        size_t s = 0;
        while (s < text.size()) {
            size_t e = text.find('\n', s);
            if (e == std::string::npos) break;
            std::string line = text.substr(s, e - s);
            if (line.compare(0, topic_prefix.size(), topic_prefix) == 0) v.push_back(line);
            s = e + 1;
        }
        return v;
    }
    // Subscribes to filter (and a probe topic) and waits until a probe
    // message comes back, so nothing published afterwards is missed.
    bool start(int broker_port, const std::string &filter, std::vector<std::string> extra = {}) {
        port = broker_port;
        std::vector<std::string> argv = {
            "mosquitto_sub", "-h", "127.0.0.1",    "-p", std::to_string(port), "-v", "-t",
            filter,          "-t", "zqprobe/ready"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!tsup::child_start(&proc, {.argv = argv, .out_path = dir / "out.txt"})) return false;
        return tsup::wait_for(
            [&] {
                tsup::run({.argv = {"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port),
                                    "-t", "zqprobe/ready", "-m", "1"}});
                return out().find("zqprobe/ready 1") != std::string::npos;
            },
            10000);
    }
    size_t count(const std::string &topic) const { return lines(topic + " ").size(); }
    bool wait_count(const std::string &topic, size_t n, int timeout_ms = 15000) const {
        return tsup::wait_for([&] { return count(topic) >= n; }, timeout_ms);
    }
    // Payload of the n-th message on topic (from 0), "" when none.
    std::string payload(const std::string &topic, size_t n) const {
        auto v = lines(topic + " ");
        return n < v.size() ? v[n].substr(topic.size() + 1) : "";
    }
};

inline bool mpub(int port, const std::string &topic, const std::string &msg,
                 std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {
        "mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t", topic, "-m", msg};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return run_ok(argv);
}

// A project directory for zqmqtt with its own database.
struct bridge {
    tsup::TempDir dir{"zqmqtt"};
    tsup::ShmName shm{"zqmqtt"};
    ShmHandle h;
    tsup::Child proc;

    bridge() { EXPECT_EQ(0, shm_open_rw(shm.c_str(), 32, 16, 0, &h)); }
    ~bridge() {
        tsup::child_stop(&proc);
        shm_close(&h);
    }
    // mqtt section lines (indented by the caller's text) after "mqtt:\n".
    void config(const std::string &mqtt_section) {
        tsup::write_file(dir / "config.yaml", "mqtt:\n" + mqtt_section);
    }
    void maps(const std::string &json) {
        zq_mkdirs((dir / "mqtt").c_str(), 0755);
        tsup::write_file(dir / "mqtt/mqtt.json", json);
    }
    void channels(const std::string &json) { tsup::write_file(dir / "channels.json", json); }
    bool start() {
        return tsup::child_start(&proc, {.argv = {ZQ_BIN_DIR "/zqmqtt", "-c", "./config.yaml"},
                                         .env = {"LOGIX_SHM_NAME=" + shm.name},
                                         .dir = dir.path,
                                         .out_path = dir / "stdout.txt",
                                         .err_to_out = true});
    }
    std::string log() const { return tsup::read_dir_files(dir / "logs", "zqmqtt"); }
    bool wait_log(const std::string &needle, size_t n = 1, int timeout_ms = 15000) const {
        return tsup::wait_for([&] { return tsup::count_of(log(), needle) >= n; }, timeout_ms);
    }
    std::string status() const { return tsup::read_file(dir / "mqtt/status.json"); }
    void set_a(int ch, double v, uint8_t q = 1) { shm_update_analog(&h, ch, q, shm_now_ms(), v); }
    void set_d(int ch, uint8_t v, uint8_t q = 1) {
        shm_update_discrete(&h, ch, v, q, shm_now_ms());
    }
    const ShmAnalog *a(int ch) const { return shm_analog(&h, ch); }
    const ShmDiscrete *d(int ch) const { return shm_discrete(&h, ch); }
};

inline std::string broker_line(int port, const char *scheme = "") {
    return std::string("  broker: \"") + scheme + "127.0.0.1:" + std::to_string(port) + "\"\n";
}

}  // namespace mqt
