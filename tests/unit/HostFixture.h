// A fresh headless host for every test, and datarefs found by name.
#pragma once

#include <gtest/gtest.h>

#include "host/Host.h"

namespace velmir::test {

class HostSessionTest : public ::testing::Test {
  protected:
    host::Session session;
};

inline XPLMDataRef Find(const char* name) { return XPLMFindDataRef(name); }

}  // namespace velmir::test
