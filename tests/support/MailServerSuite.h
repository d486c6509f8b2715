// MailServerSuite is the base of every test suite that needs the real mail
// servers: it starts them once for the whole suite (starting Postfix and
// Dovecot takes seconds) and stops them after its last test. A test of a
// suite whose servers, or whose own suite-wide peers, did not come up fails
// in its set-up with the reason, since every machine that runs these tests
// installs the servers.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/MailServers.h"

class MailServerSuite : public ::testing::Test {
public:
    // A suite that starts more peers calls this first, then MarkNotReady when
    // one of its own fails.
    static void SetUpTestSuite() {
        servers_ = std::make_unique<MailServers>();
        why_.clear();
        ready_ = servers_->Start(&why_);
    }
    static void TearDownTestSuite() {
        servers_.reset();
        ready_ = false;
    }

protected:
    // Derived set-ups call this first and return when HasFatalFailure().
    void SetUp() override { ASSERT_TRUE(ready_) << why_; }

    static MailServers& Servers() { return *servers_; }
    static bool Ready() { return ready_; }
    static void MarkNotReady(const std::string& why) {
        ready_ = false;
        why_ = why;
    }

private:
    static inline std::unique_ptr<MailServers> servers_;
    static inline bool ready_ = false;
    static inline std::string why_;
};
