#include "httpclient.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "logger.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace
{

HttpLimits Shortened(
    std::chrono::milliseconds request, std::chrono::milliseconds stall, std::chrono::milliseconds deadline)
{
    HttpLimits limits;
    limits.requestTimeout = request;
    limits.downloadStall = stall;
    limits.downloadDeadline = deadline;
    return limits;
}

// A self-signed certificate that also serves as its own CA, written as PEM.
bool MakeCertificate(const std::string& certPath, const std::string& keyPath, const std::string& commonName,
    const std::string& altNames, long serial)
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert)
        return false;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(
        name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    const std::vector<std::pair<int, std::string>> extensions = {
        { NID_basic_constraints, "critical,CA:TRUE" },
        { NID_key_usage, "critical,digitalSignature,keyCertSign" },
        { NID_subject_key_identifier, "hash" },
        { NID_subject_alt_name, altNames },
    };
    for (const auto& ext : extensions) {
        X509_EXTENSION* made = X509V3_EXT_conf_nid(nullptr, &ctx, ext.first, ext.second.c_str());
        if (made == nullptr)
            return false;
        X509_add_ext(cert.get(), made, -1);
        X509_EXTENSION_free(made);
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        return false;

    FILE* certFile = std::fopen(certPath.c_str(), "w");
    FILE* keyFile = std::fopen(keyPath.c_str(), "w");
    bool written = certFile && keyFile && PEM_write_X509(certFile, cert.get())
        && PEM_write_PrivateKey(keyFile, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    if (certFile)
        written = std::fclose(certFile) == 0 && written;
    if (keyFile)
        written = std::fclose(keyFile) == 0 && written;
    return written;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Holds stalling handlers until the test lets them go (or a safety limit passes).
class Gate
{
public:
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait_for(lock, 20s, [this] { return m_open; });
    }
    bool WaitFor(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, limit, [this] { return m_open; });
    }
    void Open()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = true;
        }
        m_cond.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_open = false;
};

struct Seen {
    std::string method;
    std::string path;
    std::string body;
};

class Recorder
{
public:
    void Add(const httplib::Request& req)
    {
        Seen seen { req.method, req.path, req.body };
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.push_back(std::move(seen));
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen.size();
    }
    Seen Last()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen.empty() ? Seen {} : m_seen.back();
    }

private:
    std::mutex m_mutex;
    std::vector<Seen> m_seen;
};

const std::string kReplyWithNul("reply\0tail\xff", 11);

// One server on 127.0.0.1 with an OS-chosen port, answering the routes every test uses.
class TestServer
{
public:
    TestServer(
        std::unique_ptr<httplib::Server> server, const std::string& scheme, Recorder& recorder, Gate& gate)
        : m_server(std::move(server))
        , m_scheme(scheme)
    {
        auto record = [&recorder](const httplib::Request& req, httplib::Response& res) {
            recorder.Add(req);
            res.set_content(kReplyWithNul, "application/octet-stream");
        };
        m_server->Post("/echo", record);
        m_server->Get("/echo", record);
        m_server->Get("/empty", [&recorder](const httplib::Request& req, httplib::Response& res) {
            recorder.Add(req);
            res.set_content("", "text/plain");
        });
        m_server->Get("/missing", [&recorder](const httplib::Request& req, httplib::Response& res) {
            recorder.Add(req);
            res.status = 404;
            res.set_content("no such page", "text/plain");
        });
        m_server->Get("/blob", [&recorder](const httplib::Request& req, httplib::Response& res) {
            recorder.Add(req);
            std::string blob(100000, '\0');
            for (size_t i = 0; i < blob.size(); ++i)
                blob[i] = static_cast<char>(i * 7 % 251);
            res.set_content(blob, "application/octet-stream");
        });
        auto stall = [&recorder, &gate](const httplib::Request& req, httplib::Response& res) {
            recorder.Add(req);
            gate.Wait();
            res.set_content("late", "text/plain");
        };
        m_server->Post("/stall", stall);
        m_server->Get("/stall", stall);
        // Promises 1000 bytes, sends one, then goes silent.
        m_server->Get("/trickle", [&recorder, &gate](const httplib::Request& req, httplib::Response& res) {
            recorder.Add(req);
            res.set_content_provider(
                1000, "application/octet-stream", [&gate](size_t offset, size_t, httplib::DataSink& sink) {
                    if (offset == 0)
                        sink.write("0", 1);
                    gate.Wait();
                    return false;
                });
        });
        // Streams without a length until well past every bound.
        m_server->Get("/endless", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "application/octet-stream", [](size_t offset, httplib::DataSink& sink) {
                    static const std::string chunk(64 * 1024, 'e');
                    if (offset >= (64u << 20))
                        sink.done();
                    else
                        sink.write(chunk.data(), chunk.size());
                    return true;
                });
        });
        m_server->Post("/endless", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(2u << 20, 'p'), "application/octet-stream");
        });
        m_server->Get(R"(/sized/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(std::string(std::stoul(req.matches[1]), 's'), "application/octet-stream");
        });
        // Fast enough for the stall guard, too slow to ever end in time.
        m_server->Get("/drip", [&gate](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "application/octet-stream", [&gate](size_t offset, httplib::DataSink& sink) {
                    if (offset >= 150 || gate.WaitFor(100ms))
                        sink.done();
                    else
                        sink.write("d", 1);
                    return true;
                });
        });
        m_server->Get("/to-file",
            [this](const httplib::Request&, httplib::Response& res) { res.set_redirect(m_redirectTarget); });

        // One request a connection: no idle connection of the client's keeps
        // the server from stopping at once.
        m_server->set_keep_alive_max_count(1);
        m_port = m_server->bind_to_any_port("127.0.0.1");
        if (m_port > 0) {
            m_thread = std::thread([this] { m_server->listen_after_bind(); });
            while (!m_server->is_running())
                std::this_thread::sleep_for(1ms);
        }
    }
    ~TestServer()
    {
        if (m_thread.joinable()) {
            m_server->stop();
            m_thread.join();
        }
    }
    bool Ok() const { return m_port > 0; }
    std::string Url(const std::string& path) const
    {
        return m_scheme + "://127.0.0.1:" + std::to_string(m_port) + path;
    }
    void RedirectTo(const std::string& target) { m_redirectTarget = target; }

private:
    std::unique_ptr<httplib::Server> m_server;
    std::string m_redirectTarget;
    std::string m_scheme;
    int m_port = -1;
    std::thread m_thread;
};

// Reads each request byte for byte, so the exact header lines can be checked
// (an HTTP library would parse them and drop empty values).
class RawServer
{
public:
    RawServer()
    {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
            || listen(m_listen, 8) != 0
            || getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
            return;
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~RawServer()
    {
        if (m_listen >= 0) {
            shutdown(m_listen, SHUT_RDWR);
            close(m_listen);
        }
        if (m_thread.joinable())
            m_thread.join();
    }
    bool Ok() const { return m_port > 0; }
    std::string Url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    // Header lines of the last request (request line first), and its body.
    std::pair<std::vector<std::string>, std::string> Last()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_last;
    }

private:
    void Serve()
    {
        for (;;) {
            const int conn = accept(m_listen, nullptr, nullptr);
            if (conn < 0)
                return;
            std::string data;
            char buf[4096];
            size_t headEnd;
            ssize_t n = 0;
            while ((headEnd = data.find("\r\n\r\n")) == std::string::npos
                && (n = recv(conn, buf, sizeof buf, 0)) > 0)
                data.append(buf, static_cast<size_t>(n));
            if (headEnd == std::string::npos) {
                close(conn);
                continue;
            }
            std::vector<std::string> lines;
            size_t length = 0;
            for (size_t at = 0; at < headEnd;) {
                const size_t eol = data.find("\r\n", at);
                lines.push_back(data.substr(at, eol - at));
                if (lines.back().rfind("Content-Length: ", 0) == 0)
                    length = std::stoul(lines.back().substr(16));
                at = eol + 2;
            }
            while (data.size() < headEnd + 4 + length && (n = recv(conn, buf, sizeof buf, 0)) > 0)
                data.append(buf, static_cast<size_t>(n));
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_last = { lines, data.substr(headEnd + 4) };
            }
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: "
                + std::to_string(kReplyWithNul.size()) + "\r\nConnection: close\r\n\r\n" + kReplyWithNul;
            send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
            close(conn);
        }
    }

    int m_listen = -1;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::pair<std::vector<std::string>, std::string> m_last;
};

class HttpClientTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/httpclient-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        s_dir = pattern;
        ASSERT_TRUE(MakeCertificate(
            Path("good.pem"), Path("good.key"), "127.0.0.1", "IP:127.0.0.1,DNS:localhost", 1));
        ASSERT_TRUE(MakeCertificate(
            Path("other.pem"), Path("other.key"), "127.0.0.1", "IP:127.0.0.1,DNS:localhost", 2));
        ASSERT_TRUE(MakeCertificate(
            Path("wronghost.pem"), Path("wronghost.key"), "other.example", "DNS:other.example", 3));
    }
    static void TearDownTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(s_dir, ignored);
    }
    void SetUp() override
    {
        m_http
            = std::make_unique<TestServer>(std::make_unique<httplib::Server>(), "http", m_recorder, m_gate);
        ASSERT_TRUE(m_http->Ok());
    }
    void TearDown() override
    {
        HttpClient::SetLimits(HttpLimits {});
        m_gate.Open();
        m_http.reset();
    }
    std::unique_ptr<TestServer> Https(const std::string& stem)
    {
        auto server
            = std::make_unique<httplib::SSLServer>(Path(stem + ".pem").c_str(), Path(stem + ".key").c_str());
        if (!server->is_valid())
            return nullptr;
        auto made = std::make_unique<TestServer>(std::move(server), "https", m_recorder, m_gate);
        return made->Ok() ? std::move(made) : nullptr;
    }
    static std::string Path(const std::string& name) { return s_dir + "/" + name; }

    static std::string s_dir;
    Recorder m_recorder;
    Gate m_gate;
    std::unique_ptr<TestServer> m_http;
    HttpClient* m_client = HttpClient::GetInstance();
};

std::string HttpClientTest::s_dir;

} // namespace

TEST_F(HttpClientTest, SendsExactlyTheHeaderLinesAsked)
{
    RawServer raw;
    ASSERT_TRUE(raw.Ok());
    const std::vector<std::string> cloudLines
        = { "Content-Type:application/json", "X-LC-Id:app-id", "X-LC-Key:" };
    const std::vector<std::string> none;
    const std::string body = "{\"a\":1}";
    struct Case {
        const char* name;
        bool post;
        const std::vector<std::string>* headers;
        std::vector<std::string> lines; // besides the request line, Host, Accept and Content-Length
    };
    const std::vector<Case> cases = {
        { "post, null lines", true, nullptr, { "Content-Type:application/json" } },
        { "post, given lines", true, &cloudLines,
            { "Content-Type:application/json", "X-LC-Id:app-id", "X-LC-Key:" } },
        { "post, empty vector", true, &none, { "Content-Type: application/x-www-form-urlencoded" } },
        { "get, null lines", false, nullptr, {} },
        { "get, empty vector", false, &none, {} },
        { "get, given lines", false, &cloudLines,
            { "Content-Type:application/json", "X-LC-Id:app-id", "X-LC-Key:" } },
    };
    const std::string host = "Host: " + raw.Url("").substr(std::string("http://").size());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string response;
        const int rc = c.post ? m_client->Post(raw.Url("/echo"), body, &response, c.headers, nullptr)
                              : m_client->Get(raw.Url("/echo"), &response, c.headers, nullptr);
        EXPECT_EQ(rc, CURLE_OK);
        EXPECT_EQ(response, kReplyWithNul);
        const auto seen = raw.Last();
        ASSERT_FALSE(seen.first.empty());
        EXPECT_EQ(seen.first.front(), c.post ? "POST /echo HTTP/1.1" : "GET /echo HTTP/1.1");
        std::vector<std::string> rest;
        std::vector<std::string> own;
        for (size_t i = 1; i < seen.first.size(); ++i) {
            const std::string& line = seen.first[i];
            const bool libcurls
                = line == host || line == "Accept: */*" || line.rfind("Content-Length: ", 0) == 0;
            (libcurls ? own : rest).push_back(line);
        }
        EXPECT_EQ(rest, c.lines);
        std::vector<std::string> expectedOwn = { host, "Accept: */*" };
        if (c.post)
            expectedOwn.push_back("Content-Length: " + std::to_string(body.size()));
        EXPECT_EQ(own, expectedOwn);
        EXPECT_EQ(seen.second, c.post ? body : "");
    }
}

TEST_F(HttpClientTest, CarriesEveryByteAndAppendsToTheReply)
{
    const std::string body("{\0}\xff\r\n", 6);
    std::string response = "kept:";
    EXPECT_EQ(m_client->Post(m_http->Url("/echo"), body, &response, nullptr, nullptr), CURLE_OK);
    EXPECT_EQ(m_recorder.Last().body, body);
    EXPECT_EQ(response, "kept:" + kReplyWithNul);

    std::string empty = "x";
    EXPECT_EQ(m_client->Get(m_http->Url("/empty"), &empty, nullptr, nullptr), CURLE_OK);
    EXPECT_EQ(empty, "x");

    // Error statuses are transfers like any other.
    std::string page;
    EXPECT_EQ(m_client->Get(m_http->Url("/missing"), &page, nullptr, nullptr), CURLE_OK);
    EXPECT_EQ(page, "no such page");

    // Nowhere to put the reply: libcurl's write error.
    EXPECT_EQ(m_client->Post(m_http->Url("/echo"), body, nullptr, nullptr, nullptr), CURLE_WRITE_ERROR);
    EXPECT_EQ(m_client->Get(m_http->Url("/echo"), nullptr, nullptr, nullptr), CURLE_WRITE_ERROR);
}

TEST_F(HttpClientTest, FailedConnectionsReturnLibcurlCodes)
{
    // A port that was just free and is closed again refuses the connection.
    int closedPort = 0;
    {
        const int sock = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        ASSERT_GE(sock, 0);
        ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &size), 0);
        closedPort = ntohs(addr.sin_port);
        close(sock);
    }
    const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort) + "/echo";
    const std::string unresolved = "http://no-such-host.invalid/echo";
    struct Case {
        std::string url;
        int code;
        const char* detail;
    };
    for (const Case& c : { Case { refused, CURLE_COULDNT_CONNECT, "Failed to connect to 127.0.0.1 port" },
             Case {
                 unresolved, CURLE_COULDNT_RESOLVE_HOST, "Could not resolve host: no-such-host.invalid" } }) {
        SCOPED_TRACE(c.url);
        std::string response;
        testing::internal::CaptureStdout();
        EXPECT_EQ(m_client->Post(c.url, "{}", &response, nullptr, nullptr), c.code);
        EXPECT_EQ(m_client->Get(c.url, &response, nullptr, nullptr), c.code);
        // The log names the transport's own reason.
        const std::string out = testing::internal::GetCapturedStdout();
        for (const char* method : { "POST ", "GET " })
            EXPECT_NE(out.find(std::string(method) + c.url + " failed: " + c.detail), std::string::npos)
                << out;
        EXPECT_TRUE(response.empty());
        const std::string file = Path("unreachable.bin");
        EXPECT_EQ(m_client->Download(c.url, file), -1);
    }
    EXPECT_EQ(m_client->Get("not a url at all", nullptr, nullptr, nullptr), CURLE_URL_MALFORMAT);
}

TEST_F(HttpClientTest, VerifiesTheServerCertificate)
{
    auto good = Https("good");
    auto wrongHost = Https("wronghost");
    ASSERT_TRUE(good && wrongHost);
    const std::string goodCa = Path("good.pem");
    const std::string otherCa = Path("other.pem");
    const std::string wrongHostCa = Path("wronghost.pem");
    const std::string missingCa = Path("no-such-ca.pem");
    struct Case {
        const char* name;
        TestServer* server;
        const char* caPath;
        int code;
    };
    const std::vector<Case> cases = {
        { "self-signed against the system store", good.get(), nullptr, CURLE_PEER_FAILED_VERIFICATION },
        { "our own CA file", good.get(), goodCa.c_str(), CURLE_OK },
        { "an unrelated CA file", good.get(), otherCa.c_str(), CURLE_PEER_FAILED_VERIFICATION },
        { "trusted but for another host", wrongHost.get(), wrongHostCa.c_str(),
            CURLE_PEER_FAILED_VERIFICATION },
        { "a CA file that is not there", good.get(), missingCa.c_str(), CURLE_SSL_CACERT_BADFILE },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string posted, got;
        EXPECT_EQ(m_client->Post(c.server->Url("/echo"), "{}", &posted, nullptr, c.caPath), c.code);
        EXPECT_EQ(m_client->Get(c.server->Url("/echo"), &got, nullptr, c.caPath), c.code);
        EXPECT_EQ(posted, c.code == CURLE_OK ? kReplyWithNul : "");
        EXPECT_EQ(got, c.code == CURLE_OK ? kReplyWithNul : "");
    }
    // A download trusts only the system store.
    EXPECT_EQ(m_client->Download(good->Url("/blob"), Path("tls.bin")), -1);
}

TEST_F(HttpClientTest, DownloadsTheReplyBodyIntoTheFile)
{
    const std::string file = Path("download.bin");
    struct Case {
        const char* name;
        const char* path;
        size_t size;
    };
    const std::vector<Case> cases = {
        { "binary body", "/blob", 100000 },
        { "empty body", "/empty", 0 },
    };
    {
        std::ofstream old(file, std::ios::binary);
        old << "previous contents that must go";
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(m_client->Download(m_http->Url(c.path), file), 0);
        const std::string written = ReadFile(file);
        ASSERT_EQ(written.size(), c.size);
        if (c.size == 100000) {
            for (size_t i = 0; i < written.size(); ++i)
                ASSERT_EQ(static_cast<unsigned char>(written[i]), i * 7 % 251) << i;
        }
    }
    EXPECT_EQ(ReadFile(file), "");
}

TEST_F(HttpClientTest, RepliesBeyondTheBoundEndTheTransfer)
{
    const std::string logPath = Logger::GetInstance()->DayFilePath();
    const size_t logStart = ReadFile(logPath).size();
    const std::string bound = std::to_string(1u << 20);
    struct Case {
        const char* name;
        bool post;
        std::string path;
        int code;
        size_t size;
    };
    const std::vector<Case> cases = {
        { "endless stream", false, "/endless", CURLE_FILESIZE_EXCEEDED, 0 },
        { "2 MiB with its length", true, "/endless", CURLE_FILESIZE_EXCEEDED, 0 },
        { "one byte over", false, "/sized/" + std::to_string((1u << 20) + 1), CURLE_FILESIZE_EXCEEDED, 0 },
        { "exactly the bound", false, "/sized/" + bound, CURLE_OK, 1u << 20 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string response = "kept:";
        const int rc = c.post ? m_client->Post(m_http->Url(c.path), "{}", &response, nullptr, nullptr)
                              : m_client->Get(m_http->Url(c.path), &response, nullptr, nullptr);
        EXPECT_EQ(rc, c.code);
        // Nothing of a cut reply is handed on.
        EXPECT_EQ(response.size(), 5 + c.size);
        EXPECT_EQ(response.substr(0, 5), "kept:");
    }
    EXPECT_NE(
        ReadFile(logPath).substr(logStart).find("reply larger than " + bound + " bytes"), std::string::npos);
}

TEST_F(HttpClientTest, DownloadsOnlyWebAddressesWithinTheBound)
{
    const std::string secret = Path("secret.txt");
    {
        std::ofstream(secret) << "local secret";
    }
    m_http->RedirectTo("file://" + secret);
    const std::string logPath = Logger::GetInstance()->DayFilePath();
    const size_t logStart = ReadFile(logPath).size();
    const std::string file = Path("picture.bin");
    struct Case {
        const char* name;
        std::string url;
        int result;
    };
    const std::vector<Case> cases = {
        { "a local file", "file://" + secret, -1 },
        { "another scheme", "dict://127.0.0.1:1/x", -1 },
        { "an endless stream", m_http->Url("/endless"), -1 },
        { "one byte over", m_http->Url("/sized/" + std::to_string((16u << 20) + 1)), -1 },
        { "exactly the bound", m_http->Url("/sized/" + std::to_string(16u << 20)), 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(m_client->Download(c.url, file), c.result);
        // A stopped download leaves nothing behind.
        EXPECT_EQ(fs::exists(file), c.result == 0);
        if (c.result == 0) {
            EXPECT_EQ(fs::file_size(file), 16u << 20);
        }
    }
    EXPECT_NE(ReadFile(logPath).substr(logStart).find(
                  "download larger than " + std::to_string(16u << 20) + " bytes"),
        std::string::npos);
}

TEST_F(HttpClientTest, OnlyA2xxAnswerIsADownload)
{
    const std::string logPath = Logger::GetInstance()->DayFilePath();
    const size_t logStart = ReadFile(logPath).size();
    const std::string file = Path("answer.bin");
    // Redirects are not followed, to a picture elsewhere as little as to a local file.
    m_http->RedirectTo(m_http->Url("/blob"));
    for (const char* path : { "/missing", "/to-file" }) {
        SCOPED_TRACE(path);
        std::ofstream(file) << "old";
        EXPECT_EQ(m_client->Download(m_http->Url(path), file), -1);
        EXPECT_FALSE(fs::exists(file));
    }
    const std::string log = ReadFile(logPath).substr(logStart);
    EXPECT_NE(
        log.find("download answered HTTP 404, nothing kept: " + m_http->Url("/missing")), std::string::npos);
    EXPECT_NE(
        log.find("download answered HTTP 302, nothing kept: " + m_http->Url("/to-file")), std::string::npos);
    EXPECT_EQ(m_recorder.Count(), 1u); // the redirect's target was never asked for
}

TEST_F(HttpClientTest, ABudgetBoundsASeriesOfDownloads)
{
    const std::string logPath = Logger::GetInstance()->DayFilePath();
    const size_t logStart = ReadFile(logPath).size();
    const std::string file = Path("budget.bin");
    DownloadBudget bytes(std::chrono::minutes(1), 150000);
    EXPECT_EQ(m_client->Download(m_http->Url("/blob"), file, nullptr, &bytes), 0);
    EXPECT_EQ(bytes.BytesLeft(), 50000);
    EXPECT_EQ(m_client->Download(m_http->Url("/blob"), file, nullptr, &bytes), -1);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_NE(ReadFile(logPath).substr(logStart).find("download larger than 50000 bytes"), std::string::npos);
    DownloadBudget spent(std::chrono::minutes(1), 100000);
    EXPECT_EQ(m_client->Download(m_http->Url("/blob"), file, nullptr, &spent), 0);
    const size_t asked = m_recorder.Count();
    EXPECT_EQ(m_client->Download(m_http->Url("/blob"), file, nullptr, &spent), -1);
    EXPECT_EQ(m_recorder.Count(), asked); // refused before any request

    // A download the stall guard ends leaves the rest of the series its time.
    HttpClient::SetLimits(Shortened(10s, 1s, 60s));
    DownloadBudget stalled(1min, 1 << 20);
    EXPECT_EQ(m_client->Download(m_http->Url("/trickle"), file, nullptr, &stalled), -1);
    EXPECT_EQ(m_client->Download(m_http->Url("/blob"), file, nullptr, &stalled), 0);

    // The time of the series runs out in the middle of a download, which stops there.
    HttpClient::SetLimits(Shortened(10s, 30s, 60s));
    DownloadBudget time(300ms, 1 << 20);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(m_client->Download(m_http->Url("/drip"), file, nullptr, &time), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 250ms);
    EXPECT_EQ(m_client->Download(m_http->Url("/blob"), file, nullptr, &time), -1);
    EXPECT_NE(ReadFile(logPath).substr(logStart).find(
                  "download budget spent, not fetched: " + m_http->Url("/blob")),
        std::string::npos);
}

TEST_F(HttpClientTest, DownloadFailsWithoutARequestWhenTheFileCannotBeMade)
{
    const size_t before = m_recorder.Count();
    EXPECT_EQ(m_client->Download(m_http->Url("/blob"), Path("no-such-folder/x.bin")), -1);
    EXPECT_EQ(m_client->Download(m_http->Url("/blob"), s_dir), -1); // a folder, not a file
    EXPECT_EQ(m_recorder.Count(), before);
    EXPECT_FALSE(fs::exists(Path("no-such-folder")));
}

TEST_F(HttpClientTest, DownloadThatCannotBeStoredFails)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    // Small enough to sit in the stdio buffer: the failure shows only when the file is closed.
    EXPECT_EQ(m_client->Download(m_http->Url("/missing"), "/dev/full"), -1);
    EXPECT_EQ(m_client->Download(m_http->Url("/blob"), "/dev/full"), -1);
}

TEST_F(HttpClientTest, StalledServerEndsEveryTransfer)
{
    // All run at once so the test waits for the time-outs only once.
    HttpClient::SetLimits(Shortened(500ms, 1s, 20s));
    std::atomic<int> postCode { -100 }, getCode { -100 }, downloadCode { -100 };
    std::string postReply, getReply;
    const std::string partial = Path("partial.bin");
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    Clock::duration postTook {}, getTook {}, downloadTook {};
    std::thread post([&] {
        postCode = m_client->Post(m_http->Url("/stall"), "{}", &postReply, nullptr, nullptr);
        postTook = Clock::now() - begin;
    });
    std::thread get([&] {
        getCode = m_client->Get(m_http->Url("/stall"), &getReply, nullptr, nullptr);
        getTook = Clock::now() - begin;
    });
    std::thread download([&] {
        downloadCode = m_client->Download(m_http->Url("/trickle"), partial);
        downloadTook = Clock::now() - begin;
    });
    post.join();
    get.join();
    download.join();

    EXPECT_EQ(postCode, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(getCode, CURLE_OPERATION_TIMEDOUT);
    for (auto took : { postTook, getTook }) {
        EXPECT_GE(took, 450ms);
        EXPECT_LT(took, 5s);
    }
    EXPECT_TRUE(postReply.empty());
    EXPECT_TRUE(getReply.empty());

    EXPECT_EQ(downloadCode, -1);
    EXPECT_GE(downloadTook, 900ms);
    EXPECT_LT(downloadTook, 8s);
    EXPECT_FALSE(fs::exists(partial));

    // A trickle the stall guard lets pass still ends at the overall deadline.
    HttpClient::SetLimits(Shortened(10s, 30s, 700ms));
    const std::string dripped = Path("dripped.bin");
    const auto dripBegin = Clock::now();
    EXPECT_EQ(m_client->Download(m_http->Url("/drip"), dripped), -1);
    const auto dripTook = Clock::now() - dripBegin;
    EXPECT_GE(dripTook, 650ms);
    EXPECT_LT(dripTook, 8s);
    EXPECT_FALSE(fs::exists(dripped));
    m_gate.Open();
}

TEST(HttpClient, OneInstanceForTheProcess)
{
    std::vector<HttpClient*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = HttpClient::GetInstance(); });
    for (auto& thread : threads)
        thread.join();
    for (auto* client : seen) {
        EXPECT_NE(client, nullptr);
        EXPECT_EQ(client, seen.front());
    }
}
