#include "detect/CheckInternet.h"

#include <string>

#include <curl/curl.h>

#include "core/CoreContext.h"
#include "core/WriteLog.h"

namespace {

// The body is never read: the first bytes of it end the transfer, after the
// status line is known.
size_t StopAtBody(char*, size_t, size_t, void*) {
    return 0;
}

std::string IndexUrl(const char* host, int32_t port) {
    return std::string("http://") + host + ":" + std::to_string(static_cast<uint16_t>(port)) +
           "/index.html";
}

struct EasyHandle {
    EasyHandle() : curl(curl_easy_init()) {}
    ~EasyHandle() {
        if (curl != nullptr) curl_easy_cleanup(curl);
    }
    EasyHandle(const EasyHandle&) = delete;
    EasyHandle& operator=(const EasyHandle&) = delete;
    CURL* curl;
};

}  // namespace

DetectionResult CheckInternet(CoreContext& ctx) {
    return CheckInternet(ctx, kInternetConnectTimeoutMs, kInternetRequestTimeoutMs);
}

DetectionResult CheckInternet(CoreContext& ctx, long connectTimeoutMs, long requestTimeoutMs) {
    std::string hostText = ctx.userConfig.TEST_INTERNET_SERVER.Get();
    const char* host = hostText.c_str();
    int32_t port = ctx.userConfig.TEST_INTERNET_PORT;
    WriteLog(ctx, DETECT, DUMP, "check internet using %s (%d)", host, port);

    EasyHandle handle;
    if (handle.curl == nullptr) {
        WriteLog(ctx, DETECT, MAJOR, "ERROR: check internet connection failed(%d)",
                 static_cast<int>(CURLE_FAILED_INIT));
        return DetectionResult::InternetCheckFailed;
    }
    CURL* curl = handle.curl;
    std::string url = IndexUrl(host, port);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "checkInternet");
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 30L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, requestTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, StopAtBody);

    CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK && code != CURLE_WRITE_ERROR) {
        WriteLog(ctx, DETECT, MAJOR, "ERROR: check internet connection failed(%d)",
                 static_cast<int>(code));
        return DetectionResult::InternetCheckFailed;
    }
    long status = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
    if (status != 200) {
        WriteLog(ctx, DETECT, MAJOR, "ERROR: http status isn't ok");
        return DetectionResult::InternetCheckFailed;
    }
    return DetectionResult::Ok;
}
