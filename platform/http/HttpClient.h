// Blocking HTTP(S) GET requests, for a worker thread. Nothing here knows a
// program: the user agent, the certificate authorities and the limits come in
// as parameters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace pallorwind::platform {

struct HttpLimits {
    long connectTimeoutMs = 15000; // to set up the connection (TCP and TLS)
    long totalTimeoutMs = 60000;   // for the whole request
    // A transfer slower than 1 byte/s for this long ends as a time-out.
    long stallTimeoutMs = 30000;
};

struct HttpClientOptions {
    std::string userAgent;
    // Certificate authorities (PEM file) to verify servers with; empty: the
    // system's. Certificates and host names are always verified.
    std::string caFile;
    int maxRedirects = 5;
};

enum class HttpOutcome {
    Completed,      // the whole body was delivered
    Stopped,        // the body sink asked to stop; what it took is valid
    Cancelled,      // the progress callback asked to stop
    Refused,        // the URL is neither https nor http to this computer: no request
    HttpError,      // the server answered with a status of 400 or more
    ConnectFailed,  // no response: name, connection, TLS, protocol or redirect refused
    TimedOut,       // connect, total or stall time-out
    TransferFailed, // the response started and then broke off
};

struct HttpResult {
    HttpOutcome outcome = HttpOutcome::ConnectFailed;
    long status = 0;         // the final response's status, 0 when none came
    bool responded = false;  // a response's header block arrived
    std::uint64_t bytes = 0; // body bytes handed to the sink
    std::string error;       // the library's description of a failure
};

class HttpClient {
public:
    virtual ~HttpClient() = default;

    // Receives body bytes in order; returns false to stop the transfer.
    using BodySink = std::function<bool(const char* data, std::size_t size)>;
    // Called now and then with the bytes so far and the announced total (0
    // when unknown); returns false to cancel.
    using ProgressFn = std::function<bool(std::uint64_t done, std::uint64_t total)>;

    // GETs url, following redirects to https URLs only. Blocks until the
    // transfer ends; safe to call from any one thread at a time. Only URLs
    // that IsSecureOrLoopbackUrl accepts are fetched; any other is Refused.
    // An option that libcurl does not take (an older libcurl that lacks a
    // protocol limit, say) makes the call fail without a request.
    virtual HttpResult Get(const std::string& url, const HttpLimits& limits, const BodySink& sink,
                           const ProgressFn& progress = {}) = 0;
};

// The client over libcurl; null when the library cannot be set up.
std::unique_ptr<HttpClient> CreateHttpClient(const HttpClientOptions& options);

const char* HttpOutcomeText(HttpOutcome outcome);

// Whether url is https, or plain http to this computer's loopback host
// written literally as "localhost", "127.0.0.1" or "[::1]" (which nothing on
// the network can come between). Parsed as libcurl parses it, so that a user
// part ("http://127.0.0.1@example.com/") cannot pass for the host.
bool IsSecureOrLoopbackUrl(const std::string& url);

} // namespace pallorwind::platform
