#ifndef KREL_INST_TEST_FIXTURE_H
#define KREL_INST_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakePlatform.h"
#include "Installer.h"

// Box types as the user sees them: OK button, icon, brought to the foreground.
const UINT kErrorBox = 0x10010;
const UINT kWarningBox = 0x10030;
const UINT kInfoBox = 0x10040;

struct ExpectedBox {
    std::string text;
    UINT type;
};

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::world = &w;
        p = fake::MakePlatform();
    }
    // Whatever the path, nothing the installer opened or allocated is left behind.
    void TearDown() override {
        EXPECT_EQ(0, w.scHandlesOpen) << "service-manager handles left open";
        EXPECT_EQ(w.sidsAllocated, w.sidsFreed) << "SID not freed";
        EXPECT_EQ(0, w.processHandlesOpen) << "process handle left open";
        EXPECT_EQ(0, w.findHandlesOpen) << "search handle left open";
        EXPECT_EQ(0, w.regKeysOpen) << "registry key left open";
        fake::world = nullptr;
    }

    int Run(const std::string& commandLine) {
        return krelinst::RunInstaller(p, commandLine.c_str());
    }

    void ExpectBoxes(const std::vector<ExpectedBox>& expected) {
        std::string seen;
        for (const auto& b : w.boxes) seen += "[" + b.text + "] ";
        ASSERT_EQ(expected.size(), w.boxes.size()) << seen;
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(expected[i].text, w.boxes[i].text) << "box " << i;
            EXPECT_EQ(expected[i].type, w.boxes[i].type) << "box " << i;
            EXPECT_EQ("OPC Krel 3.0", w.boxes[i].caption) << "box " << i;
        }
    }

    fake::World w;
    krelinst::InstallerPlatform p;
};

#endif
