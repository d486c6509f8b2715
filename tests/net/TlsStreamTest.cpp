#include "net/TlsStream.h"

#include <atomic>
#include <chrono>
#include <string>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/NetResultCodes.h"
#include "proxy/LoopbackSockets.h"
#include "proxy/TlsPeerIo.h"
#include "support/LoopbackPeer.h"
#include "support/ThreadWakeups.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace loopback = proxytest::loopback;

// What the server saw of one connection.
struct Seen {
    std::string serverName;  // empty: none was sent
    bool reused = false;
};

// Greets each connection (the client's read of the greeting also takes the
// session tickets that follow the handshake) and waits for its end.
void ServeGreeting(LoopbackPeer& server, std::vector<Seen>& seen, int count) {
    seen.assign(count, Seen{});
    server.Serve(
        [&seen, at = std::make_shared<int>(0)](PeerLink& link) {
            const char* name = SSL_get_servername(link.tls(), TLSEXT_NAMETYPE_host_name);
            seen[*at] = Seen{name != nullptr ? name : "", SSL_session_reused(link.tls()) == 1};
            ++*at;
            proxytest::TlsWrite(link.tls(), "hello\r\n");
            proxytest::TlsRead(link.tls(), 0);
        },
        count);
}

class TlsStreamTest : public ::testing::Test {
protected:
    // One connection to 127.0.0.1:port under the name host: greeted, then
    // closed, with a close-notify or (as most mail servers end theirs)
    // without. True when the handshake resumed a session.
    // trusted false: the server's certificate is to be refused (a name
    // whose self-signed certificate no CA vouches for).
    bool Visit(const char* host, int port, bool closeNotify = true, bool trusted = true) {
        int sock = loopback::Connect(port);
        TlsStream stream;
        EXPECT_EQ(stream.Attach(tlsClient, sock, host, port), NetResult::Ok);
        EXPECT_EQ(stream.Handshake(Clock::now() + 10s), trusted);
        if (!trusted) {
            EXPECT_EQ(errno, EPERM);
            EXPECT_EQ(stream.Verdict(), PeerVerdict::Refused);
            close(sock);
            return false;
        }
        char buffer[16] = {};
        EXPECT_EQ(stream.Read(buffer, sizeof buffer, Clock::now() + 10s), 7);
        bool reused = stream.SessionReused();
        if (closeNotify) stream.ShutdownSend();
        stream.Release();
        close(sock);
        return reused;
    }

    TlsClientContext tlsClient;
};

TEST_F(TlsStreamTest, AReconnectionToTheSameDestinationResumes) {
    constexpr int kVisits = 50;
    LoopbackPeer server{PeerTls{"localhost"}};
    std::vector<Seen> seen;
    ServeGreeting(server, seen, kVisits);
    int resumed = 0;
    EXPECT_FALSE(Visit("127.0.0.1", server.port())) << "nothing to resume yet";
    for (int i = 1; i < kVisits; ++i) resumed += Visit("127.0.0.1", server.port()) ? 1 : 0;
    server.Join();
    EXPECT_EQ(resumed, kVisits - 1);
    EXPECT_TRUE(seen.back().reused) << "the server agrees";
    EXPECT_EQ(tlsClient.Sessions().Size(), 1u);
}

TEST_F(TlsStreamTest, AConnectionEndedWithoutACloseNotifyStillLeavesItsSession) {
    LoopbackPeer server{PeerTls{"localhost"}};
    std::vector<Seen> seen;
    ServeGreeting(server, seen, 3);
    EXPECT_FALSE(Visit("127.0.0.1", server.port(), false));
    EXPECT_TRUE(Visit("127.0.0.1", server.port(), false));
    EXPECT_TRUE(Visit("127.0.0.1", server.port(), false));
    server.Join();
}

TEST_F(TlsStreamTest, AnotherPortDoesNotShareTheSession) {
    LoopbackPeer first{PeerTls{"localhost"}};
    LoopbackPeer second{PeerTls{"localhost"}};
    std::vector<Seen> seenFirst;
    std::vector<Seen> seenSecond;
    ServeGreeting(first, seenFirst, 2);
    ServeGreeting(second, seenSecond, 1);
    EXPECT_FALSE(Visit("127.0.0.1", first.port()));
    EXPECT_FALSE(Visit("127.0.0.1", second.port()));
    EXPECT_TRUE(Visit("127.0.0.1", first.port()));
    first.Join();
    second.Join();
    EXPECT_EQ(tlsClient.Sessions().Size(), 2u);
}

TEST_F(TlsStreamTest, TheServerNameIsSentForAHostNameOnly) {
    LoopbackPeer server{PeerTls{"localhost"}};
    std::vector<Seen> seen;
    ServeGreeting(server, seen, 3);
    Visit("localhost", server.port(), true, false);
    Visit("127.0.0.1", server.port());
    Visit("::1", server.port());  // the socket still goes to 127.0.0.1
    server.Join();
    EXPECT_EQ(seen[0].serverName, "localhost");
    EXPECT_EQ(seen[1].serverName, "");
    EXPECT_EQ(seen[2].serverName, "");
    EXPECT_TRUE(IsAddressLiteral("10.1.2.3"));
    EXPECT_FALSE(IsAddressLiteral("127.1")) << "only the dotted form is an address, as everywhere";
    EXPECT_TRUE(IsAddressLiteral("fe80::1"));
    EXPECT_FALSE(IsAddressLiteral("mail.example.com"));
}

// A connection to a server that greets and then stays silent until told.
class SilentServerTest : public TlsStreamTest {
protected:
    void SetUp() override {
        server.Serve([this](PeerLink& link) {
            proxytest::TlsWrite(link.tls(), "hello\r\n");
            while (!speak) std::this_thread::sleep_for(10ms);
            proxytest::TlsWrite(link.tls(), "news\r\n");
            proxytest::TlsRead(link.tls(), 0);
        });
        sock = loopback::Connect(server.port());
        ASSERT_EQ(stream.Attach(tlsClient, sock, "127.0.0.1", server.port()), NetResult::Ok);
        ASSERT_TRUE(stream.Handshake(Clock::now() + 10s));
        char greeting[7];
        ASSERT_EQ(stream.Read(greeting, sizeof greeting, Clock::now() + 10s), 7);
    }
    void TearDown() override {
        speak = true;
        shutdown(sock, SHUT_RDWR);
        server.Join();
        stream.Release();
        close(sock);
    }

    LoopbackPeer server{PeerTls{"localhost"}};
    std::atomic<bool> speak{false};
    int sock = -1;
    TlsStream stream;
};

TEST_F(SilentServerTest, WaitsEndAtTheirDeadline) {
    auto start = Clock::now();
    EXPECT_EQ(stream.WaitReadable(start + 300ms), NetResult::WaitTimeout);
    EXPECT_GE(Clock::now() - start, 290ms);
    char buffer[16];
    start = Clock::now();
    EXPECT_EQ(stream.Read(buffer, sizeof buffer, start + 300ms), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GE(Clock::now() - start, 290ms);
}

TEST_F(SilentServerTest, AnIdleReaderSleepsUntilDataComes) {
    std::atomic<pid_t> tid{0};
    std::atomic<int32_t> got{0};
    std::thread reader([&] {
        tid = gettid();
        char buffer[16];
        got = stream.Read(buffer, sizeof buffer, Clock::now() + 20s);
    });
    // A loaded machine may start the reader late: count from its wait on.
    auto until = Clock::now() + 10s;
    while (!(tid != 0 && Asleep(tid)) && Clock::now() < until) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(tid != 0 && Asleep(tid)) << "the reader never began to wait";
    long before = VoluntarySwitches(tid);
    std::this_thread::sleep_for(1500ms);
    long after = VoluntarySwitches(tid);
    ASSERT_GE(before, 0);
    EXPECT_LE(after - before, 1) << "wake-ups of an idle reader in 1.5 s";
    auto spoke = Clock::now();
    speak = true;
    reader.join();
    EXPECT_EQ(got, 6);
    EXPECT_LT(Clock::now() - spoke, 2s);
}

}  // namespace
