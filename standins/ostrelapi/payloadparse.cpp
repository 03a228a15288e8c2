#include "payloadparse.h"

#include <memory>
#include <mutex>
#include <vector>

#include <google/protobuf/any.pb.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/message.h>

namespace ostrelwire
{

namespace
{

    using google::protobuf::Descriptor;
    using google::protobuf::DescriptorPool;
    using google::protobuf::DescriptorProto;
    using google::protobuf::FieldDescriptor;
    using google::protobuf::FieldDescriptorProto;
    using google::protobuf::FileDescriptorProto;
    using google::protobuf::Message;
    using google::protobuf::Reflection;

    void TextsAsBytes(DescriptorProto* message)
    {
        for (FieldDescriptorProto& field : *message->mutable_field()) {
            if (field.type() == FieldDescriptorProto::TYPE_STRING)
                field.set_type(FieldDescriptorProto::TYPE_BYTES);
        }
        for (DescriptorProto& nested : *message->mutable_nested_type())
            TextsAsBytes(&nested);
    }

    // The messages of a schema read with every text field as bytes, which the
    // parser takes as they come; the wire form of the two is the same.
    class BytesView
    {
    public:
        const Descriptor* Find(const Descriptor* real)
        {
            std::call_once(m_built, [&] { Build(real->file()); });
            return m_pool.FindMessageTypeByName(real->full_name());
        }
        google::protobuf::DynamicMessageFactory& Factory() { return m_factory; }

    private:
        // Files in dependency order, each once.
        void Add(const google::protobuf::FileDescriptor* file)
        {
            if (m_pool.FindFileByName(file->name()))
                return;
            for (int i = 0; i < file->dependency_count(); ++i)
                Add(file->dependency(i));
            FileDescriptorProto proto;
            file->CopyTo(&proto);
            for (DescriptorProto& message : *proto.mutable_message_type())
                TextsAsBytes(&message);
            m_pool.BuildFile(proto);
        }
        void Build(const google::protobuf::FileDescriptor* file)
        {
            Add(google::protobuf::Any::descriptor()->file());
            Add(file);
        }

        std::once_flag m_built;
        DescriptorPool m_pool;
        google::protobuf::DynamicMessageFactory m_factory { &m_pool };
    };

    BytesView& View()
    {
        static BytesView view;
        return view;
    }

    // Looks at (and with `mend` mends) the texts of a message read as bytes.
    void Walk(Message* message, bool mend, ParseReport* report)
    {
        const Reflection* reflection = message->GetReflection();
        std::vector<const FieldDescriptor*> fields;
        reflection->ListFields(*message, &fields);
        for (const FieldDescriptor* field : fields) {
            const int count = field->is_repeated() ? reflection->FieldSize(*message, field) : 1;
            if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
                for (int i = 0; i < count; ++i) {
                    Walk(field->is_repeated() ? reflection->MutableRepeatedMessage(message, field, i)
                                              : reflection->MutableMessage(message, field),
                        mend, report);
                }
                continue;
            }
            // Only the fields that the schema makes texts.
            const FieldDescriptor* real
                = DescriptorPool::generated_pool()->FindFieldByName(field->full_name());
            if (field->type() != FieldDescriptor::TYPE_BYTES || !real
                || real->type() != FieldDescriptor::TYPE_STRING)
                continue;
            for (int i = 0; i < count; ++i) {
                std::string text = field->is_repeated() ? reflection->GetRepeatedString(*message, field, i)
                                                        : reflection->GetString(*message, field);
                if (!MendUtf8(&text))
                    continue;
                if (report->mended++ == 0)
                    report->mendedField = field->full_name();
                if (!mend)
                    continue;
                if (field->is_repeated())
                    reflection->SetRepeatedString(message, field, i, std::move(text));
                else
                    reflection->SetString(message, field, std::move(text));
            }
        }
    }

    // Length of the well-formed UTF-8 sequence at `at`, or 0.
    std::size_t SequenceAt(const std::string& text, std::size_t at)
    {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
        const unsigned char lead = byte(at);
        if (lead < 0x80)
            return 1;
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF; // range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return 0;
        }
        if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high)
            return 0;
        for (std::size_t i = 2; i < length; ++i) {
            if ((byte(at + i) & 0xC0) != 0x80)
                return 0;
        }
        return length;
    }

} // namespace

bool MendUtf8(std::string* text)
{
    std::size_t at = 0;
    while (at < text->size()) {
        const std::size_t length = SequenceAt(*text, at);
        if (length == 0)
            break;
        at += length;
    }
    if (at == text->size())
        return false;
    std::string mended = text->substr(0, at);
    while (at < text->size()) {
        const std::size_t length = SequenceAt(*text, at);
        if (length == 0) {
            mended += "\xEF\xBF\xBD";
            ++at;
        } else {
            mended.append(*text, at, length);
            at += length;
        }
    }
    text->swap(mended);
    return true;
}

bool ParsePayload(std::string_view bytes, Message* out, bool mendTexts, ParseReport* report)
{
    *report = ParseReport();
    const int size = static_cast<int>(bytes.size());
    if (out->ParseFromArray(bytes.data(), size))
        return true;
    const Descriptor* view = View().Find(out->GetDescriptor());
    std::unique_ptr<Message> loose(view ? View().Factory().GetPrototype(view)->New() : nullptr);
    if (!loose || !loose->ParseFromArray(bytes.data(), size)) {
        report->why = "its bytes are not a " + out->GetDescriptor()->full_name();
        return false;
    }
    Walk(loose.get(), mendTexts, report);
    if (report->mended == 0) {
        report->why = "its bytes are not a " + out->GetDescriptor()->full_name();
        return false;
    }
    if (mendTexts && out->ParseFromString(loose->SerializeAsString()))
        return true;
    report->why = report->mendedField + " is not UTF-8";
    return false;
}

} // namespace ostrelwire
