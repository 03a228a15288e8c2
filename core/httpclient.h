#pragma once

#include <chrono>
#include <string>
#include <vector>

// What bounds the transfers in time and size. One process-wide set, read as
// each transfer begins; tests shorten it.
struct HttpLimits {
    std::chrono::milliseconds connectTimeout { 10000 }; // every transfer
    std::chrono::milliseconds requestTimeout { 10000 }; // a whole POST or GET
    std::chrono::milliseconds downloadStall { 30000 }; // under 1 byte/s this long (whole seconds)
    std::chrono::milliseconds downloadDeadline { 60000 }; // a whole download
    long long downloadMaxBytes = 16ll << 20; // the body of one download
    // A series of downloads together (a DownloadBudget made with the defaults).
    std::chrono::milliseconds batchDeadline { 60000 };
    long long batchMaxBytes = 64ll << 20;
};

// A bound shared by a series of downloads: they end by one deadline, counted
// from the budget's making, and write at most so many bytes together. Used
// by one thread at a time.
class DownloadBudget
{
public:
    // The batch bounds of the current limits.
    DownloadBudget();
    DownloadBudget(std::chrono::milliseconds total, long long maxBytes);

    std::chrono::milliseconds TimeLeft() const;
    long long BytesLeft() const { return m_maxBytes - m_used; }
    void Spend(long long bytes) { m_used += bytes; }

private:
    std::chrono::steady_clock::time_point m_deadline;
    long long m_maxBytes;
    long long m_used = 0;
};

// Blocking HTTP(S) transfers over libcurl. Every call uses a libcurl handle
// of its own, so calls may come from any thread at once; a finished call's
// handle, with its open connection and TLS session, serves a later call.
// POST and GET do not look at the HTTP status: an error page is a reply like
// any other. A download does: only a 2xx answer is a picture.
class HttpClient
{
public:
    // The process-wide client, made on first use; never null.
    static HttpClient* GetInstance();

    // The bounds every transfer starting from now on uses (thread-safe).
    static HttpLimits Limits();
    static void SetLimits(const HttpLimits& limits);

    // POSTs `body` (any bytes, NULs included) and appends the reply body to
    // *response. `headers` are whole lines such as "Content-Type:application/json";
    // null sends that one line, an empty vector none. The server's certificate
    // and host name are checked against `caPath` when given, else against the
    // system's CA store. Connect and whole-transfer time-outs: see HttpLimits.
    // A reply over 1 MiB ends the transfer with CURLE_FILESIZE_EXCEEDED and
    // leaves *response as it was before the call.
    // Returns libcurl's result code (0 = success).
    int Post(const std::string& url, const std::string& body, std::string* response,
        const std::vector<std::string>* headers, const char* caPath);

    // As Post, as a GET; null `headers` sends no extra line.
    int Get(const std::string& url, std::string* response, const std::vector<std::string>* headers,
        const char* caPath);

    // Writes the reply body to `localPath` (created or truncated). Only http and
    // https addresses are fetched and no redirect is followed: an answer other
    // than 2xx (a redirect included) is a failed download. Gives up when the
    // connection, the stall guard, the deadline or the size bound of HttpLimits
    // is passed, or the budget (when given) is spent; it then writes nothing
    // more than the budget has left and counts what it wrote against it.
    // Returns 0 on success, -1 on any failure, each logged; a failed download
    // removes the file it wrote. A path the file cannot be made at, or a spent
    // budget, fails before any request.
    int Download(const std::string& url, const std::string& localPath);
    // As above, checking the server's certificate against `caPath` when given
    // (a service with a CA of its own serving its pictures).
    int Download(const std::string& url, const std::string& localPath, const char* caPath,
        DownloadBudget* budget = nullptr);

private:
    HttpClient() = default;
    ~HttpClient() = default;
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;
};
