// Test entry of the Windows test program: the real facilities are installed before any test.
#include <gtest/gtest.h>

#include "winapi/win/system_facilities.h"

namespace {

class windows_facilities : public ::testing::Environment {
public:
    void SetUp() override { winapi::install_windows_facilities(); }
};

const auto* const installed = ::testing::AddGlobalTestEnvironment(new windows_facilities);

}  // namespace
