#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include "../childprocess.h"
#include "cloudserverprocess.h"

extern char** environ;

namespace
{

struct Reply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
};

size_t Sink(char* data, size_t size, size_t count, void* out)
{
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// One HTTPS request that verifies the server against caFile (empty: the
// system store), with exactly the header lines given.
Reply Fetch(const std::string& method, const std::string& url, const std::string& caFile,
    const std::vector<std::string>& headers = {}, const std::string* body = nullptr)
{
    Reply reply;
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    for (const std::string& h : headers)
        list = curl_slist_append(list, h.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (body) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Sink);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    if (!caFile.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    reply.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return reply;
}

Reply Post(const CloudServerProcess& server, const std::string& path, const std::string& body)
{
    return Fetch(
        "POST", server.BaseUrl() + path, server.CaFile(), { "Content-Type:application/json" }, &body);
}

Json::Value Parse(const std::string& text)
{
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    if (!r->parse(text.data(), text.data() + text.size(), &v, &errors))
        return Json::Value("not json: " + text);
    return v;
}

// The service's error shape: an object with a numeric code and a text.
void ExpectError(const Reply& reply, long status, int code)
{
    EXPECT_EQ(reply.status, status) << reply.body;
    Json::Value v = Parse(reply.body);
    ASSERT_TRUE(v.isObject()) << reply.body;
    EXPECT_EQ(v["code"].asInt(), code) << reply.body;
    EXPECT_TRUE(v["error"].isString() && !v["error"].asString().empty()) << reply.body;
}

mode_t Mode(const std::string& path)
{
    struct stat st {
    };
    stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

class CloudServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
    }
    CloudServerProcess server;
};

TEST_F(CloudServerTest, CertificateVerifiesForBothLocalNamesAndIsKeptAcrossRestarts)
{
    const std::string path = "/1.1/classes/BootPageConfig";
    for (const std::string& host : { std::string("127.0.0.1"), std::string("localhost") }) {
        Reply r
            = Fetch("GET", "https://" + host + ":" + std::to_string(server.Port()) + path, server.CaFile());
        EXPECT_EQ(r.code, CURLE_OK) << host << ": " << curl_easy_strerror(r.code);
        EXPECT_EQ(r.status, 200) << host;
    }
    // Without our CA the system store must refuse it: the client really verifies.
    Reply untrusted = Fetch("GET", server.BaseUrl() + path, "");
    EXPECT_EQ(untrusted.code, CURLE_PEER_FAILED_VERIFICATION);

    EXPECT_EQ(Mode(server.DataDir() + "/ca-key.pem"), 0600u);
    EXPECT_EQ(Mode(server.DataDir() + "/server-key.pem"), 0600u);
    const std::string ca = ReadWholeFile(server.CaFile());
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(ReadWholeFile(server.CaFile()), ca);
    EXPECT_EQ(Fetch("GET", server.BaseUrl() + path, server.CaFile()).code, CURLE_OK);
}

TEST_F(CloudServerTest, ServersStartedAtOnceOnOneEmptyDataFolderAgree)
{
    const std::string root = std::filesystem::path(server.DataDir()).parent_path().string();
    for (int round = 0; round < 3; ++round) {
        const std::string data = root + "/shared" + std::to_string(round);
        std::vector<pid_t> pids(4, -1);
        // Every server started here ends with the test, even a failed one.
        std::shared_ptr<void> reaper(nullptr, [&pids](void*) {
            for (pid_t pid : pids)
                if (pid > 0 && kill(pid, SIGKILL) == 0)
                    waitpid(pid, nullptr, 0);
        });
        for (size_t i = 0; i < pids.size(); ++i) {
            posix_spawn_file_actions_t out;
            posix_spawn_file_actions_init(&out);
            const std::string path = data + "." + std::to_string(i);
            posix_spawn_file_actions_addopen(&out, STDOUT_FILENO, path.c_str(), O_WRONLY | O_CREAT, 0600);
            std::string args[] = { CLOUD_SERVER_PATH, "--port", "0", "--data", data };
            char* argv[]
                = { args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(), nullptr };
            ASSERT_EQ(posix_spawn(&pids[i], argv[0], &out, nullptr, argv, environ), 0);
            posix_spawn_file_actions_destroy(&out);
        }
        for (size_t i = 0; i < pids.size(); ++i) {
            std::string line;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while ((line = ReadWholeFile(data + "." + std::to_string(i))).find('\n') == std::string::npos
                && waitpid(pids[i], nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ASSERT_NE(line.find('\n'), std::string::npos) << "server " << i << " ended without serving";
            const Reply r = Fetch("GET", line.substr(0, line.find('\n')) + "/1.1/", data + "/ca.pem");
            EXPECT_EQ(r.code, CURLE_OK) << i << ": " << curl_easy_strerror(r.code);
        }
    }
}

TEST_F(CloudServerTest, ATakenPortIsRefusedAtStartAndAFreedOneRetaken)
{
    const int port = server.Port();
    const std::string path = "/1.1/classes/BootPageConfig";
    EXPECT_EQ(Fetch("GET", server.BaseUrl() + path, server.CaFile()).code, CURLE_OK);
    std::string error;
    ASSERT_TRUE(server.Start(&error, port)) << error; // a restart on the fixed port
    EXPECT_EQ(server.Port(), port);

    CloudServerProcess second;
    EXPECT_FALSE(second.Start(&error, port));
    EXPECT_NE(error.find("ended with 1: cloud-server: cannot listen on 127.0.0.1:" + std::to_string(port)
                  + ": the port is already in use"),
        std::string::npos)
        << error;
    // Every connection still reaches the first server.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Fetch("GET", server.BaseUrl() + path, server.CaFile()).code, CURLE_OK);
}

// What scripts/run.sh does before the terminal starts, in a build folder of
// its own whose cloud address names a port that is taken.
TEST_F(CloudServerTest, ServersScriptFailsAtATakenCloudPortAndLeavesNoServerRunning)
{
    namespace fs = std::filesystem;
    const fs::path root = fs::path(server.DataDir()).parent_path() / "tree";
    const fs::path build = root / "build";
    fs::create_directories(build / "bin");
    fs::create_directories(root / "standins" / "cloud-server");
    fs::create_directory_symlink(fs::path(QUORVEL_SOURCE_DIR) / "standins" / "cloud-server" / "demo",
        root / "standins" / "cloud-server" / "demo");
    fs::create_symlink(CLOUD_SERVER_PATH, build / "bin" / "cloud-server");
    fs::create_symlink(QUOTE_SERVER_PATH, build / "bin" / "quote-server");
    std::ofstream(build / "CMakeCache.txt")
        << "QUORVEL_CLOUD_BASE_URL:STRING=https://127.0.0.1:" << server.Port() << "\n";

    const std::string script = "set -euo pipefail; source '" QUORVEL_SOURCE_DIR "/scripts/servers.sh'; "
                               "trap stop_servers EXIT; start_servers '"
        + build.string() + "'";
    const std::string command = "bash -c \"" + script + "\" >/dev/null 2>&1";
    EXPECT_NE(std::system(command.c_str()), 0);

    const std::string cloudOut = ReadWholeFile((build / "servers" / "cloud-server.out").string());
    EXPECT_NE(cloudOut.find("already in use"), std::string::npos) << cloudOut;
    // The quote server started first; the trap has stopped it.
    const std::string quoteOut = ReadWholeFile((build / "servers" / "quote-server.out").string());
    const int quotePort = std::atoi(quoteOut.c_str()); // its first line is the port
    ASSERT_GT(quotePort, 0) << quoteOut;
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(quotePort));
    EXPECT_NE(connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(sock);
}

TEST_F(CloudServerTest, SmsCodeIsIssuedPrintedAndVerifiesOnce)
{
    const std::string phone = "13912345678";
    Reply requested = Post(server, "/1.1/requestSmsCode", R"({"mobilePhoneNumber":"13912345678"})");
    EXPECT_EQ(requested.status, 200);
    EXPECT_EQ(requested.body, "{}"); // exactly, the client compares the text
    const std::string code = server.LastSmsCode(phone);
    ASSERT_EQ(code.size(), 6u);
    EXPECT_NE(server.Output().find(phone + ": " + code), std::string::npos);

    const std::string wrong = code == "000000" ? "000001" : "000000";
    const std::string body = R"({"mobilePhoneNumber":"13912345678"})";
    ExpectError(Post(server, "/1.1/verifySmsCode/" + wrong, body), 400, 603);
    ExpectError(Post(server, "/1.1/verifySmsCode/", body), 400, 603);
    ExpectError(
        Post(server, "/1.1/verifySmsCode/" + code, R"({"mobilePhoneNumber":"13900000000"})"), 400, 603);
    Reply ok = Post(server, "/1.1/verifySmsCode/" + code, body);
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, "{}");
    ExpectError(Post(server, "/1.1/verifySmsCode/" + code, body), 400, 603);

    struct Case {
        const char* body;
        int code;
    };
    for (const Case& c : { Case { R"({"mobilePhoneNumber":"12ab"})", 127 }, Case { R"({})", 127 },
             Case { R"({"mobilePhoneNumber":5})", 127 }, Case { "not json", 107 }, Case { "[1,2]", 107 } }) {
        SCOPED_TRACE(c.body);
        ExpectError(Post(server, "/1.1/requestSmsCode", c.body), 400, c.code);
    }
}

TEST_F(CloudServerTest, UsersRegisterLogInAndSurviveARestart)
{
    Reply created
        = Post(server, "/1.1/users", R"({"password":"pw1","phone":"13911112222","username":"13911112222"})");
    EXPECT_EQ(created.status, 201);
    EXPECT_TRUE(Parse(created.body)["sessionToken"].isString()) << created.body;

    struct Case {
        const char* path;
        const char* body;
        long status;
        int code; // 0: success with a session token
    };
    const Case cases[] = {
        { "/1.1/users", R"({"password":"pw","phone":"13933334444","username":"13911112222"})", 400, 202 },
        { "/1.1/users", R"({"password":"pw","phone":"13911112222","username":"other"})", 400, 214 },
        { "/1.1/users", R"({"password":"pw","username":""})", 400, 200 },
        { "/1.1/users", R"({"password":"","username":"u"})", 400, 201 },
        { "/1.1/users", "{oops", 400, 107 },
        { "/1.1/login", R"({"password":"pw1","username":"13911112222"})", 200, 0 },
        { "/1.1/login", R"({"password":"PW1","username":"13911112222"})", 400, 210 },
        { "/1.1/login", R"({"password":"pw1","username":"13999999999"})", 400, 211 },
        { "/1.1/login", R"({"password":["pw1"],"username":"13911112222"})", 400, 201 },
    };
    for (int round = 0; round < 2; ++round) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.path) + " " + c.body + " round " + std::to_string(round));
            Reply r = Post(server, c.path, c.body);
            if (c.code == 0) {
                EXPECT_EQ(r.status, c.status);
                EXPECT_TRUE(Parse(r.body)["sessionToken"].isString()) << r.body;
            } else {
                ExpectError(r, c.status, c.code);
            }
        }
        ASSERT_TRUE(server.Start()); // the same answers from a restarted service
    }
    const std::string users = ReadWholeFile(server.DataDir() + "/users.json");
    EXPECT_NE(users.find("13911112222"), std::string::npos);
    EXPECT_EQ(users.find("pw1"), std::string::npos) << "passwords are stored hashed";
    EXPECT_EQ(Mode(server.DataDir() + "/users.json"), 0600u);
}

TEST_F(CloudServerTest, ClassQueryFiltersOrdersLimitsAndServesPictures)
{
    server.WriteClass("BootPageConfig", R"([
        {"productID":"p1","url":"old","updatedAt":"2024-01-01T00:00:00.000Z","image":{"name":"a.png","url":"/files/a.png"}},
        {"productID":"p1","url":"new","updatedAt":"2024-05-01T00:00:00.000Z","image":{"name":"b.png","url":"/files/b.png"}},
        {"productID":"p2","url":"other","updatedAt":"2024-09-01T00:00:00.000Z"}
    ])");
    server.WriteClass("Broken", "[{");
    const std::string picture("\x89PNG\r\n\x1a\n\0binary", 16);
    server.WriteFile("b.png", picture);

    const std::string where = "?where=%7B%22productID%22%3A%22p1%22%7D";
    struct Case {
        std::string query;
        std::vector<std::string> urls; // expected "url" members in order
    };
    const Case cases[] = {
        { "/1.1/classes/BootPageConfig" + where + "&limit=1&&order=-updatedAt&&", { "new" } },
        { "/1.1/classes/BootPageConfig" + where + "&order=updatedAt", { "old", "new" } },
        { "/1.1/classes/BootPageConfig?order=-updatedAt", { "other", "new", "old" } },
        { "/1.1/classes/BootPageConfig?where=%7B%22productID%22%3A%22p9%22%7D", {} },
        { "/1.1/classes/NoSuchClass" + where, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        Reply r = Fetch("GET", server.BaseUrl() + c.query, server.CaFile());
        EXPECT_EQ(r.status, 200);
        Json::Value results = Parse(r.body)["results"];
        ASSERT_TRUE(results.isArray()) << r.body;
        ASSERT_EQ(results.size(), c.urls.size()) << r.body;
        for (Json::ArrayIndex i = 0; i < results.size(); ++i)
            EXPECT_EQ(results[i]["url"].asString(), c.urls[i]);
    }

    Reply newest = Fetch("GET", server.BaseUrl() + cases[0].query, server.CaFile());
    const std::string imageUrl = Parse(newest.body)["results"][0]["image"]["url"].asString();
    EXPECT_EQ(imageUrl, server.BaseUrl() + "/files/b.png");
    Reply download = Fetch("GET", imageUrl, server.CaFile());
    EXPECT_EQ(download.status, 200);
    EXPECT_EQ(download.body, picture);

    ExpectError(Fetch("GET", server.BaseUrl() + "/files/missing.png", server.CaFile()), 404, 404);
    ExpectError(
        Fetch("GET", server.BaseUrl() + "/files/..%2FBootPageConfig.json", server.CaFile()), 404, 404);
    ExpectError(
        Fetch("GET", server.BaseUrl() + "/1.1/classes/BootPageConfig?where=nope", server.CaFile()), 400, 107);
    ExpectError(
        Fetch("GET", server.BaseUrl() + "/1.1/classes/BootPageConfig?limit=x", server.CaFile()), 400, 1);
    ExpectError(Fetch("GET", server.BaseUrl() + "/1.1/classes/Broken", server.CaFile()), 500, 1);
    ExpectError(Fetch("GET", server.BaseUrl() + "/1.2/unknown", server.CaFile()), 404, 404);
}

TEST_F(CloudServerTest, RecordsHeaderLinesAsSentIncludingEmptyValues)
{
    const std::string body = "{\"a\":\"b\"}\n";
    // "Name;" is how a curl caller asks for a header line with nothing after the colon.
    Fetch("POST", server.BaseUrl() + "/1.1/login?x=1&&y", server.CaFile(),
        { "Content-Type:application/json", "X-LC-Id;", "X-LC-Key:key1" }, &body);
    Fetch("GET", server.BaseUrl() + "/1.1/classes/channelConfig?where=a&b", server.CaFile(), { "X-LC-Key;" });

    Json::Value requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const Json::Value& post = requests[0];
    EXPECT_EQ(post["method"].asString(), "POST");
    EXPECT_EQ(post["target"].asString(), "/1.1/login?x=1&&y");
    EXPECT_EQ(post["body"].asString(), body);
    std::vector<std::string> lines;
    for (const Json::Value& l : post["headerLines"])
        lines.push_back(l.asString());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "X-LC-Id:"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "X-LC-Key:key1"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Content-Type:application/json"), lines.end());
    EXPECT_EQ(requests[1]["method"].asString(), "GET");
    EXPECT_EQ(requests[1]["body"].asString(), "");
    bool emptyKey = false;
    for (const Json::Value& l : requests[1]["headerLines"])
        emptyKey = emptyKey || l.asString() == "X-LC-Key:";
    EXPECT_TRUE(emptyKey);

    server.ClearRequests();
    EXPECT_EQ(server.Requests().size(), 0u);
}

TEST_F(CloudServerTest, ScriptedFaultsReplaceRepliesAsManyTimesAsAsked)
{
    Json::Value html;
    html["path"] = "/1.1/login";
    html["status"] = 502;
    html["contentType"] = "text/html";
    html["body"] = "<html>bad gateway</html>";
    html["times"] = 2;
    server.AddFault(html);
    Json::Value big;
    big["path"] = "/1.1/classes/";
    big["body"] = "0123456789abcdef";
    big["repeat"] = 1 << 20;
    server.AddFault(big);
    Json::Value slow;
    slow["path"] = "/1.1/requestSmsCode";
    slow["body"] = "{}";
    slow["delayMs"] = 300;
    server.AddFault(slow);

    const std::string login = R"({"password":"x","username":"y"})";
    for (int i = 0; i < 2; ++i) {
        Reply r = Post(server, "/1.1/login", login);
        EXPECT_EQ(r.status, 502);
        EXPECT_EQ(r.body, "<html>bad gateway</html>");
    }
    ExpectError(Post(server, "/1.1/login", login), 400, 211); // the fault is used up

    Reply huge = Fetch("GET", server.BaseUrl() + "/1.1/classes/BannerConfig", server.CaFile());
    EXPECT_EQ(huge.body.size(), 16u << 20);

    auto start = std::chrono::steady_clock::now();
    Reply delayed = Post(server, "/1.1/requestSmsCode", "{}");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(delayed.body, "{}");

    Json::Value forever;
    forever["path"] = "/1.1/";
    forever["body"] = "{\"results\":[{\"url\"";
    forever["times"] = -1;
    server.AddFault(forever);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Fetch("GET", server.BaseUrl() + "/1.1/classes/X", server.CaFile()).body,
            "{\"results\":[{\"url\"");
    server.ClearFaults();
    EXPECT_EQ(
        Parse(Fetch("GET", server.BaseUrl() + "/1.1/classes/X", server.CaFile()).body)["results"].size(), 0u);
    // Every one of them was recorded, faulted or not.
    EXPECT_EQ(server.Requests().size(), 9u);
}

bool Refused(int port)
{
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool refused = connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0;
    close(sock);
    return refused;
}

// A test that aborts runs none of its clean-up; the servers it started must
// end with it all the same. The aborting test is a death test's child here.
TEST(ChildProcessTest, ServersOfAnAbortedTestEndWithIt)
{
    const std::string portsFile
        = (std::filesystem::temp_directory_path() / ("servers-of-aborted-test-" + std::to_string(getpid())))
              .string();
    EXPECT_DEATH(
        {
            CloudServerProcess cloud;
            if (!cloud.Start())
                _exit(3);
            const std::string quoteOut = portsFile + ".quote";
            const int out = open(quoteOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            childprocess::SpawnTied({ QUOTE_SERVER_PATH, "--port", "0" }, -1, out);
            close(out);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (ReadWholeFile(quoteOut).find('\n') == std::string::npos
                && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::ofstream(portsFile) << cloud.Port() << " " << std::atoi(ReadWholeFile(quoteOut).c_str());
            std::abort();
        },
        "");
    std::ifstream ports(portsFile);
    int cloudPort = 0, quotePort = 0;
    ports >> cloudPort >> quotePort;
    std::filesystem::remove(portsFile);
    std::filesystem::remove(portsFile + ".quote");
    ASSERT_GT(cloudPort, 0);
    ASSERT_GT(quotePort, 0);
    // The kernel ends them as their parent goes; that takes a moment.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(Refused(cloudPort) && Refused(quotePort)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(Refused(cloudPort)) << "the cloud server outlived its test";
    EXPECT_TRUE(Refused(quotePort)) << "the quote server outlived its test";
}

} // namespace
