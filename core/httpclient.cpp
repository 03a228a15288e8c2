#include "httpclient.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include <curl/curl.h>

#include "logger.h"

namespace
{

constexpr long kStallBytesPerSecond = 1;
// The service's real replies are a few KiB; anything far beyond is a broken
// or hostile peer, and the callers widen and parse the whole text.
constexpr size_t kMaxReplyBytes = 1u << 20;
const char* const kWebProtocols = "http,https";

struct ReplySink {
    std::string* response;
    size_t taken = 0;
    bool tooLarge = false;
};

size_t AppendToString(char* data, size_t size, size_t count, void* userData)
{
    auto* sink = static_cast<ReplySink*>(userData);
    if (data == nullptr || sink->response == nullptr)
        return static_cast<size_t>(-1); // libcurl ends the transfer with its write error
    const size_t bytes = size * count;
    if (bytes > kMaxReplyBytes - sink->taken) {
        sink->tooLarge = true;
        return 0;
    }
    sink->response->append(data, bytes);
    sink->taken += bytes;
    return count;
}

struct Settings {
    std::mutex mutex;
    HttpLimits limits;
};

Settings& TheSettings()
{
    static Settings settings;
    return settings;
}

bool IsSuccessStatus(long status)
{
    return status >= 200 && status < 300;
}

struct FileSink {
    CURL* handle;
    FILE* file;
    long long maxBytes;
    long long written = 0;
    bool tooLarge = false;
    long refusedStatus = 0;
};

size_t WriteToFile(char* data, size_t size, size_t count, void* userData)
{
    auto* sink = static_cast<FileSink*>(userData);
    // The status is known once the body begins: an error page or a redirect's
    // body is no picture and is not written at all.
    long status = 0;
    if (sink->written == 0 && curl_easy_getinfo(sink->handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK
        && !IsSuccessStatus(status)) {
        sink->refusedStatus = status;
        return 0;
    }
    const long long bytes = static_cast<long long>(size * count);
    if (bytes > sink->maxBytes - sink->written) {
        sink->tooLarge = true;
        return 0;
    }
    sink->written += bytes;
    return std::fwrite(data, size, count, sink->file);
}

int GoOn(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return 0;
}

// libcurl reads "Name:" with nothing after the colon as "drop that header";
// "Name;" is how it sends the header with an empty value, as the caller asked.
std::string LineForCurl(const std::string& line)
{
    const auto colon = line.find(':');
    if (colon == std::string::npos || line.find_first_not_of(" \t", colon + 1) != std::string::npos)
        return line;
    return line.substr(0, colon) + ";";
}

class HeaderList
{
public:
    ~HeaderList() { curl_slist_free_all(m_list); }
    bool Append(const std::string& line)
    {
        curl_slist* grown = curl_slist_append(m_list, LineForCurl(line).c_str());
        if (grown == nullptr)
            return false;
        m_list = grown;
        return true;
    }
    curl_slist* get() const { return m_list; }

private:
    curl_slist* m_list = nullptr;
};

// Handles of finished transfers, kept for the next ones. A handle keeps its
// open connections and TLS sessions across curl_easy_reset, so the start-up's
// requests to one service make one connection and one handshake between them.
// libcurl reuses a connection or a session only for a transfer with the same
// TLS settings (certificate file, peer and host checks), so reuse skips no
// check. Transfers running at once each take a handle of their own.
class HandlePool
{
public:
    static HandlePool& Instance()
    {
        static HandlePool pool;
        return pool;
    }
    CURL* Take()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_idle.empty()) {
                CURL* handle = m_idle.back();
                m_idle.pop_back();
                return handle;
            }
        }
        return curl_easy_init();
    }
    void Give(CURL* handle)
    {
        // Back to default options, nothing of the last caller's left.
        curl_easy_reset(handle);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_idle.size() < kMaxIdle) {
                m_idle.push_back(handle);
                return;
            }
        }
        curl_easy_cleanup(handle);
    }

private:
    HandlePool() = default;
    ~HandlePool()
    {
        for (CURL* handle : m_idle)
            curl_easy_cleanup(handle);
    }
    HandlePool(const HandlePool&) = delete;
    HandlePool& operator=(const HandlePool&) = delete;

    // Each idle handle may hold a connection open; a few are enough.
    static constexpr size_t kMaxIdle = 2;
    std::mutex m_mutex;
    std::vector<CURL*> m_idle;
};

class EasyHandle
{
public:
    EasyHandle()
        : m_handle(HandlePool::Instance().Take())
    {
    }
    ~EasyHandle()
    {
        if (m_handle != nullptr)
            HandlePool::Instance().Give(m_handle);
    }
    EasyHandle(const EasyHandle&) = delete;
    EasyHandle& operator=(const EasyHandle&) = delete;
    CURL* get() const { return m_handle; }

private:
    CURL* m_handle;
};

void SetTls(CURL* curl, const char* caPath)
{
    // Verification stays on either way: the requests carry passwords.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    if (caPath != nullptr)
        curl_easy_setopt(curl, CURLOPT_CAINFO, caPath);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
}

int Transfer(const std::string& url, const std::string* body, std::string* response,
    const std::vector<std::string>* headers, const char* caPath)
{
    EasyHandle curl;
    if (curl.get() == nullptr)
        return CURLE_FAILED_INIT;
    ReplySink sink { response };
    const size_t keptBytes = response != nullptr ? response->size() : 0;

    HeaderList list;
    if (headers == nullptr) {
        if (body != nullptr && !list.Append("Content-Type:application/json"))
            return CURLE_OUT_OF_MEMORY;
    } else {
        for (const auto& line : *headers) {
            if (!list.Append(line))
                return CURLE_OUT_OF_MEMORY;
        }
    }

    CURL* h = curl.get();
    if (list.get() != nullptr)
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    if (body != nullptr) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body->data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
    }
    curl_easy_setopt(h, CURLOPT_READFUNCTION, static_cast<curl_read_callback>(nullptr));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &AppendToString);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    SetTls(h, caPath);
    const HttpLimits limits = HttpClient::Limits();
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.requestTimeout.count()));
    char detail[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);

    const CURLcode result = curl_easy_perform(h);
    if (sink.tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
        // A cut reply could still parse as a success; the caller gets none.
        if (response != nullptr)
            response->resize(keptBytes);
        WriteLog(LogError, "reply larger than %zu bytes, transfer stopped", kMaxReplyBytes);
        return CURLE_FILESIZE_EXCEEDED;
    }
    // The callers judge only the reply text, which cannot tell a refused
    // connection from an untrusted certificate; the log can.
    if (result != CURLE_OK)
        WriteLog(LogError, "%s %s failed: %s", body != nullptr ? "POST" : "GET", CutForLog(url).c_str(),
            detail[0] != '\0' ? detail : curl_easy_strerror(result));
    return result;
}

} // namespace

DownloadBudget::DownloadBudget()
    : DownloadBudget(HttpClient::Limits().batchDeadline, HttpClient::Limits().batchMaxBytes)
{
}

DownloadBudget::DownloadBudget(std::chrono::milliseconds total, long long maxBytes)
    : m_deadline(std::chrono::steady_clock::now() + total)
    , m_maxBytes(maxBytes)
{
}

std::chrono::milliseconds DownloadBudget::TimeLeft() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        m_deadline - std::chrono::steady_clock::now());
}

HttpClient* HttpClient::GetInstance()
{
    static HttpClient instance;
    return &instance;
}

HttpLimits HttpClient::Limits()
{
    Settings& settings = TheSettings();
    std::lock_guard<std::mutex> lock(settings.mutex);
    return settings.limits;
}

void HttpClient::SetLimits(const HttpLimits& limits)
{
    Settings& settings = TheSettings();
    std::lock_guard<std::mutex> lock(settings.mutex);
    settings.limits = limits;
}

int HttpClient::Post(const std::string& url, const std::string& body, std::string* response,
    const std::vector<std::string>* headers, const char* caPath)
{
    return Transfer(url, &body, response, headers, caPath);
}

int HttpClient::Get(const std::string& url, std::string* response, const std::vector<std::string>* headers,
    const char* caPath)
{
    return Transfer(url, nullptr, response, headers, caPath);
}

int HttpClient::Download(const std::string& url, const std::string& localPath)
{
    return Download(url, localPath, nullptr);
}

int HttpClient::Download(
    const std::string& url, const std::string& localPath, const char* caPath, DownloadBudget* budget)
{
    using std::chrono::milliseconds;
    const HttpLimits limits = Limits();
    milliseconds deadline = limits.downloadDeadline;
    long long maxBytes = limits.downloadMaxBytes;
    bool budgetsDeadline = false;
    if (budget != nullptr) {
        const milliseconds timeLeft = budget->TimeLeft();
        if (timeLeft <= milliseconds(0) || budget->BytesLeft() <= 0) {
            WriteLog(LogError, "download budget spent, not fetched: %s", CutForLog(url).c_str());
            return -1;
        }
        budgetsDeadline = timeLeft < deadline;
        deadline = std::min(deadline, timeLeft);
        maxBytes = std::min(maxBytes, budget->BytesLeft());
    }
    EasyHandle curl;
    if (curl.get() == nullptr)
        return -1;
    FILE* file = std::fopen(localPath.c_str(), "wb");
    if (file == nullptr)
        return -1;
    CURL* h = curl.get();
    FileSink sink { h, file, maxBytes };
    // Only a file this call made or truncated goes; a device given as the
    // path (or anything that is not a plain file) stays.
    auto fail = [&localPath] {
        std::error_code ec;
        if (std::filesystem::is_regular_file(std::filesystem::symlink_status(localPath, ec)))
            std::filesystem::remove(localPath, ec);
        return -1;
    };

    if (curl_easy_setopt(h, CURLOPT_URL, url.c_str()) != CURLE_OK
        || curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteToFile) != CURLE_OK
        || curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink) != CURLE_OK
        // Addresses come from the cloud's replies: no local files, no other schemes.
        || curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, kWebProtocols) != CURLE_OK
        // A redirect is answered as a failure rather than followed.
        || curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) != CURLE_OK) {
        std::fclose(file);
        return fail();
    }
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &GoOn);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    // The start-up waits for this call, so a silent server must not hold it forever.
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
    if (caPath != nullptr)
        curl_easy_setopt(h, CURLOPT_CAINFO, caPath);
    // libcurl counts the stall guard in whole seconds.
    const long stallSeconds
        = std::max<long>(1, static_cast<long>((limits.downloadStall.count() + 999) / 1000));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    // A slow but steady trickle passes the stall guard; the start-up still
    // must not wait for it without end.
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<long long>(1, deadline.count())));
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));

    const CURLcode result = curl_easy_perform(h);
    // The last bytes reach the disk only here; a file that could not be
    // completed is no download.
    const bool closed = std::fclose(file) == 0;
    const bool stoppedAtBound = sink.tooLarge || result == CURLE_FILESIZE_EXCEEDED;
    // A download stopped at its bound counts as the whole bound, so one cut
    // at the budget's bound spends the budget; one cut at the budget's
    // deadline (not by the stall guard) spends it too, whatever few
    // milliseconds libcurl's timer left over.
    if (budget != nullptr)
        budget->Spend(stoppedAtBound ? maxBytes : sink.written);
    if (budget != nullptr && budgetsDeadline && result == CURLE_OPERATION_TIMEDOUT
        && budget->TimeLeft() < milliseconds(100))
        budget->Spend(budget->BytesLeft());
    // 0 when no answer came at all.
    long status = sink.refusedStatus;
    if (status == 0)
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status != 0 && !IsSuccessStatus(status)) {
        WriteLog(LogError, "download answered HTTP %ld, nothing kept: %s", status, CutForLog(url).c_str());
        return fail();
    }
    if (stoppedAtBound)
        WriteLog(LogError, "download larger than %lld bytes, stopped", maxBytes);
    else if (result == CURLE_OPERATION_TIMEDOUT)
        WriteLog(LogError, "download timed out (deadline %lld ms, stall guard %ld s)",
            static_cast<long long>(deadline.count()), stallSeconds);
    return result == CURLE_OK && closed ? 0 : fail();
}
