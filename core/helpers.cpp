#include "helpers.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include <QFile>
#include <QImageReader>
#include <QSize>

#include "logger.h"
#include "platform.h"

namespace
{

double Tolerance(unsigned n)
{
    // The board compares every figure of every row on each refresh: the
    // common places are worked out once, to the same values.
    static const auto kCommon = [] {
        std::array<double, 16> table {};
        for (unsigned i = 0; i < table.size(); ++i)
            table[i] = std::pow(0.1, static_cast<double>(i));
        return table;
    }();
    if (n < kCommon.size())
        return kCommon[n];
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

PictureSize CheckPictureSize(const QString& path)
{
    QImageReader reader(path);
    QSize size = reader.size();
    if (!size.isValid())
        return PictureSize::Unreadable;
    // The reader gives a GIF's first frame, but each frame decodes to the
    // whole canvas its header declares, however small the frames in it.
    if (reader.format() == "gif") {
        QFile file(path);
        const QByteArray head = file.open(QIODevice::ReadOnly) ? file.read(10) : QByteArray();
        if (head.size() == 10) {
            const auto word = [&head](int at) {
                return static_cast<unsigned char>(head[at]) | static_cast<unsigned char>(head[at + 1]) << 8;
            };
            size = size.expandedTo(QSize(word(6), word(8)));
        }
    }
    // A reader of its own: the one above has read from the file's start.
    const int frames = std::max(1, QImageReader(path).imageCount());
    const long long bytes = 4ll * size.width() * size.height() * frames;
    if (size.width() <= kMaxPictureSide && size.height() <= kMaxPictureSide
        && bytes <= kMaxDecodedPictureBytes)
        return PictureSize::Fits;
    WriteLog(LogError, "图片解码后过大(%dx%d, %d帧, 超过%lld字节),不予显示: %s", size.width(), size.height(),
        frames, kMaxDecodedPictureBytes, CutForLog(path.toLocal8Bit().toStdString()).c_str());
    return PictureSize::TooLarge;
}
