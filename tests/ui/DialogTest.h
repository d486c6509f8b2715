// DialogTest is the shared base of the dialog tests: the test program's
// QApplication, and a process context in a directory of its own with the
// built-in message texts and a settings file the test writes.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "context/AppContext.h"
#include "core/MessageTable.h"
#include "core/UserConfigFile.h"
#include "support/ContextFixture.h"
#include "support/ModalAnswer.h"
#include "support/OutcomeText.h"

class DialogTest : public ContextFixture<AppContext> {
protected:
    static void SetUpTestSuite() { EnsureApplication(); }

    // The message table as start-up loads it: here the built-in English texts.
    void SetUp() override {
        LoadMessageFile(ctx, dir.File("message_EN.txt"));
    }

    // Writes the settings file and loads it, as start-up does.
    void UseSettings(const std::string& lines) {
        dir.Write("Quillomark.ini", lines);
        ASSERT_EQ(LoadUserConfig(ctx), CoreResult::Ok);
    }
    std::string Settings() const { return dir.Read("Quillomark.ini"); }
};
