#pragma once

// The common library's tests send its log lines to a temporary directory.

#include <gtest/gtest.h>

#include <string>

#include "common/log.h"
#include "tests/support/files.h"

namespace core_test {

// Sends the library's log lines to a temporary directory for the whole test
// program, so tests never write into the working directory.
class LogToTempDir : public ::testing::Environment {
  public:
    void SetUp() override { log_init(dir_.path.c_str(), "test"); }
    void TearDown() override { log_close(); }
    const std::string &path() const { return dir_.path; }

  private:
    tsup::TempDir dir_{"core-log"};
};

}  // namespace core_test
