#pragma once

#include <string>

// The contract key names one contract in the quote cache, in subscriptions
// and in the window's rows: a type code, "_", the commodity number and, for a
// single contract, "_" and the contract number (FO_CL_2701, FO_CL).
namespace ContractKey
{

// The code of a security type: the name of its EnumSecurityType value, or the
// empty text for a value without a name.
std::string TypeCode(int securityType);

// Joins a type code and the numbers; an empty contract number adds nothing.
std::string Join(const std::string& typeCode, const std::string& commodityNo, const std::string& contractNo);

// Join of the type's code.
std::string Make(int securityType, const std::string& commodityNo, const std::string& contractNo);

struct Parts {
    int securityType = 0; // 0 when the first part names no type
    std::string commodityNo;
    std::string contractNo;
};

// A key of two or three parts gives its type and numbers; any other shape
// (a "_" inside a number among them) gives type 0 and empty numbers.
Parts Parse(const std::string& key);

} // namespace ContractKey
