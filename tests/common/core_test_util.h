#pragma once

// Helpers shared by the common library's tests: unique names, temporary
// directories and running a program as a user would.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/log.h"

namespace core_test {

// A shared-memory name no other test (or parallel test process) uses; the
// object is removed when the guard goes out of scope.
struct ShmName {
    std::string name;
    ShmName() {
        static std::atomic<int> counter{0};
        name = "/zqtest_core_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
        shm_unlink(name.c_str());
    }
    ~ShmName() { shm_unlink(name.c_str()); }
    const char *c_str() const { return name.c_str(); }
    // Real size of the object, -1 when it does not exist.
    long long real_size() const {
        int fd = shm_open(name.c_str(), O_RDONLY, 0);
        if (fd < 0) return -1;
        struct stat st;
        long long sz = fstat(fd, &st) == 0 ? (long long)st.st_size : -1;
        close(fd);
        return sz;
    }
};

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/zqtest_core_XXXXXX";
        char *p = mkdtemp(tmpl);
        path = p ? p : "";
    }
    ~TempDir() {
        if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

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

struct RunResult {
    int status = -1;  // exit status, or -1 when killed
    std::string out, err;
};

// Runs argv[0] with the given extra environment ("K=V"; "K=" unsets K) in dir.
inline RunResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                     const std::string &dir = "") {
    char out_t[] = "/tmp/zqtest_out_XXXXXX";
    char err_t[] = "/tmp/zqtest_err_XXXXXX";
    int ofd = mkstemp(out_t), efd = mkstemp(err_t);
    RunResult r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(ofd, 1);
        dup2(efd, 2);
        for (const std::string &e : env) {
            size_t eq = e.find('=');
            std::string k = e.substr(0, eq), v = e.substr(eq + 1);
            if (v.empty())
                unsetenv(k.c_str());
            else
                setenv(k.c_str(), v.c_str(), 1);
        }
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    close(ofd);
    close(efd);
    r.out = read_file(out_t);
    r.err = read_file(err_t);
    unlink(out_t);
    unlink(err_t);
    return r;
}

// Sends the library's log lines to a temporary directory for the whole test
// program, so tests never write into the working directory.
class LogToTempDir : public ::testing::Environment {
  public:
    void SetUp() override { log_init(dir_.path.c_str(), "test"); }
    void TearDown() override { log_close(); }
    const std::string &path() const { return dir_.path; }

  private:
    TempDir dir_;
};

}  // namespace core_test
