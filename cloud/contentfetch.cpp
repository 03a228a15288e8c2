// The start-up fetches of the cloud content: boot pages, the channel's
// banner switch and the banners, with their pictures.

#include "tradeconfig.h"

#include <algorithm>
#include <string>

#include <json/value.h>

#include "cloudrequest.h"
#include "helpers.h"
#include "httpclient.h"
#include "logger.h"
#include "platform.h"

namespace
{

// The service sends one row (the query asks for one); rows past these are
// neither listed nor downloaded, and only the first few faulty ones get a
// line of their own, so no reply can turn into thousands of downloads or
// log lines.
constexpr Json::ArrayIndex kMaxRows = 8;
constexpr Json::ArrayIndex kFaultyRowsLogged = 3;

DownloadBudget& PictureBudget()
{
    static DownloadBudget budget;
    return budget;
}

void EnsureFolder(const char* folder)
{
    if (!platform::PathExists(folder))
        platform::MakeDirectory(folder);
}

// Queries the newest row of a class and parses the reply. On a parse failure
// `document` keeps what the reader built before it stopped.
bool QueryClass(TradeConfig* config, const char* className, Json::Value& document)
{
    const std::string reply = Utf8ToAnsi(CloudGet(config, CloudClassQueryUrl(className, config->productID)));
    if (!ParseJson(reply, document)) {
        WriteLog(LogError, "json parse error: %s", CutForLog(reply).c_str());
        return false;
    }
    return true;
}

// The rows of a reply; none when the reply is not the object-with-array the
// service sends.
const Json::Value& Rows(const Json::Value& document)
{
    static const Json::Value none(Json::arrayValue);
    if (document.isObject() && document["results"].isArray())
        return document["results"];
    return none;
}

// Hands the first kMaxRows rows to `take`, which says whether the row had
// the shape it needs; logs the faulty ones (the first few alone, the rest
// as a count) and the rows left over.
template <typename Take> void TakeRows(const char* className, const Json::Value& rows, Take take)
{
    const Json::ArrayIndex used = std::min(rows.size(), kMaxRows);
    Json::ArrayIndex faulty = 0;
    for (Json::ArrayIndex i = 0; i < used; ++i) {
        if (!take(rows[i]) && ++faulty <= kFaultyRowsLogged)
            WriteLog(LogError, "%s 数据格式错误,跳过该条", className);
    }
    if (faulty > kFaultyRowsLogged)
        WriteLog(LogError, "%s 另有%u条数据格式错误,已跳过", className, faulty - kFaultyRowsLogged);
    if (rows.size() > used)
        WriteLog(LogError, "%s 返回%u条,只处理前%u条", className, rows.size(), used);
}

// A member converted as the JSON library converts it: missing or null gives
// "", 0 or false. False when the member holds a type that has no such
// conversion (an array where a text is due, a text where a number is due).
bool ReadMember(const Json::Value& object, const char* name, Json::ValueType type, Json::Value& out)
{
    const Json::Value& value = object[name];
    if (!value.isConvertibleTo(type))
        return false;
    out = value;
    return true;
}

// The members every picture row has: "url" and "image" with "url" and "name".
template <typename Record> bool ReadPictureRow(const Json::Value& row, Record& record)
{
    if (!row.isObject())
        return false;
    const Json::Value& image = row["image"];
    if (!image.isObject() && !image.isNull())
        return false;
    Json::Value url, imageUrl, imageName;
    if (!ReadMember(row, "url", Json::stringValue, url)
        || !ReadMember(image, "url", Json::stringValue, imageUrl)
        || !ReadMember(image, "name", Json::stringValue, imageName))
        return false;
    record.url = url.asString();
    record.imageUrl = imageUrl.asString();
    record.imageName = imageName.asString();
    return true;
}

// The name is joined to the folder as it stands, so it must name a file in
// that folder and nothing else.
bool IsPlainFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
        && name.find('\\') == std::string::npos;
}

// Pictures the cloud service serves itself are trusted like the service;
// any other address is checked against the system's store.
void DownloadPicture(const std::string& imageUrl, const char* folder, const std::string& imageName)
{
    if (!IsPlainFileName(imageName)) {
        WriteLog(LogError, "图片文件名无效,不下载: %s", CutForLog(imageName).c_str());
        return;
    }
    const std::string base = CloudBaseUrl() + "/";
    const std::string caFile = CloudCaFile();
    const bool ownPicture = imageUrl.compare(0, base.size(), base) == 0 && !caFile.empty();
    if (HttpClient::GetInstance()->Download(
            imageUrl, folder + imageName, ownPicture ? caFile.c_str() : nullptr, &PictureBudget())
        != 0)
        WriteLog(LogError, "下载文件错误");
}

} // namespace

void BeginContentFetch()
{
    PictureBudget() = DownloadBudget();
}

bool TradeConfig::FetchBootPageConfig()
{
    BeginContentFetch();
    EnsureFolder(kBootPageFolder);
    Json::Value document;
    if (!QueryClass(this, "BootPageConfig", document))
        return false;
    TakeRows("BootPageConfig", Rows(document), [this](const Json::Value& row) {
        BootPageRecord record;
        if (!ReadPictureRow(row, record))
            return false;
        DownloadPicture(record.imageUrl, kBootPageFolder, record.imageName);
        bootPageList.push_back(record);
        return true;
    });
    return bootPageList.size() == 1;
}

bool TradeConfig::FetchChannelConfig()
{
    Json::Value document;
    if (!QueryClass(this, "channelConfig", document))
        return false;
    const Json::Value& rows = Rows(document);
    Json::Value flag;
    if (rows.size() == 1 && rows[0].isObject()
        && ReadMember(rows[0], "bannerSwitchFlag", Json::booleanValue, flag)) {
        bannerSwitchFlag = flag.asBool();
        return true;
    }
    WriteLog(LogError, "请求产品渠道配置失败！！");
    return false;
}

bool TradeConfig::FetchBannerConfig()
{
    EnsureFolder(kBannerFolder);
    Json::Value document;
    // A reply that does not parse still yields the rows read before the fault.
    QueryClass(this, "BannerConfig", document);
    TakeRows("BannerConfig", Rows(document), [this](const Json::Value& row) {
        BannerRecord record;
        Json::Value interval;
        if (!ReadPictureRow(row, record) || !ReadMember(row, "interval", Json::intValue, interval))
            return false;
        record.interval = interval.asInt();
        DownloadPicture(record.imageUrl, kBannerFolder, record.imageName);
        bannerList.push_back(record);
        return true;
    });
    return !bannerList.empty();
}
