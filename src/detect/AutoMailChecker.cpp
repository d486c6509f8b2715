#include "detect/AutoMailChecker.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/TickCount.h"

namespace {

// Set by the first TLS Open of the process to the library initialisation's
// result (1 = ready) and kept from then on.
std::atomic<int> tlsLibraryReady{0};

// A metered step's time: the tick difference, at least 1 ms.
int32_t Elapsed(uint32_t start) {
    uint32_t span = GetTickCount() - start;
    return span == 0 ? 1 : static_cast<int32_t>(span);
}

bool HoldsLineBreak(const char* data, std::size_t length) {
    return memmem(data, length, "\r\n", 2) != nullptr;
}

// Waits up to ms for events on fd; > 0 when they came, 0 on time-out.
int PollFor(int fd, short events, int ms) {
    pollfd entry{fd, events, 0};
    for (;;) {
        int n = poll(&entry, 1, ms);
        if (n >= 0 || errno != EINTR) return n;
    }
}

int MillisUntil(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

AutoMailChecker::AutoMailChecker(const UserConfig& settings, UiNotifier& pane)
    : settings_(settings), pane_(pane) {}

AutoMailChecker::~AutoMailChecker() {
    Close(tls != nullptr);
}

int32_t AutoMailChecker::Open(const char* host, int32_t port, sockaddr_in& address, bool useTls) {
    bytesSent = sendMillis = bytesReceived = receiveMillis = 0;
    lastSocketError_ = 0;
    Close(useTls);  // a previous dialogue that skipped Close must not leak

    in_addr dotted{};
    if (host == nullptr || inet_pton(AF_INET, host, &dotted) != 1) return kOpenNotAnAddress;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr = dotted;

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return kOpenSocketFailed;
    sock = fd;
    if (useTls) {
        int32_t failure = OpenTls();
        if (failure != 0) {
            CloseSocket();
            return failure;
        }
    }
    return sock;
}

int32_t AutoMailChecker::OpenTls() {
    if (tlsLibraryReady.load() == 0) tlsLibraryReady.store(SSL_library_init());
    if (tlsLibraryReady.load() != 1) return kOpenTlsLibraryFailed;
    SSL_load_error_strings();
    tlsContext = SSL_CTX_new(TLS_client_method());
    if (tlsContext == nullptr) return kOpenTlsContextFailed;
    // Many mail servers close without a TLS close-notify; that is an end of
    // data here, not an error.
    SSL_CTX_set_options(tlsContext, SSL_OP_IGNORE_UNEXPECTED_EOF);
    tls = SSL_new(tlsContext);
    if (tls == nullptr) {
        SSL_CTX_free(tlsContext);
        tlsContext = nullptr;
        return kOpenTlsObjectFailed;
    }
    SSL_set_fd(tls, sock);
    return 0;
}

int32_t AutoMailChecker::Connect(const sockaddr_in& address, bool useTls) {
    lastSocketError_ = 0;
    uint32_t start = GetTickCount();
    int rc = ConnectWithin(sock, address, connectSeconds);
    int error = errno;
    int32_t step = Elapsed(start);
    if (rc != 0) {
        lastSocketError_ = error;
        return kConnectFailed;
    }
    if (useTls && Handshake() != 1) {
        CloseSocket();
        return kConnectHandshakeFailed;
    }
    sendMillis += step;
    receiveMillis += step;
    return 0;
}

// The socket turns non-blocking for the whole TLS connection: every TLS call
// then waits on the socket with a bound, so a server that stops talking in the
// handshake or later costs at most one wait, never the whole detection run.
int32_t AutoMailChecker::Handshake() {
    if (tls == nullptr) return 0;
    int flags = fcntl(sock, F_GETFL);
    if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) {
        lastSocketError_ = errno;
        return 0;
    }
    return TlsCall([this] { return SSL_connect(tls); });
}

template <typename Call>
int AutoMailChecker::TlsCall(Call call) {
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int result = call();
        if (result > 0) return result;
        short events;
        switch (SSL_get_error(tls, result)) {
        case SSL_ERROR_WANT_READ: events = POLLIN; break;
        case SSL_ERROR_WANT_WRITE: events = POLLOUT; break;
        case SSL_ERROR_ZERO_RETURN: return 0;
        case SSL_ERROR_SYSCALL:
            lastSocketError_ = errno;
            return -1;
        default: return -1;
        }
        if (PollFor(sock, events, kReplyWaitSeconds * 1000) <= 0) return -1;
    }
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
    if (tls != nullptr) SSL_free(tls);
    tls = nullptr;
    if (tlsContext != nullptr) SSL_CTX_free(tlsContext);
    tlsContext = nullptr;
}

int32_t AutoMailChecker::Write(const void* data, std::size_t length, bool useTls) {
    if (length == 0) return 0;
    uint32_t start = GetTickCount();
    int32_t written;
    if (useTls && tls != nullptr) {
        int size = static_cast<int>(length);
        written = TlsCall([&] { return SSL_write(tls, data, size); });
        if (written == 0) written = -1;
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
    uint32_t start = GetTickCount();
    int32_t got;
    if (useTls && tls != nullptr) {
        int wanted = static_cast<int>(size);
        got = TlsCall([&] { return SSL_read(tls, buffer, wanted); });
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

// On TLS, poll alone cannot tell: bytes OpenSSL has already decrypted do not
// show on the socket, and bytes on the socket may be a record that carries no
// data (a session ticket). So buffered data answers at once, and socket
// activity is confirmed by peeking before it counts as readable.
int32_t AutoMailChecker::WaitReadable(int seconds, bool useTls) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    if (!(useTls && tls != nullptr))
        return PollFor(sock, POLLIN, seconds * 1000) > 0 ? 0 : kWaitTimedOut;
    if (SSL_pending(tls) > 0) return 0;
    for (;;) {
        if (PollFor(sock, POLLIN, MillisUntil(deadline)) <= 0) return kWaitTimedOut;
        char probe;
        int peeked = SSL_peek(tls, &probe, 1);
        if (peeked > 0) return 0;
        int error = SSL_get_error(tls, peeked);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return 0;
        ERR_clear_error();
    }
}

std::optional<std::string> AutoMailChecker::Command(const std::string& line, bool useTls) {
    if (Write(line.data(), line.size(), useTls) == -1) return std::nullopt;
    std::string reply;
    char chunk[kReplyChunkSize];
    for (;;) {
        std::memset(chunk, 0, sizeof chunk);
        uint32_t start = GetTickCount();
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
        uint32_t start = GetTickCount();
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
