// AutoMailChecker talks to one upstream mail server over one TCP connection,
// plain or TLS from the first byte, and meters what the exchange costs: the
// bytes and milliseconds spent sending and receiving. The SMTP and POP3 probes
// of a detection run (and the log report) are dialogues on top of it; the
// detection run turns two of its meters into a candidate's LinkCost.
//
// The object does not remember whether its connection is TLS: every call takes
// useTls, filled from the candidate's IsSSL. One dialogue is Open, Connect,
// ReadGreeting, commands, Close; an object may run many dialogues one after
// the other, and each Open restarts the meters. The transport never logs; what
// the dialogues show goes to the information pane as transcript lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <netinet/in.h>

#include "catalogue/ProtocalInfo.h"
#include "core/UiNotifier.h"
#include "core/UserConfig.h"
#include "detect/DetectionResult.h"
#include "net/NetResultCodes.h"
#include "net/TlsStream.h"
#include "platform/ConnectWithin.h"

// Results of Open, Connect, WaitReadable and ReadGreeting: the transport's
// shared codes under the names the probes use.
inline constexpr int32_t kOpenSocketLayerFailed = CodeOf(NetResult::Failure);
inline constexpr int32_t kOpenNotAnAddress = CodeOf(NetResult::NotAnAddress);
inline constexpr int32_t kOpenSocketFailed = CodeOf(NetResult::SocketFailure);
inline constexpr int32_t kConnectFailed = CodeOf(NetResult::ConnectFailure);
inline constexpr int32_t kWaitTimedOut = CodeOf(NetResult::WaitTimeout);
inline constexpr int32_t kReadFailed = CodeOf(NetResult::ReadFailure);
inline constexpr int32_t kOpenTlsLibraryFailed = CodeOf(NetResult::TlsInitFailure);
inline constexpr int32_t kOpenTlsContextFailed = CodeOf(NetResult::TlsContextFailure);
inline constexpr int32_t kOpenTlsObjectFailed = CodeOf(NetResult::TlsObjectFailure);
inline constexpr int32_t kConnectHandshakeFailed = CodeOf(NetResult::HandshakeFailure);

// How long one wait for a server's bytes lasts, in seconds.
inline constexpr int kReplyWaitSeconds = 10;
inline constexpr std::size_t kReplyLimit = 10240;
inline constexpr std::size_t kReplyChunkSize = 512;
inline constexpr std::size_t kTranscriptLineSize = 1024;

enum class GreetingVariant { SMTP, POP3 };

class AutoMailChecker {
public:
    // The probes take their account from settings, show their transcript on
    // pane and make their TLS connections from tlsClient; all three must
    // outlive the object.
    AutoMailChecker(const UserConfig& settings, UiNotifier& pane, TlsClientContext& tlsClient);
    AutoMailChecker(const AutoMailChecker&) = delete;
    AutoMailChecker& operator=(const AutoMailChecker&) = delete;
    // Releases what a dialogue that skipped Close left behind.
    virtual ~AutoMailChecker();

    // --- transport -------------------------------------------------------
    // The socket (positive) for a dotted IPv4 host, with address filled for
    // Connect; or -2 for anything else (no name is resolved), -4, -10, -11,
    // -12. A failed Open leaves nothing to close.
    int32_t Open(const char* host, int32_t port, sockaddr_in& address, bool useTls);
    // 0, -5 (TCP connect failed) or -13 (handshake failed; the socket is then
    // already closed). LastSocketError tells the system's error number of the
    // failure, 0 when it gave none.
    int32_t Connect(const sockaddr_in& address, bool useTls);
    int LastSocketError() const { return lastSocketError_; }
    void Close(bool useTls);

    // One write or one read; bytes moved, 0 when the peer closed (Read), or -1.
    int32_t Write(const void* data, std::size_t length, bool useTls);
    int32_t Read(void* buffer, std::size_t size, bool useTls);
    // 0 as soon as something can be read, -6 when nothing came within seconds.
    int32_t WaitReadable(int seconds, bool useTls);

    // Writes line and collects the reply up to the first chunk holding CR LF;
    // no value when the write failed, nothing came in time or a read failed.
    std::optional<std::string> Command(const std::string& line, bool useTls);
    // Reads and shows the greeting under the prefix; 0, -6 or -7.
    int32_t ReadGreeting(GreetingVariant variant, const char* prefix, bool useTls);
    static bool ReplyStartsWith(const std::string& reply, const char* code);

    // Appends one transcript line, cut to 1023 characters.
    void Show(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The pane line of a refused certificate, and the front end told.
    void ReportRefusal(const CertificateRefusal& refusal);

    // --- dialogues ---------------------------------------------------------
    // 0 when the whole dialogue succeeded, otherwise its failure code (a
    // DetectionResult's, a transport code or a connect's error number); the
    // meters then describe this dialogue. A null candidate gives NoCandidate.
    int32_t ProbeSmtp(const ProtocalInfo* candidate);
    int32_t ProbePop3(const ProtocalInfo* candidate);

    // POP3 commands of the probe.
    std::optional<std::string> PopUser(const char* name, bool useTls);
    std::optional<std::string> PopPass(const char* password, bool useTls);
    int32_t PopStat(bool useTls);
    int32_t PopRetr(int number, bool useTls);
    std::optional<std::string> PopDele(int number, bool useTls);
    std::optional<std::string> PopQuit(bool useTls);
    // Reads until the end of the message; first holds what was already read
    // of it (status line included).
    int32_t SkipMessage(bool useTls, const char* first = nullptr, std::size_t firstLength = 0);
    static bool HasEndOfData(const char* chunk, std::size_t length);

    // --- meters, since the last Open -------------------------------------
    int32_t bytesSent = 0;
    int32_t sendMillis = 0;
    int32_t bytesReceived = 0;
    int32_t receiveMillis = 0;

    // The longest wait for a server to accept the TCP connection: one that
    // drops packets would otherwise cost the system's two-minute time-out
    // per probe.
    int32_t connectSeconds = kConnectSeconds;
    // The longest the whole TLS handshake may take: as long as the wait for
    // any reply.
    int32_t handshakeSeconds = kReplyWaitSeconds;

    int sock = -1;
    TlsStream tls;  // attached by Open on a TLS connection

private:
    void CloseSocket();
    // One SMTP "send X, expect C, else E" step; 0 or failure.
    int32_t Exchange(const char* prefix, const std::string& line, const char* code,
                     DetectionResult failure, bool useTls);
    int32_t SendCredential(const char* prefix, const char* text, const char* code,
                           DetectionResult encodeFailure, bool useTls);
    int32_t SendTestMail(const char* prefix, bool useTls);
    int32_t SmtpDialogue(const ProtocalInfo& candidate, const char* prefix);
    int32_t Pop3Dialogue(const ProtocalInfo& candidate, const char* prefix);
    int32_t Pop3Login(const char* prefix, bool useTls);
    int32_t Pop3Fetch(const char* prefix, bool useTls);
    // The reply to a command, shown; no value when none came.
    std::optional<std::string> ShowCommand(const char* prefix, const std::string& line, bool useTls);

    const UserConfig& settings_;
    UiNotifier& pane_;
    TlsClientContext& tlsClient_;
    int lastSocketError_ = 0;
};
