#include "detect/AutoMailChecker.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Ipv4Address.h"
#include "platform/MonotonicClock.h"
#include "platform/PollWait.h"

namespace {

// A metered step's time in whole milliseconds, at least 1: every step
// costs something, however quick.
int32_t Elapsed(MonotonicClock::time_point start) {
    int64_t span = MillisSince(start);
    return span == 0 ? 1 : static_cast<int32_t>(span);
}

bool HoldsLineBreak(const char* data, std::size_t length) {
    return memmem(data, length, "\r\n", 2) != nullptr;
}

// Every TLS read or write on a probe is bounded like the wait for a reply:
// a server that stops talking costs at most that, never the whole run.
Deadline ReplyDeadline() {
    return DeadlineAfterSeconds(kReplyWaitSeconds);
}

}  // namespace

AutoMailChecker::AutoMailChecker(const UserConfig& settings, UiNotifier& pane, TlsClientContext& tlsClient)
    : settings_(settings), pane_(pane), tlsClient_(tlsClient) {}

AutoMailChecker::~AutoMailChecker() {
    Close(tls.Attached());
}

int32_t AutoMailChecker::Open(const char* host, int32_t port, sockaddr_in& address, bool useTls) {
    bytesSent = sendMillis = bytesReceived = receiveMillis = 0;
    lastSocketError_ = 0;
    Close(useTls);  // a previous dialogue that skipped Close must not leak

    // A name is resolved as the proxy resolves it, to its first IPv4
    // address, so that a candidate the proxy can use is ranked on its merits.
    in_addr dotted{};
    if (!ResolveIpv4Within(host, dotted, connectSeconds)) return kOpenNotAnAddress;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr = dotted;

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return kOpenSocketFailed;
    sock = fd;
    if (useTls) {
        NetResult attached = tls.Attach(tlsClient_, sock, host, port);
        if (attached != NetResult::Ok) {
            CloseSocket();
            return CodeOf(attached);
        }
    }
    return sock;
}

int32_t AutoMailChecker::Connect(const sockaddr_in& address, bool useTls) {
    lastSocketError_ = 0;
    MonotonicClock::time_point start = MonotonicClock::now();
    int rc = ConnectWithin(sock, address, connectSeconds);
    int error = errno;
    int32_t step = Elapsed(start);
    if (rc != 0) {
        lastSocketError_ = error;
        return kConnectFailed;
    }
    if (useTls && !tls.Handshake(DeadlineAfterSeconds(handshakeSeconds))) {
        lastSocketError_ = errno;
        CloseSocket();
        if (tls.Verdict() != PeerVerdict::Refused) return kConnectHandshakeFailed;
        lastSocketError_ = 0;
        ReportRefusal(tls.Refusal());
        return CodeOf(NetResult::CertificateRefused);
    }
    if (useTls && tls.Verdict() == PeerVerdict::Renewed) {
        const CertificateRefusal& renewal = tls.Refusal();
        Show("[Certificate of %s:%d renewed: recorded %s replaced by %s]\r\n", renewal.server.c_str(),
             renewal.port, renewal.recorded.c_str(), renewal.presented.c_str());
    }
    sendMillis += step;
    receiveMillis += step;
    return 0;
}

void AutoMailChecker::ReportRefusal(const CertificateRefusal& refusal) {
    Show("[Certificate of %s:%d refused (%s): recorded %s, presented %s]\r\n", refusal.server.c_str(),
         refusal.port, refusal.reason.c_str(), refusal.recorded.empty() ? "-" : refusal.recorded.c_str(),
         refusal.presented.empty() ? "-" : refusal.presented.c_str());
    pane_.CertificateRefused(refusal);
}

void AutoMailChecker::CloseSocket() {
    if (sock < 0) return;
    shutdown(sock, SHUT_RDWR);
    close(sock);
    sock = -1;
}

void AutoMailChecker::Close(bool useTls) {
    (void)useTls;  // TLS objects left by any dialogue are freed either way
    CloseSocket();
    tls.Release();
}

int32_t AutoMailChecker::Write(const void* data, std::size_t length, bool useTls) {
    if (length == 0) return 0;
    MonotonicClock::time_point start = MonotonicClock::now();
    int32_t written;
    if (useTls && tls.Attached()) {
        written = tls.Write(data, static_cast<int32_t>(length), ReplyDeadline());
    } else {
        ssize_t sent;
        do sent = send(sock, data, length, MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        written = sent < 0 ? -1 : static_cast<int32_t>(sent);
    }
    if (written != -1) {
        bytesSent += written;
        sendMillis += Elapsed(start);
    }
    return written;
}

int32_t AutoMailChecker::Read(void* buffer, std::size_t size, bool useTls) {
    MonotonicClock::time_point start = MonotonicClock::now();
    int32_t got;
    if (useTls && tls.Attached()) {
        got = tls.Read(buffer, static_cast<int32_t>(size), ReplyDeadline());
    } else {
        ssize_t received;
        do received = recv(sock, buffer, size, 0);
        while (received < 0 && errno == EINTR);
        got = received < 0 ? -1 : static_cast<int32_t>(received);
    }
    if (got != -1) {
        bytesReceived += got;
        receiveMillis += Elapsed(start);
    }
    return got;
}

// On TLS the stream decides: it counts what the library already holds and
// does not count records that carry no data (a session ticket).
int32_t AutoMailChecker::WaitReadable(int seconds, bool useTls) {
    Deadline deadline = DeadlineAfterSeconds(seconds);
    if (useTls && tls.Attached()) return tls.WaitReadable(deadline) == NetResult::Ok ? 0 : kWaitTimedOut;
    return PollOne(sock, POLLIN, deadline) > 0 ? 0 : kWaitTimedOut;
}

std::optional<std::string> AutoMailChecker::Command(const std::string& line, bool useTls) {
    if (Write(line.data(), line.size(), useTls) == -1) return std::nullopt;
    std::string reply;
    char chunk[kReplyChunkSize];
    for (;;) {
        std::memset(chunk, 0, sizeof chunk);
        MonotonicClock::time_point start = MonotonicClock::now();
        if (WaitReadable(kReplyWaitSeconds, useTls) == kWaitTimedOut) return std::nullopt;
        receiveMillis += Elapsed(start);
        int32_t got = Read(chunk, sizeof chunk, useTls);
        if (got < 0) return std::nullopt;
        std::size_t room = kReplyLimit - reply.size();
        reply.append(chunk, static_cast<std::size_t>(got) < room ? got : room);
        if (HoldsLineBreak(chunk, got) || got == 0) return reply;
    }
}

int32_t AutoMailChecker::ReadGreeting(GreetingVariant variant, const char* prefix, bool useTls) {
    const std::size_t chunkSize = variant == GreetingVariant::SMTP ? kReplyLimit - 1 : kReplyChunkSize;
    std::vector<char> chunk(chunkSize + 1);
    for (;;) {
        MonotonicClock::time_point start = MonotonicClock::now();
        if (WaitReadable(kReplyWaitSeconds, useTls) == kWaitTimedOut) return kWaitTimedOut;
        if (variant == GreetingVariant::POP3) receiveMillis += Elapsed(start);
        std::fill(chunk.begin(), chunk.end(), '\0');
        int32_t got = Read(chunk.data(), chunkSize, useTls);
        if (got < 0) return kReadFailed;
        Show("%s < %s", prefix, chunk.data());
        if (got == 0 || HoldsLineBreak(chunk.data(), got)) return 0;
    }
}

bool AutoMailChecker::ReplyStartsWith(const std::string& reply, const char* code) {
    return code != nullptr && reply.compare(0, std::strlen(code), code) == 0;
}

void AutoMailChecker::Show(const char* format, ...) {
    char line[kTranscriptLineSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    pane_.PostInfoLine(line);
}
