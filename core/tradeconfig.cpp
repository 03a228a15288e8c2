#include "tradeconfig.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

#include <tinyxml.h>

#include "logger.h"
#include "platform.h"

namespace
{

// Stream extraction of an int: white space skipped, sign and digits taken,
// stops at the first other character; a value that is no number gives 0.
void ReadPort(const std::string& text, int* port)
{
    std::istringstream in(text);
    in >> *port;
}

// What "%d" would read, except that an out-of-range number is clamped to the
// int range instead of being undefined; no number leaves the field unchanged.
void ReadSeconds(const std::string& text, int* seconds)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin)
        return;
    if (value > INT_MAX)
        *seconds = INT_MAX;
    else if (value < INT_MIN)
        *seconds = INT_MIN;
    else
        *seconds = static_cast<int>(value);
}

void ReadText(const TiXmlElement* element, const char* name, std::string* field)
{
    if (const std::string* value = element->Attribute(std::string(name)))
        *field = *value;
}

} // namespace

TradeConfig* TradeConfig::GetInstance()
{
    // Never destroyed: the quote client's detached reconnect thread may read
    // the record while the process exits.
    static TradeConfig* const instance = new TradeConfig();
    return instance;
}

bool TradeConfig::LoadConfigFile(const std::string& path)
{
    TiXmlDocument doc;
    // Only a regular file is handed to the parser: it sizes its buffer from a
    // seek to the end, which a folder or a device answers with nonsense.
    if (platform::RegularFileSize(path) >= 0)
        doc.LoadFile(path.c_str());

    const TiXmlElement* root = doc.FirstChildElement("root");
    if (!root) {
        WriteLog(LogError, "XML需要root根元素");
        return false;
    }

    if (const TiXmlElement* quote = root->FirstChildElement("Quote")) {
        ReadText(quote, "ip", &ip);
        if (const std::string* value = quote->Attribute(std::string("port")))
            ReadPort(*value, &port);
        ReadText(quote, "username", &username);
        ReadText(quote, "password", &password);
    }

    const TiXmlElement* cloud = root->FirstChildElement("LeanCloud");
    if (!cloud) {
        WriteLog(LogError, "没有找到leancloud的配置");
        return false;
    }
    ReadText(cloud, "id", &id);
    ReadText(cloud, "key", &key);
    ReadText(cloud, "productID", &productID);
    ReadText(cloud, "channelName", &channelName);
    if (const std::string* value = cloud->Attribute(std::string("trigger_time")))
        ReadSeconds(*value, &trigger_time);
    ReadText(cloud, "reg_class", &reg_class);
    return true;
}
