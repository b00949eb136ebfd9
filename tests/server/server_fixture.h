#pragma once
// Runs the real zqserver in a temporary project directory on a free
// loopback port, against a database created by the test.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/shm.h"
#include "tests/support/tsup.h"

namespace srvtest {

using tsup::file_exists;
using tsup::free_port;
using tsup::now_ms;
using tsup::read_file;
using tsup::send_all;
using tsup::wait_for;
using tsup::write_file;

using response = tsup::HttpResponse;
using headers = tsup::HttpHeaders;

inline response parse(const std::string &r) {
    return tsup::http_parse(r);
}

inline std::string request(const std::string &method, const std::string &target,
                           const std::string &body = "", const headers &h = {}) {
    return tsup::http_format(method, target, body, h);
}

// Sends raw bytes and returns all the server sends until it closes ("" when
// it closed without answering, "<no connect>" when nobody listens): bytes
// after an announced body count too.
inline std::string raw(int port, const std::string &request) {
    std::string r;
    return tsup::http_exchange_to_close(port, request, &r) ? r : "<no connect>";
}

// A database created by the test, removed at the end. Its liveness stamp
// (last_poll_ms) moves as a running driver would move it, until freeze().
struct test_db {
    tsup::ShmName own{"zqsrv_test"};
    std::string name;  // own's, or the name given
    ShmHandle h;
    bool ok = false;
    std::atomic<bool> beating{true};
    std::thread beat;
    test_db(uint32_t an, uint32_t di, uint32_t plc, const std::string &given = "")
        : name(given.empty() ? own.name : given) {
        ok = shm_open_rw(name.c_str(), an, di, plc, &h) == 0;
        if (!ok) return;
        hdr()->last_poll_ms = shm_now_ms();
        beat = std::thread([this] {
            while (beating) {
                hdr()->last_poll_ms = shm_now_ms();
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    ~test_db() {
        freeze();
        shm_close(&h);
        shm_unlink(name.c_str());
    }
    // Stops the stamp where it is, as a hung driver leaves it.
    void freeze() {
        beating = false;
        if (beat.joinable()) beat.join();
    }
    ShmHeader *hdr() { return shm_header(&h); }
};

// Answers the database's clock reads and sets as the driver would, with
// fixed controller and host times, until destroyed.
struct clock_standin {
    std::atomic<bool> stop{false};
    std::thread th;
    clock_standin(ShmHandle *h, long long plc_us, long long host_us)
        : th([this, h, plc_us, host_us] {
              while (!stop) {
                  uint32_t req;
                  for (bool sync : {false, true})
                      if (shm_time_pending(h, sync, &req)) {
                          shm_header(h)->time_rc = 0;
                          shm_header(h)->plc_time_us = plc_us;
                          shm_header(h)->host_time_us = host_us;
                          shm_time_complete(h, sync, req);
                      }
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    ~clock_standin() {
        stop = true;
        th.join();
    }
};

struct server_proc {
    tsup::TempDir root{"zqsrv"};
    std::string dir = root.path;  // the project directory, zqserver's working directory
    int port = 0;
    std::string shm_name;
    std::string config;
    std::string conf_arg = "./config.yaml";
    std::vector<std::string> env_extra;  // "NAME=value" added to zqserver's environment
    tsup::Child proc;
    std::string exe = ZQ_BIN_DIR "/zqserver";
    std::vector<std::string> env;  // more "NAME=value" for the server

    // Creates the project directory with www/ and a config.yaml holding
    // `scada_extra` inside the scada section and `extra` at the end.
    explicit server_proc(const std::string &scada_extra = "", const std::string &extra = "") {
        mkdir((dir + "/www").c_str(), 0755);
        mkdir((dir + "/alarm").c_str(), 0755);
        port = free_port();
        config = "scada:\n  port: " + std::to_string(port) + "\n  wwwdir: ./www\n" + scada_extra +
                 "\n" + extra;
        write_file(dir + "/config.yaml", config);
    }

    // Started once the port takes connections; stdout.txt and stderr.txt
    // in the project directory keep what it prints.
    bool start(const std::string &shm = "", const std::string &sys_dir = "") {
        shm_name = shm.empty() ? "/zqsrv_absent_" + std::to_string(getpid()) : shm;
        tsup::ChildOpts o{.argv = {exe, "-c", conf_arg},
                          .env = {"LOGIX_SHM_NAME=" + shm_name},
                          .dir = dir,
                          .out_path = dir + "/stdout.txt",
                          .err_path = dir + "/stderr.txt"};
        o.env.insert(o.env.end(), env_extra.begin(), env_extra.end());
        if (sys_dir.empty())
            o.unset_env = {"ZQSTACK_DIR"};
        else
            o.env.push_back("ZQSTACK_DIR=" + sys_dir);
        o.env.insert(o.env.end(), env.begin(), env.end());
        if (!tsup::child_start(&proc, o)) return false;
        return wait_for([&] {
            int s = tsup::tcp_connect(port);
            if (s < 0) return false;
            close(s);
            return true;
        });
    }

    std::string get(const std::string &target, const headers &h = {}) {
        return raw(port, request("GET", target, "", h));
    }
    std::string post(const std::string &target, const std::string &body, const headers &h = {}) {
        return raw(port, request("POST", target, body, h));
    }
    std::string body_of(const std::string &target) { return parse(get(target)).body; }
    // Everything the program logged so far.
    std::string log() const { return tsup::read_dir_files(dir + "/logs", "scada-"); }

    void stop() { tsup::child_stop(&proc); }
};

}  // namespace srvtest
