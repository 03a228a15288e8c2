#pragma once

// Small shared helpers: tolerance comparisons of prices, time-stamp text,
// code-page conversion and the contract-key splitter. No state; safe to call
// from any thread.

#include <cstdint>
#include <string>
#include <vector>

class QString;

// Tolerance comparisons to n decimal places: eps = 0.1 to the power n.
// Any comparison involving a NaN is false.
bool IsZero(double x, unsigned n); // |x| <= eps
bool IsEqual(double a, double b, unsigned n); // |a - b| < eps
bool IsGreater(double a, double b, unsigned n); // a - b > eps
bool IsLess(double a, double b, unsigned n); // a - b < -eps
bool IsGreaterOrEqual(double a, double b, unsigned n); // a - b > eps, or |a - b| < eps

// Milliseconds since 1970-01-01 00:00:00 UTC as local "YYYY-MM-DD hh:mm:ss.mmm"
// (23 characters for the years 1970 to 9999).
std::string MsToString(std::int64_t ms);

// UTF-8 text in the locale's character set ("ANSI code page"), up to the first
// NUL. Invalid UTF-8 decodes as U+FFFD; characters the charset lacks become '?'.
std::string Utf8ToAnsi(const std::string& utf8);

// Text in the given code page (0: the locale's character set, 65001: UTF-8)
// widened to Unicode, up to its NUL. A null pointer gives an empty string.
std::wstring MultiByteToWString(const char* text, unsigned codePage);

// Pieces of the text between delimiters, read the way std::getline reads them:
// empty pieces between adjacent delimiters stay, a trailing delimiter adds none.
std::vector<std::string> SplitString(const std::string& text, char delimiter);

// Largest width and height of a picture the program decodes.
constexpr int kMaxPictureSide = 8192;
// Largest memory a picture may take once decoded: 4 bytes a pixel, all its
// frames together.
constexpr long long kMaxDecodedPictureBytes = 64ll << 20;

enum class PictureSize {
    Fits,
    TooLarge, // beyond kMaxPictureSide a side or kMaxDecodedPictureBytes (logged)
    Unreadable, // no size could be read from the file: no picture to decode
};

// Judges a picture file from its header and, for an animation, its frame
// count, without decoding a pixel: a small file can decode to gigabytes, so
// pictures from the cloud are checked before they are decoded. A refusal is
// logged with the file's name and size.
PictureSize CheckPictureSize(const QString& path);
