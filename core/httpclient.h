#pragma once

#include <string>
#include <vector>

// Blocking HTTP(S) transfers over libcurl. Every call uses a libcurl handle
// of its own, so calls may come from any thread at once; a finished call's
// handle, with its open connection and TLS session, serves a later call.
// The HTTP status is not looked at: an error page is a successful transfer.
class HttpClient
{
public:
    // The process-wide client, made on first use; never null.
    static HttpClient* GetInstance();

    // POSTs `body` (any bytes, NULs included) and appends the reply body to
    // *response. `headers` are whole lines such as "Content-Type:application/json";
    // null sends that one line, an empty vector none. The server's certificate
    // and host name are checked against `caPath` when given, else against the
    // system's CA store. Connect and whole-transfer time-outs are 10 s each.
    // A reply over 1 MiB ends the transfer with CURLE_FILESIZE_EXCEEDED and
    // leaves *response as it was before the call.
    // Returns libcurl's result code (0 = success).
    int Post(const std::string& url, const std::string& body, std::string* response,
        const std::vector<std::string>* headers, const char* caPath);

    // As Post, as a GET; null `headers` sends no extra line.
    int Get(const std::string& url, std::string* response, const std::vector<std::string>* headers,
        const char* caPath);

    // Writes the reply body to `localPath` (created or truncated). Only http and
    // https addresses are fetched; redirects are not followed, and could lead
    // to no other scheme. Gives up when the connection takes over 10 s, less
    // than 1 byte/s arrives for 30 s, the whole download takes over 60 s or the
    // body grows past 16 MiB.
    // Returns 0 on success, -1 on any failure; a failed download removes the
    // file it wrote. A path the file cannot be made at fails before any request.
    int Download(const std::string& url, const std::string& localPath);
    // As above, checking the server's certificate against `caPath` when given
    // (a service with a CA of its own serving its pictures).
    int Download(const std::string& url, const std::string& localPath, const char* caPath);

private:
    HttpClient() = default;
    ~HttpClient() = default;
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    struct DownloadLimits {
        long stallSeconds = 30;
        long deadlineSeconds = 60;
        long long maxBytes = 16ll << 20;
    };
    int Download(const std::string& url, const std::string& localPath, const DownloadLimits& limits,
        const char* caPath = nullptr);

    friend struct HttpClientProbe;
};
