// QtText.h - the one place where byte strings become QString and back. Text
// is UTF-8 bytes end to end; only widgets need QString.
#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace quarvex {

inline QString ToQString(std::string_view strBytes)
{
    return QString::fromUtf8(strBytes.data(), static_cast<qsizetype>(strBytes.size()));
}

inline std::string ToBytes(const QString& strText)
{
    const QByteArray aBytes = strText.toUtf8();
    return std::string(aBytes.constData(), static_cast<std::size_t>(aBytes.size()));
}

} // namespace quarvex
