#include "contractkey.h"

#include <vector>

#include "helpers.h"
#include "kw.pb.ostrel2.pb.h"

namespace pb = kw::pb::ostrel2;

namespace ContractKey
{

std::string TypeCode(int securityType)
{
    return pb::EnumSecurityType_Name(static_cast<pb::EnumSecurityType>(securityType));
}

std::string Join(const std::string& typeCode, const std::string& commodityNo, const std::string& contractNo)
{
    std::string key = typeCode;
    key += '_';
    key += commodityNo;
    if (!contractNo.empty()) {
        key += '_';
        key += contractNo;
    }
    return key;
}

std::string Make(int securityType, const std::string& commodityNo, const std::string& contractNo)
{
    return Join(TypeCode(securityType), commodityNo, contractNo);
}

Parts Parse(const std::string& key)
{
    Parts parts;
    const std::vector<std::string> pieces = SplitString(key, '_');
    if (pieces.size() != 2 && pieces.size() != 3)
        return parts;
    pb::EnumSecurityType type = pb::UNKNOWN;
    if (pb::EnumSecurityType_Parse(pieces[0], &type))
        parts.securityType = static_cast<int>(type);
    parts.commodityNo = pieces[1];
    if (pieces.size() == 3)
        parts.contractNo = pieces[2];
    return parts;
}

} // namespace ContractKey
