// The terminal's side of the quote protocol on arbitrary bytes: the quote
// API's framing and dispatch, then the quote client's handling of every
// reply and push, without a network. The first byte of an input sets the size
// of the pieces the rest arrives in (0: all at once), as reads would cut it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include <google/protobuf/stubs/logging.h>

#include "nquoteclient.h"
#include "ostrelfeed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool subscribed = [] {
        // The message runtime reports each text that is not UTF-8 on standard
        // error, which would drown the fuzzer's own report.
        google::protobuf::SetLogHandler(nullptr);
        // Contracts of the seed corpus count as subscribed, so that their
        // quotes reach the cache as on a connection.
        for (const char* key : { "FO_CL_2701", "FO_CL", "FI_IF_2612" })
            NQuoteClient::Instance()->Store().Subscribe(key);
        return true;
    }();
    (void)subscribed;
    if (size == 0)
        return 0;
    NQuoteClient* client = NQuoteClient::Instance();
    ostrelapi::FrameFeed feed(client);
    const std::size_t piece = data[0] == 0 ? size : data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    std::size_t left = size - 1;
    while (left > 0) {
        const std::size_t n = std::min(piece, left);
        if (!feed.Receive(bytes, n))
            break;
        bytes += n;
        left -= n;
    }
    // What the window reads back.
    kw::pb::ostrel2::QuoteDetailField quote;
    client->GetQuote("FO_CL_2701", &quote);
    std::vector<kw::pb::ostrel2::CommodityField> list;
    client->GetCommodityList(list);
    client->GetHeartBeatInfo();
    return 0;
}
