// The program keeps its texts as UTF-8 std::string; Qt's widgets take
// QString. These convert at the edge of a widget and nowhere else.
#pragma once

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

inline QString ToQ(const std::string& Text)
{
    return QString::fromStdString(Text);
}

inline std::string FromQ(const QString& Text)
{
    return Text.toStdString();
}

inline QStringList ToQList(const std::vector<std::string>& Lines)
{
    QStringList List;
    for (const auto& Line : Lines)
        List << ToQ(Line);
    return List;
}
