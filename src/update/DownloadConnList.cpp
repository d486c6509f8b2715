#include "update/DownloadConnList.h"

#include <cstring>
#include <string>
#include <strings.h>

#include <curl/curl.h>

#include "catalogue/ConnConfig.h"
#include "core/CoreContext.h"
#include "core/WriteLog.h"
#include "update/DownloadedList.h"
#include "update/ListFileWriter.h"
#include "update/ListSignature.h"

namespace {

constexpr long kConnectTimeoutSeconds = 60;
constexpr long kRequestTimeoutSeconds = 120;
constexpr int kMaxRedirects = 10;
constexpr int32_t kHttpsPort = 443;
// A signature is some 90 characters of base64; anything much longer is not one.
constexpr std::size_t kSignatureLimit = 1024;

// Where the download goes: redirects may change the path, never this.
struct Origin {
    bool https = false;
    std::string host;
    int32_t port = 0;
};

// One response: the whole body up to limit, and what its head declared.
struct Response {
    CoreContext* ctx = nullptr;
    const Origin* origin = nullptr;
    std::size_t limit = 0;
    std::string body;
    bool tooLong = false;
    long declaredLength = -1;  // the last response head's Content-Length, -1 without
    bool checkedPeer = false;
    bool refused = false;
    CertificateRefusal refusal;
};

size_t TakeBody(char* bytes, size_t size, size_t count, void* user) {
    Response* response = static_cast<Response*>(user);
    std::size_t offered = size * count;
    if (response->body.size() + offered > response->limit) {
        response->tooLong = true;
        return 0;  // stops the transfer: nothing of a longer body is used
    }
    response->body.append(bytes, offered);
    return offered;
}

// The server's certificate is judged by the same rules as every other TLS
// server's, before the first header is taken.
bool PeerTrusted(CURL* curl, Response& response) {
    if (response.checkedPeer || !response.origin->https) return true;
    response.checkedPeer = true;
    const curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || info == nullptr ||
        info->backend != CURLSSLBACKEND_OPENSSL || info->internals == nullptr) {
        response.refused = true;
        response.refusal.reason = "no TLS connection to check";
        return false;
    }
    PeerVerdict verdict = response.ctx->tlsClient.CheckPeer(static_cast<SSL*>(info->internals),
                                                            response.origin->host, response.origin->port,
                                                            response.refusal);
    response.refused = verdict == PeerVerdict::Refused;
    return !response.refused;
}

struct HeaderSink {
    CURL* curl;
    Response* response;
};

size_t TakeHeader(char* bytes, size_t size, size_t count, void* user) {
    HeaderSink* sink = static_cast<HeaderSink*>(user);
    std::size_t length = size * count;
    if (!PeerTrusted(sink->curl, *sink->response)) return 0;
    std::string line(bytes, length);
    if (line.rfind("HTTP/", 0) == 0) sink->response->declaredLength = -1;  // a new response head
    static const char kLength[] = "content-length:";
    if (line.size() > sizeof kLength - 1 && strncasecmp(line.c_str(), kLength, sizeof kLength - 1) == 0) {
        char* end = nullptr;
        long value = std::strtol(line.c_str() + sizeof kLength - 1, &end, 10);
        sink->response->declaredLength = value >= 0 ? value : -1;
    }
    return length;
}

// The organisation's CA file is trusted beside the system's, as on every
// other TLS connection.
CURLcode PrepareTls(CURL*, void* sslContext, void* user) {
    TrustSameCas(static_cast<SSL_CTX*>(sslContext), *static_cast<const std::string*>(user));
    return CURLE_OK;
}

std::string UrlOf(const Origin& origin, const std::string& path) {
    std::string object = !path.empty() && path[0] == '/' ? path : "/" + path;
    return std::string(origin.https ? "https" : "http") + "://" + origin.host + ":" + std::to_string(origin.port) +
           object;
}

// True when url (absolute) names the same scheme, host and port as origin.
bool SameOrigin(const char* url, const Origin& origin) {
    CURLU* parsed = curl_url();
    if (parsed == nullptr) return false;
    bool same = false;
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, url, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        same = std::strcmp(scheme, origin.https ? "https" : "http") == 0 &&
               strcasecmp(host, origin.host.c_str()) == 0 && std::atoi(port) == origin.port;
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(parsed);
    return same;
}

enum class FetchEnd {
    Received,      // a final response: see status
    Failed,        // curl's code says why (logged by the caller)
    TooLong,       // the body passed the limit
    Refused,       // the server's certificate was refused
    OtherOrigin,   // a redirect left the origin
    TooManyRedirects,
};

// GET of path, following redirects that stay on origin. The body, status
// and declared length are the final response's.
FetchEnd Fetch(CoreContext& ctx, const Origin& origin, std::string path, std::size_t limit, Response& response,
               long& status, CURLcode& code, std::string& where) {
    std::string caFile = ctx.userConfig.TLS_CA_FILE.Get();
    std::string url = UrlOf(origin, path);
    for (int round = 0; round <= kMaxRedirects; ++round) {
        response = Response{};
        response.ctx = &ctx;
        response.origin = &origin;
        response.limit = limit;
        status = 0;
        CURL* curl = curl_easy_init();
        if (curl == nullptr) {
            code = CURLE_FAILED_INIT;
            return FetchEnd::Failed;
        }
        HeaderSink headers{curl, &response};
        curl_slist* extra = curl_slist_append(nullptr, "Connection: close");
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "My Session");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, extra);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, origin.https ? "https" : "http");
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
        // The body is read to the server's close and then held against
        // Content-Length, so a body longer or shorter than declared shows.
        curl_easy_setopt(curl, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, TakeBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, TakeHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headers);
        if (origin.https) {
            // The chain is judged by the process's rules in TakeHeader.
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
            curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, PrepareTls);
            curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &caFile);
        }
        code = curl_easy_perform(curl);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        char* next = nullptr;
        if (code == CURLE_OK && status >= 300 && status < 400) curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &next);
        std::string target = next != nullptr ? next : "";
        curl_slist_free_all(extra);
        curl_easy_cleanup(curl);
        if (response.refused) return FetchEnd::Refused;
        if (response.tooLong) return FetchEnd::TooLong;
        if (code != CURLE_OK) return FetchEnd::Failed;
        if (target.empty()) return FetchEnd::Received;
        if (!SameOrigin(target.c_str(), origin)) {
            where = target;
            return FetchEnd::OtherOrigin;
        }
        url = target;
    }
    return FetchEnd::TooManyRedirects;
}

// Logs why a fetch brought no usable response; false then.
bool Received(CoreContext& ctx, FetchEnd end, const Response& response, long status, CURLcode code,
              const std::string& where, const char* what) {
    switch (end) {
        case FetchEnd::Received: break;
        case FetchEnd::TooLong:
            WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: downloaded %s too long", what);
            return false;
        case FetchEnd::Refused:
            WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: certificate of %s:%d refused(%d): %s; recorded %s, presented %s",
                     response.refusal.server.c_str(), response.refusal.port, CodeOf(NetResult::CertificateRefused),
                     response.refusal.reason.c_str(),
                     response.refusal.recorded.empty() ? "-" : response.refusal.recorded.c_str(),
                     response.refusal.presented.empty() ? "-" : response.refusal.presented.c_str());
            return false;
        case FetchEnd::OtherOrigin:
            WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: redirect of the %s to another server refused(%s)", what,
                     where.c_str());
            return false;
        case FetchEnd::TooManyRedirects:
            WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: too many redirects for the %s", what);
            return false;
        case FetchEnd::Failed:
            // A status that arrived is reported even when the body then failed.
            if (status != 0 && status != 200) break;
            WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: catch internet exception(%d)", static_cast<int>(code));
            return false;
    }
    if (status != 200) {
        WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: download status not ok(%d)", static_cast<int>(status));
        return false;
    }
    if (response.declaredLength >= 0 && static_cast<std::size_t>(response.declaredLength) != response.body.size()) {
        WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: downloaded %s length %d differs from its Content-Length %ld", what,
                 static_cast<int>(response.body.size()), response.declaredLength);
        return false;
    }
    return true;
}

// DOWNLOAD_SERVER is a host, or "http://host" / "https://host".
Origin OriginOf(const CoreContext& ctx, int32_t port) {
    Origin origin;
    std::string server = ctx.userConfig.DOWNLOAD_SERVER;
    if (server.rfind("https://", 0) == 0) {
        origin.https = true;
        server.erase(0, 8);
    } else if (server.rfind("http://", 0) == 0) {
        server.erase(0, 7);
    }
    while (!server.empty() && server.back() == '/') server.pop_back();
    origin.host = server;
    origin.port = origin.https && port == kDownloadPort ? kHttpsPort : port;
    return origin;
}

// The signature at DOWNLOAD_PATH + ".sig", when LIST_PUBLIC_KEY asks for one.
bool SignatureHolds(CoreContext& ctx, const Origin& origin, const std::string& list) {
    std::string key = ctx.userConfig.LIST_PUBLIC_KEY.Get();
    if (key.empty()) return true;
    Response response;
    long status = 0;
    CURLcode code = CURLE_OK;
    std::string where;
    FetchEnd end = Fetch(ctx, origin, std::string(ctx.userConfig.DOWNLOAD_PATH) + ".sig", kSignatureLimit, response,
                         status, code, where);
    if (!Received(ctx, end, response, status, code, where, "list signature")) {
        WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: downloaded list unsigned, refused");
        return false;
    }
    if (!VerifyListSignature(list, response.body, key)) {
        WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: downloaded list signature does not verify, refused");
        return false;
    }
    return true;
}

}  // namespace

DownloadOutcome DownloadConnList(CoreContext& ctx, DownloadState& state, int32_t port) {
    Origin origin = OriginOf(ctx, port);
    Response response;
    long status = 0;
    CURLcode code = CURLE_OK;
    std::string where;
    FetchEnd end = Fetch(ctx, origin, ctx.userConfig.DOWNLOAD_PATH, kDownloadBufferSize, response, status, code, where);
    if (!Received(ctx, end, response, status, code, where, "list")) return DownloadOutcome::Failed;
    const std::string& body = response.body;
    if (body.empty()) return DownloadOutcome::Failed;
    // A list whose last line has no end was cut on its way: its last port or
    // code may be a wrong one.
    if (body.back() != '\n') {
        WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: downloaded list cut, its last line has no line end");
        return DownloadOutcome::Failed;
    }
    if (!SignatureHolds(ctx, origin, body)) return DownloadOutcome::Failed;

    std::memcpy(state.downloadBuffer, body.data(), body.size());
    state.downloadLength = static_cast<uint32_t>(body.size());
    state.downloadBuffer[body.size()] = '\0';
    state.downloadedListTime = ReadDownloadedListTime(state);
    if (ValidateDownloadedList(state) == UpdateResult::ListRejected) {
        WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: parse downloaded config file failed");
        return DownloadOutcome::Failed;
    }
    // Without the file the detection on the new list fails and is retried;
    // the list itself stays usable in memory.
    WriteListFile(DataFilePath(ctx, kNewConnConfigName), state.downloadBuffer, state.downloadLength);
    return DownloadOutcome::Succeeded;
}
