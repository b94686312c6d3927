// HttpClient over libcurl's easy interface.
#include "platform/http/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <strings.h>

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

// Whether url may be fetched, and if so whether it is plain http to this
// computer (true) or https (false); no value for any other URL.
std::optional<bool> PlainLoopback(const std::string& url) {
    CURLU* parsed = curl_url();
    if (parsed == nullptr)
        return std::nullopt;
    char* scheme = nullptr;
    char* host = nullptr;
    std::optional<bool> verdict;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
        if (strcasecmp(scheme, "https") == 0)
            verdict = false;
        else if (strcasecmp(scheme, "http") == 0 &&
                 (strcasecmp(host, "localhost") == 0 || std::strcmp(host, "127.0.0.1") == 0 ||
                  std::strcmp(host, "[::1]") == 0))
            verdict = true;
    }
    curl_free(scheme);
    curl_free(host);
    curl_url_cleanup(parsed);
    return verdict;
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
        HttpResult result;
        const std::optional<bool> plainLoopback = PlainLoopback(url);
        if (!plainLoopback) {
            result.outcome = HttpOutcome::Refused;
            result.error = "not an https URL";
            return result;
        }
        Transfer transfer;
        transfer.sink = &sink;
        transfer.progress = &progress;
        char errorText[CURL_ERROR_SIZE] = {};

        CURL* e = m_easy;
        curl_easy_reset(e);
        // Every option counts: one that libcurl does not take (an older
        // libcurl without the protocol limits, say) would let the request
        // go out with less protection than asked for, so none is made.
        CURLcode set = CURLE_OK;
        const auto option = [&](CURLoption which, auto value) {
            if (set == CURLE_OK)
                set = curl_easy_setopt(e, which, value);
        };
        option(CURLOPT_URL, url.c_str());
        option(CURLOPT_USERAGENT, m_options.userAgent.c_str());
        option(CURLOPT_HTTPHEADER, m_noCache);
        option(CURLOPT_ERRORBUFFER, errorText);
        option(CURLOPT_NOSIGNAL, 1L);
        // Plain http only where the URL itself is plain http to this
        // computer; a redirect never leads to an unauthenticated URL.
        option(CURLOPT_PROTOCOLS_STR, *plainLoopback ? "http,https" : "https");
        option(CURLOPT_FOLLOWLOCATION, 1L);
        option(CURLOPT_MAXREDIRS, static_cast<long>(m_options.maxRedirects));
        option(CURLOPT_REDIR_PROTOCOLS_STR, "https");
        option(CURLOPT_SSL_VERIFYPEER, 1L);
        option(CURLOPT_SSL_VERIFYHOST, 2L);
        if (!m_options.caFile.empty())
            option(CURLOPT_CAINFO, m_options.caFile.c_str());
        option(CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
        option(CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);
        option(CURLOPT_LOW_SPEED_LIMIT, 1L);
        option(CURLOPT_LOW_SPEED_TIME, std::max(1L, (limits.stallTimeoutMs + 999) / 1000));
        option(CURLOPT_FAILONERROR, 1L);
        // libcurl's default receive buffer (16 KiB) is kept: 256 KiB made a
        // 20 MB update no faster on loopback (bench/update).
        option(CURLOPT_WRITEFUNCTION, OnBody);
        option(CURLOPT_WRITEDATA, &transfer);
        option(CURLOPT_NOPROGRESS, 0L);
        option(CURLOPT_XFERINFOFUNCTION, OnProgress);
        option(CURLOPT_XFERINFODATA, &transfer);
        if (set != CURLE_OK) {
            curl_easy_reset(e);
            result.error = std::string("cannot set up the request: ") + curl_easy_strerror(set);
            return result;
        }

        const CURLcode code = curl_easy_perform(e);

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

bool IsSecureOrLoopbackUrl(const std::string& url) {
    return PlainLoopback(url).has_value();
}

const char* HttpOutcomeText(HttpOutcome outcome) {
    switch (outcome) {
    case HttpOutcome::Completed:
        return "completed";
    case HttpOutcome::Stopped:
        return "stopped";
    case HttpOutcome::Cancelled:
        return "cancelled";
    case HttpOutcome::Refused:
        return "refused: not an https URL";
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
