// The fuzz corpora (seeds and inputs that once crashed) as the regression
// tests replay them under the sanitizers.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// Every file of tests/fuzz/corpus/<name>/, in name order.
inline std::vector<std::string> fuzz_corpus_files(const char *name) {
    std::string dir = std::string(ZQ_SOURCE_DIR) + "/tests/fuzz/corpus/" + name;
    std::vector<std::string> files;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

inline std::string fuzz_read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
