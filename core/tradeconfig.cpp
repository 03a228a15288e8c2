#include "tradeconfig.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <QTextCodec>

#include <tinyxml.h>

#include "logger.h"
#include "platform.h"

namespace
{

// A TCP port: decimal digits only, 1 to 65535. Anything else (blanks, a
// sign, letters after the digits) leaves 0 and says so in the log: a port
// that was half read would connect somewhere unintended.
void ReadPort(const std::string& text, int* port)
{
    long value = 0;
    bool ok = !text.empty() && text.size() <= 5;
    for (const char c : text) {
        ok = ok && c >= '0' && c <= '9';
        value = value * 10 + (c - '0');
    }
    if (ok && value >= 1 && value <= 65535) {
        *port = static_cast<int>(value);
        return;
    }
    *port = 0;
    WriteLog(LogError, "Quote 的 port 值 \"%s\" 无效: 须为 1 到 65535 的十进制数字", CutForLog(text).c_str());
}

// What the quote connection needs and neither a bad value nor an absent
// attribute gave it.
void CheckQuoteServer(const std::string& ip, int port, bool portGiven)
{
    if (ip.empty())
        WriteLog(LogError, "Quote 的 ip 值 \"\" 无效: 缺少或为空");
    if (!portGiven && (port < 1 || port > 65535))
        WriteLog(LogError, "Quote 的 port 值 \"%d\" 无效: 缺少 port 属性", port);
}

// The parser reads UTF-8 (or its own legacy single-byte reading); a file in
// another encoding would otherwise be reported as lacking its root.
bool IsUtf8(const std::string& text)
{
    if (text.find('\0') != std::string::npos)
        return false;
    QTextCodec::ConverterState state;
    QTextCodec::codecForMib(106)->toUnicode(text.data(), static_cast<int>(text.size()), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
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

// The parser descends one level of recursion per level of element nesting,
// so a file nested a hundred thousand levels deep overflows the stack. Every
// level it descends begins at a '<' of the text, whatever markup the '<'
// opens, so the count of '<' bounds the depth whichever way the parser reads
// the markup. A configuration has a handful of elements; a file with more
// than this many '<', or larger than this, is refused unparsed.
constexpr long kMaxMarkup = 1024;
constexpr std::int64_t kMaxFileBytes = 1 << 20;

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
    if (platform::RegularFileSize(path) >= 0) {
        std::ifstream in(path, std::ios::binary);
        std::string text(static_cast<size_t>(kMaxFileBytes) + 1, '\0');
        in.read(&text[0], static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<size_t>(in.gcount()));
        if (text.size() > static_cast<size_t>(kMaxFileBytes)) {
            WriteLog(LogError, "配置文件超过%lld字节,不予解析", static_cast<long long>(kMaxFileBytes));
            return false;
        }
        if (!IsUtf8(text)) {
            WriteLog(LogError, "配置文件不是 UTF-8 编码的文本,不予解析");
            return false;
        }
        if (std::count(text.begin(), text.end(), '<') > kMaxMarkup) {
            WriteLog(LogError, "配置文件含有超过%ld个'<',不予解析", kMaxMarkup);
            return false;
        }
        // The text that was counted is the text parsed, with the line ends
        // normalised as the parser's own file reading does.
        std::string normalised;
        normalised.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\r')
                normalised += text[i];
            else if (i + 1 >= text.size() || text[i + 1] != '\n')
                normalised += '\n';
        }
        doc.Parse(normalised.c_str());
    }

    const TiXmlElement* root = doc.FirstChildElement("root");
    if (!root) {
        WriteLog(LogError, "XML需要root根元素");
        return false;
    }

    bool portGiven = false;
    if (const TiXmlElement* quote = root->FirstChildElement("Quote")) {
        ReadText(quote, "ip", &ip);
        if (const std::string* value = quote->Attribute(std::string("port"))) {
            ReadPort(*value, &port);
            portGiven = true;
        }
        ReadText(quote, "username", &username);
        ReadText(quote, "password", &password);
    }
    CheckQuoteServer(ip, port, portGiven);

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
