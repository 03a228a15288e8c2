#pragma once

// The process-wide configuration record: the quote-server login and the cloud
// service settings read from "TradeConfig.xml", and the cloud content that the
// start-up fetches add. Written only during start-up on the GUI thread, read
// freely afterwards; no lock guards it.

#include <string>
#include <vector>

// Folders, relative to the working directory, that the start-up fills with
// the cloud's pictures and the window removes when it closes.
inline constexpr char kBootPageFolder[] = "BootPage/";
inline constexpr char kBannerFolder[] = "banner/";

// One boot-page entry of the cloud content.
struct BootPageRecord {
    std::string imageName; // file name of the picture in "BootPage/"
    std::string url; // link address of the entry
    std::string imageUrl; // download address of the picture
};

// One banner entry of the cloud content.
struct BannerRecord {
    std::string imageName; // file name of the picture in "banner/"
    std::string url; // link address opened on a click
    std::string imageUrl; // download address of the picture
    int interval = 0; // minutes before a closed banner shows itself again
};

class TradeConfig
{
public:
    // The one record of the process, created on first use; never null.
    static TradeConfig* GetInstance();

    // Reads the file (relative paths against the working directory) into the
    // record. True when both "root" and its "LeanCloud" child were found;
    // failures are logged. Attributes that are absent leave their fields alone.
    bool LoadConfigFile(const std::string& path);

    // Cloud content fetches, blocking, run once each during start-up.
    // True when exactly one boot page is listed afterwards.
    bool FetchBootPageConfig();
    // True when the channel reply held exactly one row; sets bannerSwitchFlag.
    bool FetchChannelConfig();
    // True when the banner list is not empty afterwards.
    bool FetchBannerConfig();

    // "Quote" element: the quote server and its login.
    std::string ip;
    int port = 0;
    std::string username;
    std::string password;
    // "LeanCloud" element: the cloud service.
    std::string id;
    std::string reg_class;
    std::string key;
    std::string productID;
    std::string channelName;
    std::vector<BootPageRecord> bootPageList;
    int trigger_time = 0; // seconds before the main window asks for a login
    bool bannerSwitchFlag = false;
    std::vector<BannerRecord> bannerList;
};
