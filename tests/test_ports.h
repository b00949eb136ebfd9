// Kept for the tests that still include it; the port rule lives in the support library.
#pragma once
#include "tests/support/net.h"
inline int test_free_port() {
    return tsup::free_port();
}
