#include "window/korean_font.h"

#include <QFontDatabase>
#include <QGuiApplication>

namespace kestrio::window {

QString chooseKoreanFontFamily()
{
    for (const char* family : preferredKoreanFamilies) {
        if (QFontDatabase::hasFamily(QString::fromLatin1(family)))
            return QString::fromLatin1(family);
    }
    return QGuiApplication::font().family();
}

}  // namespace kestrio::window
