// The receive path on arbitrary bytes in arbitrary chunks: the buffer cuts
// frames, the API object dispatches them to a handler that reads every byte
// it is given a pointer to.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "IKivQuoteAPIExtend.h"
#include "RecvBuffer.h"

namespace
{

volatile unsigned char g_sink;

void Touch(const void* data, size_t size)
{
    if (!data)
        return;
    unsigned char sum = 0;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i)
        sum = static_cast<unsigned char>(sum + bytes[i]);
    g_sink = sum;
}

class Recording : public IKivQuoteEvents
{
public:
    void OnLoginReply(int, const char* info) override { Touch(info, 1); }
    void OnReadyForRequests() override { }
    void OnConnectionLost(int) override { }
    void OnCommodityItem(uint32_t, int, char isLast, const QuoteCommodityRecord* commodity) override
    {
        Check(isLast);
        Touch(commodity, sizeof(*commodity));
    }
    void OnContractItem(uint32_t, int, char isLast, const QuoteContractRecord* contract) override
    {
        Check(isLast);
        Touch(contract, sizeof(*contract));
    }
    void OnSubscribeReply(uint32_t, int errorCode, char isLast, const QuoteContractKey* info) override
    {
        Reply(errorCode, isLast, info);
    }
    void OnUnsubscribeReply(uint32_t, int errorCode, char isLast, const QuoteContractKey* info) override
    {
        Reply(errorCode, isLast, info);
    }
    void OnQuoteData(const char* quote) override { Touch(quote, 1); }

private:
    static void Check(char isLast)
    {
        if (isLast != 'Y' && isLast != 'N')
            std::abort();
    }
    static void Reply(int errorCode, char isLast, const QuoteContractKey* info)
    {
        if (isLast != 'Y' || (errorCode == 0) != (info != nullptr))
            std::abort();
        Touch(info, sizeof(QuoteContractKey));
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QuoteAppInfo info {};
    static Recording events;
    // A fresh object per input, so the record cache does not grow over the run.
    IKivQuoteAPIExtend api(&info);
    api.SetNotifyHandler(&events);

    RecvBuffer buffer(4096);
    size_t at = 0;
    while (at < size) {
        // A control byte: the size of the next chunk and whether to cut frames after it.
        const uint8_t control = data[at++];
        const size_t chunk = std::min<size_t>(size - at, (control & 0x7F) + 1u);
        buffer.Feed(reinterpret_cast<const char*>(data + at), chunk);
        at += chunk;
        if (buffer.FreeSpace() < RecvBuffer::kMinFree || buffer.ReadOffset() < RecvBuffer::kHeadRoom
            || buffer.WriteOffset() < buffer.ReadOffset())
            std::abort();
        if ((control & 0x80) && !api.DispatchAll(buffer))
            buffer.Reset(); // a malformed frame ends the connection: start afresh
    }
    if (!api.DispatchAll(buffer))
        buffer.Reset();
    return 0;
}
