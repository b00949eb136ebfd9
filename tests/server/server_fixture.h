#pragma once
// Runs the real zqserver in a temporary project directory on a free
// loopback port, against a database created by the test.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "common/shm.h"
#include "tests/test_ports.h"

namespace srvtest {

inline long long now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Polls `cond` every 10 ms until it holds or `ms` pass.
inline int free_port() {
    return test_free_port();
}

inline bool wait_for(const std::function<bool()> &cond, int ms = 10000) {
    long long end = now_ms() + ms;
    while (now_ms() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

inline std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline int connect_to(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (connect(s, (sockaddr *)&a, sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Reads until the peer closes (or `ms` pass).
inline std::string read_all(int s, int ms = 10000) {
    std::string out;
    long long end = now_ms() + ms;
    char buf[65536];
    while (now_ms() < end) {
        pollfd p{s, POLLIN, 0};
        int r = poll(&p, 1, 100);
        if (r <= 0) continue;
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, (size_t)n);
    }
    return out;
}

inline bool send_all(int s, const std::string &data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(s, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += (size_t)n;
    }
    return true;
}

// Sends raw bytes, returns the whole answer ("" when the server closed
// without answering).
inline std::string raw(int port, const std::string &request) {
    int s = connect_to(port);
    if (s < 0) return "<no connect>";
    send_all(s, request);
    std::string r = read_all(s);
    close(s);
    return r;
}

struct response {
    int status = 0;
    std::string head;  // status line and headers, without the empty line
    std::string body;
    std::string header(const std::string &name) const {
        std::string low = name + ":";
        size_t p = 0;
        while ((p = head.find("\r\n", p)) != std::string::npos) {
            p += 2;
            if (strncasecmp(head.c_str() + p, low.c_str(), low.size()) == 0) {
                size_t e = head.find("\r\n", p);
                std::string v =
                    head.substr(p + low.size(), e == std::string::npos ? e : e - p - low.size());
                while (!v.empty() && v[0] == ' ')
                    v.erase(0, 1);
                return v;
            }
        }
        return "";
    }
};

inline response parse(const std::string &r) {
    response out;
    size_t e = r.find("\r\n\r\n");
    if (e == std::string::npos) return out;
    out.head = r.substr(0, e);
    out.body = r.substr(e + 4);
    if (r.compare(0, 9, "HTTP/1.1 ") == 0) out.status = atoi(r.c_str() + 9);
    return out;
}

inline std::string request(const std::string &method, const std::string &target,
                           const std::string &body = "",
                           const std::map<std::string, std::string> &headers = {}) {
    std::string r = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (auto &h : headers)
        r += h.first + ": " + h.second + "\r\n";
    if (!body.empty() || method == "POST")
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    r += "\r\n" + body;
    return r;
}

// A database created by the test, removed at the end.
struct test_db {
    ShmHandle h;
    std::string name;
    bool ok = false;
    test_db(uint32_t an, uint32_t di, uint32_t plc, const std::string &given = "") {
        static std::atomic<int> seq{0};
        name = given.empty()
                   ? "/zqsrv_test_" + std::to_string(getpid()) + "_" + std::to_string(seq++)
                   : given;
        ok = shm_open_rw(name.c_str(), an, di, plc, &h) == 0;
    }
    ~test_db() {
        shm_close(&h);
        shm_unlink(name.c_str());
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
    std::string dir;
    int port = 0;
    pid_t pid = -1;
    std::string shm_name;

    // Creates the project directory with www/ and a config.yaml holding
    // `scada_extra` inside the scada section and `extra` at the end.
    explicit server_proc(const std::string &scada_extra = "", const std::string &extra = "") {
        char tmpl[] = "/tmp/zqsrv_XXXXXX";
        dir = mkdtemp(tmpl);
        mkdir((dir + "/www").c_str(), 0755);
        mkdir((dir + "/alarm").c_str(), 0755);
        port = free_port();
        config = "scada:\n  port: " + std::to_string(port) + "\n  wwwdir: ./www\n" + scada_extra +
                 "\n" + extra;
        write_file(dir + "/config.yaml", config);
    }
    std::string config;
    std::string conf_arg = "./config.yaml";

    bool start(const std::string &shm = "", const std::string &sys_dir = "") {
        shm_name = shm.empty() ? "/zqsrv_absent_" + std::to_string(getpid()) : shm;
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            setenv("LOGIX_SHM_NAME", shm_name.c_str(), 1);
            if (!sys_dir.empty())
                setenv("ZQSTACK_DIR", sys_dir.c_str(), 1);
            else
                unsetenv("ZQSTACK_DIR");
            int o = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            execl(ZQ_BIN_DIR "/zqserver", "zqserver", "-c", conf_arg.c_str(), (char *)nullptr);
            _exit(127);
        }
        return wait_for([&] {
            int s = connect_to(port);
            if (s < 0) return false;
            close(s);
            return true;
        });
    }

    std::string get(const std::string &target,
                    const std::map<std::string, std::string> &headers = {}) {
        return raw(port, request("GET", target, "", headers));
    }
    std::string post(const std::string &target, const std::string &body,
                     const std::map<std::string, std::string> &headers = {}) {
        return raw(port, request("POST", target, body, headers));
    }
    std::string body_of(const std::string &target) { return parse(get(target)).body; }
    // Everything the program logged so far.
    std::string log() {
        std::string all;
        if (DIR *d = opendir((dir + "/logs").c_str())) {
            while (dirent *e = readdir(d))
                if (strncmp(e->d_name, "scada-", 6) == 0)
                    all += read_file(dir + "/logs/" + e->d_name);
            closedir(d);
        }
        return all;
    }

    void stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int st;
            long long end = now_ms() + 5000;
            while (waitpid(pid, &st, WNOHANG) == 0) {
                if (now_ms() > end) {
                    kill(pid, SIGKILL);
                    waitpid(pid, &st, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            pid = -1;
        }
    }
    ~server_proc() {
        stop();
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
};

}  // namespace srvtest
