// Everything the test support library offers, for a test that uses most
// of it.
#pragma once

#include "tests/support/files.h"
#include "tests/support/http.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"
#include "tests/support/webdriver.h"
#include "tests/support/zone.h"
