#include "tradeconfig.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <algorithm>
#include <fstream>
#include <iterator>
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

// The parser descends one level of recursion per level of element nesting,
// so a file nested a hundred thousand levels deep overflows the stack. A
// configuration needs three levels; deeper than this is refused unparsed.
constexpr int kMaxNesting = 256;

// Whether the elements of `text` nest deeper than `limit`, read by the rules
// of XML: comments, CDATA sections, processing instructions and declarations
// hold no elements, quoted attribute values may hold any character. Where
// the markup is odd the reading errs deeper: a start tag counts as
// self-closed only when it ends in "/>" with all its values quoted.
bool NestsDeeperThan(const std::string& text, int limit)
{
    const size_t size = text.size();
    int depth = 0;
    size_t at = 0;
    // Marks around what holds no elements; "<!" last, as the others begin with it too.
    static constexpr std::pair<const char*, const char*> kOpaque[] = {
        { "<!--", "-->" },
        { "<![CDATA[", "]]>" },
        { "<?", "?>" },
        { "<!", ">" },
    };
    // Moves past open...close when the text at `at` begins with `open`.
    const auto skipped = [&](const char* open, const char* close) {
        const size_t openSize = std::strlen(open);
        if (text.compare(at, openSize, open) != 0)
            return false;
        const size_t found = text.find(close, at + openSize);
        at = found == std::string::npos ? size : found + std::strlen(close);
        return true;
    };
    while ((at = text.find('<', at)) != std::string::npos) {
        if (std::any_of(std::begin(kOpaque), std::end(kOpaque),
                [&](const auto& marks) { return skipped(marks.first, marks.second); }))
            continue;
        if (skipped("</", ">")) {
            if (depth > 0)
                --depth;
        } else {
            ++at;
            bool selfClosed = false;
            bool quoted = true;
            while (at < size && text[at] != '>' && text[at] != '<') {
                if (text[at] == '=') {
                    size_t value = at + 1;
                    while (value < size && std::isspace(static_cast<unsigned char>(text[value])))
                        ++value;
                    if (value < size && (text[value] == '"' || text[value] == '\'')) {
                        const size_t close = text.find(text[value], value + 1);
                        at = close == std::string::npos ? size : close + 1;
                        continue;
                    }
                    quoted = false;
                }
                ++at;
            }
            if (at < size && text[at] == '>') {
                selfClosed = quoted && text[at - 1] == '/';
                ++at;
            }
            if (!selfClosed && ++depth > limit)
                return true;
        }
    }
    return false;
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
    if (platform::RegularFileSize(path) >= 0) {
        std::ifstream in(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (NestsDeeperThan(text, kMaxNesting)) {
            WriteLog(LogError, "配置文件元素嵌套超过%d层,不予解析", kMaxNesting);
            return false;
        }
        // The text that was scanned is the text parsed, with the line ends
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
