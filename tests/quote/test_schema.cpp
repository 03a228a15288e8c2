// The quote message schema as generated: its layout, the names other code
// builds keys from, and the behaviour of the messages the terminal relies on.

#include <memory>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <gtest/gtest.h>

#include "kw.pb.ostrel2.pb.h"

namespace pb = kw::pb::ostrel2;
using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;

namespace
{

const FileDescriptor* File()
{
    return pb::KwBaseMessage::descriptor()->file();
}

std::vector<std::string> MessageNames(const FileDescriptor* file)
{
    std::vector<std::string> names;
    for (int i = 0; i < file->message_type_count(); ++i)
        names.push_back(file->message_type(i)->name());
    return names;
}

void AllMessages(const Descriptor* d, std::vector<const Descriptor*>* out)
{
    out->push_back(d);
    for (int i = 0; i < d->nested_type_count(); ++i)
        AllMessages(d->nested_type(i), out);
}

} // namespace

TEST(QuoteSchema, FileLayoutAndDeclarationOrder)
{
    const FileDescriptor* file = File();
    EXPECT_EQ(file->name(), "kw.pb.ostrel2.proto");
    EXPECT_EQ(file->package(), "kw.pb.ostrel2");
    EXPECT_EQ(file->syntax(), FileDescriptor::SYNTAX_PROTO3);
    ASSERT_EQ(file->dependency_count(), 1);
    EXPECT_EQ(file->dependency(0)->name(), "google/protobuf/any.proto");
    EXPECT_EQ(file->service_count(), 0);
    EXPECT_EQ(file->extension_count(), 0);

    EXPECT_EQ(MessageNames(file),
        (std::vector<std::string> { "KwBaseMessage", "HeartBeatField", "ContractInfoField",
            "SimpleCommodityField", "CommodityField", "QuoteDetailField", "DepthQuoteField", "TickerField",
            "KlineDataField", "ReqLoginField", "RspLoginField", "ReqQryCommodityField",
            "RspQryCommodityField", "RspQryCommodityDetailField", "ReqSubscribedField",
            "ReqSubscribedDepthField", "RspSubscribedField", "ReqUnSubscribedField", "ReqQryHistoryField",
            "RspReqQryHistoryField", "ReqHisMoneyFlowField", "RspHisMoneyFlowField" }));
    std::vector<std::string> enums;
    for (int i = 0; i < file->enum_type_count(); ++i)
        enums.push_back(file->enum_type(i)->name());
    EXPECT_EQ(enums,
        (std::vector<std::string> { "EnumMethods", "EnumKLineType", "EnumSecurityType", "EnumCategorys",
            "EnumRegions", "EnumSubMode", "EnumTickerDirection" }));

    std::vector<const Descriptor*> all;
    for (int i = 0; i < file->message_type_count(); ++i)
        AllMessages(file->message_type(i), &all);
    EXPECT_EQ(all.size(), 27u);

    const Descriptor* commodity = pb::CommodityField::descriptor();
    ASSERT_EQ(commodity->nested_type_count(), 2);
    EXPECT_EQ(commodity->nested_type(0)->name(), "TradingtimeField");
    EXPECT_EQ(commodity->nested_type(1)->name(), "ContractNoList");
    ASSERT_EQ(commodity->enum_type_count(), 2);
    EXPECT_EQ(commodity->enum_type(0)->name(), "EnumDateFlag");
    EXPECT_EQ(commodity->enum_type(1)->name(), "EnumTradetimeStatus");
    EXPECT_EQ(
        pb::KwBaseMessage::descriptor()->nested_type(0)->full_name(), "kw.pb.ostrel2.KwBaseMessage.Rsp");
    EXPECT_EQ(pb::RspSubscribedField::descriptor()->nested_type(0)->name(), "ErrContractField");
    EXPECT_EQ(pb::RspHisMoneyFlowField::descriptor()->nested_type(0)->name(), "MoneySnapField");

    // Field counts per message, and numbering from 1 without gaps.
    struct Count {
        const Descriptor* d;
        int fields;
    };
    const Count counts[] = {
        { pb::KwBaseMessage::descriptor(), 3 },
        { pb::KwBaseMessage_Rsp::descriptor(), 6 },
        { pb::CommodityField::descriptor(), 14 },
        { pb::QuoteDetailField::descriptor(), 21 },
        { pb::DepthQuoteField::descriptor(), 7 },
        { pb::TickerField::descriptor(), 11 },
        { pb::KlineDataField::descriptor(), 6 },
        { pb::RspLoginField::descriptor(), 8 },
        { pb::SimpleCommodityField::descriptor(), 9 },
        { pb::ReqQryHistoryField::descriptor(), 6 },
    };
    for (const auto& c : counts) {
        ASSERT_EQ(c.d->field_count(), c.fields) << c.d->name();
        for (int i = 0; i < c.fields; ++i)
            EXPECT_EQ(c.d->field(i)->number(), i + 1) << c.d->name();
        EXPECT_EQ(c.d->oneof_decl_count(), 0) << c.d->name();
    }
}

TEST(QuoteSchema, OddSpellingsStand)
{
    struct Name {
        const Descriptor* d;
        const char* field;
        int number;
    };
    const Name fields[] = {
        { pb::RspReqQryHistoryField::descriptor(), "Period", 2 },
        { pb::ReqQryHistoryField::descriptor(), "period", 2 },
        { pb::CommodityField::descriptor(), "tradingtime_Seg", 14 },
        { pb::RspLoginField::descriptor(), "pass_word", 2 },
        { pb::ReqLoginField::descriptor(), "password", 2 },
    };
    for (const auto& f : fields) {
        const FieldDescriptor* field = f.d->FindFieldByName(f.field);
        ASSERT_NE(field, nullptr) << f.field;
        EXPECT_EQ(field->number(), f.number) << f.field;
    }
    pb::EnumMethods method;
    for (const char* name : { "UNKOWN_METHOD", "REQ_HSIMONEY_INFLOW", "ON_RSP_HSIMONEY_INFLOW" })
        EXPECT_TRUE(pb::EnumMethods_Parse(name, &method)) << name;
    EXPECT_FALSE(pb::EnumMethods_Parse("UNKNOWN_METHOD", &method));
    EXPECT_EQ(pb::EnumCategorys_Name(pb::GATEGORY_METAL), "GATEGORY_METAL");
    EXPECT_EQ(pb::EnumRegions_Name(pb::REGON_EUROPE), "REGON_EUROPE");
    EXPECT_EQ(pb::CommodityField::EnumTradetimeStatus_Name(pb::CommodityField::TRADE_UNKOWN), "TRADE_UNKOWN");
    EXPECT_EQ(pb::EnumKLineType_Name(pb::KLINE_UNKNOWN), "KLINE_UNKNOWN");

    // The gaps of the method codes.
    struct Code {
        int value;
        bool defined;
    };
    for (const Code& c :
        { Code { 20, true }, Code { 21, false }, Code { 98, false }, Code { 99, true }, Code { 102, true },
            Code { 103, false }, Code { 998, false }, Code { 999, true }, Code { 1000, true } })
        EXPECT_EQ(pb::EnumMethods_IsValid(c.value), c.defined) << c.value;
}

TEST(QuoteSchema, SecurityTypeNamesMakeKeyPrefixes)
{
    const struct {
        int value;
        const char* name;
    } names[] = { { 0, "UNKNOWN" }, { 1, "FO" }, { 2, "FI" }, { 3, "C" }, { 4, "S" }, { 5, "" }, { 6, "" },
        { 7, "" }, { 8, "D" }, { 9, "V" }, { 10, "" }, { -1, "" } };
    for (const auto& n : names)
        EXPECT_EQ(pb::EnumSecurityType_Name(static_cast<pb::EnumSecurityType>(n.value)), n.name) << n.value;
    ASSERT_NE(pb::EnumSecurityType_descriptor(), nullptr);
    EXPECT_EQ(pb::EnumSecurityType_descriptor()->value_count(), 7);

    const struct {
        const char* name;
        bool known;
        int value;
    } parses[] = { { "FO", true, 1 }, { "D", true, 8 }, { "V", true, 9 }, { "UNKNOWN", true, 0 },
        { "fo", false, 0 }, { "", false, 0 }, { "X", false, 0 } };
    for (const auto& p : parses) {
        pb::EnumSecurityType value = pb::UNKNOWN;
        EXPECT_EQ(pb::EnumSecurityType_Parse(p.name, &value), p.known) << p.name;
        if (p.known) {
            EXPECT_EQ(value, p.value) << p.name;
        }
    }
}

TEST(QuoteSchema, DefaultsSerialiseToNothing)
{
    std::vector<const Descriptor*> all;
    for (int i = 0; i < File()->message_type_count(); ++i)
        AllMessages(File()->message_type(i), &all);
    for (const Descriptor* d : all) {
        std::unique_ptr<google::protobuf::Message> msg(
            google::protobuf::MessageFactory::generated_factory()->GetPrototype(d)->New());
        EXPECT_EQ(msg->SerializeAsString(), "") << d->full_name();
    }
}

TEST(QuoteSchema, PackedModesAreReadEitherWay)
{
    pb::RspLoginField login;
    login.add_can_sub_modes(pb::MODE_SNAP);
    login.add_can_sub_modes(pb::MODE_DEPTH);
    // Field 8, length-delimited, two one-byte values.
    EXPECT_EQ(login.SerializeAsString(), std::string("\x42\x02\x04\x05", 4));

    pb::RspLoginField unpacked;
    ASSERT_TRUE(unpacked.ParseFromString(std::string("\x40\x04\x40\x05", 4)));
    ASSERT_EQ(unpacked.can_sub_modes_size(), 2);
    EXPECT_EQ(unpacked.can_sub_modes(1), pb::MODE_DEPTH);
}

TEST(QuoteSchema, CopiesAndParsing)
{
    pb::QuoteDetailField q;
    const Descriptor* d = q.GetDescriptor();
    const auto* reflection = q.GetReflection();
    for (int i = 0; i < d->field_count(); ++i) {
        const FieldDescriptor* f = d->field(i);
        switch (f->cpp_type()) {
        case FieldDescriptor::CPPTYPE_STRING:
            reflection->SetString(&q, f, "v" + std::to_string(i));
            break;
        case FieldDescriptor::CPPTYPE_UINT64:
            reflection->SetUInt64(&q, f, 1000u + static_cast<unsigned>(i));
            break;
        case FieldDescriptor::CPPTYPE_DOUBLE:
            reflection->SetDouble(&q, f, 0.5 + i);
            break;
        default:
            FAIL() << f->name();
        }
    }
    pb::QuoteDetailField copy(q);
    std::vector<const FieldDescriptor*> set;
    copy.GetReflection()->ListFields(copy, &set);
    EXPECT_EQ(set.size(), 21u);
    EXPECT_EQ(copy.SerializeAsString(), q.SerializeAsString());
    const std::string before = q.SerializeAsString();
    q.CopyFrom(q);
    EXPECT_EQ(q.SerializeAsString(), before);

    // A text field that is not UTF-8 fails the parse; unknown fields survive a round trip.
    pb::QuoteDetailField bad;
    EXPECT_FALSE(bad.ParseFromString(std::string("\x0a\x02\xc8\xfd", 4)));
    pb::HeartBeatField hb;
    ASSERT_TRUE(hb.ParseFromString(std::string("\x0a\x01x\xa0\x06\x07", 6))); // ref, then field 100
    EXPECT_EQ(hb.ref(), "x");
    EXPECT_EQ(hb.SerializeAsString(), std::string("\x0a\x01x\xa0\x06\x07", 6));
}
