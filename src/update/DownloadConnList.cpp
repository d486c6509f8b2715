#include "update/DownloadConnList.h"

#include <cstring>
#include <string>

#include <curl/curl.h>

#include "catalogue/ConnConfig.h"
#include "core/CoreContext.h"
#include "core/WriteLog.h"
#include "update/DownloadedList.h"
#include "update/ListFileWriter.h"

namespace {

constexpr long kConnectTimeoutSeconds = 60;
constexpr long kRequestTimeoutSeconds = 120;
constexpr long kMaxRedirects = 10;

// Where the body goes while it arrives: the first 2048 bytes are kept and
// the transfer is stopped as soon as more arrive, so the rest of a longer
// body is never read.
struct BodySink {
    char data[kDownloadBufferSize];
    std::size_t length = 0;
    bool cut = false;
};

size_t TakeBody(char* bytes, size_t size, size_t count, void* user) {
    BodySink* sink = static_cast<BodySink*>(user);
    std::size_t offered = size * count;
    std::size_t room = kDownloadBufferSize - sink->length;
    std::size_t taken = offered < room ? offered : room;
    std::memcpy(sink->data + sink->length, bytes, taken);
    sink->length += taken;
    if (taken < offered) sink->cut = true;  // a short count makes curl stop here
    return taken;
}

// The list's address; CURLE_URL_MALFORMAT when the settings do not make one.
CURLcode SetAddress(CURL* curl, CURLU* url, const CoreContext& ctx, int32_t port) {
    const char* path = ctx.userConfig.DOWNLOAD_PATH;
    std::string object = path[0] == '/' ? path : std::string("/") + path;
    std::string portText = std::to_string(port);
    if (curl_url_set(url, CURLUPART_SCHEME, "http", 0) != CURLUE_OK ||
        curl_url_set(url, CURLUPART_HOST, ctx.userConfig.DOWNLOAD_SERVER, 0) != CURLUE_OK ||
        curl_url_set(url, CURLUPART_PORT, portText.c_str(), 0) != CURLUE_OK ||
        curl_url_set(url, CURLUPART_PATH, object.c_str(), 0) != CURLUE_OK)
        return CURLE_URL_MALFORMAT;
    return curl_easy_setopt(curl, CURLOPT_CURLU, url);
}

void SetOptions(CURL* curl, BodySink* sink) {
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "My Session");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, TakeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, sink);
}

// The GET itself. Returns the curl code, with the deliberate stop after 2048
// bytes counted as success; *status is the final response's status.
CURLcode Fetch(const CoreContext& ctx, int32_t port, BodySink* sink, long* status) {
    *status = 0;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return CURLE_FAILED_INIT;
    CURLU* url = curl_url();
    CURLcode code = url == nullptr ? CURLE_OUT_OF_MEMORY : SetAddress(curl, url, ctx, port);
    if (code == CURLE_OK) {
        SetOptions(curl, sink);
        code = curl_easy_perform(curl);
        if (code == CURLE_WRITE_ERROR && sink->cut) code = CURLE_OK;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, status);
    }
    curl_easy_cleanup(curl);
    curl_url_cleanup(url);
    return code;
}

}  // namespace

DownloadOutcome DownloadConnList(CoreContext& ctx, DownloadState& state, int32_t port) {
    BodySink sink;
    long status = 0;
    CURLcode code = Fetch(ctx, port, &sink, &status);
    // A status that arrived is reported even when the body then failed: the
    // body of a refused request is never read.
    if (status != 0 && status != 200) {
        WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: download status not ok(%d)", static_cast<int>(status));
        return DownloadOutcome::Failed;
    }
    if (code != CURLE_OK || status != 200) {
        WriteLog(ctx, DOWNLOAD, MINOR, "ERROR: catch internet exception(%d)", static_cast<int>(code));
        return DownloadOutcome::Failed;
    }

    std::memcpy(state.downloadBuffer, sink.data, sink.length);
    state.downloadLength = static_cast<uint32_t>(sink.length);
    state.downloadBuffer[sink.length] = '\0';
    state.downloadedListTime = -1;
    if (state.downloadLength == 0) return DownloadOutcome::Failed;

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
