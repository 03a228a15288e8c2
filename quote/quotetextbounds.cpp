#include "quotetextbounds.h"

#include <utility>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/unknown_field_set.h>

#include "logger.h"

namespace pb = kw::pb::ostrel2;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

namespace
{

enum class Kind { Code, Key, Name, Text };

Kind KindOf(const FieldDescriptor* field)
{
    const std::string& name = field->name();
    if (name == "contract_code")
        return Kind::Key;
    if (name == "commodity_no" || name == "contract_no" || name == "exchange_no")
        return Kind::Code;
    if (name == "commodity_name" || name == "exchange_name")
        return Kind::Name;
    return Kind::Text;
}

std::size_t LimitOf(Kind kind)
{
    switch (kind) {
    case Kind::Code:
        return QuoteTextBounds::kMaxCodeBytes;
    case Kind::Key:
        return QuoteTextBounds::kMaxKeyBytes;
    case Kind::Name:
        return QuoteTextBounds::kMaxNameBytes;
    case Kind::Text:
        break;
    }
    return QuoteTextBounds::kMaxTextBytes;
}

void Note(QuoteTextBounds::Excess& excess, const std::string& field, std::size_t bytes, std::size_t limit)
{
    if (excess.count++ == 0) {
        excess.field = field;
        excess.bytes = bytes;
        excess.limit = limit;
    }
}

// Walks a message and those inside it and notes what is over its bound; with
// `fix` (the same message, writable) it also cuts and drops it. False when the
// message's own code is too long: its parent drops it.
bool Walk(const Message& message, Message* fix, QuoteTextBounds::Findings& found)
{
    const Reflection* reflection = message.GetReflection();
    const auto& unknown = reflection->GetUnknownFields(message);
    if (!unknown.empty()) {
        Note(found.texts, message.GetDescriptor()->full_name() + " (undefined fields)",
            unknown.SpaceUsedExcludingSelf(), 0);
        if (fix)
            reflection->MutableUnknownFields(fix)->Clear();
    }
    std::vector<const FieldDescriptor*> fields;
    reflection->ListFields(message, &fields);
    for (const FieldDescriptor* field : fields) {
        if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
            if (!field->is_repeated()) {
                Walk(reflection->GetMessage(message, field),
                    fix ? reflection->MutableMessage(fix, field) : nullptr, found);
                continue;
            }
            // Refused entries go; the others keep their order.
            const int size = reflection->FieldSize(message, field);
            int kept = 0;
            for (int i = 0; i < size; ++i) {
                Message* entry = fix ? reflection->MutableRepeatedMessage(fix, field, i) : nullptr;
                if (!Walk(reflection->GetRepeatedMessage(message, field, i), entry, found))
                    continue;
                if (fix && kept != i)
                    reflection->SwapElements(fix, field, kept, i);
                ++kept;
            }
            for (int i = kept; fix && i < size; ++i)
                reflection->RemoveLast(fix, field);
            continue;
        }
        if (field->cpp_type() != FieldDescriptor::CPPTYPE_STRING)
            continue;
        const Kind kind = KindOf(field);
        const std::size_t limit = LimitOf(kind);
        const int count = field->is_repeated() ? reflection->FieldSize(message, field) : 1;
        for (int i = 0; i < count; ++i) {
            std::string scratch;
            const std::string& text = field->is_repeated()
                ? reflection->GetRepeatedStringReference(message, field, i, &scratch)
                : reflection->GetStringReference(message, field, &scratch);
            if (text.size() <= limit)
                continue;
            if (kind == Kind::Code || kind == Kind::Key) {
                Note(found.refused, field->full_name(), text.size(), limit);
                return false;
            }
            Note(kind == Kind::Name ? found.names : found.texts, field->full_name(), text.size(), limit);
            if (!fix)
                continue;
            std::string cut = QuoteTextBounds::CutAtCharacter(text, limit);
            if (field->is_repeated())
                reflection->SetRepeatedString(fix, field, i, std::move(cut));
            else
                reflection->SetString(fix, field, std::move(cut));
        }
    }
    return true;
}

bool Any(const QuoteTextBounds::Findings& found)
{
    return found.refused.count + found.names.count + found.texts.count != 0;
}

// Quotes, depth and trades come many a second and each has but its key and,
// in a quote, its source beside figures: their test of whether a walk is
// needed at all reads just those.
bool WithinBounds(const pb::QuoteDetailField& q)
{
    return q.contract_code().size() <= QuoteTextBounds::kMaxKeyBytes
        && q.src_type().size() <= QuoteTextBounds::kMaxTextBytes
        && q.GetReflection()->GetUnknownFields(q).empty();
}

template <typename Message> bool WithinBounds(const Message& m)
{
    return m.contract_code().size() <= QuoteTextBounds::kMaxKeyBytes
        && m.GetReflection()->GetUnknownFields(m).empty();
}

} // namespace

QuoteTextBounds::QuoteTextBounds(LogGate gate)
    : m_gate(std::move(gate))
{
}

void QuoteTextBounds::Rearm()
{
    for (auto& source : m_logged) {
        for (std::atomic<bool>& logged : source)
            logged = false;
    }
}

std::string QuoteTextBounds::CutAtCharacter(const std::string& text, std::size_t limit)
{
    if (text.size() <= limit)
        return text;
    std::size_t end = limit;
    // Back over the continuation bytes of a sequence that the cut would split;
    // a sequence is at most four bytes long.
    for (int step = 0; step < 3 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++step)
        --end;
    return text.substr(0, end);
}

template <typename Message>
const Message* QuoteTextBounds::Bound(const Message* in, Source source, bool quick)
{
    if (!in)
        return nullptr;
    if (quick)
        return in;
    Findings found;
    if (Walk(*in, nullptr, found) && !Any(found))
        return in;
    thread_local Message bounded;
    bounded.CopyFrom(*in);
    found = Findings();
    const bool kept = Walk(bounded, &bounded, found);
    Report(source, found);
    if (!kept) {
        bounded.Clear();
        return nullptr;
    }
    return &bounded;
}

void QuoteTextBounds::Report(Source source, const Findings& found)
{
    static const char* const kWhat[kSources] = { "行情", "深度行情", "逐笔成交", "K线回复", "商品列表" };
    const std::pair<const Excess&, const char*> lines[] = {
        { found.refused, "%s: 拒收代码过长的记录 %zu 条 (首个: %s, %zu 字节, 上限 %zu; 此类不再记录)" },
        { found.names, "%s: 名称过长, 截断显示 %zu 个 (首个: %s, %zu 字节, 上限 %zu; 此类不再记录)" },
        { found.texts, "%s: 文本过长, 截断 %zu 个 (首个: %s, %zu 字节, 上限 %zu; 此类不再记录)" },
    };
    for (size_t i = 0; i < 3; ++i) {
        const Excess& excess = lines[i].first;
        if (excess.count == 0 || m_logged[static_cast<size_t>(source)][i].exchange(true)
            || (m_gate && !m_gate(LogWarn)))
            continue;
        WriteLog(LogWarn, lines[i].second, kWhat[static_cast<size_t>(source)], excess.count,
            CutForLog(excess.field).c_str(), excess.bytes, excess.limit);
    }
}

const pb::QuoteDetailField* QuoteTextBounds::Enter(const pb::QuoteDetailField* in)
{
    return Bound(in, Source::Quote, in && WithinBounds(*in));
}

const pb::DepthQuoteField* QuoteTextBounds::Enter(const pb::DepthQuoteField* in)
{
    return Bound(in, Source::Depth, in && WithinBounds(*in));
}

const pb::TickerField* QuoteTextBounds::Enter(const pb::TickerField* in)
{
    return Bound(in, Source::Ticker, in && WithinBounds(*in));
}

const pb::RspReqQryHistoryField* QuoteTextBounds::Enter(const pb::RspReqQryHistoryField* in)
{
    return Bound(in, Source::KLine, false);
}

const pb::RspQryCommodityDetailField* QuoteTextBounds::Enter(const pb::RspQryCommodityDetailField* in)
{
    return Bound(in, Source::List, false);
}
