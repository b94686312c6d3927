// HttpClient over libcurl's easy interface.
#include "platform/http/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

namespace pallorwind::platform {

namespace {

bool GlobalInit() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

struct Transfer {
    const HttpClient::BodySink* sink = nullptr;
    const HttpClient::ProgressFn* progress = nullptr;
    std::uint64_t bytes = 0;
    bool sinkStopped = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (n == 0)
        return 0;
    if (!(*t->sink)(data, n)) {
        t->sinkStopped = true;
        return 0; // any other count than n makes libcurl end the transfer
    }
    t->bytes += n;
    return n;
}

int OnProgress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    if (t->progress == nullptr || !*t->progress)
        return 0;
    const bool go_on = (*t->progress)(static_cast<std::uint64_t>(std::max<curl_off_t>(now, 0)),
                                      static_cast<std::uint64_t>(std::max<curl_off_t>(total, 0)));
    return go_on ? 0 : 1;
}

class CurlHttpClient final : public HttpClient {
public:
    CurlHttpClient(HttpClientOptions options, CURL* easy)
        : m_options(std::move(options)), m_easy(easy) {
        m_noCache = curl_slist_append(m_noCache, "Cache-Control: no-cache");
        m_noCache = curl_slist_append(m_noCache, "Pragma: no-cache");
    }
    ~CurlHttpClient() override {
        curl_easy_cleanup(m_easy);
        curl_slist_free_all(m_noCache);
    }

    HttpResult Get(const std::string& url, const HttpLimits& limits, const BodySink& sink,
                   const ProgressFn& progress) override {
        Transfer transfer;
        transfer.sink = &sink;
        transfer.progress = &progress;
        char errorText[CURL_ERROR_SIZE] = {};

        CURL* e = m_easy;
        curl_easy_reset(e);
        curl_easy_setopt(e, CURLOPT_URL, url.c_str());
        curl_easy_setopt(e, CURLOPT_USERAGENT, m_options.userAgent.c_str());
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, m_noCache);
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, static_cast<long>(m_options.maxRedirects));
        // A redirect never leads to an unauthenticated URL.
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!m_options.caFile.empty())
            curl_easy_setopt(e, CURLOPT_CAINFO, m_options.caFile.c_str());
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
        curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
                         std::max(1L, (limits.stallTimeoutMs + 999) / 1000));
        curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
        // libcurl's default receive buffer (16 KiB) is kept: 256 KiB made a
        // 20 MB update no faster on loopback (bench/update).
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, OnProgress);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, &transfer);

        const CURLcode code = curl_easy_perform(e);

        HttpResult result;
        long status = 0;
        curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
        result.status = status;
        // A redirect that was not followed is no response to the request.
        result.responded = status != 0 && !(status >= 300 && status < 400);
        result.bytes = transfer.bytes;
        result.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
        switch (code) {
        case CURLE_OK:
            result.outcome = HttpOutcome::Completed;
            result.error.clear();
            break;
        case CURLE_WRITE_ERROR:
            result.outcome =
                transfer.sinkStopped ? HttpOutcome::Stopped : HttpOutcome::TransferFailed;
            break;
        case CURLE_ABORTED_BY_CALLBACK:
            result.outcome = HttpOutcome::Cancelled;
            break;
        case CURLE_HTTP_RETURNED_ERROR:
            result.outcome = HttpOutcome::HttpError;
            break;
        case CURLE_OPERATION_TIMEDOUT:
            result.outcome = HttpOutcome::TimedOut;
            break;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_TOO_MANY_REDIRECTS:
            result.outcome = HttpOutcome::ConnectFailed;
            result.responded = false;
            break;
        default:
            result.outcome =
                result.responded ? HttpOutcome::TransferFailed : HttpOutcome::ConnectFailed;
            break;
        }
        // The handle keeps pointers to this call's data until reset.
        curl_easy_reset(e);
        return result;
    }

private:
    HttpClientOptions m_options;
    CURL* m_easy;
    curl_slist* m_noCache = nullptr;
};

} // namespace

std::unique_ptr<HttpClient> CreateHttpClient(const HttpClientOptions& options) {
    if (!GlobalInit())
        return nullptr;
    CURL* easy = curl_easy_init();
    if (easy == nullptr)
        return nullptr;
    return std::make_unique<CurlHttpClient>(options, easy);
}

const char* HttpOutcomeText(HttpOutcome outcome) {
    switch (outcome) {
    case HttpOutcome::Completed:
        return "completed";
    case HttpOutcome::Stopped:
        return "stopped";
    case HttpOutcome::Cancelled:
        return "cancelled";
    case HttpOutcome::HttpError:
        return "HTTP error status";
    case HttpOutcome::ConnectFailed:
        return "no response";
    case HttpOutcome::TimedOut:
        return "timed out";
    case HttpOutcome::TransferFailed:
        return "transfer broke off";
    }
    return "?";
}

} // namespace pallorwind::platform
