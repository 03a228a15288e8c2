#include "cloudrequest.h"

#include <mutex>
#include <thread>

#include <json/reader.h>
#include <json/writer.h>

#include "cloudsettings.h"
#include "httpclient.h"
#include "platform.h"
#include "tradeconfig.h"

namespace
{

// A relative name is taken from the program's own folder, so an installed or
// moved program finds the certificate that came with it.
std::string BuiltInCaFile()
{
    const std::string name = QUORVEL_CLOUD_CA_FILE;
    if (name.empty() || name.front() == '/')
        return name;
    const std::string program = platform::ExecutablePath();
    return program.substr(0, program.rfind('/') + 1) + name;
}

struct Service {
    std::mutex mutex;
    std::string baseUrl = QUORVEL_CLOUD_BASE_URL;
    std::string caFile = BuiltInCaFile();
};

Service& TheService()
{
    static Service service;
    return service;
}

void Transfer(TradeConfig* config, const std::string& url, const std::string* body, std::string& reply)
{
    const std::vector<std::string> headers = CloudHeaderLines(*config);
    const std::string caFile = CloudCaFile();
    const char* caPath = caFile.empty() ? nullptr : caFile.c_str();
    // The transfer's result is left alone on purpose: callers judge the reply text.
    if (body)
        HttpClient::GetInstance()->Post(url, *body, &reply, &headers, caPath);
    else
        HttpClient::GetInstance()->Get(url, &reply, &headers, caPath);
}

} // namespace

std::string CloudBaseUrl()
{
    Service& s = TheService();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.baseUrl;
}

std::string CloudCaFile()
{
    Service& s = TheService();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.caFile;
}

void SetCloudService(const std::string& baseUrl, const std::string& caFile)
{
    Service& s = TheService();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.baseUrl = baseUrl;
    s.caFile = caFile;
}

std::string CloudUrl(const std::string& path)
{
    return CloudBaseUrl() + path;
}

std::string CloudClassQueryUrl(const std::string& className, const std::string& productID)
{
    return CloudUrl("/1.1/classes/" + className + "?where=%7B%22productID%22%3A%22" + productID
        + "%22%7D&limit=1&&order=-updatedAt&&");
}

std::vector<std::string> CloudHeaderLines(const TradeConfig& config)
{
    return { "Content-Type:application/json", "X-LC-Id:" + config.id, "X-LC-Key:" + config.key };
}

std::string CloudBody(const Json::Value& object)
{
    Json::FastWriter writer;
    return writer.write(object);
}

void CloudPostThreadBody(const std::string& url, const std::string& body, std::string& reply)
{
    Transfer(TradeConfig::GetInstance(), url, &body, reply);
}

void CloudGetThreadBody(TradeConfig* config, const std::string& url, std::string& reply)
{
    Transfer(config, url, nullptr, reply);
}

bool ParseJson(const std::string& text, Json::Value& document)
{
    Json::Reader reader;
    try {
        return reader.parse(text, document);
    } catch (const std::exception&) {
        document = Json::Value();
        return false;
    }
}

std::string CloudPost(const std::string& path, const Json::Value& bodyObject)
{
    const std::string url = CloudUrl(path);
    const std::string body = CloudBody(bodyObject);
    std::string reply;
    std::thread worker(CloudPostThreadBody, std::cref(url), std::cref(body), std::ref(reply));
    worker.join();
    return reply;
}

std::string CloudGet(TradeConfig* config, const std::string& url)
{
    std::string reply;
    std::thread worker(CloudGetThreadBody, config, std::cref(url), std::ref(reply));
    worker.join();
    return reply;
}
