// Replays the controller-reply fuzz corpus (seeds and the inputs that once
// crashed) through the fuzz target's entry point under the sanitizers, and
// checks each input still ends the way it was recorded: decoded, refused by
// the controller, or a transport failure.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/log.h"
#include "tests/fuzz/cip_fuzz_driver.h"
#include "tests/fuzz/corpus_files.h"

namespace {

TEST(CipFuzzCorpus, EveryFileEndsAsRecorded) {
    // File name -> result of its operation (for the instance search: the
    // instance found, 0 when none).
    const std::map<std::string, std::string> recorded = {
        {"find_instance", "3"},
        {"forward_close", "0"},
        {"forward_open_then_read", "0"},
        {"identity", "0"},
        {"large_open_refused", "1"},
        {"large_open_then_read", "0"},
        {"pipelined_packet_and_bits", "0"},
        {"plc_time", "0"},
        {"read_bool_dword", "0"},
        {"read_count_dint", "0"},
        {"read_multi_two", "0"},
        {"read_real_unconnected", "0"},
        {"read_single_connected", "0"},
        {"symbols_two_pages", "0"},
        {"write_bool_error", "1"},
        {"write_numeric_ok", "0"},
    };
    log_set_flags(0, 0, 0);
    fuzz_corpus_expect("cip", recorded, [](const std::string &data) {
        return std::to_string(
            cip_fuzz::run_one(reinterpret_cast<const uint8_t *>(data.data()), data.size()));
    });
    log_set_flags(1, 1, 1);
}

}  // namespace
