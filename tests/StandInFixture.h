// A test fixture that starts every test from an empty stand-in registry and system.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NetworkStoreName.h"
#include "StandIn.h"
#include "registry/RegistryAccess.h"

class StandInTest : public ::testing::Test {
  protected:
    void SetUp() override {
        standin::Reset();
        DefaultRegistryView = 0;
    }
    void TearDown() override { DefaultRegistryView = 0; }
};

inline std::vector<BYTE> Bytes(std::initializer_list<int> values) {
    std::vector<BYTE> bytes;
    for (int value : values)
        bytes.push_back(static_cast<BYTE>(value));
    return bytes;
}
