#include "helpers.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include <QImageReader>
#include <QSize>

#include "platform.h"

namespace
{

double Tolerance(unsigned n)
{
    return std::pow(0.1, static_cast<double>(n));
}

} // namespace

bool IsZero(double x, unsigned n)
{
    return std::fabs(x) <= Tolerance(n);
}

bool IsEqual(double a, double b, unsigned n)
{
    const double d = a - b;
    return std::fabs(d) < Tolerance(n);
}

bool IsGreater(double a, double b, unsigned n)
{
    const double d = a - b;
    return d > Tolerance(n);
}

bool IsLess(double a, double b, unsigned n)
{
    const double d = a - b;
    return d < -Tolerance(n);
}

bool IsGreaterOrEqual(double a, double b, unsigned n)
{
    const double d = a - b;
    const double eps = Tolerance(n);
    return d > eps || std::fabs(d) < eps;
}

std::string MsToString(std::int64_t ms)
{
    const std::int64_t seconds = ms / 1000;
    const std::int64_t rest = ms - seconds * 1000;
    std::tm tm {};
    if (!platform::ToLocalCalendar(seconds, &tm))
        return {};
    char date[64];
    if (std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        return {};
    char text[96];
    std::snprintf(text, sizeof text, "%s.%03lld", date, static_cast<long long>(rest));
    return text;
}

std::string Utf8ToAnsi(const std::string& utf8)
{
    const std::size_t length = std::strlen(utf8.c_str());
    const std::wstring wide = platform::MultiByteToWide(utf8.data(), length, platform::kCodePageUtf8);
    std::string out = platform::WideToMultiByte(wide, platform::kCodePageAnsi);
    const std::size_t nul = out.find('\0');
    if (nul != std::string::npos)
        out.resize(nul);
    return out;
}

std::wstring MultiByteToWString(const char* text, unsigned codePage)
{
    if (!text)
        return {};
    std::wstring out = platform::MultiByteToWide(text, std::strlen(text), codePage);
    const std::size_t nul = out.find(L'\0');
    if (nul != std::wstring::npos)
        out.resize(nul);
    return out;
}

std::vector<std::string> SplitString(const std::string& text, char delimiter)
{
    std::vector<std::string> pieces;
    std::istringstream in(text);
    std::string piece;
    while (std::getline(in, piece, delimiter))
        pieces.push_back(piece);
    return pieces;
}

bool IsPictureSizeAcceptable(const QString& path)
{
    const QSize size = QImageReader(path).size();
    return size.isValid() && size.width() <= kMaxPictureSide && size.height() <= kMaxPictureSide;
}
