#include "net/TlsStream.h"

#include <cerrno>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "platform/Ipv4Address.h"

namespace {

// The close-notify is one small record: a few rounds of waiting for room
// are plenty, and a peer that takes nothing gets the TCP shutdown alone.
constexpr int kShutdownRounds = 10;
constexpr auto kShutdownWait = std::chrono::milliseconds(100);

bool MakeNonBlocking(int sock) {
    int flags = fcntl(sock, F_GETFL, 0);
    return flags >= 0 && fcntl(sock, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

// A read skipped because it could only have found the socket empty: the
// wait comes first, which spares a failing receive on every chunk.
const TlsStream::Outcome TlsStream::kNothingBuffered{-1, SSL_ERROR_WANT_READ, 0};

bool IsAddressLiteral(const char* host) {
    if (host == nullptr) return false;
    in6_addr v6{};
    return ParseIpv4Address(host) || inet_pton(AF_INET6, host, &v6) == 1;
}

NetResult TlsStream::Attach(TlsClientContext& context, int sock, const char* host, int32_t port) {
    Release();
    NetResult ready = context.Prepare();
    if (ready != NetResult::Ok) return ready;
    destination_ = std::string(host != nullptr ? host : "") + ":" + std::to_string(port);
    tls_ = context.NewConnection(&destination_);
    if (tls_ == nullptr || SSL_set_fd(tls_, sock) != 1) {
        Release();
        return NetResult::TlsObjectFailure;
    }
    // Servers with several names pick their certificate by it; an address
    // is never sent as a name.
    if (host != nullptr && *host != '\0' && !IsAddressLiteral(host)) {
        SSL_set_tlsext_host_name(tls_, host);
        SSL_set1_host(tls_, host);
    }
    host_ = host != nullptr ? host : "";
    port_ = port;
    verdict_ = PeerVerdict::Trusted;
    refusal_ = CertificateRefusal{};
    // A writer that owns no buffer of its own keeps what the socket did not
    // take in a buffer of its choosing; a write then reports each record.
    SSL_set_mode(tls_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    sock_ = sock;
    context_ = &context;
    buffered_ = false;
    server_ = false;
    return NetResult::Ok;
}

NetResult TlsStream::Accept(TlsServerContext& context, int sock) {
    Release();
    tls_ = context.NewConnection();
    if (tls_ == nullptr || !MakeNonBlocking(sock) || SSL_set_fd(tls_, sock) != 1) {
        Release();
        return NetResult::TlsObjectFailure;
    }
    SSL_set_accept_state(tls_);
    SSL_set_mode(tls_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    destination_.clear();
    host_.clear();
    port_ = 0;
    verdict_ = PeerVerdict::Trusted;
    refusal_ = CertificateRefusal{};
    sock_ = sock;
    buffered_ = false;
    server_ = true;
    return NetResult::Ok;
}

void TlsStream::Release() {
    if (tls_ != nullptr) SSL_free(tls_);
    tls_ = nullptr;
    sock_ = -1;
    context_ = nullptr;
    server_ = false;
}

template <typename Call>
TlsStream::Outcome TlsStream::Run(Call call) {
    Outcome out{0, SSL_ERROR_NONE, 0};
    ERR_clear_error();
    errno = 0;
    out.result = call();
    if (out.result <= 0) {
        out.tlsError = SSL_get_error(tls_, out.result);
        out.sysError = errno;
        ERR_clear_error();  // the queue is the thread's; later calls must not see it
    }
    buffered_ = SSL_has_pending(tls_) == 1;
    return out;
}

bool TlsStream::Await(const Outcome& out, Deadline deadline) {
    if (out.tlsError != SSL_ERROR_WANT_READ && out.tlsError != SSL_ERROR_WANT_WRITE) {
        errno = out.sysError != 0 ? out.sysError : EPROTO;
        return false;
    }
    pollfd entry{sock_, static_cast<short>(out.tlsError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    int r = PollUntil(&entry, 1, deadline);
    if (r <= 0) {
        if (r == 0) errno = EAGAIN;
        return false;
    }
    if (entry.revents & POLLNVAL) {
        errno = EBADF;
        return false;
    }
    return true;
}

bool TlsStream::Handshake(Deadline deadline) {
    errno = 0;
    if (tls_ == nullptr || !MakeNonBlocking(sock_)) return false;
    for (;;) {
        Outcome out = Run([this] { return StepHandshake(); });
        if (out.result == 1) return Trusted();
        if (!Await(out, deadline)) {
            // A session the server would not take is not offered again.
            if (context_ != nullptr) context_->Sessions().Forget(destination_);
            errno = out.tlsError == SSL_ERROR_SYSCALL ? out.sysError : 0;
            return false;
        }
    }
}

int TlsStream::StepHandshake() {
    return server_ ? SSL_accept(tls_) : SSL_connect(tls_);
}

bool TlsStream::Trusted() {
    if (server_) return true;  // a mail client presents no certificate
    verdict_ = context_ != nullptr ? context_->CheckPeer(tls_, host_, port_, refusal_) : PeerVerdict::Refused;
    if (verdict_ != PeerVerdict::Refused) return true;
    if (context_ != nullptr) context_->Sessions().Forget(destination_);
    errno = EPERM;
    return false;
}

bool TlsStream::SessionReused() const {
    return tls_ != nullptr && SSL_session_reused(tls_) == 1;
}

int32_t TlsStream::Read(void* buffer, int32_t size, Deadline deadline) {
    if (tls_ == nullptr || buffer == nullptr || size <= 0) {
        errno = EINVAL;
        return -1;
    }
    // Nothing buffered: the wait comes first.
    bool tryNow = buffered_;
    for (;;) {
        Outcome out = tryNow ? Run([&] { return SSL_read(tls_, buffer, size); }) : kNothingBuffered;
        if (out.result > 0) return out.result;
        if (out.tlsError == SSL_ERROR_ZERO_RETURN) return 0;
        if (!Await(out, deadline)) return -1;
        tryNow = true;
    }
}

int32_t TlsStream::Write(const void* data, int32_t length, Deadline deadline) {
    if (tls_ == nullptr || data == nullptr || length <= 0) {
        errno = EINVAL;
        return -1;
    }
    const char* bytes = static_cast<const char*>(data);
    int32_t written = 0;
    for (;;) {
        Outcome out = Run([&] { return SSL_write(tls_, bytes + written, length - written); });
        if (out.result > 0) {
            written += out.result;
            if (written == length) return length;
            continue;
        }
        if (Await(out, deadline)) continue;
        if (errno == EAGAIN) errno = ETIMEDOUT;
        return -1;
    }
}

NetResult TlsStream::WaitReadable(Deadline deadline) {
    if (tls_ == nullptr) return NetResult::WaitTimeout;
    bool tryPeek = buffered_;
    for (;;) {
        char byte;
        Outcome out = tryPeek ? Run([&] { return SSL_pending(tls_) > 0 ? 1 : SSL_peek(tls_, &byte, 1); })
                              : kNothingBuffered;
        if (out.result > 0) return NetResult::Ok;
        // The read reports it.
        if (out.tlsError != SSL_ERROR_WANT_READ && out.tlsError != SSL_ERROR_WANT_WRITE) return NetResult::Ok;
        if (!Await(out, deadline)) return NetResult::WaitTimeout;
        tryPeek = true;
    }
}

void TlsStream::ShutdownSend() {
    if (tls_ == nullptr) return;
    for (int round = 0; round < kShutdownRounds; ++round) {
        Outcome out = SendCloseNotify();
        if (out.result >= 0 || out.tlsError != SSL_ERROR_WANT_WRITE) return;
        PollOne(sock_, POLLOUT, MonotonicClock::now() + kShutdownWait);
    }
}

// Sent once: a repeated call finds it sent and succeeds.
TlsStream::Outcome TlsStream::SendCloseNotify() {
    return Run([this] { return (SSL_get_shutdown(tls_) & SSL_SENT_SHUTDOWN) ? 1 : SSL_shutdown(tls_); });
}

int32_t TlsStream::WithoutWaiting(const Outcome& out, SocketWait& wait) {
    wait = SocketWait::None;
    if (out.result > 0) return out.result;
    if (out.tlsError == SSL_ERROR_ZERO_RETURN) return 0;
    if (out.tlsError == SSL_ERROR_WANT_READ || out.tlsError == SSL_ERROR_WANT_WRITE) {
        wait = out.tlsError == SSL_ERROR_WANT_READ ? SocketWait::Readable : SocketWait::Writable;
        errno = EAGAIN;
        return -1;
    }
    errno = out.sysError != 0 ? out.sysError : EPROTO;
    return -1;
}

int32_t TlsStream::HandshakeSome(SocketWait& wait) {
    wait = SocketWait::None;
    if (tls_ == nullptr) {
        errno = EINVAL;
        return -1;
    }
    Outcome out = Run([this] { return StepHandshake(); });
    if (out.result == 1) return Trusted() ? 1 : -1;
    WithoutWaiting(out, wait);
    if (wait != SocketWait::None) return -1;
    // A session the server would not take is not offered again.
    if (context_ != nullptr) context_->Sessions().Forget(destination_);
    errno = out.tlsError == SSL_ERROR_SYSCALL ? out.sysError : 0;
    return -1;
}

int32_t TlsStream::ReadSome(void* buffer, int32_t size, SocketWait& wait) {
    wait = SocketWait::None;
    if (tls_ == nullptr || buffer == nullptr || size <= 0) {
        errno = EINVAL;
        return -1;
    }
    return WithoutWaiting(Run([&] { return SSL_read(tls_, buffer, size); }), wait);
}

int32_t TlsStream::WriteSome(const void* data, int32_t length, SocketWait& wait) {
    wait = SocketWait::None;
    if (tls_ == nullptr || data == nullptr || length <= 0) {
        errno = EINVAL;
        return -1;
    }
    return WithoutWaiting(Run([&] { return SSL_write(tls_, data, length); }), wait);
}

void TlsStream::ShutdownSendNow() {
    if (tls_ == nullptr) return;
    SendCloseNotify();
}

// The connection object names its destination for the session cache by
// the address of the owner's text, which moves with the swap.
void TlsStream::Swap(TlsStream& other) noexcept {
    std::swap(tls_, other.tls_);
    std::swap(sock_, other.sock_);
    std::swap(context_, other.context_);
    std::swap(buffered_, other.buffered_);
    std::swap(server_, other.server_);
    destination_.swap(other.destination_);
    host_.swap(other.host_);
    std::swap(port_, other.port_);
    std::swap(verdict_, other.verdict_);
    std::swap(refusal_, other.refusal_);
    if (tls_ != nullptr) SSL_set_app_data(tls_, &destination_);
    if (other.tls_ != nullptr) SSL_set_app_data(other.tls_, &other.destination_);
}
